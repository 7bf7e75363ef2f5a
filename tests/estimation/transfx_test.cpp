#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "estimation/estimation.hpp"
#include "estimation/lanes.hpp"
#include "numerics/numerics.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::Rng;
using testing::sameBits;

// nch x nfft window: random walk plus a trend, with occasional spikes so that the
// clipping has something to do.
std::vector<float> randomWindow(Rng& rng, int nch, int nfft, int nlen) {
  std::vector<float> x(size_t(nch) * nfft, 0.0f);
  View2<float> X(x.data(), nch, nfft);
  for (int c = 1; c <= nch; ++c) {
    double level = rng.uniform(-5.0, 5.0);
    const double slope = rng.uniform(-0.2, 0.2);
    for (int k = 1; k <= nlen; ++k) {
      level += rng.normal();
      double v = level + slope * k;
      if (rng.uniform() < 0.02) v += rng.uniform(-50.0, 50.0);
      X(c, k) = float(v);
    }
  }
  return x;
}

bool sameBits(const std::vector<float>& a, const std::vector<float>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (!sameBits(a[i], b[i])) return false;
  return true;
}

std::vector<float> transformed(std::vector<float> x, int nch, int nlen, int nfft, int itrend,
                               int idiff) {
  TRANSFX(nch, nlen, nfft, itrend, idiff, x.data());
  return x;
}

TEST(TRANSFX, WorkedExamples) {
  // Differences 1, 2, 3, 0; nothing reaches the limit of about 3.354.
  std::vector<float> x{1, 2, 4, 7};
  TRANSFX(1, 4, 4, 0, 1, x.data());
  EXPECT_TRUE(testing::allNear(x, std::vector<double>{-0.4472, 0.4472, 1.3416, -1.3416}, 5e-5));

  // One huge outlier in an alternating channel is pulled in over the ten passes.
  std::vector<float> y(128, 0.0f);
  for (int k = 1; k <= 100; ++k) y[k - 1] = k % 2 == 1 ? -1.0f : 1.0f;
  y[49] = 1000.0f;
  TRANSFX(1, 100, 128, 0, 0, y.data());
  EXPECT_NEAR(y[49], 3.0000, 5e-5);
  EXPECT_NEAR(y[0], -0.979, 5e-4);
  EXPECT_NEAR(y[1], 0.938, 5e-4);
}

// One channel by the steps as written, element by element in double where they say
// so: each clipping pass compares and replaces the widened values and rounds them
// back, and each mean is a separate sum (no scaling: the samples here are ordinary).
void plainTransform(float* x, int32_t nlen, int itrend, int idiff) {
  const int32_t n = nlen;
  const double N = static_cast<double>(static_cast<float>(nlen));
  if (itrend == 1) LTREND(x, n);
  if (idiff == 1) {
    for (int32_t k = 0; k < n - 1; ++k) x[k] = x[k + 1] - x[k];
    x[n - 1] = 0.0f;
  }
  for (int pass = 1; pass <= 10; ++pass) {
    double sum = 0.0;
    for (int32_t k = 0; k < n; ++k) sum += x[k];
    const double m = sum / N;
    double q = 0.0;
    for (int32_t k = 0; k < n; ++k) {
      const double d = double(x[k]) - m;
      x[k] = float(d);
      q += d * d;
    }
    const double t = 3.0 * std::sqrt(q / N);
    for (int32_t k = 0; k < n; ++k) {
      double v = x[k];
      if (v > t) v = double(float(t));
      if (v < -t) v = double(float(-t));
      x[k] = float(v);
    }
  }
  double sum = 0.0;
  for (int32_t k = 0; k < n; ++k) sum += x[k];
  const double m = double(float(sum / N));
  double q = 0.0;
  for (int32_t k = 0; k < n; ++k) q += (double(x[k]) - m) * (double(x[k]) - m);
  const double s = std::sqrt(q / N);
  for (int32_t k = 0; k < n; ++k) x[k] = float((double(x[k]) - m) / s);
}

