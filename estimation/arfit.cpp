// Vector autoregressive fit by Whittle's multichannel Levinson recursion.
#include "estimation/arfit.hpp"

#include <vector>

#include "numerics/numerics.hpp"

namespace kelv {

void ARFIT(int32_t order, int32_t nch, int32_t nlen, const float* x, float* a, float* vf,
           float* vfinv) {
  const int32_t p = order;
  const size_t mat = static_cast<size_t>(nch) * static_cast<size_t>(nch);
  const size_t lags = mat * static_cast<size_t>(p);
  std::vector<float> gamma0(mat), gammaLag(lags), bStore(lags), aOld(lags), bOld(lags);
  std::vector<float> vbStore(mat), vbinvStore(mat), deltaStore(mat);

  View2<const float> X(x, nch, nlen);
  View2<float> G0(gamma0.data(), nch, nch);
  View3<float> G(gammaLag.data(), nch, nch, p);
  View3<float> A(a, nch, nch, p), B(bStore.data(), nch, nch, p);
  View3<float> A1(aOld.data(), nch, nch, p), B1(bOld.data(), nch, nch, p);
  View2<float> Vf(vf, nch, nch), Vb(vbStore.data(), nch, nch);
  View2<float> D(deltaStore.data(), nch, nch);
  float* vbinv = vbinvStore.data();
  View2<float> Vfinv(vfinv, nch, nch), Vbinv(vbinv, nch, nch);

  // Biased lag covariances: divisor nlen at every lag; the window arrives centred.
  // Every sum runs over t in increasing order; all nch x nch x (p + 1) of them
  // advance together, one sample at a time, so the window is read once.
  const double N = static_cast<double>(static_cast<float>(nlen));
  std::vector<double> widened(static_cast<size_t>(nch) * static_cast<size_t>(nlen));
  std::vector<double> sums(mat * static_cast<size_t>(p + 1), 0.0);
  for (int32_t t = 1; t <= nlen; ++t)
    for (int32_t i = 1; i <= nch; ++i)
      widened[static_cast<size_t>(t - 1) * nch + (i - 1)] = static_cast<double>(X(i, t));
  for (int32_t t = 1; t <= nlen; ++t) {
    const double* xt = &widened[static_cast<size_t>(t - 1) * nch];
    for (int32_t k = 0; k <= p && k <= t - 1; ++k) {
      const double* xs = &widened[static_cast<size_t>(t - 1 - k) * nch];
      double* lag = &sums[static_cast<size_t>(k) * mat];
      for (int32_t j = 0; j < nch; ++j) {
        const double xj = xs[j];
        double* col = lag + static_cast<size_t>(j) * nch;
        for (int32_t i = 0; i < nch; ++i) col[i] += xt[i] * xj;
      }
    }
  }
  View3<const double> S(sums.data(), nch, nch, p + 1);
  for (int32_t j = 1; j <= nch; ++j)
    for (int32_t i = 1; i <= nch; ++i) G0(i, j) = static_cast<float>(S(i, j, 1) / N);
  for (int32_t k = 1; k <= p; ++k)
    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i) G(i, j, k) = static_cast<float>(S(i, j, k + 1) / N);

  for (int32_t j = 1; j <= nch; ++j)
    for (int32_t i = 1; i <= nch; ++i) {
      Vf(i, j) = G0(i, j);
      Vb(i, j) = G0(i, j);
    }

  for (int32_t m = 1; m <= p; ++m) {
    // Cross-covariance of the forward and backward errors of order m - 1.
    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i) {
        double s = 0.0;
        for (int32_t l = 1; l <= m - 1; ++l)
          for (int32_t r = 1; r <= nch; ++r) s += static_cast<double>(A(i, r, l)) * G(r, j, m - l);
        D(i, j) = static_cast<float>(static_cast<double>(G(i, j, m)) + s);
      }

    MATRINV(nch, Vf.data(), Vfinv.data());
    MATRINV(nch, Vb.data(), Vbinv.data());

    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i) {
        double sa = 0.0, sb = 0.0;
        for (int32_t r = 1; r <= nch; ++r) {
          sa += static_cast<double>(D(i, r)) * Vbinv(r, j);
          sb += static_cast<double>(D(r, i)) * Vfinv(r, j);
        }
        A(i, j, m) = static_cast<float>(-sa);
        B(i, j, m) = static_cast<float>(-sb);
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
        for (int32_t j = 1; j <= nch; ++j)
          for (int32_t i = 1; i <= nch; ++i) {
            double sa = 0.0, sb = 0.0;
            for (int32_t r = 1; r <= nch; ++r) {
              sa += static_cast<double>(A(i, r, m)) * B1(r, j, m - l);
              sb += static_cast<double>(B(i, r, m)) * A1(r, j, m - l);
            }
            A(i, j, l) = static_cast<float>(static_cast<double>(A1(i, j, l)) + sa);
            B(i, j, l) = static_cast<float>(static_cast<double>(B1(i, j, l)) + sb);
          }
    }

    for (int32_t j = 1; j <= nch; ++j)
      for (int32_t i = 1; i <= nch; ++i) {
        double sf = 0.0, sb = 0.0;
        for (int32_t r = 1; r <= nch; ++r) {
          sf += static_cast<double>(A(i, r, m)) * D(j, r);
          sb += static_cast<double>(B(i, r, m)) * D(r, j);
        }
        Vf(i, j) = static_cast<float>(static_cast<double>(Vf(i, j)) + sf);
        Vb(i, j) = static_cast<float>(static_cast<double>(Vb(i, j)) + sb);
      }
  }

  // Inverses of the final error covariances, in the same order as at every step;
  // only the forward one is used by the spectral stage.
  MATRINV(nch, Vf.data(), Vfinv.data());
  MATRINV(nch, Vb.data(), Vbinv.data());
}

}  // namespace kelv
