// Gaps of a record and the windows they blank, held to the analysis itself.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "kelvarodine/analysis.hpp"

namespace kelv {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

TEST(Gaps, RunsOfMissingSamplesInBothLayouts) {
  // Channel 1: samples 1, 4-5 and 8 missing; channel 2: none.
  const std::vector<float> one = {kNaN, 1, 2, kNaN, kNaN, 3, 4, INFINITY};
  std::vector<float> channelAfterChannel = one;
  channelAfterChannel.insert(channelAfterChannel.end(), 8, 1.0f);
  std::vector<float> interleaved;
  for (float v : one) interleaved.insert(interleaved.end(), {v, 1.0f});
  for (const Samples& s : {samplesFastest(channelAfterChannel.data(), 2, 8, 11),
                           channelsFastest(interleaved.data(), 2, 8, 11)}) {
    const std::vector<Gap> gaps = findGaps(s);
    ASSERT_EQ(gaps.size(), 3u);
    EXPECT_EQ(gaps[0].channel, 1);
    EXPECT_EQ(gaps[0].first, 11);
    EXPECT_EQ(gaps[0].last, 11);
    EXPECT_EQ(gaps[1].first, 14);
    EXPECT_EQ(gaps[1].last, 15);
    EXPECT_EQ(gaps[2].first, 18);
    EXPECT_EQ(gaps[2].last, 18);
  }
}

// The count windowsWithGaps reports is the number of columns the analysis blanks,
// for gaps at the record's ends, inside one window only and across many, with
// shifts that do and do not divide the window.
TEST(Gaps, WindowsWithGapsAreTheColumnsTheAnalysisBlanks) {
  const int32_t nch = 2, n = 400;
  for (int32_t shift : {1, 7, 32, 45}) {
    for (const std::vector<std::pair<int64_t, int64_t>>& gaps :
         std::vector<std::vector<std::pair<int64_t, int64_t>>>{{{1, 1}},
                                                               {{400, 400}},
                                                               {{33, 33}},
                                                               {{100, 140}, {120, 125}},
                                                               {{64, 65}, {300, 300}}}) {
      std::vector<float> data(static_cast<std::size_t>(nch) * n);
      for (std::size_t i = 0; i < data.size(); ++i) data[i] = float(std::sin(0.37 * double(i)));
      for (const auto& [a, b] : gaps)
        for (int64_t k = a; k <= b; ++k) data[static_cast<std::size_t>(n + k - 1)] = kNaN;
      const Samples samples = samplesFastest(data.data(), nch, n);
      const Plan plan = makePlan({0, 64, shift, 1, 0.0, 1.0}, nch, n);
      std::vector<float> grid(static_cast<std::size_t>(plan.nfreq) * plan.nWindows);
      analyseWindows(plan, samples, 1, plan.nWindows, grid.data());
      int64_t blank = 0;
      for (int32_t w = 0; w < plan.nWindows; ++w)
        blank += std::isnan(grid[static_cast<std::size_t>(w) * plan.nfreq]) ? 1 : 0;
      EXPECT_EQ(windowsWithGaps(plan, findGaps(samples)), blank)
          << "shift " << shift << ", first gap " << gaps[0].first;
    }
  }
}

}  // namespace
}  // namespace kelv
