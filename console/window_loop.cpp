// The console's window loop: the library analyses the windows, and the progress
// function writes each window's progress line and warnings as it completes, in
// window order.
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "console/analysis.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

constexpr std::array<Field, 4> kProgressFields = {literal("+"), literal("Processing interval # "),
                                                  intField(10), intField(10)};

void writeProgressLine(int32_t w, int32_t nWindows) {
  const std::array<int32_t, 2> counts = {w, nWindows - w + 1};
  formattedWrite(consoleOutput(), kProgressFields, counts, {});
}

// The console lines that follow a window's progress line: one warning for every
// inversion of the fit that met a singular matrix.
void writeDegenerateWarnings(int32_t count) {
  for (int32_t i = 1; i <= count; ++i) writeConsoleLine("ATTENSION: MATRIX DEGENERATES !");
}

}  // namespace

int32_t analysisThreads() {
  const int32_t processors = processorsAvailable();
  if (const char* setting = std::getenv("OMP_NUM_THREADS")) {
    const char* end = setting + std::strlen(setting);
    int32_t n = 0;
    const auto r = std::from_chars(setting, end, n);
    if (r.ec == std::errc() && r.ptr == end && n > 0) return std::min(n, processors);
  }
  return processors;
}

void runWindowLoop(const RunParameters& run, const float* samples, float* grid) {
  GridRows none;
  runWindowLoop(run, samples, grid, none);
}

GridRows gridRowsFor(const RunParameters& run) {
  GridRows rows;
  const uint64_t bytes = run.nWindows > 0 ? dsaaRowsBytes(run.nWindows, run.nfreq) : 0;
  if (bytes > 0 && bytes <= kMaxGridRowsBytes) {
    rows.text.reset(new char[bytes]);
    rows.bytes = bytes;
  }
  return rows;
}

void runWindowLoop(const RunParameters& run, const float* samples, float* grid, GridRows& rows) {
  Options options;
  options.threads = analysisThreads();
  // The calling thread formats each window's column as it takes the window, and widens
  // the grid's z range by it, while the workers analyse the next ones.
  options.progress = [&run, &rows, grid](int64_t w, int32_t degenerate) {
    if (rows.bytes > 0) {
      const float* column = grid + (w - 1) * int64_t{run.nfreq};
      formatDsaaColumn(column, run.nWindows, run.nfreq, static_cast<int32_t>(w), rows.text.get());
      rows.range.add(column, run.nfreq);
    }
    writeProgressLine(static_cast<int32_t>(w), run.nWindows);
    writeDegenerateWarnings(degenerate);
  };
  analyseWindows(run, channelsFastest(samples, run.nch, run.maxSamples), 1, run.nWindows, grid,
                 options);
}

}  // namespace kelv
