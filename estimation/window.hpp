// One window of a record as the analysis takes it: from the caller's samples into a
// window buffer, preprocessed, fitted, and turned into a column of the grid.
#pragma once

#include <cstdint>

#include "estimation/lanes.hpp"
#include "kelvarodine/analysis.hpp"

namespace kelv {

// Working storage of one thread: a window buffer (nch x nfft) and the spectral
// stage's arrays, sized once from the plan and reused for every window.
struct WindowWork {
  explicit WindowWork(const Plan& plan);
  std::vector<float> windowData;
  SpectralWork spectral;
};

// Copies samples start .. start + nlen - 1 of the record (nch x nlen) into windowData
// (nch x nfft) and zeroes columns nlen + 1 .. nfft. Returns false when one of the
// samples is not finite (a gap).
bool copyStretch(const Plan& plan, const Samples& samples, int64_t start, float* windowData);
// The same for window w, whose first sample is (w - 1) shift + 1.
inline bool copyWindow(const Plan& plan, const Samples& samples, int64_t w, float* windowData) {
  return copyStretch(plan, samples, 1 + (w - 1) * plan.shift, windowData);
}

// One window from windowData (nch x nfft, samples in columns 1..nlen, zeros after) to
// column(1..nfreq): preprocessing in place, the fit and the measure at every
// frequency, and with coherences (nch x nfreq) each channel's R(m). Returns the
// number of singular matrices the fit met (the column is then blank).
int32_t analyseWindowData(const Plan& plan, float* windowData, SpectralWork& spectral,
                          float* column, float* coherences = nullptr);

}  // namespace kelv
