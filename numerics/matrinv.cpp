// Gauss-Jordan inversion of real matrices with column interchanges, one algorithm
// for float and double storage.
#include <cmath>
#include <utility>
#include <vector>

#include "numerics/numerics.hpp"

namespace kelv {

namespace {

template <class T>
void invertInPlace(T* a, int32_t& n, int32_t* ipiv) {
  const int32_t order = n;
  if (order <= 0) return;
  View2<T> A(a, order, order);
  View1<int32_t> piv(ipiv, order);

  for (int32_t i = 1; i <= order; ++i) piv(i) = i;
  int32_t steps = 0;

  for (int32_t k = 1; k <= order; ++k) {
    // Strictly larger only: the leftmost of equal maxima is the pivot. A row that
    // is zero from column k on (or holds nothing but not-a-number) ends the
    // elimination; any nonzero pivot is accepted.
    T best = 0;
    int32_t q = k;
    for (int32_t j = k; j <= order; ++j) {
      const T mag = std::fabs(A(k, j));
      if (mag > best) {
        best = mag;
        q = j;
      }
    }
    if (!(best > 0)) break;

    if (q != k) {
      for (int32_t s = 1; s <= order; ++s) std::swap(A(s, k), A(s, q));
      std::swap(piv(k), piv(q));
    }
    ++steps;

    const T p = A(k, k);
    A(k, k) = 1;
    const T r = T(1) / p;
    for (int32_t s = 1; s <= order; ++s) A(s, k) *= r;

    for (int32_t i = 1; i <= order; ++i) {
      if (i == k) continue;
      const T h = -A(k, i);
      A(k, i) = 0;
      for (int32_t s = 1; s <= order; ++s) A(s, i) = A(s, i) + h * A(s, k);
    }
  }

  // The columns were interchanged, so the rows of the inverse come out permuted.
  if (steps == order) {
    for (int32_t k = 1; k <= order; ++k) {
      if (piv(k) == k) continue;
      int32_t i = k;
      while (piv(i) != k) ++i;
      for (int32_t col = 1; col <= order; ++col) std::swap(A(k, col), A(i, col));
      piv(i) = piv(k);
      piv(k) = k;
    }
  }
  n = steps;
}

template <class T>
bool invertCopy(int32_t n, const T* a, T* ainv) {
  if (n <= 0) return true;
  View2<const T> A(a, n, n);
  View2<T> Ainv(ainv, n, n);
  const auto count = static_cast<size_t>(n) * static_cast<size_t>(n);
  std::vector<T> work(count);
  std::vector<int32_t> ipiv(static_cast<size_t>(n));
  View2<T> W(work.data(), n, n);

  for (int32_t j = 1; j <= n; ++j)
    for (int32_t i = 1; i <= n; ++i) W(i, j) = A(i, j);
  int32_t steps = n;
  invertInPlace(work.data(), steps, ipiv.data());
  for (int32_t j = 1; j <= n; ++j)
    for (int32_t i = 1; i <= n; ++i) Ainv(i, j) = W(i, j);
  return steps == n;
}

}  // namespace

void INVRSM(float* a, int32_t& n, int32_t* ipiv) {
  invertInPlace(a, n, ipiv);
}
void INVRSM(double* a, int32_t& n, int32_t* ipiv) {
  invertInPlace(a, n, ipiv);
}
bool MATRINV(int32_t n, const float* a, float* ainv) {
  return invertCopy(n, a, ainv);
}
bool MATRINV(int32_t n, const double* a, double* ainv) {
  return invertCopy(n, a, ainv);
}

}  // namespace kelv
