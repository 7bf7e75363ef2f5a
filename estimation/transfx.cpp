// Window preprocessing: trend, differences, outlier clipping, standardisation.
#include <cassert>
#include <cmath>
#include <vector>

#include "estimation/estimation.hpp"
#include "numerics/numerics.hpp"

namespace kelv {

void TRANSFX(int32_t nch, int32_t nlen, int32_t nfft, int32_t itrend, int32_t idiff, float* x) {
  assert(nlen >= 1 && nlen <= nfft);
  const int32_t n = nlen;
  // Every mean and variance divides by the window length as a float, widened.
  const double N = static_cast<double>(static_cast<float>(nlen));
  View2<float> X(x, nch, nfft);
  std::vector<float> work(static_cast<size_t>(n));
  View1<float> chan(work.data(), n);

  for (int32_t c = 1; c <= nch; ++c) {
    for (int32_t k = 1; k <= n; ++k) chan(k) = X(c, k);

    if (itrend == 1) LTREND(chan.data(), n);

    if (idiff == 1) {
      for (int32_t k = 1; k <= n - 1; ++k) chan(k) = chan(k + 1) - chan(k);
      chan(n) = 0.0f;
    }

    // Ten passes of centring and clipping at three population standard deviations;
    // each pass centres the values the previous pass clipped.
    for (int pass = 1; pass <= 10; ++pass) {
      double sum = 0.0;
      for (int32_t k = 1; k <= n; ++k) sum += chan(k);
      const double m = sum / N;
      double q = 0.0;
      for (int32_t k = 1; k <= n; ++k) {
        const double d = static_cast<double>(chan(k)) - m;
        chan(k) = static_cast<float>(d);
        q += d * d;
      }
      const double t = 3.0 * std::sqrt(q / N);
      for (int32_t k = 1; k <= n; ++k) {
        if (chan(k) > t) chan(k) = static_cast<float>(t);
        if (chan(k) < -t) chan(k) = static_cast<float>(-t);
      }
    }

    // Standardisation. A channel that is constant here has s = 0 and becomes
    // not-a-number: its measure is undefined, and the grid shows it as such.
    double sum = 0.0;
    for (int32_t k = 1; k <= n; ++k) sum += chan(k);
    const float m = static_cast<float>(sum / N);
    double q = 0.0;
    for (int32_t k = 1; k <= n; ++k) {
      const double d = static_cast<double>(chan(k)) - static_cast<double>(m);
      q += d * d;
    }
    const double s = std::sqrt(q / N);
    for (int32_t k = 1; k <= n; ++k)
      chan(k) = static_cast<float>((static_cast<double>(chan(k)) - static_cast<double>(m)) / s);

    for (int32_t k = 1; k <= n; ++k) X(c, k) = chan(k);
  }
}

}  // namespace kelv
