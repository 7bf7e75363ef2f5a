// Simulation of vector autoregressive processes and their exact spectral quantities.
//
// Used by the example-data generator and by the tests that hold estimates against
// the truth. Everything here is double precision and deterministic: the random
// numbers come from a fixed generator (splitmix64 with Box-Muller), so a seed gives
// the same series on every run and every platform with the same libm.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <utility>
#include <vector>

#include "numerics/random.hpp"

namespace kelv::sim {

// x(t) + A_1 x(t-1) + ... + A_p x(t-p) = e(t), e(t) ~ N(0, V).
// A_l(i, j) is stored at A[(i-1) + (j-1)*nch + (l-1)*nch*nch]; V column-major.
struct VarModel {
  int nch = 0;
  int order = 0;
  std::vector<double> A;
  std::vector<double> V;

  VarModel(int channels, int p)
      : nch(channels),
        order(p),
        A(size_t(channels) * channels * p, 0.0),
        V(size_t(channels) * channels, 0.0) {
    for (int i = 0; i < channels; ++i) V[i + i * channels] = 1.0;
  }
  double& a(int l, int i, int j) {
    return A[(i - 1) + size_t(j - 1) * nch + size_t(l - 1) * nch * nch];
  }
  double a(int l, int i, int j) const {
    return A[(i - 1) + size_t(j - 1) * nch + size_t(l - 1) * nch * nch];
  }
  double& v(int i, int j) { return V[(i - 1) + size_t(j - 1) * nch]; }
  double v(int i, int j) const { return V[(i - 1) + size_t(j - 1) * nch]; }
};

using kelv::Rng;

// Lower Cholesky factor of a symmetric positive-definite matrix (column-major).
inline std::vector<double> choleskyLower(const std::vector<double>& m, int n) {
  std::vector<double> L(size_t(n) * n, 0.0);
  for (int j = 0; j < n; ++j) {
    double d = m[j + size_t(j) * n];
    for (int k = 0; k < j; ++k) d -= L[j + size_t(k) * n] * L[j + size_t(k) * n];
    if (!(d > 0.0)) throw std::invalid_argument("innovation covariance not positive definite");
    L[j + size_t(j) * n] = std::sqrt(d);
    for (int i = j + 1; i < n; ++i) {
      double s = m[i + size_t(j) * n];
      for (int k = 0; k < j; ++k) s -= L[i + size_t(k) * n] * L[j + size_t(k) * n];
      L[i + size_t(j) * n] = s / L[j + size_t(j) * n];
    }
  }
  return L;
}

// Steps a VAR process one sample at a time; the model may change between steps
// (same channel count, order at most maxOrder), which lets a record switch regimes.
class VarSimulator {
 public:
  VarSimulator(int nch, int maxOrder, uint64_t seed)
      : nch_(nch), maxOrder_(maxOrder), rng_(seed), past_(size_t(nch) * maxOrder, 0.0) {}

  // Writes x(t) (nch values) into out and advances.
  template <class Out>
  void step(const VarModel& m, Out* out) {
    if (m.nch != nch_ || m.order > maxOrder_) throw std::invalid_argument("model does not fit");
    // Keyed on the covariance itself: a model changed in place, or a new one at the
    // address of an old one, must not reuse a stale factor.
    if (chol_.empty() || cholV_ != m.V) {
      chol_ = choleskyLower(m.V, nch_);
      cholV_ = m.V;
    }
    std::vector<double> z(nch_), x(nch_, 0.0);
    for (int i = 0; i < nch_; ++i) z[i] = rng_.normal();
    for (int i = 0; i < nch_; ++i) {
      double e = 0.0;
      for (int k = 0; k <= i; ++k) e += chol_[i + size_t(k) * nch_] * z[k];
      double s = e;
      for (int l = 1; l <= m.order; ++l)
        for (int j = 1; j <= nch_; ++j) s -= m.a(l, i + 1, j) * lag(l, j);
      x[i] = s;
    }
    // Shift the history: lag 1 becomes x.
    for (int l = maxOrder_; l >= 2; --l)
      for (int j = 1; j <= nch_; ++j) lagRef(l, j) = lag(l - 1, j);
    if (maxOrder_ >= 1)
      for (int j = 1; j <= nch_; ++j) lagRef(1, j) = x[j - 1];
    for (int i = 0; i < nch_; ++i) out[i] = static_cast<Out>(x[i]);
  }

