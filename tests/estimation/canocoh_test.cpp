#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "estimation/estimation.hpp"
#include "examples/varsim.hpp"
#include "reference/reference.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::Rng;
using testing::sameBits;

std::vector<float> coherencesOf(const std::vector<cfloat>& s, int n) {
  std::vector<float> r(n, -1.0f);
  CANOCOH(s.data(), n, r.data());
  return r;
}

TEST(CANOCOH, WorkedExamples) {
  // Two channels: the ordinary squared coherence, 1 / (2 * 1) for |S(1,2)| = 1.
  std::vector<cfloat> s2{{2, 0}, {0.6f, -0.8f}, {0.6f, 0.8f}, {1, 0}};
  std::vector<float> r = coherencesOf(s2, 2);
  EXPECT_NEAR(r[0], 0.5, 1e-6);
  EXPECT_NEAR(r[1], 0.5, 1e-6);
  EXPECT_NEAR(coherenceMeasure(r.data(), 2), 0.5, 1e-6);

  // Unit powers, every cross term 0.5: each channel 1/3 explained by the others.
  std::vector<cfloat> s3(9, cfloat(0.5f, 0.0f));
  for (int i = 0; i < 3; ++i) s3[i * 4] = 1.0f;
  r = coherencesOf(s3, 3);
  for (float v : r) EXPECT_NEAR(v, 1.0 / 3.0, 1e-6);
  EXPECT_NEAR(coherenceMeasure(r.data(), 3), 0.19245, 5e-6);

  // Unrelated channels.
  std::vector<cfloat> d(16, 0.0f);
  for (int i = 0; i < 4; ++i) d[i * 5] = float(i + 1);
  r = coherencesOf(d, 4);
  for (float v : r) EXPECT_EQ(v, 0.0f);
  EXPECT_EQ(coherenceMeasure(r.data(), 4), 0.0f);

  // A single channel has nothing to be explained by.
  std::vector<cfloat> one{{3.0f, 0.0f}};
  EXPECT_EQ(coherencesOf(one, 1)[0], 0.0f);
}

TEST(CANOCOH, ReadsOnlyRealDiagonalAndEachUpperElementOnce) {
  Rng rng(21);
  const int n = 4;
  const std::vector<cfloat> s = testing::randomHermitianPd(rng, n);
  const std::vector<float> r = coherencesOf(s, n);

  std::vector<cfloat> t = s;
  for (int i = 0; i < n; ++i) t[i * (n + 1)].imag(rng.uniformFloat(-5.0f, 5.0f));
  const std::vector<float> rt = coherencesOf(t, n);
  for (int m = 0; m < n; ++m) EXPECT_TRUE(sameBits(rt[m], r[m]));

  // S(p, q), p < q, is read only as part of column q's cross vector.
  for (int p = 1; p <= n; ++p)
    for (int q = p + 1; q <= n; ++q) {
      std::vector<cfloat> u = s;
      u[(p - 1) + (q - 1) * n] *= 1.5f;
      const std::vector<float> ru = coherencesOf(u, n);
      for (int m = 1; m <= n; ++m)
        if (m == q)
          EXPECT_FALSE(sameBits(ru[m - 1], r[m - 1]));
        else
          EXPECT_TRUE(sameBits(ru[m - 1], r[m - 1])) << p << "," << q << " changed R(" << m << ")";
    }
}

// S(m,o) S(o,o)^-1 S(o,m) / S(m,m) in double, o the channels other than m.
double multipleCoherence(const std::vector<cfloat>& s, int n, int m) {
  sim::cmat a;
  std::vector<cdouble> c;
  for (int q = 1; q <= n; ++q) {
    if (q == m) continue;
    c.push_back(cdouble(s[(q - 1) + (m - 1) * n]));
    for (int p = 1; p <= n; ++p)
      if (p != m) a.push_back(cdouble(s[(p - 1) + (q - 1) * n]));
  }
  const sim::cmat b = sim::invert(a, n - 1);
  cdouble q = 0.0;
  for (int i = 0; i < n - 1; ++i)
    for (int k = 0; k < n - 1; ++k) q += std::conj(c[i]) * b[i + k * (n - 1)] * c[k];
  return q.real() / double(s[(m - 1) * (n + 1)].real());
}

TEST(CANOCOH, MatchesMultipleCoherenceInDouble) {
  // The random matrices have condition numbers <= 2n + 1; the float inversion and
  // products then keep the coherences well within 1e-5 of the exact ones.
  Rng rng(22);
  for (int n = 2; n <= 8; ++n)
    for (int rep = 0; rep < 5; ++rep) {
      const std::vector<cfloat> s = testing::randomHermitianPd(rng, n);
      const std::vector<float> r = coherencesOf(s, n);
      for (int m = 1; m <= n; ++m) EXPECT_NEAR(r[m - 1], multipleCoherence(s, n, m), 1e-5) << n;
      const sim::cmat sd(s.begin(), s.end());
      EXPECT_NEAR(coherenceMeasure(r.data(), n), sim::measureOf(sd, n), 1e-5) << n;
    }
}

TEST(coherenceMeasure, ProductInDoubleThenRoot) {
  const std::vector<float> r{0.25f, 0.64f, 1.0f};
  EXPECT_EQ(coherenceMeasure(r.data(), 3), 0.4f);
  const std::vector<float> tiny{1e-30f, 1e-30f, 1e-20f};  // underflows in float
  EXPECT_NEAR(coherenceMeasure(tiny.data(), 3), 1e-40, 1e-45);
  const std::vector<float> nan{0.5f, std::nanf("")};
  EXPECT_TRUE(std::isnan(coherenceMeasure(nan.data(), 2)));
}

}  // namespace
}  // namespace kelv
