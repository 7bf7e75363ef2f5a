// FASTF: worked transforms and agreement with a direct double-precision DFT.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "numerics/numerics.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::fewRoundings;
using testing::Rng;

struct Sequence {
  std::vector<float> re, im;
  explicit Sequence(int32_t n)
      : re(static_cast<size_t>(n), 0.0f), im(static_cast<size_t>(n), 0.0f) {}
  int32_t size() const { return static_cast<int32_t>(re.size()); }
  void transform() { FASTF(re.data(), im.data(), size()); }
};

// Direct DFT with the forward sign and no scaling, everything in double; the
// twiddles come from a table indexed by (j-1)(k-1) mod n.
std::vector<cdouble> directDft(const Sequence& x) {
  const int64_t n = x.size();
  std::vector<cdouble> w(static_cast<size_t>(n));
  for (int64_t m = 0; m < n; ++m) {
    const double angle = -2.0 * std::numbers::pi * static_cast<double>(m) / static_cast<double>(n);
    w[static_cast<size_t>(m)] = cdouble(std::cos(angle), std::sin(angle));
  }
  std::vector<cdouble> out(static_cast<size_t>(n));
  for (int64_t k = 0; k < n; ++k) {
    cdouble s = 0.0;
    for (int64_t j = 0; j < n; ++j)
      s += cdouble(x.re[static_cast<size_t>(j)], x.im[static_cast<size_t>(j)]) *
           w[static_cast<size_t>((j * k) % n)];
    out[static_cast<size_t>(k)] = s;
  }
  return out;
}

TEST(FastfExamples, LengthTwoIsSumAndDifference) {
  Sequence x(2);
  x.re = {3.0f, 1.0f};
  x.im = {1.0f, -2.0f};
  x.transform();
  EXPECT_EQ(x.re[0], 4.0f);
  EXPECT_EQ(x.im[0], -1.0f);
  EXPECT_EQ(x.re[1], 2.0f);
  EXPECT_EQ(x.im[1], 3.0f);
}

TEST(FastfExamples, UnitImpulseTransformsToOnesForEveryLength) {
  for (int32_t n = 2; n <= 1024; n *= 2) {
    Sequence x(n);
    x.re[0] = 1.0f;
    x.transform();
    for (int32_t k = 0; k < n; ++k) {
      ASSERT_EQ(x.re[static_cast<size_t>(k)], 1.0f) << "n " << n << " k " << k + 1;
      ASSERT_EQ(x.im[static_cast<size_t>(k)], 0.0f) << "n " << n << " k " << k + 1;
    }
  }
}

// 1, a, 0, ..., 0 transforms to 1 + a e^(-2 pi i (k-1)/n): checks the sign of the
// exponent and the natural order of the output.
TEST(FastfExamples, SecondElementGivesOneTurnOfThePhase) {
  struct Case {
    int32_t n;
    cdouble a;
  };
  for (const Case c : {Case{4, {1.0, 0.0}}, Case{8, {0.5, 0.25}}, Case{16, {-2.0, 1.0}}}) {
    Sequence x(c.n);
    x.re[0] = 1.0f;
    x.re[1] = static_cast<float>(c.a.real());
    x.im[1] = static_cast<float>(c.a.imag());
    x.transform();
    for (int32_t k = 1; k <= c.n; ++k) {
      const cdouble expected = 1.0 + c.a * std::polar(1.0, -2.0 * std::numbers::pi * (k - 1) / c.n);
      EXPECT_NEAR(x.re[static_cast<size_t>(k - 1)], expected.real(), 4 * fewRoundings<float>())
          << "n " << c.n << " k " << k;
      EXPECT_NEAR(x.im[static_cast<size_t>(k - 1)], expected.imag(), 4 * fewRoundings<float>())
          << "n " << c.n << " k " << k;
    }
  }
  // The n = 4, a = 1 case written out: 2, 1 - i, 0, 1 + i.
  Sequence x(4);
  x.re = {1.0f, 1.0f, 0.0f, 0.0f};
  x.transform();
  const float expRe[] = {2.0f, 1.0f, 0.0f, 1.0f};
  const float expIm[] = {0.0f, -1.0f, 0.0f, 1.0f};
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(x.re[static_cast<size_t>(k)], expRe[k], fewRoundings<float>());
    EXPECT_NEAR(x.im[static_cast<size_t>(k)], expIm[k], fewRoundings<float>());
  }
}

