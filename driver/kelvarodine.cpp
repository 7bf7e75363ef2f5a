// The main program: banner, input files, the five questions, the arrays, the
// window loop and the grid file.
#include "driver/kelvarodine.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>
#include <limits>
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

// Fewer coefficients per equation of the model (nch x order) than samples in the
// window: with as many or more, the data do not determine the fit, and the measures
// come out blank or meaningless (above 1, even).
bool acceptOrder(int32_t order, int32_t nch, int32_t nlen) {
  return order >= 1 && int64_t(nch) * order < nlen;
}

namespace {

// Whether the doubles `values` are finite and each within 1/1024 of `spacing` of the
// exact value they were rounded from (half a unit in the last place).
bool heldToSpacing(std::initializer_list<double> values, double spacing) {
  const double grain = spacing * 0x1p-10;
  if (!std::isfinite(spacing) || !(grain >= std::numeric_limits<double>::denorm_min()))
    return false;
  for (double v : values)
    if (!std::isfinite(v) || std::fabs(v) * 0x1p-53 > grain) return false;
  return true;
}

}  // namespace

// A positive time step, and axes that the header carries: finite (readers of the
// format take no infinite range), and every time mark and frequency held to a small
// fraction of a column or row. A time mark of 1e15 with a step of 0.001 has no
// double near enough to it.
bool acceptTimeMarks(const RunParameters& run) {
  if (!(run.Tstep > 0.0)) return false;
  const GridAxes axes = gridAxes(run);
  return heldToSpacing({run.Tini, axes.xMin, axes.xMax}, double(run.shift) * run.Tstep) &&
         heldToSpacing({axes.yMin, axes.yMax}, 1.0 / double(run.nfft) / run.Tstep);
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

void KELVARODINE(bool nullLevel) {
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
             [&](int32_t order) { return acceptOrder(order, run.nch, run.nlen); });
  run.nWindows = windowCount(run.realSamples, run.nlen, run.shift);
  auto grid = createArray<float>({run.nfreq, run.nWindows});

  run.Tini = 0.0;
  run.Tstep = 0.0;
  for (;;) {
    writeConsoleLine("What are the values of initial time mark for series and time step:");
    writeConsoleLine("Tini, Tstep=?");
    if (freeFormatRead(consoleInput(), {item(run.Tini), item(run.Tstep)}, kHandleError) ==
            ReadStatus::success &&
        acceptTimeMarks(run)) {
      break;
    }
  }

  prepareGridFile(run);
  runWindowLoop(run, samples.get(), windowData.get(), grid.get());
  writeGridFile(run, grid.get());

  if (nullLevel) {
    const std::vector<float> levels = estimateNullLevels(run, samples.get());
    writeNullGridFile(run, levels.data());
    writeConsoleLine("Null levels (95 % and 99 %) in file - \"Kelvarodine.null.grd\".");
  }
}

}  // namespace kelv
