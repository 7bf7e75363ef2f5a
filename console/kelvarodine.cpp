// The main program: banner, input files, the five questions, the arrays, the
// window loop and the grid file.
#include "console/kelvarodine.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "console/analysis.hpp"
#include "textio/textio.hpp"

namespace kelv {

bool acceptDifferencing(int32_t idiff) {
  return differencingProblem(idiff).empty();
}

bool acceptWindowLength(int32_t nlen, int32_t nch, int32_t realSamples) {
  return windowLengthProblem(nlen, nch, realSamples).empty();
}

bool acceptOrder(int32_t order, int32_t nch, int32_t nlen) {
  return orderProblem(order, nch, nlen).empty();
}

bool acceptTimeMarks(const RunParameters& run) {
  return timeMarksProblem(run).empty();
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

  run.idiff = -1;
  askInteger("Do you want to come to incremental (diff.) series (0/1) ?", run.idiff,
             acceptDifferencing);

  run.nlen = 0;
  askInteger("What is the length of the time window ?", run.nlen,
             [&](int32_t nlen) { return acceptWindowLength(nlen, run.nch, run.realSamples); });
  run.nfft = fftLength(run.nlen);
  run.nfreq = run.nfft / 2;

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
  ReplacementFile nullFile;
  if (nullLevel) prepareNullGridFile(run, nullFile);
  GridRows rows = gridRowsFor(run);
  runWindowLoop(run, samples.get(), grid.get(), rows);
  // The arrays the run no longer needs are freed while the grid goes to the disk.
  writeGridFile(run, grid.get(), rows, [&] {
    rows = {};
    grid.reset();
    if (!nullLevel) samples.reset();
  });

  if (nullLevel) {
    const std::vector<float> levels = estimateNullLevels(run, samples.get());
    writeNullGridFile(run, levels.data(), nullFile);
    writeConsoleLine("Null levels (95 % and 99 %) in file - \"Kelvarodine.null.grd\".");
  }
}

}  // namespace kelv