// x(2) = 1 transforms to the twiddle factors themselves, so the outputs show the
// error of the twiddle recurrence. Carried in double, each of the s stages adds at
// most one rounding per part (rms u / sqrt(3) each, independent), so the rms error
// stays below sqrt(s) u; a recurrence rounded to float drifts with the length and
// exceeds that from n = 1024 on.
TEST(FastfExamples, TwiddleRecurrenceStaysAccurateUpToLength4096) {
  for (int32_t n = 2; n <= 4096; n *= 2) {
    Sequence x(n);
    x.re[1] = 1.0f;
    x.transform();
    double worst = 0.0, sumSquares = 0.0;
    for (int32_t k = 1; k <= n; ++k) {
      const cdouble expected = std::polar(1.0, -2.0 * std::numbers::pi * (k - 1) / n);
      const cdouble got(x.re[static_cast<size_t>(k - 1)], x.im[static_cast<size_t>(k - 1)]);
      worst = std::max(worst, std::abs(got - expected));
      sumSquares += std::norm(got - expected);
    }
    EXPECT_LE(worst, testing::fftTolerance<float>(n)) << "n " << n;
    EXPECT_LE(std::sqrt(sumSquares / n), std::sqrt(std::log2(n)) * testing::unitRoundoff<float>())
        << "n " << n;
  }
}

TEST(FastfExamples, ConstantSequenceIsNotDividedByLength) {
  const int32_t n = 64;
  const float c = 0.7f;
  Sequence x(n);
  for (float& v : x.re) v = c;
  x.transform();
  EXPECT_NEAR(x.re[0], n * c, n * c * fewRoundings<float>());
  EXPECT_NEAR(x.im[0], 0.0, n * c * fewRoundings<float>());
  for (int32_t k = 1; k < n; ++k) {
    EXPECT_NEAR(x.re[static_cast<size_t>(k)], 0.0, n * c * fewRoundings<float>()) << k + 1;
    EXPECT_NEAR(x.im[static_cast<size_t>(k)], 0.0, n * c * fewRoundings<float>()) << k + 1;
  }
}

// conj(F(conj(F(x)))) = n x for the unscaled forward transform.
TEST(FastfExamples, ConjugateRoundTripGivesLengthTimesInput) {
  Rng rng(31);
  for (int32_t n : {2, 8, 256}) {
    Sequence x(n);
    for (int32_t j = 0; j < n; ++j) {
      x.re[static_cast<size_t>(j)] = rng.uniformFloat(-1.0f, 1.0f);
      x.im[static_cast<size_t>(j)] = rng.uniformFloat(-1.0f, 1.0f);
    }
    const Sequence original = x;
    x.transform();
    for (float& v : x.im) v = -v;
    x.transform();
    for (float& v : x.im) v = -v;
    const double tol = 2.0 * testing::fftTolerance<float>(n) * n * std::sqrt(2.0);
    for (int32_t j = 0; j < n; ++j) {
      EXPECT_NEAR(x.re[static_cast<size_t>(j)],
                  n * static_cast<double>(original.re[static_cast<size_t>(j)]), tol);
      EXPECT_NEAR(x.im[static_cast<size_t>(j)],
                  n * static_cast<double>(original.im[static_cast<size_t>(j)]), tol);
    }
  }
}

// Every power of two from 2 to 4096, random complex data: the relative error in the
// 2-norm stays within c log2(n) u of the exact transform.
TEST(FastfProperties, AgreesWithDirectDftForEveryPowerOfTwo) {
  Rng rng(4096);
  for (int32_t n = 2; n <= 4096; n *= 2) {
    Sequence x(n);
    for (int32_t j = 0; j < n; ++j) {
      x.re[static_cast<size_t>(j)] = rng.uniformFloat(-1.0f, 1.0f);
      x.im[static_cast<size_t>(j)] = rng.uniformFloat(-1.0f, 1.0f);
    }
    const std::vector<cdouble> exact = directDft(x);
    x.transform();
    double err2 = 0.0, norm2 = 0.0;
    for (int32_t k = 0; k < n; ++k) {
      const cdouble got(x.re[static_cast<size_t>(k)], x.im[static_cast<size_t>(k)]);
      err2 += std::norm(got - exact[static_cast<size_t>(k)]);
      norm2 += std::norm(exact[static_cast<size_t>(k)]);
    }
    const double rel = std::sqrt(err2 / norm2);
    EXPECT_LE(rel, testing::fftTolerance<float>(n)) << "n " << n;
  }
}

}  // namespace
}  // namespace kelv
