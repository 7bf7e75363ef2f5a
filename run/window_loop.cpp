// The moving-window loop: every window of nlen samples, shift samples apart, is
// preprocessed, fitted and turned into one column of the grid. Windows are
// independent of each other, so several threads may analyse them at once; the
// caller's progress function still sees them one after another, in order.
#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "estimation/window.hpp"
#include "kelvarodine/analysis.hpp"
#include "parallel/workers.hpp"

namespace kelv {

Samples channelsFastest(const float* data, int32_t nch, int64_t count, int64_t first) {
  return {data, nch, count, first, 1, nch};
}

Samples samplesFastest(const float* data, int32_t nch, int64_t count, int64_t first) {
  return {data, nch, count, first, count, 1};
}

namespace {

// Samples first .. last of the record that the windows need must be in `samples`.
void checkSamples(const Plan& plan, const Samples& samples, int64_t neededFirst,
                  int64_t neededLast) {
  if (samples.nch != plan.nch)
    throw std::invalid_argument("samples: " + std::to_string(samples.nch) +
                                " channels given, the plan has " + std::to_string(plan.nch));
  if (!samples.data && neededLast >= neededFirst)
    throw std::invalid_argument("samples: no data given");
  if (samples.first > neededFirst || samples.first + samples.count - 1 < neededLast)
    throw std::invalid_argument(
        "samples: the windows need samples " + std::to_string(neededFirst) + " to " +
        std::to_string(neededLast) + " of the record, the samples given hold " +
        std::to_string(samples.first) + " to " + std::to_string(samples.first + samples.count - 1));
}

// Working storage for each of `threads` threads; MemoryError naming its size when it
// cannot be had.
std::vector<WindowWork> workFor(const Plan& plan, int32_t threads) {
  std::vector<WindowWork> works;
  try {
    works.reserve(static_cast<std::size_t>(threads));
    for (int32_t t = 0; t < threads; ++t) works.emplace_back(plan);
  } catch (const std::bad_alloc&) {
    const double perThread = 4.0 * plan.nch * plan.nfft +
                             16.0 * (double(plan.nch) * plan.nch * (plan.order + 4)) +
                             16.0 * plan.nfft;
    throw MemoryError("cannot allocate the working storage of " + std::to_string(threads) +
                      " analysis threads (about " +
                      std::to_string(static_cast<int64_t>(perThread * threads)) + " bytes)");
  }
  return works;
}

}  // namespace

std::vector<int32_t> analyseWindows(const Plan& plan, const Samples& samples, int64_t first,
                                    int64_t last, float* columns, const Options& options) {
  if (last < first) return {};
  if (first < 1 || last > plan.nWindows)
    throw std::invalid_argument("windows " + std::to_string(first) + " to " + std::to_string(last) +
                                " are not within 1 to " + std::to_string(plan.nWindows));
  checkSamples(plan, samples, 1 + (first - 1) * plan.shift, (last - 1) * plan.shift + plan.nlen);

  const int64_t count = last - first + 1;
  const int32_t threads =
      static_cast<int32_t>(std::min<int64_t>(threadsFor(options.threads), count));
  std::vector<WindowWork> works = workFor(plan, threads);
  std::vector<int32_t> degenerate(static_cast<std::size_t>(count), 0);
  const int64_t nfreq = plan.nfreq;
  const int64_t coherenceSize = int64_t(plan.nch) * nfreq;

  // Window first + i - 1 is item i of the hand-off; a worker runs at most `ahead`
  // windows in front of the progress function.
  runInOrder(
      threads, count, 4 * int64_t(threads),
      [&](int32_t t, int64_t i) {
        WindowWork& work = works[static_cast<std::size_t>(t)];
        float* column = columns + (i - 1) * nfreq;
        float* coherences = options.channelCoherences
                                ? options.channelCoherences + (i - 1) * coherenceSize
                                : nullptr;
        if (!copyWindow(plan, samples, first + i - 1, work.windowData.data())) {
          // A gap: the window has no values, and no fit is attempted.
          constexpr float nan = std::numeric_limits<float>::quiet_NaN();
          std::fill(column, column + nfreq, nan);
          if (coherences) std::fill(coherences, coherences + coherenceSize, nan);
          return;
        }
        degenerate[static_cast<std::size_t>(i - 1)] =
            analyseWindowData(plan, work.windowData.data(), work.spectral, column, coherences);
      },
      [&](int64_t i) {
        if (options.progress)
          options.progress(first + i - 1, degenerate[static_cast<std::size_t>(i - 1)]);
      });
  return degenerate;
}

}  // namespace kelv
