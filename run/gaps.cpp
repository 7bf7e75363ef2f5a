// Gaps of a record and the windows they blank.
#include "run/gaps.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

#include "kelvarodine/analysis.hpp"

namespace kelv {

std::vector<Gap> findGaps(const Samples& samples) {
  std::vector<Gap> gaps;
  for (int32_t j = 1; j <= samples.nch; ++j) {
    const float* channel = samples.data + int64_t(j - 1) * samples.channelStride;
    GapRuns runs(j);
    for (int64_t k = 0; k < samples.count; ++k)
      runs.add(channel[k * samples.sampleStride], samples.first + k);
    for (const Gap& g : runs.finish(samples.first + samples.count - 1)) gaps.push_back(g);
  }
  return gaps;
}

int64_t windowsWithGaps(const Plan& plan, const std::vector<Gap>& gaps) {
  // Window w holds samples (w - 1) shift + 1 .. (w - 1) shift + nlen: a gap a .. b
  // meets windows ceil((a - nlen) / shift) + 1 .. floor((b - 1) / shift) + 1.
  std::vector<std::pair<int64_t, int64_t>> ranges;
  for (const Gap& g : gaps) {
    const int64_t lo =
        g.first <= plan.nlen ? 1 : (g.first - plan.nlen + plan.shift - 1) / plan.shift + 1;
    const int64_t hi = std::min<int64_t>(plan.nWindows, (g.last - 1) / plan.shift + 1);
    if (g.last >= 1 && lo <= hi) ranges.emplace_back(lo, hi);
  }
  std::sort(ranges.begin(), ranges.end());
  int64_t windows = 0, covered = 0;  // windows 1 .. covered are counted
  for (const auto& [lo, hi] : ranges) {
    if (hi <= covered) continue;
    windows += hi - std::max(lo, covered + 1) + 1;
    covered = hi;
  }
  return windows;
}

}  // namespace kelv