 private:
  double lag(int l, int j) const { return past_[(j - 1) + size_t(l - 1) * nch_]; }
  double& lagRef(int l, int j) { return past_[(j - 1) + size_t(l - 1) * nch_]; }
  int nch_, maxOrder_;
  Rng rng_;
  std::vector<double> past_;
  std::vector<double> chol_;
  std::vector<double> cholV_;  // the covariance chol_ factorises
};

// nsamples of the stationary process, channel index fastest (nch x nsamples), after
// a burn-in that forgets the zero start.
inline std::vector<float> simulate(const VarModel& m, int64_t nsamples, uint64_t seed,
                                   int burnin = 2000) {
  VarSimulator sim(m.nch, m.order, seed);
  std::vector<float> out(size_t(m.nch) * nsamples);
  std::vector<double> skip(m.nch);
  for (int t = 0; t < burnin; ++t) sim.step(m, skip.data());
  for (int64_t t = 0; t < nsamples; ++t) sim.step(m, out.data() + size_t(t) * m.nch);
  return out;
}

using cmat = std::vector<std::complex<double>>;  // n x n, column-major

// Inverse of a general complex matrix by Gauss-Jordan with partial pivoting.
inline cmat invert(cmat a, int n) {
  cmat inv(size_t(n) * n, 0.0);
  for (int i = 0; i < n; ++i) inv[i + size_t(i) * n] = 1.0;
  auto at = [n](cmat& m, int i, int j) -> std::complex<double>& { return m[i + size_t(j) * n]; };
  for (int c = 0; c < n; ++c) {
    int piv = c;
    for (int r = c + 1; r < n; ++r)
      if (std::abs(at(a, r, c)) > std::abs(at(a, piv, c))) piv = r;
    if (std::abs(at(a, piv, c)) == 0.0) throw std::domain_error("singular matrix");
    for (int j = 0; j < n; ++j) {
      std::swap(at(a, c, j), at(a, piv, j));
      std::swap(at(inv, c, j), at(inv, piv, j));
    }
    const std::complex<double> d = 1.0 / at(a, c, c);
    for (int j = 0; j < n; ++j) {
      at(a, c, j) *= d;
      at(inv, c, j) *= d;
    }
    for (int r = 0; r < n; ++r) {
      if (r == c) continue;
      const std::complex<double> f = at(a, r, c);
      if (f == 0.0) continue;
      for (int j = 0; j < n; ++j) {
        at(a, r, j) -= f * at(a, c, j);
        at(inv, r, j) -= f * at(inv, c, j);
      }
    }
  }
  return inv;
}

// The model's spectral matrix at `freq` cycles per sample:
// S = H^-1 V H^-H / 2pi with H = I + sum_l A_l exp(-2 pi i freq l).
inline cmat trueSpectrum(const VarModel& m, double freq) {
  const int n = m.nch;
  cmat H(size_t(n) * n, 0.0);
  for (int i = 0; i < n; ++i) H[i + size_t(i) * n] = 1.0;
  for (int l = 1; l <= m.order; ++l) {
    const std::complex<double> e = std::polar(1.0, -6.283185307179586 * freq * l);
    for (int i = 1; i <= n; ++i)
      for (int j = 1; j <= n; ++j) H[(i - 1) + size_t(j - 1) * n] += m.a(l, i, j) * e;
  }
  const cmat Hi = invert(H, n);
  cmat S(size_t(n) * n, 0.0);
  for (int i = 0; i < n; ++i)
    for (int j = 0; j < n; ++j) {
      std::complex<double> s = 0.0;
      for (int k = 0; k < n; ++k)
        for (int l = 0; l < n; ++l)
          s += Hi[i + size_t(k) * n] * m.V[k + size_t(l) * n] * std::conj(Hi[j + size_t(l) * n]);
      S[i + size_t(j) * n] = s / 6.283185307179586;
    }
  return S;
}

// sqrt of the product over channels of each channel's multiple coherence with the
// others, R(m) = S(m,o) S(o,o)^-1 S(o,m) / S(m,m), for a spectral matrix S.
inline double measureOf(const cmat& S, int n) {
  double prod = 1.0;
  for (int m = 0; m < n; ++m) {
    cmat A;
    std::vector<std::complex<double>> c;
    for (int q = 0; q < n; ++q) {
      if (q == m) continue;
      c.push_back(S[q + size_t(m) * n]);
      for (int p = 0; p < n; ++p)
        if (p != m) A.push_back(S[p + size_t(q) * n]);
    }
    const cmat B = invert(A, n - 1);
    std::complex<double> q = 0.0;
    for (int i = 0; i < n - 1; ++i)
      for (int k = 0; k < n - 1; ++k) q += std::conj(c[i]) * B[i + size_t(k) * (n - 1)] * c[k];
    prod *= std::abs(q.real()) / S[m + size_t(m) * n].real();
  }
  return std::sqrt(prod);
}

inline double trueMeasure(const VarModel& m, double freq) {
  return measureOf(trueSpectrum(m, freq), m.nch);
}

}  // namespace kelv::sim
