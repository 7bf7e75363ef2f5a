// The moving-window loop: every window of nlen samples, shift samples apart, is
// preprocessed, fitted and turned into one column of the result grid. Windows are
// independent of each other, so several threads may analyse them at once; the
// console still receives exactly the bytes of a one-thread run.
#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <vector>

#include "driver/analysis.hpp"
#include "driver/workers.hpp"
#include "estimation/estimation.hpp"
#include "estimation/lanes.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

constexpr std::array<Field, 4> kProgressFields = {literal("+"), literal("Processing interval # "),
                                                  intField(10), intField(10)};

void writeProgressLine(int32_t w, int32_t nWindows) {
  const std::array<int32_t, 2> counts = {w, nWindows - w + 1};
  formattedWrite(consoleOutput(), kProgressFields, counts, {});
}

// One thread's working storage for a window: the window buffer (the caller's or its
// own) and the spectral stage's arrays, created before the loop and reused for every
// window.
struct WindowWork {
  std::unique_ptr<float[]> ownWindow;
  float* windowData;  // nch x nfft
  SpectralWork spectral;

  WindowWork(const RunParameters& run, float* windowData)
      : windowData(windowData), spectral(run.order, run.nch, run.nfft, run.nfreq) {}

  explicit WindowWork(const RunParameters& run)
      : ownWindow(createArray<float>({run.nch, run.nfft})),
        windowData(ownWindow.get()),
        spectral(run.order, run.nch, run.nfft, run.nfreq) {}
};

// The console lines that follow a window's progress line: one warning for every
// inversion of the fit that met a singular matrix.
void writeDegenerateWarnings(int32_t count) {
  for (int32_t i = 1; i <= count; ++i) writeConsoleLine("ATTENSION: MATRIX DEGENERATES !");
}

// Window w, from the samples to gridColumn(1..nfreq); returns the number of singular
// matrices the fit met (the column is then blank). Writes nothing to the console.
int32_t analyseWindow(const RunParameters& run, const float* samples, int32_t w, WindowWork& work,
                      float* gridColumn) {
  const int32_t nch = run.nch;
  const int32_t nlen = run.nlen;
  const int32_t nfft = run.nfft;

  // Offsets are 64-bit: nch x maxSamples may exceed the range of a 32-bit index.
  const View2<const float> sampleView(samples, nch, run.maxSamples);
  const View2<float> window(work.windowData, nch, nfft);
  const int64_t windowSize = int64_t(nch) * nfft;
  const int64_t windowStart = 1 + int64_t(w - 1) * run.shift;

  std::fill(work.windowData, work.windowData + windowSize, 0.0f);
  // A window never reaches past the common length of the series; the bound only
  // matters for a window longer than the record, which must not read storage the
  // series never filled.
  const int64_t copied = std::min<int64_t>(nlen, int64_t(run.realSamples) - windowStart + 1);
  for (int64_t k = 1; k <= copied; ++k)
    for (int32_t j = 1; j <= nch; ++j) window(j, k) = sampleView(j, windowStart + k - 1);

  return analyseWindowData(run, work.windowData, work.spectral, gridColumn);
}

float* gridColumn(const RunParameters& run, float* grid, int64_t w) {
  return grid + (w - 1) * int64_t(run.nfreq);
}

void runSequentially(const RunParameters& run, const float* samples, WindowWork& work,
                     float* grid) {
  for (int32_t w = 1; w <= run.nWindows; ++w) {
    writeProgressLine(w, run.nWindows);
    writeDegenerateWarnings(analyseWindow(run, samples, w, work, gridColumn(run, grid, w)));
  }
}

}  // namespace

int32_t analyseWindowData(const RunParameters& run, float* windowData, SpectralWork& spectral,
                          float* gridColumn) {
  TRANSFX(run.nch, run.nlen, run.nfft, 1, run.idiff, windowData);
  // The fit, the spectral matrices and the measure at every frequency, in double
  // precision from the preprocessed window on.
  return coherenceSpectrum(run.nlen, windowData, spectral, gridColumn);
}

void runWindowLoop(const RunParameters& run, const float* samples, float* windowData, float* grid) {
  if (run.nWindows <= 0) return;
  const int32_t threads = std::min(analysisThreads(), run.nWindows);
  std::vector<WindowWork> works;
  works.reserve(static_cast<std::size_t>(threads));
  works.emplace_back(run, windowData);
  if (threads == 1) {
    runSequentially(run, samples, works.front(), grid);
    return;
  }
  for (int32_t t = 2; t <= threads; ++t) works.emplace_back(run);

  // The calling thread only writes the console, window after window, in bursts as
  // they finish; a worker runs at most `ahead` windows in front of it.
  const int64_t ahead = 4 * int64_t(threads);
  std::vector<int32_t> degenerate(static_cast<std::size_t>(ahead));
  const auto slot = [&](int64_t w) -> int32_t& {
    return degenerate[static_cast<std::size_t>((w - 1) % ahead)];
  };
  runInOrder(
      threads, run.nWindows, ahead,
      [&](int32_t t, int64_t w) {
        slot(w) = analyseWindow(run, samples, static_cast<int32_t>(w),
                                works[static_cast<std::size_t>(t)], gridColumn(run, grid, w));
      },
      [&](int64_t w) {
        writeProgressLine(static_cast<int32_t>(w), run.nWindows);
        writeDegenerateWarnings(slot(w));
      });
}

}  // namespace kelv
