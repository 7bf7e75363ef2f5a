// CHOLESKY: the square-root-free factorisation of numerics/hermitian.hpp and the
// solve with its factor; HERMINV built on both.
#include <limits>
#include <vector>

#include "numerics/hermitian.hpp"
#include "numerics/numerics.hpp"

namespace kelv {

namespace {

// Solves U^H D U x = b with the factor held in t; b is replaced by x.
template <class T>
void solveFactored(int32_t n, View1<const std::complex<T>> t, View1<std::complex<T>> b) {
  using Z = std::complex<T>;
  // Forward sweep: U^H y = b.
  for (int32_t j = 2; j <= n; ++j) {
    double sre = 0.0;
    double sim = 0.0;
    for (int32_t l = j - 1; l >= 1; --l) {
      const Z u = t(packed(l, j));
      const Z v = b(l);
      const double ure = u.real(), uim = u.imag(), vre = v.real(), vim = v.imag();
      sre += ure * vre + uim * vim;
      sim += ure * vim - uim * vre;
    }
    const Z bj = b(j);
    b(j) = Z(static_cast<T>(bj.real() - sre), static_cast<T>(bj.imag() - sim));
  }

  const T dn = t(packed(n, n)).real();
  b(n) = Z(b(n).real() / dn, b(n).imag() / dn);

  // Backward sweep: D U x = y, dividing by the pivot before the sum is subtracted.
  for (int32_t j = n - 1; j >= 1; --j) {
    double sre = 0.0;
    double sim = 0.0;
    for (int32_t k = j + 1; k <= n; ++k) {
      const Z u = t(packed(j, k));
      const Z v = b(k);
      const double ure = u.real(), uim = u.imag(), vre = v.real(), vim = v.imag();
      sre += ure * vre - uim * vim;
      sim += ure * vim + uim * vre;
    }
    const double dj = t(packed(j, j)).real();
    const Z bj = b(j);
    b(j) = Z(static_cast<T>(bj.real() / dj - sre), static_cast<T>(bj.imag() / dj - sim));
  }
}

template <class T>
void solveHermitian(int32_t n, T eps, std::complex<T>* t, std::complex<T>* b, int32_t& status) {
  status = 0;
  if (n <= 0) return;
  View1<std::complex<T>> tv(t, packed(n, n));
  PivotStatus<T> pivots{eps};
  const bool factored = factorHermitian(n, tv, pivots);
  status = pivots.status;
  if (!factored) return;
  solveFactored(n, View1<const std::complex<T>>(t, packed(n, n)), View1<std::complex<T>>(b, n));
}

template <class T>
int32_t invertHermitian(int32_t n, const std::complex<T>* a, std::complex<T>* b) {
  using Z = std::complex<T>;
  if (n <= 0) return 0;
  View2<const Z> A(a, n, n);
  View2<Z> Binv(b, n, n);
  std::vector<Z> t(static_cast<size_t>(packed(n, n)));
  std::vector<Z> e(static_cast<size_t>(n));
  View1<Z> E(e.data(), n);

  // The packed upper triangle is the conjugate of the lower one, read row by row;
  // the upper triangle of a is never looked at.
  int64_t pos = 0;
  for (int32_t j = 1; j <= n; ++j)
    for (int32_t k = 1; k <= j; ++k) t[static_cast<size_t>(pos++)] = std::conj(A(j, k));

  // Factorise once, solving for the first unit vector on the way, then reuse the
  // factor for the other columns.
  for (int32_t r = 1; r <= n; ++r) E(r) = Z(0, 0);
  E(1) = Z(1, 0);
  int32_t status = 0;
  solveHermitian(n, T(1.0e-15f), t.data(), e.data(), status);

  // A matrix that is not positive definite has no inverse here; every column would
  // fail, and identity columns would pass on as plausible numbers.
  if (status == -1) {
    const T nan = std::numeric_limits<T>::quiet_NaN();
    for (int32_t j = 1; j <= n; ++j)
      for (int32_t i = 1; i <= n; ++i) Binv(i, j) = Z(nan, nan);
    return status;
  }

  for (int32_t r = 1; r <= n; ++r) Binv(r, 1) = E(r);
  for (int32_t i = 2; i <= n; ++i) {
    for (int32_t r = 1; r <= n; ++r) E(r) = Z(0, 0);
    E(i) = Z(1, 0);
    solveFactored(n, View1<const Z>(t.data(), packed(n, n)), E);
    for (int32_t r = 1; r <= n; ++r) Binv(r, i) = E(r);
  }
  return status;
}

}  // namespace

void CHOLESKY(int32_t n, float eps, cfloat* t, cfloat* b, int32_t& status) {
  solveHermitian(n, eps, t, b, status);
}
void CHOLESKY(int32_t n, double eps, cdouble* t, cdouble* b, int32_t& status) {
  solveHermitian(n, eps, t, b, status);
}
int32_t HERMINV(int32_t n, const cfloat* a, cfloat* b) {
  return invertHermitian(n, a, b);
}
int32_t HERMINV(int32_t n, const cdouble* a, cdouble* b) {
  return invertHermitian(n, a, b);
}

}  // namespace kelv
