// One window of a record: its samples copied, preprocessed, fitted and turned into a
// column of the grid.
#include "estimation/window.hpp"

#include <algorithm>
#include <cmath>

#include "estimation/estimation.hpp"
#include "numerics/arrays.hpp"

namespace kelv {

WindowWork::WindowWork(const Plan& plan)
    : windowData(static_cast<std::size_t>(plan.nch) * static_cast<std::size_t>(plan.nfft)),
      spectral(plan.order, plan.nch, plan.nfft, plan.nfreq) {}

bool copyStretch(const Plan& plan, const Samples& samples, int64_t start, float* windowData) {
  const int32_t nch = plan.nch;
  const View2<float> window(windowData, nch, plan.nfft);
  // Offsets are 64-bit: a record of many channels may exceed the range of a 32-bit
  // index.
  const float* first = samples.data + (start - samples.first) * samples.sampleStride;
  bool finite = true;
  for (int64_t k = 1; k <= plan.nlen; ++k) {
    const float* column = first + (k - 1) * samples.sampleStride;
    for (int32_t j = 1; j <= nch; ++j) {
      const float v = column[(j - 1) * samples.channelStride];
      finite = finite && std::isfinite(v);
      window(j, k) = v;
    }
  }
  std::fill(windowData + int64_t(nch) * plan.nlen, windowData + int64_t(nch) * plan.nfft, 0.0f);
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
