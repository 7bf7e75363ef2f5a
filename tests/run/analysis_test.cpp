// The library's analysis as a caller sees it: the settings' one check, windows
// analysed in any range, layout and thread count, gaps, the channels' coherences, and
// a progress function that throws.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "examples/example_model.hpp"
#include "examples/varsim.hpp"
#include "kelvarodine/kelvarodine.hpp"

namespace kelv {
namespace {

// Three coupled channels, channel index fastest, as the console holds them.
struct Record {
  int32_t nch = 3;
  int64_t n = 1500;
  std::vector<float> x = sim::simulate(sim::exampleModel(3, true), 1500, 7);
  Samples samples() const { return channelsFastest(x.data(), nch, n); }
};

Plan planOf(const Record& r, int32_t nlen = 200, int32_t shift = 50, int32_t order = 4) {
  Settings s;
  s.nlen = nlen;
  s.shift = shift;
  s.order = order;
  return makePlan(s, r.nch, r.n);
}

std::vector<float> wholeRun(const Plan& plan, const Samples& samples, int32_t threads = 1) {
  std::vector<float> grid(size_t(plan.nfreq) * plan.nWindows);
  Options options;
  options.threads = threads;
  analyseWindows(plan, samples, 1, plan.nWindows, grid.data(), options);
  return grid;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(float)) == 0;
}

// What a refused setting throws: its name, and the rule in the message.
void expectRefused(const Settings& s, int32_t nch, int64_t n, const std::string& setting,
                   const std::string& rule) {
  try {
    makePlan(s, nch, n);
    ADD_FAILURE() << "accepted; expected a refusal of " << setting;
  } catch (const SettingsError& e) {
    EXPECT_EQ(e.setting(), setting) << e.what();
    EXPECT_NE(std::string(e.what()).find(rule), std::string::npos) << e.what();
  }
}

TEST(Settings, EachRefusalNamesTheSettingAndItsRule) {
  Settings ok;
  ok.nlen = 256;
  ok.shift = 64;
  ok.order = 4;
  EXPECT_NO_THROW(makePlan(ok, 3, 1000));

  Settings s = ok;
  expectRefused(s, 1, 1000, "data", "at least 2 channels");
  expectRefused(s, 3, 63, "data", "at least 64 samples");
  s.idiff = 2;
  expectRefused(s, 3, 1000, "diff", "0 (the series as they are) or 1");
  s = ok;
  s.nlen = 1001;
  expectRefused(s, 3, 1000, "window", "from 2 to 1000 samples");
  s.nlen = 5;
  expectRefused(s, 3, 1000, "window", "at least 6 samples");
  s = ok;
  s.order = 0;
  expectRefused(s, 3, 1000, "order", "at least 1");
  s.order = 200;
  expectRefused(s, 3, 1000, "order", "at most 85 for 3 channels");
  s = ok;
  s.Tstep = 0.0;
  expectRefused(s, 3, 1000, "dt", "greater than 0");
  s.Tstep = 0.001;
  s.Tini = 1e15;
  expectRefused(s, 3, 1000, "t0", "time marks");

  // The shift is clamped, not refused, and the plan derives every size.
  s = ok;
  s.shift = 5000;
  const Plan plan = makePlan(s, 3, 1000);
  EXPECT_EQ(plan.shift, 255);
  EXPECT_EQ(plan.nfft, 256);
  EXPECT_EQ(plan.nfreq, 128);
  EXPECT_EQ(plan.nWindows, 3);
}

// Regression: the order rule accepted orders for which the fit's lag covariance
// matrix is always singular (40 channels, window 300, order 7: every node blank, exit
// status 0). Such an order is refused now, and at the rule's boundary the shortest
// window accepted gives values.
TEST(Settings, EveryAcceptedOrderCanGiveValues) {
  const auto finiteNodes = [](const Plan& plan, const std::vector<float>& x) {
    int finite = 0;
    for (float z : wholeRun(plan, channelsFastest(x.data(), plan.nch, plan.realSamples)))
      finite += std::isfinite(z);
    return finite;
  };
  const int64_t n = 2000;
  const std::vector<float> wide = sim::simulate(sim::exampleModel(40, false), n, 5);
  Settings s;
  s.nlen = 300;
  s.shift = 300;
  s.order = 7;
  EXPECT_THROW(makePlan(s, 40, n), SettingsError);
  Plan refused = makePlan({.nlen = 300, .shift = 300, .order = 6}, 40, n);
  EXPECT_GT(finiteNodes(refused, wide), 0);
  refused.order = 7;
  EXPECT_EQ(finiteNodes(refused, wide), 0);

  for (int32_t nch : {3, 6})
    for (int32_t order : {1, 3, 8})
      for (int32_t idiff : {0, 1}) {
        const std::vector<float> x = sim::simulate(sim::exampleModel(nch, false), n, 11);
        s.idiff = idiff;
        s.nlen = std::max(nch * (order + 1) - order, nch * order) + 1;
        s.shift = s.nlen;
        s.order = order;
        EXPECT_GT(finiteNodes(makePlan(s, nch, n), x), 0)
            << nch << " channels, order " << order << ", diff " << idiff;
        s.nlen -= 1;
        EXPECT_THROW(makePlan(s, nch, n), SettingsError);
      }
}

TEST(AnalyseWindows, AnyRangeLayoutAndThreadCountGiveTheWholeRunsColumns) {
  const Record r;
  const Plan plan = planOf(r);
  const std::vector<float> whole = wholeRun(plan, r.samples());
  ASSERT_EQ(plan.nWindows, 27);

  // One channel after another, on two threads.
  std::vector<float> rows(r.x.size());
  for (int64_t k = 0; k < r.n; ++k)
    for (int32_t j = 0; j < r.nch; ++j) rows[size_t(j * r.n + k)] = r.x[size_t(k * r.nch + j)];
  EXPECT_TRUE(sameBits(wholeRun(plan, samplesFastest(rows.data(), r.nch, r.n), 2), whole));

  // Windows 11..20 from a view holding only their samples (as a second process of a
  // shared run holds them).
  const int64_t firstSample = 1 + 10 * plan.shift, lastSample = 19 * plan.shift + plan.nlen;
  const Samples part = channelsFastest(r.x.data() + (firstSample - 1) * r.nch, r.nch,
                                       lastSample - firstSample + 1, firstSample);
  std::vector<float> columns(size_t(plan.nfreq) * 10);
  Options options;
  options.threads = 2;
  std::vector<int64_t> seen;
  options.progress = [&](int64_t w, int32_t degenerate) {
    seen.push_back(w);
    EXPECT_EQ(degenerate, 0);
  };
  analyseWindows(plan, part, 11, 20, columns.data(), options);
  EXPECT_TRUE(std::equal(columns.begin(), columns.end(), whole.begin() + 10 * plan.nfreq,
                         [](float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }));
  EXPECT_EQ(seen, std::vector<int64_t>({11, 12, 13, 14, 15, 16, 17, 18, 19, 20}));

  // A view one sample short, and a range outside the plan, are refused.
  const Samples short1 = channelsFastest(part.data, r.nch, part.count - 1, firstSample);
  EXPECT_THROW(analyseWindows(plan, short1, 11, 20, columns.data()), std::invalid_argument);
  EXPECT_THROW(analyseWindows(plan, r.samples(), 0, 3, columns.data()), std::invalid_argument);
  EXPECT_THROW(analyseWindows(plan, r.samples(), 27, 28, columns.data()), std::invalid_argument);
}

TEST(AnalyseWindows, GapsBlankExactlyTheWindowsThatHoldThem) {
  Record r;
  const Plan plan = planOf(r);
  const std::vector<float> clean = wholeRun(plan, r.samples());
  const int64_t gap = 460;  // in windows 6 to 10 (samples 251..450 .. 451..650)
  r.x[size_t((gap - 1) * r.nch + 1)] = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> gapped = wholeRun(plan, r.samples(), 2);
  for (int32_t w = 1; w <= plan.nWindows; ++w) {
    const bool holds = gap >= 1 + (w - 1) * plan.shift && gap <= (w - 1) * plan.shift + plan.nlen;
    for (int32_t f = 1; f <= plan.nfreq; ++f) {
      const size_t i = size_t(w - 1) * plan.nfreq + (f - 1);
      if (holds)
        ASSERT_TRUE(std::isnan(gapped[i])) << "window " << w;
      else
        ASSERT_EQ(std::memcmp(&gapped[i], &clean[i], sizeof(float)), 0) << "window " << w;
    }
  }
}

TEST(AnalyseWindows, ChannelCoherencesMultiplyToTheSquareOfTheMeasure) {
  const Record r;
  const Plan plan = planOf(r);
  std::vector<float> grid(size_t(plan.nfreq) * plan.nWindows);
  std::vector<float> R(size_t(plan.nch) * plan.nfreq * plan.nWindows);
  Options options;
  options.threads = 2;
  options.channelCoherences = R.data();
  analyseWindows(plan, r.samples(), 1, plan.nWindows, grid.data(), options);
  EXPECT_TRUE(sameBits(grid, wholeRun(plan, r.samples())));
  for (size_t node = 0; node < grid.size(); ++node) {
    double product = 1.0;
    for (int32_t m = 0; m < plan.nch; ++m) {
      const float Rm = R[node * plan.nch + m];
      ASSERT_GE(Rm, 0.0f);
      ASSERT_LE(Rm, 1.0f);
      product *= Rm;
    }
    ASSERT_NEAR(std::sqrt(product), grid[node], 4e-7 + 2e-7 * grid[node]) << "node " << node;
  }
}

TEST(AnalyseWindows, ProgressThatThrowsStopsTheRunAndReachesTheCaller) {
  const Record r;
  const Plan plan = planOf(r, 200, 10);
  std::vector<float> grid(size_t(plan.nfreq) * plan.nWindows);
  for (int32_t threads : {1, 2, 4}) {
    Options options;
    options.threads = threads;
    int64_t calls = 0;
    options.progress = [&](int64_t w, int32_t) {
      ++calls;
      if (w == 5) throw std::runtime_error("stop at 5");
    };
    try {
      analyseWindows(plan, r.samples(), 1, plan.nWindows, grid.data(), options);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
      EXPECT_STREQ(e.what(), "stop at 5");
    }
    EXPECT_EQ(calls, 5) << threads << " threads";
  }
}

TEST(NullLevels, SameLevelsForAnyThreadCountAndBelowOne) {
  const Record r;
  const Plan plan = planOf(r);
  const std::vector<float> one = nullLevels(plan, r.samples(), 1);
  EXPECT_TRUE(sameBits(nullLevels(plan, r.samples(), 3), one));
  ASSERT_EQ(one.size(), size_t(plan.nfreq) * 2);
  for (int32_t f = 0; f < plan.nfreq; ++f) {
    EXPECT_GT(one[f], 0.0f);
    EXPECT_LE(one[f], one[plan.nfreq + f]);
    EXPECT_LT(one[plan.nfreq + f], 1.0f);
  }
  const Samples part = channelsFastest(r.x.data(), r.nch, r.n - 1);
  EXPECT_THROW(nullLevels(plan, part, 1), std::invalid_argument);

  // Progress in window order; a throw stops the estimate.
  std::vector<int64_t> seen;
  const auto stopAtTen = [&](int64_t w) {
    seen.push_back(w);
    if (w == 10) throw std::runtime_error("stop");
  };
  EXPECT_THROW(nullLevels(plan, r.samples(), 2, stopAtTen), std::runtime_error);
  EXPECT_EQ(seen, std::vector<int64_t>({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
}

}  // namespace
}  // namespace kelv
