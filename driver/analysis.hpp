// The driver's run: parameters fixed by the dialogue, the moving-window loop and
// the grid file. The main program owns every array and passes it in.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "numerics/arrays.hpp"

namespace kelv {

struct SpectralWork;

struct RunParameters {
  int32_t nch = 0;          // channels (lines of "list")
  int32_t maxSamples = 0;   // capacity of the sample matrix, in samples
  int32_t realSamples = 0;  // common length of the series
  int32_t idiff = 0;        // 1: work on first differences
  int32_t nlen = 0;         // window length
  int32_t nfft = 0;         // smallest power of two >= nlen
  int32_t nfreq = 0;        // nfft / 2
  int32_t shift = 0;        // samples between window starts
  int32_t order = 0;        // autoregressive order
  int32_t nWindows = 0;
  double Tini = 0.0;   // time mark of sample 1
  double Tstep = 1.0;  // time step between samples
};

// The moving-window loop: for w = 1..nWindows fills grid(1..nfreq, w) (nfreq x
// nWindows) from samples (nch x maxSamples), writing one progress line per window.
// windowData (nch x nfft) is the caller's window buffer. Windows are analysed on up
// to analysisThreads() threads, never more than there are windows; each thread
// creates the spectral stage's working arrays before the loop, and each further
// thread a window buffer of its own. Whatever the number, the console receives the
// same bytes as from one thread, in window order: window w's progress line, then a
// warning line for each singular matrix its fit met. Console interrupts are taken on
// the calling thread.
void runWindowLoop(const RunParameters& run, const float* samples, float* windowData, float* grid);

// One window as the loop analyses it, from windowData (nch x nfft, samples in
// columns 1..nlen, zeros after) to gridColumn(1..nfreq): preprocessing in place, the
// fit and the measure at every frequency. Returns the number of singular matrices
// the fit met (the column is then blank).
int32_t analyseWindowData(const RunParameters& run, float* windowData, SpectralWork& spectral,
                          float* gridColumn);

// The grid file's x and y ranges: time marks of the first and last window's last
// sample, and the frequencies of the first and last row, 0 and (nfreq - 1) / (nfft
// Tstep); each rounded once (integer parts exact).
struct GridAxes {
  double xMin, xMax, yMin, yMax;
};
GridAxes gridAxes(const RunParameters& run);

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

// Writes "Kelvarodine.grd" from grid (nfreq x nWindows) with the axes of gridAxes
// into the file prepareGridFile opened.
void writeGridFile(const RunParameters& run, const float* grid);

// The level the measure reaches by chance when the channels are independent.
// Requested by the argument --null or by the environment variable KELVARODINE_NULL
// set to 1 (this function reads the variable).
bool nullLevelRequested();

// Simulated windows of the null level: independent channels, each an autoregressive
// process of order kNullModelOrder fitted to that channel of a stretch of the record
// one window long, the stretches evenly spaced over the record.
inline constexpr int32_t kNullWindows = 99;
inline constexpr int32_t kNullModelOrder = 4;

// The 95 % and 99 % quantiles of the measure at every frequency over kNullWindows
// windows simulated with the run's extents and analysed as the loop analyses a window,
// into levels (nfreq x 2: column 1 the 95 % level, column 2 the 99 % level). The
// result does not depend on the number of threads.
std::vector<float> estimateNullLevels(const RunParameters& run, const float* samples);

// Writes "Kelvarodine.null.grd" (x = 95 and 99, the main grid's y axis) from levels.
void writeNullGridFile(const RunParameters& run, const float* levels);

}  // namespace kelv
