// Vector autoregressive fit by Whittle's multichannel Levinson recursion.
#include "estimation/arfit.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "numerics/lanes.hpp"
#include "numerics/numerics.hpp"

namespace kelv {

namespace {

// sums(i, j, k + 1) = sum over t = k + 1 .. nlen of x(i, t) x(j, t - k) for lags
// k = 0 .. p, each sum in double and in increasing t, as a plain loop over t adds.
KELV_LANE_KERNEL void laggedSums(int32_t nch, int32_t nlen, int32_t p, const float* x,
                                 double* sums) {
  const int32_t groups = (nch + kLanes - 1) / kLanes;
  const int32_t padded = groups * kLanes;
  View2<const float> X(x, nch, nlen);
  // The window widened, channels padded with zeros to whole lane vectors, read as lane
  // vectors (kLanes values of i) and as single doubles (values of j).
  LaneVector<double> widened(static_cast<size_t>(padded) * static_cast<size_t>(nlen), 0.0);
  View2<double> F(widened.data(), padded, nlen);
  for (int32_t t = 1; t <= nlen; ++t)
    for (int32_t i = 1; i <= nch; ++i) F(i, t) = static_cast<double>(X(i, t));

  // kLanes values of i times kLanes values of j at a time, so the kLanes sums stay
  // in registers over the whole window.
  View3<double> S(sums, nch, nch, p + 1);
  for (int32_t k = 0; k <= p; ++k)
    for (int32_t gi = 1; gi <= groups; ++gi)
      for (int32_t gj = 1; gj <= groups; ++gj) {
        LaneD acc[kLanes];
        for (LaneD& a : acc) a = splat(0.0);
        for (int32_t t = k + 1; t <= nlen; ++t) {
          LaneD now;
          std::memcpy(&now, &F((gi - 1) * kLanes + 1, t), sizeof now);
          const double* then = &F((gj - 1) * kLanes + 1, t - k);
          for (int q = 0; q < kLanes; ++q) acc[q] += now * then[q];
        }
        for (int q = 0; q < kLanes; ++q) {
          const int32_t j = (gj - 1) * kLanes + q + 1;
          for (int l = 0; l < kLanes; ++l) {
            const int32_t i = (gi - 1) * kLanes + l + 1;
            if (i <= nch && j <= nch) S(i, j, k + 1) = acc[q][l];
          }
        }
      }
}

// acc(i) += column(i) * factor, i = 1..n, in double: the next term of n sums.
template <class T>
KELV_LANE_INLINE void addTerm(int32_t n, double* acc, const T* column, double factor) {
  for (int32_t i = 0; i < n; ++i) acc[i] += static_cast<double>(column[i]) * factor;
}

// Whittle's recursion with every matrix stored as T; returns the number of
// inversions that met a singular matrix.
template <class T>
KELV_LANE_INLINE int32_t fitModel(int32_t order, int32_t nch, int32_t nlen, const float* x, T* a,
                                  T* vf, T* vfinv) {
  const int32_t p = order;
  const size_t mat = static_cast<size_t>(nch) * static_cast<size_t>(nch);
  const size_t lags = mat * static_cast<size_t>(p);
  std::vector<T> gamma0(mat), gammaLag(lags), bStore(lags), aOld(lags), bOld(lags);
  std::vector<T> vbStore(mat), vbinvStore(mat), deltaStore(mat);

  View2<T> G0(gamma0.data(), nch, nch);
  View3<T> G(gammaLag.data(), nch, nch, p);
  View3<T> A(a, nch, nch, p), B(bStore.data(), nch, nch, p);
  View3<T> A1(aOld.data(), nch, nch, p), B1(bOld.data(), nch, nch, p);
  View2<T> Vf(vf, nch, nch), Vb(vbStore.data(), nch, nch);
  View2<T> D(deltaStore.data(), nch, nch);
  T* vbinv = vbinvStore.data();
  View2<T> Vfinv(vfinv, nch, nch), Vbinv(vbinv, nch, nch);

  // Biased lag covariances: divisor nlen at every lag; the window arrives centred.
  const double N = static_cast<double>(static_cast<T>(nlen));
  std::vector<double> sums(mat * static_cast<size_t>(p + 1));
  laggedSums(nch, nlen, p, x, sums.data());
  View3<const double> S(sums.data(), nch, nch, p + 1);
  for (int32_t j = 1; j <= nch; ++j)
    for (int32_t i = 1; i <= nch; ++i) G0(i, j) = static_cast<T>(S(i, j, 1) / N);
  for (int32_t k = 1; k <= p; ++k)
    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i) G(i, j, k) = static_cast<T>(S(i, j, k + 1) / N);

