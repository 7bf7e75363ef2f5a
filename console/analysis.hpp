// The console program's run: parameters fixed by the dialogue, the moving-window loop
// with its progress lines, the grid file and the null level's companion file.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "kelvarodine/dsaa.hpp"
#include "kelvarodine/kelvarodine.hpp"
#include "textio/textio.hpp"

namespace kelv {

struct RunParameters : Plan {
  int32_t maxSamples = 0;  // capacity of the sample matrix, in samples
};

// Threads for the run's parallel stages: the number of processors the process may
// run on (its affinity mask), or fewer when the environment variable OMP_NUM_THREADS
// is a smaller positive integer; more threads than processors only cost memory.
int32_t analysisThreads();

// The moving-window loop: for w = 1..nWindows fills grid(1..nfreq, w) (nfreq x
// nWindows) from samples (nch x maxSamples) on analysisThreads() threads, and writes
// on the console, in window order, window w's progress line, then a warning line for
// each singular matrix its fit met: the same bytes whatever the number of threads.
// Console interrupts are taken on the calling thread.
void runWindowLoop(const RunParameters& run, const float* samples, float* grid);

// The rows' records of "Kelvarodine.grd" (the file less its header), made column by
// column as the window loop completes the windows, so that the formatting runs beside
// the analysis rather than after it. Empty when they would take more than
// kMaxGridRowsBytes: the rows are then formatted after the loop.
struct GridRows {
  std::unique_ptr<char[]> text;  // left unset until written, so that no page is touched twice
  uint64_t bytes = 0;
  DsaaRange range;  // the z range of the columns formatted, for the header
};
inline constexpr uint64_t kMaxGridRowsBytes = uint64_t{64} << 20;
GridRows gridRowsFor(const RunParameters& run);
// runWindowLoop, also formatting each window's column into `rows` when it holds any bytes.
void runWindowLoop(const RunParameters& run, const float* samples, float* grid, GridRows& rows);

// Opens the replacement of "Kelvarodine.grd" before the window loop and reserves
// its gridFileBytes(run) on the disk, so that a file that cannot be written is
// reported before any work.
void prepareGridFile(const RunParameters& run);
uint64_t gridFileBytes(const RunParameters& run);

// Writes a DSAA grid from grid (ny x nx, rows of the file = first index) into the
// replacement file opened last (openReplacement), which replaces an earlier file only
// once the new one is complete. The z range is taken from the finite nodes; the
// others are written as the blanking value.
struct GridHeader {
  int32_t nx, ny;
  double xMin, xMax, yMin, yMax;
};
void writeGrid(const GridHeader& header, const float* grid);
// The same into `out`, which the caller then commits.
void writeGrid(OutputUnit& out, const GridHeader& header, const float* grid);

// Writes "Kelvarodine.grd" from grid (nfreq x nWindows) with the axes of gridAxes
// into the file prepareGridFile opened.
void writeGridFile(const RunParameters& run, const float* grid);
// The same with the rows' records and the z range made by the window loop, when `rows`
// holds them; `whileFlushing` runs once the bytes are written, while they go to the disk
// (commitFile), and may free grid and rows.
void writeGridFile(const RunParameters& run, const float* grid, const GridRows& rows,
                   const std::function<void()>& whileFlushing = {});

// The level the measure reaches by chance when the channels are independent.
// Requested by the argument --null or by the environment variable KELVARODINE_NULL
// set to 1 (this function reads the variable).
bool nullLevelRequested();

// The null levels of the run (nfreq x 2), on analysisThreads() threads.
std::vector<float> estimateNullLevels(const RunParameters& run, const float* samples);

// Opens the replacement of "Kelvarodine.null.grd" into `file` and reserves its size
// before the window loop, as prepareGridFile does for the grid, so that a companion
// that cannot be written is reported before any work and before the grid is replaced.
void prepareNullGridFile(const RunParameters& run, ReplacementFile& file);
// Writes it (x = 95 and 99, the main grid's y axis) from levels and puts it in place.
void writeNullGridFile(const RunParameters& run, const float* levels, ReplacementFile& file);

}  // namespace kelv