// The lanes clip floats at the rounded limits and sum the clipped values as they
// store them: every channel must keep the bits of the steps as written, with spikes
// that the clipping cuts in every pass, runs of values at the limits, and a group of
// eight channels next to a partial one.
TEST(TRANSFX, LanesKeepTheBitsOfTheStepsAsWritten) {
  Rng rng(23);
  for (int trial = 0; trial < 40; ++trial) {
    const int nch = trial % 2 == 0 ? 8 : 11, nlen = 200 + 37 * trial, nfft = 1024 * 8;
    std::vector<float> x = randomWindow(rng, nch, nfft, nlen);
    View2<float> X(x.data(), nch, nfft);
    for (int k = 1; k <= nlen; k += 5) X(1 + k % nch, k) = X(1 + k % nch, 1 + (k * 7) % nlen);
    const int itrend = trial % 3 == 0 ? 0 : 1, idiff = trial % 4 == 1 ? 1 : 0;
    const std::vector<float> lanes = transformed(x, nch, nlen, nfft, itrend, idiff);
    const View2<const float> Y(lanes.data(), nch, nfft);
    for (int c = 1; c <= nch; ++c) {
      std::vector<float> one(static_cast<size_t>(nlen));
      for (int k = 1; k <= nlen; ++k) one[size_t(k - 1)] = X(c, k);
      plainTransform(one.data(), nlen, itrend, idiff);
      int differ = 0;
      for (int k = 1; k <= nlen; ++k) differ += !sameBits(one[size_t(k - 1)], Y(c, k));
      EXPECT_EQ(differ, 0) << "trial " << trial << " channel " << c;
    }
  }
}

TEST(TRANSFX, FlagsOtherThanOneSkipTheirStep) {
  Rng rng(11);
  const int nch = 2, nlen = 50, nfft = 64;
  const std::vector<float> x = randomWindow(rng, nch, nfft, nlen);
  for (int other : {0, 2, -1}) {
    for (int keep : {0, 1}) {
      EXPECT_TRUE(sameBits(transformed(x, nch, nlen, nfft, other, keep),
                           transformed(x, nch, nlen, nfft, 0, keep)))
          << "itrend " << other;
      EXPECT_TRUE(sameBits(transformed(x, nch, nlen, nfft, keep, other),
                           transformed(x, nch, nlen, nfft, keep, 0)))
          << "idiff " << other;
    }
  }
  EXPECT_FALSE(
      sameBits(transformed(x, nch, nlen, nfft, 1, 0), transformed(x, nch, nlen, nfft, 0, 0)));
  EXPECT_FALSE(
      sameBits(transformed(x, nch, nlen, nfft, 0, 1), transformed(x, nch, nlen, nfft, 0, 0)));
}

TEST(TRANSFX, DifferencesActOnDetrendedValues) {
  Rng rng(12);
  const int nlen = 40, nfft = 64;
  std::vector<float> x = randomWindow(rng, 1, nfft, nlen);
  const std::vector<float> both = transformed(x, 1, nlen, nfft, 1, 1);
  LTREND(x.data(), nlen);
  EXPECT_TRUE(sameBits(both, transformed(x, 1, nlen, nfft, 0, 1)));
}

TEST(TRANSFX, ChannelsAndColumnsAfterNlenAreLeftAlone) {
  Rng rng(13);
  const int nch = 3, nlen = 37, nfft = 64;
  std::vector<float> x = randomWindow(rng, nch, nfft, nlen);
  View2<float> X(x.data(), nch, nfft);
  for (int k = nlen + 1; k <= nfft; ++k)
    for (int c = 1; c <= nch; ++c) X(c, k) = k % 2 ? 1234.5f : std::nanf("");
  const std::vector<float> before = x;
  const std::vector<float> out = transformed(x, nch, nlen, nfft, 1, 1);
  for (size_t i = size_t(nch) * nlen; i < x.size(); ++i) EXPECT_TRUE(sameBits(out[i], before[i]));

  // Every channel comes out as if it had been processed alone.
  View2<const float> O(out.data(), nch, nfft);
  for (int c = 1; c <= nch; ++c) {
    std::vector<float> single(nfft, 0.0f);
    for (int k = 1; k <= nlen; ++k) single[k - 1] = X(c, k);
    TRANSFX(1, nlen, nfft, 1, 1, single.data());
    for (int k = 1; k <= nlen; ++k) EXPECT_TRUE(sameBits(O(c, k), single[k - 1])) << c << "," << k;
  }
}

