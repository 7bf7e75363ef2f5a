// The moving-window loop: every window of nlen samples, shift samples apart, is
// preprocessed, fitted and turned into one column of the result grid.
#include <algorithm>
#include <array>
#include <cstdint>

#include "driver/analysis.hpp"
#include "estimation/estimation.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

constexpr std::array<Field, 4> kProgressFields = {literal("+"), literal("Processing interval # "),
                                                  intField(10), intField(10)};

}  // namespace

void runWindowLoop(const RunParameters& run, const float* samples, float* windowData,
                   cfloat* spectra, cfloat* freqMatrix, float* coherences, float* grid) {
  const int32_t nch = run.nch;
  const int32_t nlen = run.nlen;
  const int32_t nfft = run.nfft;
  const int32_t nfreq = run.nfreq;
  const int32_t nWindows = run.nWindows;

  // Offsets are 64-bit: nch x maxSamples may exceed the range of a 32-bit index.
  const View2<const float> sampleView(samples, nch, run.maxSamples);
  const View2<float> window(windowData, nch, nfft);
  const View3<cfloat> spectraView(spectra, nch, nch, nfreq);
  const View2<float> gridView(grid, nfreq, std::max<int32_t>(nWindows, 0));
  const int64_t windowSize = int64_t(nch) * nfft;
  const int64_t matrixSize = int64_t(nch) * nch;

  int64_t windowStart = 1;
  for (int32_t w = 1; w <= nWindows; ++w) {
    std::fill(windowData, windowData + windowSize, 0.0f);
    // A window never reaches past the common length of the series; the bound only
    // matters for a window longer than the record, which must not read storage the
    // series never filled.
    const int64_t copied = std::min<int64_t>(nlen, int64_t(run.realSamples) - windowStart + 1);
    for (int64_t k = 1; k <= copied; ++k)
      for (int32_t j = 1; j <= nch; ++j) window(j, k) = sampleView(j, windowStart + k - 1);

    TRANSFX(nch, nlen, nfft, 1, run.idiff, windowData);

    const std::array<int32_t, 2> counts = {w, nWindows - w + 1};
    formattedWrite(consoleOutput(), kProgressFields, counts, {});

    ARSPECTR(run.order, nch, nlen, nfft, nfreq, windowData, spectra);

    for (int32_t f = 1; f <= nfreq; ++f) {
      const cfloat* slice = &spectraView(1, 1, f);
      std::copy(slice, slice + matrixSize, freqMatrix);
      CANOCOH(freqMatrix, nch, coherences);
      gridView(f, w) = coherenceMeasure(coherences, nch);
    }
    windowStart += run.shift;
  }
}

}  // namespace kelv
