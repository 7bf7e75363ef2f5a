// Window preprocessing: trend, differences, outlier clipping, standardisation.
//
// Channels are independent, so kLanes of them are preprocessed side by side, each
// lane doing exactly the arithmetic of one channel (see numerics/lanes.hpp).
#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstring>
#include <vector>

#include "estimation/estimation.hpp"
#include "numerics/lanes.hpp"
#include "numerics/ltrend.hpp"

namespace kelv {

namespace {

// The largest magnitude a channel enters the steps below with. Its residuals,
// differences and clipping limits stay within some tens of times its largest sample
// (at most about 32 times), so from 2^123 on they could exceed the largest float.
constexpr float kLargestKept = 0x1p120f;

// Each lane's magnitude, as std::fabs gives it: the sign bit cleared.
KELV_LANE_INLINE LaneF laneAbs(LaneF x) {
  using Bits = int32_t __attribute__((vector_size(sizeof(LaneF))));
  Bits b;
  std::memcpy(&b, &x, sizeof b);
  b &= 0x7FFFFFFF;
  std::memcpy(&x, &b, sizeof x);
  return x;
}

}  // namespace

KELV_LANE_KERNEL void TRANSFX(int32_t nch, int32_t nlen, int32_t nfft, int32_t itrend,
                              int32_t idiff, float* x) {
  assert(nlen >= 1 && nlen <= nfft);
  const int32_t n = nlen;
  // Every mean and variance divides by the window length as a float, widened.
  const double N = static_cast<double>(static_cast<float>(nlen));
  View2<float> X(x, nch, nfft);
  LaneVector<LaneF> work(static_cast<size_t>(n));
  View1<LaneF> chan(work.data(), n);

  for (int32_t first = 1; first <= nch; first += kLanes) {
    // Lanes past the last channel repeat it and are not stored back.
    const int32_t used = std::min<int32_t>(kLanes, nch - first + 1);
    if (used == kLanes)
      for (int32_t k = 1; k <= n; ++k) std::memcpy(&chan(k), &X(first, k), sizeof(LaneF));
    else
      for (int32_t k = 1; k <= n; ++k)
        for (int l = 0; l < kLanes; ++l) chan(k)[l] = X(first + std::min(l, used - 1), k);

    // A channel whose samples reach kLargestKept is first scaled down by a power of
    // two, below it. That is exact, and every step below commutes with it (sums,
    // products, quotients and square roots of scaled values are the scaled results),
    // so the standardised channel has the very bits it would have at an ordinary
    // scale, and the measure does not depend on the scale. Other channels are left
    // as they are.
    LaneF scale = splatF(1.0f);
    bool scaled = false;
    LaneF largest = splatF(0.0f);  // not-a-number is passed over, as by std::max
    for (int32_t k = 1; k <= n; ++k) {
      const LaneF a = laneAbs(chan(k));
      largest = largest < a ? a : largest;
    }
    for (int l = 0; l < kLanes; ++l) {
      if (largest[l] >= kLargestKept && std::isfinite(largest[l])) {
        scale[l] = std::ldexp(1.0f, std::ilogb(kLargestKept) - 1 - std::ilogb(largest[l]));
        scaled = true;
      }
    }
    if (scaled)
      for (int32_t k = 1; k <= n; ++k) chan(k) *= scale;

    if (itrend == 1) removeTrend(chan, n);

    if (idiff == 1) {
      for (int32_t k = 1; k <= n - 1; ++k) chan(k) = chan(k + 1) - chan(k);
      chan(n) = splatF(0.0f);
    }

    // Ten passes of centring and clipping at three population standard deviations;
    // each pass centres the values the previous pass clipped. Values above t become
    // t rounded to a float, those below -t become -t rounded. That is clipping the
    // floats at those rounded limits: the one float between t and its rounding, if
    // any, is the rounding itself, and whether it is replaced by itself makes no
    // difference. The sum of the clipped values, the next pass's (or the
    // standardisation's) mean, is taken as they are stored.
    LaneD sum = splat(0.0);
    for (int32_t k = 1; k <= n; ++k) sum += widen(chan(k));
    for (int pass = 1; pass <= 10; ++pass) {
      const LaneD m = sum / N;
      LaneD q = splat(0.0);
      for (int32_t k = 1; k <= n; ++k) {
        const LaneD d = widen(chan(k)) - m;
        chan(k) = narrowTo<LaneF>(d);
        q += d * d;
      }
      const LaneD t = 3.0 * laneSqrt(q / N);
      const LaneF upper = narrowTo<LaneF>(t), lower = narrowTo<LaneF>(-t);
      sum = splat(0.0);
      for (int32_t k = 1; k <= n; ++k) {
        LaneF v = chan(k);
        v = v > upper ? upper : v;
        v = v < lower ? lower : v;
        chan(k) = v;
        sum += widen(v);
      }
    }

    // Standardisation. A channel that is constant here has s = 0 and becomes
    // not-a-number: its measure is undefined, and the grid shows it as such.
    const LaneD m = widen(narrowTo<LaneF>(sum / N));
    LaneD q = splat(0.0);
    for (int32_t k = 1; k <= n; ++k) {
      const LaneD d = widen(chan(k)) - m;
      q += d * d;
    }
    const LaneD s = laneSqrt(q / N);
    for (int32_t k = 1; k <= n; ++k) chan(k) = narrowTo<LaneF>((widen(chan(k)) - m) / s);

    if (used == kLanes)
      for (int32_t k = 1; k <= n; ++k) std::memcpy(&X(first, k), &chan(k), sizeof(LaneF));
    else
      for (int32_t k = 1; k <= n; ++k)
        for (int l = 0; l < used; ++l) X(first + l, k) = chan(k)[l];
  }
}

}  // namespace kelv
