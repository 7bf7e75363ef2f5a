// The analysis: every window of a record, from its samples to a column of the grid
// of coherence measures, and the level the measure reaches by chance.
#pragma once

#include <cstdint>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "kelvarodine/settings.hpp"

namespace kelv {

// A caller's samples of nch channels: the record's samples first .. first + count - 1
// (numbered from 1), sample k of channel j (both from 1) at
// data[(j - 1) channelStride + (k - first) sampleStride]. A not-a-number or infinite
// sample is a gap: every window that holds one has a blank column.
struct Samples {
  const float* data = nullptr;
  int32_t nch = 0;
  int64_t count = 0;
  int64_t first = 1;
  int64_t channelStride = 1;
  int64_t sampleStride = 0;
};
// Channels side by side, sample after sample (nch x count, the channel index
// fastest), as the program reads its series.
Samples channelsFastest(const float* data, int32_t nch, int64_t count, int64_t first = 1);
// One channel after another (count samples each), as a row-major channels x samples
// array holds them.
Samples samplesFastest(const float* data, int32_t nch, int64_t count, int64_t first = 1);

struct Options {
  // Worker threads; 0: one per processor the process may run on. The results do not
  // depend on it.
  int32_t threads = 1;
  // Called on the calling thread for every window in increasing order, once its
  // column is complete, with the number of singular matrices its fit met. A throw
  // stops the analysis: the workers are joined and the exception is rethrown.
  std::function<void(int64_t window, int32_t degenerate)> progress = {};
  // When given: each channel's multiple coherence with all the others, R(m), for
  // every node, nch x nfreq x windows of the range (element (m, f, w - first + 1)).
  // The measure is the square root of their product.
  float* channelCoherences = nullptr;
};

// Memory that could not be had: what() names the size asked for.
class MemoryError : public std::bad_alloc {
 public:
  explicit MemoryError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Analyses windows first .. last of the plan (1 <= first, last <= nWindows; none
// when last < first) into columns, nfreq x (last - first + 1) floats, window w's
// column at (w - first) nfreq: the coherence measure at every frequency,
// not-a-number where it does not exist. Returns each window's number of singular
// matrices met by its fit (its column is then blank). The samples must hold every
// sample of those windows. Throws std::invalid_argument for samples or a range that
// do not fit the plan, MemoryError when working storage cannot be had.
std::vector<int32_t> analyseWindows(const Plan& plan, const Samples& samples, int64_t first,
                                    int64_t last, float* columns, const Options& options = {});

// ---------------------------------------------------------------- gaps
// A gap: samples first .. last of the record (numbered from 1) of channel `channel`
// (from 1) that are not finite, with finite samples (or the record's ends) on both
// sides.
struct Gap {
  int32_t channel = 0;
  int64_t first = 0;
  int64_t last = 0;
};
// The gaps of the samples, channel by channel, in the order of their samples.
std::vector<Gap> findGaps(const Samples& samples);
// How many of the plan's windows hold a sample of one of the gaps: the windows whose
// columns analyseWindows leaves blank for them.
int64_t windowsWithGaps(const Plan& plan, const std::vector<Gap>& gaps);

// The processors the process may run on (its affinity mask), at least 1.
int32_t processorsAvailable();

// ---------------------------------------------------------------- null level
// Windows of independent channels simulated for the null level, and the order of the
// model each channel is drawn from.
inline constexpr int32_t kNullWindows = 99;
inline constexpr int32_t kNullModelOrder = 4;

// The 95 % and 99 % quantiles of the measure at every frequency over kNullWindows
// windows of independent channels with the plan's extents, analysed as a window of
// the record; nfreq x 2 (column 1 the 95 % level, column 2 the 99 % level),
// not-a-number where no simulated window has a value. Simulated window w's channels
// follow order-kNullModelOrder models fitted to the channels of the record's stretch
// of nlen samples at the w-th of kNullWindows evenly spaced starts, so the samples
// must hold the whole record. The result does not depend on the number of threads.
// `progress`, when given, is called on the calling thread once for each simulated
// window as it completes, in order; a throw stops the estimate as in analyseWindows.
std::vector<float> nullLevels(const Plan& plan, const Samples& samples, int32_t threads = 1,
                              const std::function<void(int64_t window)>& progress = {});
// The first sample of the record's stretch that simulated window w (from 1 to
// kNullWindows) follows: its nlen samples from there are all the null level reads
// of the record.
int64_t nullStretchStart(const Plan& plan, int64_t w);
// nullLevels from the stretches alone, for a caller that never holds the whole record:
// kNullWindows x nch x nlen floats, sample k (from 0) of channel j (from 0) of window
// w's stretch at ((w - 1) nch + j) nlen + k. The same levels as nullLevels gives.
std::vector<float> nullLevelsOfStretches(const Plan& plan, const float* stretches,
                                         int32_t threads = 1,
                                         const std::function<void(int64_t window)>& progress = {});

}  // namespace kelv
