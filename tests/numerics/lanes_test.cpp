// The batched kernels against the scalar ones: every lane must hold exactly the bits
// the scalar routine computes for that lane's problem.
#include "numerics/lanes.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "numerics/numerics.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::Rng;
using testing::sameBits;

TEST(FastfLanes, EveryLaneIsFastfBitForBitWhateverTheLeadingNonzeros) {
  Rng rng(2024);
  for (int32_t n = 2; n <= 4096; n *= 2) {
    std::vector<double> twiddles(2 * static_cast<size_t>(n - 1));
    fastfTwiddles(n, twiddles.data());
    for (int32_t nonzero : {0, 1, 2, 3, 11, n / 2 + 1, n}) {
      if (nonzero > n) continue;
      SCOPED_TRACE(::testing::Message() << "n " << n << ", nonzero " << nonzero);
      LaneVector<LaneF> re(static_cast<size_t>(n)), im(static_cast<size_t>(n));
      std::vector<std::vector<float>> sre(kLanes), sim(kLanes);
      for (int l = 0; l < kLanes; ++l) {
        sre[l].assign(static_cast<size_t>(n), 0.0f);
        sim[l].assign(static_cast<size_t>(n), 0.0f);
        for (int32_t k = 0; k < nonzero; ++k) {
          // Lane 0 has an exact zero among its leading values, lane 1 a negative zero.
          sre[l][k] = l == 0 && k == 1 ? 0.0f : rng.uniformFloat(-2.0f, 2.0f);
          sim[l][k] = l == 1 && k == 0 ? -0.0f : rng.uniformFloat(-2.0f, 2.0f);
        }
        for (int32_t k = 0; k < n; ++k) {
          re[k][l] = sre[l][k];
          im[k][l] = sim[l][k];
        }
      }
      fastfLanes(n, nonzero, twiddles.data(), re.data(), im.data());
      int mismatches = 0;
      for (int l = 0; l < kLanes; ++l) {
        FASTF(sre[l].data(), sim[l].data(), n);
        for (int32_t k = 0; k < n; ++k)
          if (!sameBits(re[k][l], sre[l][k]) || !sameBits(im[k][l], sim[l][k])) ++mismatches;
      }
      EXPECT_EQ(mismatches, 0);
    }
  }
}

// Lane matrices from kLanes scalar ones, and back.
LaneVector<CLane> toLanes(const std::vector<std::vector<cfloat>>& m, int32_t n) {
  LaneVector<CLane> out(static_cast<size_t>(n * n));
  for (int l = 0; l < kLanes; ++l)
    for (size_t i = 0; i < out.size(); ++i) {
      out[i].re[l] = m[l][i].real();
      out[i].im[l] = m[l][i].imag();
    }
  return out;
}

TEST(HerminvLanes, EveryLaneIsHerminvBitForBitFailuresIncluded) {
  Rng rng(77);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int32_t n = 1; n <= 9; ++n) {
    SCOPED_TRACE(::testing::Message() << "order " << n);
    std::vector<std::vector<cfloat>> m(kLanes);
    for (int l = 0; l < kLanes; ++l) m[l] = testing::randomHermitianPd(rng, n);
    View2<cfloat> nearSingular(m[1].data(), n, n), notPd(m[2].data(), n, n);
    View2<cfloat> withNan(m[3].data(), n, n), upperGarbage(m[4].data(), n, n);
    View2<cfloat> zeroPivot(m[5].data(), n, n);
    // A last pivot a few roundings above zero; a negative last pivot; not-a-number
    // below the diagonal; the never-read upper triangle full of not-a-number; an
    // exactly zero matrix.
    if (n >= 2) {
      for (int32_t i = 1; i <= n; ++i)
        for (int32_t j = 1; j <= n; ++j) nearSingular(i, j) = nearSingular(i, 1);
      for (int32_t i = 1; i <= n; ++i) nearSingular(i, i) += cfloat(1e-6f, 0.0f);
      notPd(n, n) = cfloat(-1.0f, 0.0f);
      withNan(n, 1) = cfloat(nan, 0.0f);
      for (int32_t j = 2; j <= n; ++j)
        for (int32_t i = 1; i < j; ++i) upperGarbage(i, j) = cfloat(nan, nan);
    }
    for (int32_t i = 1; i <= n; ++i)
      for (int32_t j = 1; j <= n; ++j) zeroPivot(i, j) = cfloat(0.0f, 0.0f);

    const LaneVector<CLane> a = toLanes(m, n);
    LaneVector<CLane> b(a.size());
    LaneVector<CLaneD> work(herminvLanesWork(n));
    herminvLanes(n, a.data(), b.data(), work.data());
    int mismatches = 0;
    for (int l = 0; l < kLanes; ++l) {
      std::vector<cfloat> want(m[l].size());
      HERMINV(n, m[l].data(), want.data());
      for (size_t i = 0; i < want.size(); ++i)
        if (!sameBits(b[i].re[l], want[i].real()) || !sameBits(b[i].im[l], want[i].imag()))
          ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
  }
}

}  // namespace
}  // namespace kelv
