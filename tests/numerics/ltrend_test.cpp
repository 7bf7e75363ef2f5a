// LTREND: worked residuals, degenerate lengths, and agreement with the closed-form
// least-squares line.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "numerics/numerics.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::fewRoundings;
using testing::Rng;

std::vector<float> detrended(std::vector<float> x) {
  LTREND(x.data(), static_cast<int32_t>(x.size()));
  return x;
}

TEST(LtrendExamples, WorkedResiduals) {
  EXPECT_TRUE(testing::allNear(detrended({0, 0, 3}), std::vector<float>{0.5f, -1.0f, 0.5f},
                               3 * fewRoundings<float>()));
}

// Lines (constant or sloped) and any two points leave nothing but rounding.
TEST(LtrendExamples, StraightLinesBecomeZero) {
  struct Case {
    const char* name;
    std::vector<float> x;
  };
  std::vector<Case> cases = {{"constant", std::vector<float>(50, 2.75f)},
                             {"two points", {-3.0f, 11.5f}},
                             {"two equal points", {4.0f, 4.0f}}};
  std::vector<float> line(40);
  for (size_t k = 1; k <= line.size(); ++k) line[k - 1] = 5.0f - 2.0f * static_cast<float>(k);
  cases.push_back({"5 - 2k", line});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const double scale = testing::maxAbs(c.x.data(), static_cast<int64_t>(c.x.size()));
    EXPECT_TRUE(testing::allNear(detrended(c.x), std::vector<float>(c.x.size(), 0.0f),
                                 fewRoundings<float>() * scale));
  }
}

TEST(LtrendExamples, NonPositiveLengthLeavesDataUntouched) {
  for (int32_t n : {0, -1, -100}) {
    float x[2] = {1.5f, -2.5f};
    LTREND(x, n);
    EXPECT_EQ(x[0], 1.5f);
    EXPECT_EQ(x[1], -2.5f);
  }
}

// Regression: one sample made the rise 0/0, and the residual came out
// not-a-number. The line through a single point leaves a zero residual.
TEST(LtrendRegression, SingleSampleGivesZeroNotNaN) {
  float x[2] = {7.25f, 9.0f};
  LTREND(x, 1);
  EXPECT_EQ(x[0], 0.0f);
  EXPECT_EQ(x[1], 9.0f);
}

// Random trends plus noise: the residuals match the least-squares line fitted in
// double through centred sums, sum to zero and are uncorrelated with k.
TEST(LtrendProperties, ResidualsOfTheLeastSquaresLine) {
  Rng rng(3535);
  for (int32_t n : {2, 3, 4, 7, 64, 1000, 4096}) {
    for (int trial = 0; trial < 4; ++trial) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " trial " << trial);
      const double intercept = rng.uniform(-100.0, 100.0);
      const double slope = rng.uniform(-2.0, 2.0);
      std::vector<float> x(static_cast<size_t>(n));
      for (int32_t k = 1; k <= n; ++k)
        x[static_cast<size_t>(k - 1)] = static_cast<float>(intercept + slope * k + rng.normal());

      const double N = n;
      const double kMean = (N + 1.0) / 2.0;
      double xMean = 0.0;
      for (float v : x) xMean += v;
      xMean /= N;
      double sxy = 0.0, sxx = 0.0;
      for (int32_t k = 1; k <= n; ++k) {
        sxy += (k - kMean) * (x[static_cast<size_t>(k - 1)] - xMean);
        sxx += (k - kMean) * (k - kMean);
      }
      const double fitSlope = sxy / sxx;

      const std::vector<float> r = detrended(x);
      const double scale = testing::maxAbs(x.data(), n);
      double sum = 0.0, moment = 0.0, rMax = 0.0;
      for (int32_t k = 1; k <= n; ++k) {
        const double exact = (x[static_cast<size_t>(k - 1)] - xMean) - fitSlope * (k - kMean);
        const double got = r[static_cast<size_t>(k - 1)];
        ASSERT_NEAR(got, exact, fewRoundings<float>() * scale) << "k " << k;
        sum += got;
        moment += k * got;
        rMax = std::max(rMax, std::fabs(got));
      }
      // Each residual is rounded once to float; the sums add those roundings up.
      const double unit = testing::unitRoundoff<float>() * std::max(rMax, 1e-30);
      EXPECT_LE(std::fabs(sum), 2.0 * N * unit + fewRoundings<float>() * scale);
      EXPECT_LE(std::fabs(moment), N * (N + 1.0) * unit + N * fewRoundings<float>() * scale);
    }
  }
}

}  // namespace
}  // namespace kelv
