// Vector autoregressive fit by Whittle's multichannel Levinson recursion.
//
// Every sum of the recursion is carried in double and runs over its index in the
// order of the plain loops (lag, then channel), each element rounded to T once when
// stored, so the coefficients are those of the recursion written element by element.
// What the kernels below choose is only which sums advance side by side: a vector
// holds the sums of kW rows of one column, and up to eight columns advance together,
// so that the sums stay in registers and their additions do not wait on each other.
#include "estimation/arfit.hpp"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <type_traits>
#include <vector>

#include "numerics/gauss_jordan.hpp"
#include "numerics/lane_vectors.hpp"

namespace kelv {

namespace {

constexpr int kW = kLanes;  // rows in a vector
using Wide = Vec<double, kW>;

size_t extent(int32_t v) {
  return static_cast<size_t>(std::max(v, 0));
}

// Calls f(std::integral_constant<int, NB>{}, j0) for consecutive blocks of NB items
// j0 .. j0 + NB - 1 that cover items 1 .. nch: blocks of 8, then at most one each
// of 4, 2 and 1.
template <class F>
KELV_LANE_INLINE void blocks(int32_t nch, F&& f) {
  int32_t j = 1;
  for (; j + 7 <= nch; j += 8) f(std::integral_constant<int, 8>{}, j);
  if (j + 3 <= nch) {
    f(std::integral_constant<int, 4>{}, j);
    j += 4;
  }
  if (j + 1 <= nch) {
    f(std::integral_constant<int, 2>{}, j);
    j += 2;
  }
  if (j <= nch) f(std::integral_constant<int, 1>{}, j);
}

// acc[b] += left(r) * right(r, b) for r = 0 .. terms - 1 in turn, b = 0 .. NB - 1:
// left(r) the kW values at left + r leftStep, right(r, b) the value at
// right + r rowStep + b colStep, both widened to double.
template <int NB, class T>
KELV_LANE_INLINE void addProducts(Wide (&acc)[NB], int32_t terms, const T* left, int64_t leftStep,
                                  const T* right, int64_t rowStep, int64_t colStep) {
  for (int32_t r = 0; r < terms; ++r) {
    const Wide v = loadWideVec<kW>(left + r * leftStep);
    const T* row = right + r * rowStep;
    for (int b = 0; b < NB; ++b) acc[b] += v * static_cast<double>(row[b * colStep]);
  }
}

template <int NB>
KELV_LANE_INLINE void clear(Wide (&acc)[NB]) {
  for (Wide& a : acc) a = Wide{};
}

// The biased lag covariances of columns 1..nlen of x into w.gamma: lag k at slice
// k + 1, gamma(i, j, k + 1) = (sum over t = k + 1 .. nlen of x(i, t) x(j, t - k)) / nlen,
// each sum in double and in increasing t, as a plain loop over t adds.
template <class T>
KELV_LANE_INLINE void lagSums(int32_t nlen, const float* x, FitWork<T>& w) {
  const int32_t nch = w.nch, p = w.order, groups = w.rows / kW;
  const int64_t ld = w.rows, mat = ld * nch;
  // The window widened, channels padded with zeros to whole vectors (the padding
  // stays zero from the first allocation on), read as vectors (kW values of i) and
  // as single doubles (values of j).
  const size_t need = static_cast<size_t>(ld) * extent(nlen);
  if (w.window.size() < need) w.window.resize(need, 0.0);
  View2<const float> X(x, nch, nlen);
  View2<double> F(w.window.data(), ld, nlen);
  for (int32_t t = 1; t <= nlen; ++t)
    for (int32_t i = 1; i <= nch; ++i) F(i, t) = static_cast<double>(X(i, t));

  const double N = static_cast<double>(static_cast<T>(nlen));
  const int32_t octaves = (p + kW) / kW;  // groups of kW lags
  if (int64_t(nch) * nch * octaves < int64_t(p + 1) * groups * groups * kW) {
    // Few channels: kW lags of one pair (i, j) to a vector, up to 8 pairs of j and
    // groups of lags side by side. x(j, t - k) for lags k = 8 K .. 8 K + 7 lie in
    // order in the channel reversed, rev(j, nlen - t + k); zeros follow the channel,
    // so that a lag's sum, which starts at +0, takes x(i, t) * 0 = +-0 for t <= k and
    // is unchanged by them.
    const int64_t span = int64_t(nlen) + int64_t(kW) * octaves;
    const size_t needRev = static_cast<size_t>(span) * extent(nch);
    if (w.reversed.size() < needRev) w.reversed.resize(needRev);
    for (int32_t j = 1; j <= nch; ++j) {
      double* rev = w.reversed.data() + (j - 1) * span;
      for (int32_t v = 0; v < nlen; ++v) rev[v] = F(j, nlen - v);
      std::fill(rev + nlen, rev + span, 0.0);
    }
    const int32_t combos = nch * octaves;  // (j, K), j fastest
    for (int32_t i = 1; i <= nch; ++i)
      blocks(
          combos, [&](auto block, int32_t c0) __attribute__((always_inline)) {
            constexpr int NB = decltype(block)::value;
            const double* from[NB];
            for (int c = 0; c < NB; ++c) {
              const int32_t j = (c0 - 1 + c) % nch + 1, K = (c0 - 1 + c) / nch;
              from[c] = w.reversed.data() + (j - 1) * span + nlen + int64_t(kW) * K;
            }
            Wide acc[NB];
            clear(acc);
            for (int32_t t = kW * ((c0 - 1) / nch) + 1; t <= nlen; ++t) {
              const double now = F(i, t);
              for (int c = 0; c < NB; ++c) acc[c] += loadVec<kW>(from[c] - t) * now;
            }
            for (int c = 0; c < NB; ++c) {
              const int32_t j = (c0 - 1 + c) % nch + 1, K = (c0 - 1 + c) / nch;
              const Wide g = acc[c] / N;
              for (int l = 0; l < kW && kW * K + l <= p; ++l)
                w.gamma[size_t((i - 1) + (j - 1) * ld + (kW * K + l) * mat)] = static_cast<T>(g[l]);
            }
          });
    return;
  }

  // kW values of i times kW values of j at a time, so the sums stay in registers
  // over the whole window.
  for (int32_t k = 0; k <= p; ++k)
    for (int32_t gi = 0; gi < groups; ++gi)
      for (int32_t gj = 0; gj < groups; ++gj) {
        Wide acc[kW];
        clear(acc);
        for (int32_t t = k + 1; t <= nlen; ++t) {
          const Wide now = loadVec<kW>(&F(gi * kW + 1, t));
          const double* then = &F(gj * kW + 1, t - k);
          for (int q = 0; q < kW; ++q) acc[q] += now * then[q];
        }
        for (int q = 0; q < kW && gj * kW + q < nch; ++q)
          storeNarrowVec<kW>(w.gamma.data() + gi * kW + (gj * kW + q) * ld + k * mat, acc[q] / N);
      }
}

// Inverse of the padded matrix v into vinv by Gauss-Jordan elimination, as MATRINV
// computes it; false for a singular matrix (vinv then holds the partial elimination).
template <class T>
KELV_LANE_INLINE bool invert(const T* v, T* vinv, FitWork<T>& w) {
  std::copy_n(v, static_cast<size_t>(w.rows) * extent(w.nch), vinv);
  int32_t steps = w.nch;
  invertColumns<kW>(vinv, w.rows, steps, w.pivots.data());
  return steps == w.nch;
}

// Whittle's recursion with every matrix stored as T; returns the number of
// inversions that met a singular matrix.
template <class T>
KELV_LANE_INLINE int32_t fitModel(int32_t nlen, const float* x, T* aOut, T* vfOut, T* vfinvOut,
                                  FitWork<T>& w) {
  const int32_t nch = w.nch, p = w.order, groups = w.rows / kW;
  const int64_t ld = w.rows, mat = ld * nch;
  lagSums(nlen, x, w);
  const T* gamma = w.gamma.data();  // lag k at offset k mat
  T *vf = w.vf.data(), *vb = w.vb.data(), *vfinv = w.vfinv.data(), *vbinv = w.vbinv.data();
  T *D = w.delta.data(), *Dt = w.deltaT.data();
  // A and B hold the coefficients of order m - 1 while those of order m are made in
  // nextA and nextB; the two then change places.
  T *A = w.a[0].data(), *B = w.b[0].data(), *nextA = w.a[1].data(), *nextB = w.b[1].data();

  std::copy_n(gamma, mat, vf);
  std::copy_n(gamma, mat, vb);

  int32_t degenerate = 0;
  for (int32_t m = 1; m <= p; ++m) {
    // Cross-covariance of the forward and backward errors of order m - 1:
    // D = Gamma_m + sum over l = 1 .. m - 1 of A_l Gamma_(m-l).
    blocks(
        nch, [&](auto block, int32_t j0) __attribute__((always_inline)) {
          constexpr int NB = decltype(block)::value;
          for (int32_t gi = 0; gi < groups; ++gi) {
            Wide acc[NB];
            clear(acc);
            for (int32_t l = 1; l <= m - 1; ++l)
              addProducts(acc, nch, A + gi * kW + (l - 1) * mat, ld,
                          gamma + (j0 - 1) * ld + (m - l) * mat, 1, ld);
            for (int b = 0; b < NB; ++b) {
              const int64_t at = gi * kW + (j0 - 1 + b) * ld;
              storeNarrowVec<kW>(D + at, loadWideVec<kW>(gamma + at + m * mat) + acc[b]);
            }
          }
        });
    for (int32_t j = 0; j < nch; ++j)
      for (int32_t i = 0; i < nch; ++i) Dt[i + j * ld] = D[j + i * ld];

    degenerate += invert(vf, vfinv, w) ? 0 : 1;
    degenerate += invert(vb, vbinv, w) ? 0 : 1;

    // A_m = -D Vb^-1 and B_m = -D^T Vf^-1.
    blocks(
        nch, [&](auto block, int32_t j0) __attribute__((always_inline)) {
          constexpr int NB = decltype(block)::value;
          for (int32_t gi = 0; gi < groups; ++gi) {
            Wide accA[NB], accB[NB];
            clear(accA);
            clear(accB);
            addProducts(accA, nch, D + gi * kW, ld, vbinv + (j0 - 1) * ld, 1, ld);
            addProducts(accB, nch, Dt + gi * kW, ld, vfinv + (j0 - 1) * ld, 1, ld);
            for (int b = 0; b < NB; ++b) {
              const int64_t at = gi * kW + (j0 - 1 + b) * ld + (m - 1) * mat;
              storeNarrowVec<kW>(nextA + at, -accA[b]);
              storeNarrowVec<kW>(nextB + at, -accB[b]);
            }
          }
        });

    // A_l + A_m B_(m-l) and B_l + B_m A_(m-l), l < m, from the order m - 1 copies.
    for (int32_t l = 1; l <= m - 1; ++l)
      blocks(
          nch, [&](auto block, int32_t j0) __attribute__((always_inline)) {
            constexpr int NB = decltype(block)::value;
            const int64_t right = (j0 - 1) * ld + (m - l - 1) * mat;
            for (int32_t gi = 0; gi < groups; ++gi) {
              Wide accA[NB], accB[NB];
              clear(accA);
              clear(accB);
              addProducts(accA, nch, nextA + gi * kW + (m - 1) * mat, ld, B + right, 1, ld);
              addProducts(accB, nch, nextB + gi * kW + (m - 1) * mat, ld, A + right, 1, ld);
              for (int b = 0; b < NB; ++b) {
                const int64_t at = gi * kW + (j0 - 1 + b) * ld + (l - 1) * mat;
                storeNarrowVec<kW>(nextA + at, loadWideVec<kW>(A + at) + accA[b]);
                storeNarrowVec<kW>(nextB + at, loadWideVec<kW>(B + at) + accB[b]);
              }
            }
          });
    std::swap(A, nextA);
    std::swap(B, nextB);

    // Vf + A_m D^T and Vb + B_m D.
    blocks(
        nch, [&](auto block, int32_t j0) __attribute__((always_inline)) {
          constexpr int NB = decltype(block)::value;
          for (int32_t gi = 0; gi < groups; ++gi) {
            Wide accA[NB], accB[NB];
            clear(accA);
            clear(accB);
            addProducts(accA, nch, A + gi * kW + (m - 1) * mat, ld, D + (j0 - 1), ld, 1);
            addProducts(accB, nch, B + gi * kW + (m - 1) * mat, ld, D + (j0 - 1) * ld, 1, ld);
            for (int b = 0; b < NB; ++b) {
              const int64_t at = gi * kW + (j0 - 1 + b) * ld;
              storeNarrowVec<kW>(vf + at, loadWideVec<kW>(vf + at) + accA[b]);
              storeNarrowVec<kW>(vb + at, loadWideVec<kW>(vb + at) + accB[b]);
            }
          }
        });
  }

  // Inverses of the final error covariances, in the same order as at every step;
  // only the forward one is used by the spectral stage.
  degenerate += invert(vf, vfinv, w) ? 0 : 1;
  degenerate += invert(vb, vbinv, w) ? 0 : 1;

  View3<T> Aout(aOut, nch, nch, p);
  View2<T> Vf(vfOut, nch, nch), Vfinv(vfinvOut, nch, nch);
  for (int32_t l = 1; l <= p; ++l)
    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i) Aout(i, j, l) = A[(i - 1) + (j - 1) * ld + (l - 1) * mat];
  for (int32_t j = 1; j <= nch; ++j)
    for (int32_t i = 1; i <= nch; ++i) {
      Vf(i, j) = vf[(i - 1) + (j - 1) * ld];
      Vfinv(i, j) = vfinv[(i - 1) + (j - 1) * ld];
    }
  return degenerate;
}

}  // namespace

