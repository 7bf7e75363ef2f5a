// Canonical (multiple) coherences of every channel with the rest, and their measure;
// one algorithm for float and for double storage.
#include <cmath>
#include <complex>
#include <vector>

#include "estimation/measure.hpp"
#include "numerics/numerics.hpp"
#include "reference/reference.hpp"

namespace kelv {

namespace {

template <class T>
void coherencesOf(const std::complex<T>* freqMatrix, int32_t nch, T* coherences) {
  using Z = std::complex<T>;
  const int32_t n = nch;
  const int32_t r = n - 1;  // order of the reduced matrices
  const size_t rr = static_cast<size_t>(r > 0 ? r : 0);
  std::vector<Z> aStore(rr * rr), bStore(rr * rr), cStore(rr), wStore(rr);

  View2<const Z> S(freqMatrix, n, n);
  View1<T> R(coherences, n);
  View2<Z> A(aStore.data(), r, r), B(bStore.data(), r, r);
  View1<Z> c(cStore.data(), r), w(wStore.data(), r);

  for (int32_t m = 1; m <= n; ++m) {
    const T s = S(m, m).real();

    // Column m without its diagonal element into c, and S without row and column m
    // into A, the other rows and columns keeping their order.
    for (int32_t j = 1; j <= n; ++j)
      if (j != m) c(j > m ? j - 1 : j) = S(j, m);
    for (int32_t q = 1; q <= n; ++q) {
      if (q == m) continue;
      for (int32_t p = 1; p <= n; ++p)
        if (p != m) A(p > m ? p - 1 : p, q > m ? q - 1 : q) = S(p, q);
    }

    HERMINV(r, aStore.data(), bStore.data());

    for (int32_t i = 1; i <= r; ++i) {
      double wre = 0.0, wim = 0.0;
      for (int32_t k = 1; k <= r; ++k) {
        const double br = B(i, k).real(), bi = B(i, k).imag();
        const double cr = c(k).real(), ci = c(k).imag();
        wre += br * cr - bi * ci;
        wim += br * ci + bi * cr;
      }
      w(i) = Z(static_cast<T>(wre), static_cast<T>(wim));
    }

    // Real part of c^H w; rounding can leave a tiny negative value.
    double q = 0.0;
    for (int32_t i = 1; i <= r; ++i)
      q += static_cast<double>(c(i).real()) * w(i).real() +
           static_cast<double>(c(i).imag()) * w(i).imag();
    R(m) = static_cast<T>(std::fabs(q) / static_cast<double>(s));
  }
}

}  // namespace

void CANOCOH(const cfloat* freqMatrix, int32_t nch, float* coherences) {
  coherencesOf(freqMatrix, nch, coherences);
}
void CANOCOH(const cdouble* freqMatrix, int32_t nch, double* coherences) {
  coherencesOf(freqMatrix, nch, coherences);
}
float coherenceMeasure(const float* coherences, int32_t nch) {
  return static_cast<float>(measureOf(View1<const float>(coherences, nch), nch));
}
double coherenceMeasure(const double* coherences, int32_t nch) {
  return measureOf(View1<const double>(coherences, nch), nch);
}

}  // namespace kelv