  for (int32_t j = 1; j <= nch; ++j)
    for (int32_t i = 1; i <= nch; ++i) {
      Vf(i, j) = G0(i, j);
      Vb(i, j) = G0(i, j);
    }

  // Every sum below runs over its index in the order of the plain triple loop; the
  // sums of one column advance together, one term at a time (addTerm), which lets
  // the compiler run them side by side in vector registers.
  std::vector<double> accA(static_cast<size_t>(nch)), accB(static_cast<size_t>(nch));
  std::vector<T> transposed(mat);
  View2<T> Dt(transposed.data(), nch, nch);
  const auto clear = [&] {
    std::fill(accA.begin(), accA.end(), 0.0);
    std::fill(accB.begin(), accB.end(), 0.0);
  };

  int32_t degenerate = 0;
  for (int32_t m = 1; m <= p; ++m) {
    // Cross-covariance of the forward and backward errors of order m - 1.
    for (int32_t j = 1; j <= nch; ++j) {
      clear();
      for (int32_t l = 1; l <= m - 1; ++l)
        for (int32_t r = 1; r <= nch; ++r) addTerm(nch, accA.data(), &A(1, r, l), G(r, j, m - l));
      for (int32_t i = 1; i <= nch; ++i)
        D(i, j) = static_cast<T>(static_cast<double>(G(i, j, m)) + accA[i - 1]);
    }
    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i) Dt(i, j) = D(j, i);

    degenerate += MATRINV(nch, Vf.data(), Vfinv.data()) ? 0 : 1;
    degenerate += MATRINV(nch, Vb.data(), Vbinv.data()) ? 0 : 1;

    for (int32_t j = 1; j <= nch; ++j) {
      clear();
      for (int32_t r = 1; r <= nch; ++r) {
        addTerm(nch, accA.data(), &D(1, r), Vbinv(r, j));
        addTerm(nch, accB.data(), &Dt(1, r), Vfinv(r, j));
      }
      for (int32_t i = 1; i <= nch; ++i) {
        A(i, j, m) = static_cast<T>(-accA[i - 1]);
        B(i, j, m) = static_cast<T>(-accB[i - 1]);
      }
    }

    if (m >= 2) {
      // Both updates read only the order m - 1 copies.
      for (int32_t l = 1; l <= m - 1; ++l)
        for (int32_t j = 1; j <= nch; ++j)
          for (int32_t i = 1; i <= nch; ++i) {
            A1(i, j, l) = A(i, j, l);
            B1(i, j, l) = B(i, j, l);
          }
      for (int32_t l = 1; l <= m - 1; ++l)
        for (int32_t j = 1; j <= nch; ++j) {
          clear();
          for (int32_t r = 1; r <= nch; ++r) {
            addTerm(nch, accA.data(), &A(1, r, m), B1(r, j, m - l));
            addTerm(nch, accB.data(), &B(1, r, m), A1(r, j, m - l));
          }
          for (int32_t i = 1; i <= nch; ++i) {
            A(i, j, l) = static_cast<T>(static_cast<double>(A1(i, j, l)) + accA[i - 1]);
            B(i, j, l) = static_cast<T>(static_cast<double>(B1(i, j, l)) + accB[i - 1]);
          }
        }
    }

    for (int32_t j = 1; j <= nch; ++j) {
      clear();
      for (int32_t r = 1; r <= nch; ++r) {
        addTerm(nch, accA.data(), &A(1, r, m), D(j, r));
        addTerm(nch, accB.data(), &B(1, r, m), D(r, j));
      }
      for (int32_t i = 1; i <= nch; ++i) {
        Vf(i, j) = static_cast<T>(static_cast<double>(Vf(i, j)) + accA[i - 1]);
        Vb(i, j) = static_cast<T>(static_cast<double>(Vb(i, j)) + accB[i - 1]);
      }
    }
  }

  // Inverses of the final error covariances, in the same order as at every step;
  // only the forward one is used by the spectral stage.
  degenerate += MATRINV(nch, Vf.data(), Vfinv.data()) ? 0 : 1;
  degenerate += MATRINV(nch, Vb.data(), Vbinv.data()) ? 0 : 1;
  return degenerate;
}

}  // namespace

KELV_LANE_KERNEL int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, float* a,
                               float* vf, float* vfinv) {
  return fitModel(order, nch, nlen, x, a, vf, vfinv);
}
KELV_LANE_KERNEL int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, double* a,
                               double* vf, double* vfinv) {
  return fitModel(order, nch, nlen, x, a, vf, vfinv);
}

}  // namespace kelv
