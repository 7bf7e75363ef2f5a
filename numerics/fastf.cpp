// Radix-2 decimation-in-time FFT.
#include <cassert>
#include <cmath>
#include <utility>

#include "numerics/lanes.hpp"
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

}  // namespace

void FASTF(float* xre, float* xim, int32_t n) {
  assert(n >= 2 && (n & (n - 1)) == 0);
  View1<float> re(xre, n), im(xim, n);

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
        re(ip) = static_cast<float>(re(i) - tre);
        im(ip) = static_cast<float>(im(i) - tim);
        re(i) = static_cast<float>(re(i) + tre);
        im(i) = static_cast<float>(im(i) + tim);
      }
      const double nre = wre * ure - wim * uim;
      const double nim = wim * ure + wre * uim;
      ure = nre;
      uim = nim;
    }
  }
}

void fastfTwiddles(int32_t n, double* table) {
  const double pi = static_cast<double>(3.1415927f);
  for (int32_t half = 1; half < n; half *= 2) {
    const double theta = -pi / static_cast<double>(half);
    const double wre = std::cos(theta);
    const double wim = std::sin(theta);
    double ure = 1.0;
    double uim = 0.0;
    double* stage = table + 2 * (half - 1);
    for (int32_t jj = 0; jj < half; ++jj) {
      stage[2 * jj] = ure;
      stage[2 * jj + 1] = uim;
      const double nre = wre * ure - wim * uim;
      const double nim = wim * ure + wre * uim;
      ure = nre;
      uim = nim;
    }
  }
}

KELV_LANE_KERNEL void fastfLanes(int32_t n, int32_t nonzero, const double* twiddles, LaneF* xre,
                                 LaneF* xim) {
  assert(n >= 2 && (n & (n - 1)) == 0);
  View1<LaneF> re(xre, n), im(xim, n);

  int32_t bits = 0;
  while ((int32_t{1} << bits) < n) ++bits;

  bitReverse(re, im, n);

  // At stage s the block of le = 2^s positions starting at b * le holds the inputs
  // whose index (from 0) is congruent to the bit reversal of b modulo n / le; its
  // smallest input index is that reversal. A block whose inputs are all zero stays
  // +0.0 through the stage, so only blocks with a reversal below `nonzero` are
  // transformed. Butterflies of one stage touch disjoint pairs, so blocks may be
  // taken in any order; each uses the twiddle FASTF uses for its position.
  for (int32_t stage = 1; stage <= bits; ++stage) {
    const int32_t le = int32_t{1} << stage;
    const int32_t half = le / 2;
    const int32_t blockBits = bits - stage;
    const int32_t blocks = n / le;
    const double* tw = twiddles + 2 * (half - 1);
    for (int32_t r = 0; r < blocks && r < nonzero; ++r) {
      int32_t b = 0;
      for (int32_t bit = 0; bit < blockBits; ++bit) b |= ((r >> bit) & 1) << (blockBits - 1 - bit);
      const int32_t base = b * le;
      for (int32_t jj = 0; jj < half; ++jj) {
        const LaneD ure = splat(tw[2 * jj]);
        const LaneD uim = splat(tw[2 * jj + 1]);
        const int32_t i = base + jj + 1;
        const int32_t ip = i + half;
        const LaneD xr = widen(re(ip)), xi = widen(im(ip));
        const LaneD tre = ure * xr - uim * xi;
        const LaneD tim = uim * xr + ure * xi;
        const LaneD ar = widen(re(i)), ai = widen(im(i));
        re(ip) = narrow(ar - tre);
        im(ip) = narrow(ai - tim);
        re(i) = narrow(ar + tre);
        im(i) = narrow(ai + tim);
      }
    }
  }
}

}  // namespace kelv