TEST(TRANSFX, LeavesMeanZeroAndVarianceOne) {
  Rng rng(14);
  for (int nlen : {3, 17, 64, 1000, 4096}) {
    const int nch = 3;
    for (int flags = 0; flags < 4; ++flags) {
      std::vector<float> x = randomWindow(rng, nch, nlen, nlen);
      TRANSFX(nch, nlen, nlen, flags & 1, flags >> 1, x.data());
      View2<const float> X(x.data(), nch, nlen);
      for (int c = 1; c <= nch; ++c) {
        double s = 0.0, q = 0.0;
        for (int k = 1; k <= nlen; ++k) s += X(c, k);
        for (int k = 1; k <= nlen; ++k) q += double(X(c, k)) * X(c, k);
        EXPECT_NEAR(s / nlen, 0.0, 1e-6) << nlen << " " << flags;
        EXPECT_NEAR(q / nlen, 1.0, 1e-6) << nlen << " " << flags;
      }
    }
  }
}

TEST(TRANSFX, ConstantChannelBecomesNotANumber) {
  // The measure of such a window is undefined; the channel must say so rather than
  // pass on plausible numbers.
  Rng rng(15);
  const int nch = 2, nlen = 30, nfft = 32;
  for (int idiff : {0, 1}) {
    std::vector<float> x = randomWindow(rng, nch, nfft, nlen);
    View2<float> X(x.data(), nch, nfft);
    for (int k = 1; k <= nlen; ++k) X(1, k) = 5.0f;
    TRANSFX(nch, nlen, nfft, 1, idiff, x.data());
    for (int k = 1; k <= nlen; ++k) {
      EXPECT_TRUE(std::isnan(X(1, k)));
      EXPECT_TRUE(std::isfinite(X(2, k)));
    }
  }
}

// Before: samples near 1e38 overflowed the single-precision residuals and
// differences, the channel became not-a-number and the fit reported its matrices
// as singular, so the window's column was blank. The measure does not depend on a
// channel's scale, and a power of two changes no bit of the preprocessed window.
TEST(TRANSFX, SamplesNear1e38GiveTheMeasuresOfTheUnscaledRecord) {
  Rng rng(16);
  const int nch = 10, nlen = 200, nfft = 256, order = 3;  // two groups of lanes
  for (int idiff : {0, 1}) {
    const std::vector<float> x = randomWindow(rng, nch, nfft, nlen);
    std::vector<float> big = x;
    View2<const float> X(x.data(), nch, nfft);
    View2<float> B(big.data(), nch, nfft);
    for (int c = 1; c <= nch; ++c) {
      if (c % 4 == 0) continue;  // some channels stay as they are
      float largest = 0.0f;
      for (int k = 1; k <= nlen; ++k) largest = std::max(largest, std::fabs(X(c, k)));
      // The largest sample between 2^125 and 2^126 (4e37 to 8e37), or between 2^127
      // and the largest float (1.7e38 to 3.4e38); odd and even powers alike.
      const int exponent = (c % 2 ? 127 : 125 + c % 3 % 2) - std::ilogb(largest);
      for (int k = 1; k <= nlen; ++k) B(c, k) = std::ldexp(X(c, k), exponent);
    }
    EXPECT_TRUE(sameBits(transformed(big, nch, nlen, nfft, 1, idiff),
                         transformed(x, nch, nlen, nfft, 1, idiff)))
        << "idiff " << idiff;

    std::vector<float> want(nfft / 2), got(nfft / 2);
    SpectralWork work(order, nch, nfft, nfft / 2);
    std::vector<float> window = transformed(x, nch, nlen, nfft, 1, idiff);
    ASSERT_EQ(coherenceSpectrum(nlen, window.data(), work, want.data()), 0);
    window = transformed(big, nch, nlen, nfft, 1, idiff);
    EXPECT_EQ(coherenceSpectrum(nlen, window.data(), work, got.data()), 0);
    EXPECT_TRUE(sameBits(got, want)) << "idiff " << idiff;
  }
}

}  // namespace
}  // namespace kelv
