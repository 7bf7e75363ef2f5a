// The Hermitian factorisation over lane vectors against its scalar double
// instantiation: one template, so every lane must hold exactly the bits the scalar
// factorisation computes for that lane's matrix, and fail exactly where it fails.
#include "numerics/lanes.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <vector>

#include "numerics/hermitian.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::Rng;

bool sameBits(double a, double b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The packed upper triangle of a full n x n matrix, widened.
std::vector<cdouble> packedOf(const std::vector<cfloat>& m, int32_t n) {
  View2<const cfloat> M(m.data(), n, n);
  std::vector<cdouble> t;
  for (int32_t k = 1; k <= n; ++k)
    for (int32_t i = 1; i <= k; ++i) t.push_back(cdouble(M(i, k)));
  return t;
}

TEST(FactorHermitianLanes, EveryLaneIsTheScalarFactorBitForBitFailuresIncluded) {
  Rng rng(77);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (int32_t n = 1; n <= 12; ++n) {
    SCOPED_TRACE(::testing::Message() << "order " << n);
    std::vector<std::vector<cfloat>> m(kLanes);
    for (int l = 0; l < kLanes; ++l) m[l] = testing::randomHermitianPd(rng, n);
    View2<cfloat> nearSingular(m[1].data(), n, n), notPd(m[2].data(), n, n);
    View2<cfloat> withNan(m[3].data(), n, n), zero(m[5].data(), n, n);
    // Rows equal up to a bump of the diagonal that float storage may or may not keep
    // (singular or nearly so); a negative last pivot; not-a-number above the diagonal
    // (the triangle that is read); an exactly zero matrix.
    if (n >= 2) {
      for (int32_t i = 1; i <= n; ++i)
        for (int32_t j = 1; j <= n; ++j) nearSingular(i, j) = nearSingular(1, j);
      for (int32_t i = 1; i <= n; ++i) nearSingular(i, i) += cfloat(1e-6f, 0.0f);
      notPd(n, n) = cfloat(-1.0f, 0.0f);
      withNan(1, n) = cfloat(nan, 0.0f);
    }
    for (int32_t i = 1; i <= n; ++i)
      for (int32_t j = 1; j <= n; ++j) zero(i, j) = cfloat(0.0f, 0.0f);

    const auto size = static_cast<size_t>(packed(n, n));
    LaneVector<CLaneD> lanes(size);
    std::vector<std::vector<cdouble>> scalar(kLanes);
    for (int l = 0; l < kLanes; ++l) {
      scalar[l] = packedOf(m[l], n);
      for (size_t i = 0; i < size; ++i) {
        lanes[i].re[l] = scalar[l][i].real();
        lanes[i].im[l] = scalar[l][i].imag();
      }
    }
    LanePivots pivots;
    factorHermitian(n, View1<CLaneD>(lanes.data(), packed(n, n)), pivots);

    int mismatches = 0;
    for (int l = 0; l < kLanes; ++l) {
      PivotStatus<double> status{0.0};
      const bool ok = factorHermitian(n, View1<cdouble>(scalar[l].data(), packed(n, n)), status);
      EXPECT_EQ(pivots.failed[l] != 0, !ok) << "lane " << l;
      if (!ok) continue;  // the lane's values are meaningless and replaced by its caller
      for (size_t i = 0; i < size; ++i)
        if (!sameBits(lanes[i].re[l], scalar[l][i].real()) ||
            !sameBits(lanes[i].im[l], scalar[l][i].imag()))
          ++mismatches;
    }
    EXPECT_EQ(mismatches, 0);
    if (n >= 2) {
      EXPECT_TRUE(pivots.failed[2] && pivots.failed[3] && pivots.failed[5]);
      EXPECT_FALSE(pivots.failed[0]);
    }
  }
}

}  // namespace
}  // namespace kelv
