// Radix-2 decimation-in-time FFT.
#include <cassert>
#include <cmath>
#include <utility>

#include "numerics/numerics.hpp"

namespace kelv {

namespace {

// The bit-reversal permutation that starts the transform, applied to both parts.
template <class T>
void bitReverse(View1<T> re, View1<T> im, int32_t n) {
  int32_t j = 1;
  for (int32_t i = 1; i <= n - 1; ++i) {
    if (i < j) {
      std::swap(re(i), re(j));
      std::swap(im(i), im(j));
    }
    int32_t k = n / 2;
    while (k < j) {
      j -= k;
      k /= 2;
    }
    j += k;
  }
}

template <class T>
void transform(T* xre, T* xim, int32_t n) {
  assert(n >= 2 && (n & (n - 1)) == 0);
  View1<T> re(xre, n), im(xim, n);

  int32_t stages = 0;
  int32_t c = n;
  do {
    c /= 2;
    ++stages;
  } while (c >= 2);

  bitReverse(re, im, n);

  // The angle uses pi rounded to float, as everywhere in the program; the twiddle
  // itself is advanced in double so that its error does not grow into the data.
  const double pi = static_cast<double>(3.1415927f);
  for (int32_t stage = 1; stage <= stages; ++stage) {
    const int32_t le = int32_t{1} << stage;
    const int32_t half = le / 2;
    const double theta = -pi / static_cast<double>(half);
    const double wre = std::cos(theta);
    const double wim = std::sin(theta);
    double ure = 1.0;
    double uim = 0.0;
    for (int32_t jj = 1; jj <= half; ++jj) {
      for (int32_t i = jj; i <= n; i += le) {
        const int32_t ip = i + half;
        const double tre = ure * re(ip) - uim * im(ip);
        const double tim = uim * re(ip) + ure * im(ip);
        re(ip) = static_cast<T>(re(i) - tre);
        im(ip) = static_cast<T>(im(i) - tim);
        re(i) = static_cast<T>(re(i) + tre);
        im(i) = static_cast<T>(im(i) + tim);
      }
      const double nre = wre * ure - wim * uim;
      const double nim = wim * ure + wre * uim;
      ure = nre;
      uim = nim;
    }
  }
}

}  // namespace

void FASTF(float* xre, float* xim, int32_t n) {
  transform(xre, xim, n);
}
void FASTF(double* xre, double* xim, int32_t n) {
  transform(xre, xim, n);
}

}  // namespace kelv
