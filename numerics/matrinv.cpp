// Gauss-Jordan inversion of real matrices with column interchanges, one algorithm
// for float and double storage.
#include <vector>

#include "numerics/gauss_jordan.hpp"
#include "numerics/numerics.hpp"

namespace kelv {

namespace {

template <class T>
void invertInPlace(T* a, int32_t& n, int32_t* ipiv) {
  const int64_t ld = n;
  invertColumns<1>(a, ld, n, ipiv);
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
