// The main program: banner, input files, the five questions, the arrays, the
// window loop and the grid file.
#include "driver/kelvarodine.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "driver/analysis.hpp"
#include "textio/textio.hpp"

namespace kelv {

int32_t fftLength(int32_t nlen) {
  if (nlen <= 1) return 1;
  int32_t nfft = 2;
  while (nfft < nlen) nfft *= 2;
  return nfft;
}

int32_t clampShift(int32_t answer, int32_t nlen) {
  return std::min(nlen - 1, std::max(1, answer));
}

int32_t windowCount(int32_t realSamples, int32_t nlen, int32_t shift) {
  return (realSamples - nlen) / shift + 1;
}

bool acceptDifferencing(int32_t idiff) {
  return idiff == 0 || idiff == 1;
}

// Below 2 no shift keeps consecutive windows overlapping, above realSamples no
// window fits, and above 2^30 no power of two fits 32 bits.
bool acceptWindowLength(int32_t nlen, int32_t realSamples) {
  return nlen >= 2 && nlen <= kMaxWindowLength && nlen <= realSamples;
}

// The model fit needs more transform points than lags.
bool acceptOrder(int32_t order, int32_t nfft) {
  return order >= 1 && order < nfft;
}

// A positive time step, and time and frequency axes that a float can hold: the grid
// file's readers take no infinite range.
bool acceptTimeMarks(const RunParameters& run) {
  if (!(run.Tstep > 0.0f)) return false;
  const GridAxes axes = gridAxes(run);
  return std::isfinite(axes.xMin) && std::isfinite(axes.xMax) && std::isfinite(axes.yMin) &&
         std::isfinite(axes.yMax);
}

namespace {

// Writes the prompt and reads one integer until the read succeeds and `accept`
// takes the value. An answer of a lone slash leaves the variable as it was, so the
// callers start it at a value that is rejected where there is one.
template <class Accept>
void askInteger(std::string_view prompt, int32_t& value, Accept accept) {
  for (;;) {
    writeConsoleLine(prompt);
    if (freeFormatRead(consoleInput(), {item(value)}, kHandleError) == ReadStatus::success &&
        accept(value)) {
      return;
    }
  }
}

void writeBanner() {
  writeConsoleLine(std::string(55, '-'));
  writeConsoleLine("This is the program for estimating spectral measure");
  writeConsoleLine("of coherent behavior for a multidimensional time series");
  writeConsoleLine("within moving time window.");
  writeConsoleLine("Output file - \"Kelvarodine.grd\".");
  writeConsoleLine(" ");
  AU();
  writeConsoleLine(std::string(51, '-'));
}

}  // namespace

void KELVARODINE() {
  RunParameters run;

  writeBanner();

  std::unique_ptr<std::string[]> seriesNames;
  std::unique_ptr<int32_t[]> sampleCounts;
  readListFile(run.nch, seriesNames, sampleCounts);
  std::unique_ptr<float[]> samples;
  run.realSamples =
      readSeriesFiles(run.nch, seriesNames.get(), sampleCounts.get(), run.maxSamples, samples);
  const int64_t nch = run.nch;

  run.idiff = -1;
  askInteger("Do you want to come to incremental (diff.) series (0/1) ?", run.idiff,
             acceptDifferencing);

  run.nlen = 0;
  askInteger("What is the length of the time window ?", run.nlen,
             [&](int32_t nlen) { return acceptWindowLength(nlen, run.realSamples); });
  run.nfft = fftLength(run.nlen);
  run.nfreq = run.nfft / 2;
  auto windowData = createArray<float>({nch, run.nfft});

  int32_t shiftAnswer = 0;
  askInteger("What is the length of the intervals` shift= ?", shiftAnswer,
             [](int32_t) { return true; });
  run.shift = clampShift(shiftAnswer, run.nlen);

  writeConsoleLine(" ");

  run.order = 0;
  askInteger("What is the AR-order (1 <= *) ?", run.order,
             [&](int32_t order) { return acceptOrder(order, run.nfft); });
  run.nWindows = windowCount(run.realSamples, run.nlen, run.shift);
  auto grid = createArray<float>({run.nfreq, run.nWindows});

  run.Tini = 0.0f;
  run.Tstep = 0.0f;
  for (;;) {
    writeConsoleLine("What are the values of initial time mark for series and time step:");
    writeConsoleLine("Tini, Tstep=?");
    if (freeFormatRead(consoleInput(), {item(run.Tini), item(run.Tstep)}, kHandleError) ==
            ReadStatus::success &&
        acceptTimeMarks(run)) {
      break;
    }
  }

  runWindowLoop(run, samples.get(), windowData.get(), grid.get());
  writeGridFile(run, grid.get());

  if (nullLevelRequested()) {
    const std::vector<float> levels = estimateNullLevels(run, samples.get());
    writeNullGridFile(run, levels.data());
    writeConsoleLine("Null levels (95 % and 99 %) in file - \"Kelvarodine.null.grd\".");
  }
}

}  // namespace kelv