template <class T>
FitWork<T>::FitWork(int32_t order_, int32_t nch_)
    : order(order_), nch(nch_), rows((std::max(nch_, 0) + kW - 1) / kW * kW) {
  const size_t mat = extent(rows) * extent(nch);
  gamma.assign(mat * (extent(order) + 1), T(0));
  for (int s = 0; s < 2; ++s) {
    a[s].assign(mat * extent(order), T(0));
    b[s].assign(mat * extent(order), T(0));
  }
  for (LaneVector<T>* m : {&vf, &vb, &vfinv, &vbinv, &delta, &deltaT}) m->assign(mat, T(0));
  pivots.assign(extent(nch), 0);
}

template struct FitWork<float>;
template struct FitWork<double>;

KELV_LANE_KERNEL void lagCovariances(int32_t nlen, const float* x, FitWork<double>& work) {
  lagSums(nlen, x, work);
}

KELV_LANE_KERNEL int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, float* a,
                               float* vf, float* vfinv) {
  FitWork<float> work(order, nch);
  return fitModel(nlen, x, a, vf, vfinv, work);
}
KELV_LANE_KERNEL int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, double* a,
                               double* vf, double* vfinv) {
  FitWork<double> work(order, nch);
  return fitModel(nlen, x, a, vf, vfinv, work);
}
KELV_LANE_KERNEL int32_t ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, double* a,
                               double* vf, double* vfinv, FitWork<double>& work) {
  assert(work.order == order && work.nch == nch);
  (void)order;
  (void)nch;
  return fitModel(nlen, x, a, vf, vfinv, work);
}

}  // namespace kelv
