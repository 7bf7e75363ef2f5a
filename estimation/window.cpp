// One window of a record: its samples copied, preprocessed, fitted and turned into a
// column of the grid.
#include "estimation/window.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>

#include "estimation/estimation.hpp"
#include "numerics/arrays.hpp"

namespace kelv {

WindowWork::WindowWork(const Plan& plan)
    : windowData(static_cast<std::size_t>(plan.nch) * static_cast<std::size_t>(plan.nfft)),
      spectral(plan.order, plan.nch, plan.nfft, plan.nfreq) {}

namespace {

// Copies from[0 .. n - 1] to to[0 .. n - 1]; whether all are finite. A value's
// magnitude bits plus one step of the exponent carry into the sign bit exactly when the
// exponent is all ones (an infinity or a NaN); the OR of those sums, taken as the values
// pass, has no early exit, so the copy and the test vectorise as one loop.
bool copyFinite(const float* from, int64_t n, float* to) {
  uint32_t carried = 0;
  for (int64_t i = 0; i < n; ++i) {
    const float v = from[i];
    to[i] = v;
    carried |= (std::bit_cast<uint32_t>(v) & 0x7FFFFFFFu) + 0x00800000u;
  }
  return (carried >> 31) == 0;
}

}  // namespace

bool copyStretch(const Plan& plan, const Samples& samples, int64_t start, float* windowData) {
  const int32_t nch = plan.nch;
  const int64_t copied = int64_t(nch) * plan.nlen;
  // Offsets are 64-bit: a record of many channels may exceed the range of a 32-bit
  // index.
  const float* first = samples.data + (start - samples.first) * samples.sampleStride;
  bool finite = true;
  if (samples.sampleStride == nch && (samples.channelStride == 1 || nch == 1)) {
    // Channels side by side, as the program holds its series: the window's samples
    // are one block in the window buffer's own layout.
    finite = copyFinite(first, copied, windowData);
  } else {
    const View2<float> window(windowData, nch, plan.nfft);
    for (int64_t k = 1; k <= plan.nlen; ++k) {
      const float* column = first + (k - 1) * samples.sampleStride;
      for (int32_t j = 1; j <= nch; ++j) {
        const float v = column[(j - 1) * samples.channelStride];
        finite = finite && std::isfinite(v);
        window(j, k) = v;
      }
    }
  }
  std::fill(windowData + copied, windowData + int64_t(nch) * plan.nfft, 0.0f);
  return finite;
}

int32_t analyseWindowData(const Plan& plan, float* windowData, SpectralWork& spectral,
                          float* column, float* coherences) {
  TRANSFX(plan.nch, plan.nlen, plan.nfft, 1, plan.idiff, windowData);
  // The fit, the spectral matrices and the measure at every frequency, in double
  // precision from the preprocessed window on.
  return coherenceSpectrum(plan.nlen, windowData, spectral, column, coherences);
}

}  // namespace kelv
