// CHOLESKY and HERMINV: packed factor and status values, the Hermitian inverse,
// and properties on random Hermitian positive-definite matrices.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "numerics/numerics.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::Rng;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

int64_t packedSize(int64_t n) {
  return n * (n + 1) / 2;
}

// The upper triangle of a full column-major matrix, packed column after column.
std::vector<cfloat> packUpper(int32_t n, const std::vector<cfloat>& a) {
  View2<const cfloat> A(a.data(), n, n);
  std::vector<cfloat> t;
  for (int32_t k = 1; k <= n; ++k)
    for (int32_t i = 1; i <= k; ++i) t.push_back(A(i, k));
  return t;
}

struct Solve {
  std::vector<cfloat> t, b;
  int32_t status = -99;
};

Solve cholesky(int32_t n, float eps, std::vector<cfloat> t, std::vector<cfloat> b) {
  Solve s{std::move(t), std::move(b)};
  CHOLESKY(n, eps, s.t.data(), s.b.data(), s.status);
  return s;
}

// ---------------------------------------------------------------- CHOLESKY

TEST(CholeskyExamples, OrderOneDividesByTheRealPartOfThePivot) {
  const Solve s = cholesky(1, 1.0e-15f, {{5.0f, 7.0f}}, {{10.0f, -5.0f}});
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.b, (std::vector<cfloat>{{2.0f, -1.0f}}));
  EXPECT_EQ(s.t, (std::vector<cfloat>{{5.0f, 0.0f}}));
}

TEST(CholeskyExamples, DiagonalMatrixKeepsZeroOffDiagonal) {
  // (1,1) (1,2) (2,2) (1,3) (2,3) (3,3)
  const std::vector<cfloat> t = {{2, 0}, {0, 0}, {4, 0}, {0, 0}, {0, 0}, {8, 0}};
  const Solve s = cholesky(3, 1.0e-15f, t, {{1, 1}, {-2, 4}, {8, -16}});
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.t, t);
  EXPECT_EQ(s.b, (std::vector<cfloat>{{0.5f, 0.5f}, {-0.5f, 1}, {1, -2}}));
}

TEST(CholeskyExamples, TwoByTwoFactorAndSolution) {
  const Solve s = cholesky(2, 1.0e-15f, {{4, 0}, {2, 0}, {2, 0}}, {{2, 0}, {1, 0}});
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.t, (std::vector<cfloat>{{4, 0}, {0.5f, 0}, {1, 0}}));
  EXPECT_EQ(s.b, (std::vector<cfloat>{{0.5f, 0}, {0, 0}}));
}

// The reciprocal of each pivot is rounded to float before the row is scaled by it:
// 5 * float(1/3) rounds to a different float than 5/3 does.
TEST(CholeskyExamples, PivotReciprocalIsRoundedToFloatBeforeUse) {
  const float viaFloatReciprocal = 5.0f * (1.0f / 3.0f);
  ASSERT_NE(viaFloatReciprocal, 5.0f / 3.0f);
  const Solve s = cholesky(2, 1.0e-15f, {{3, 0}, {5, 0}, {10, 0}}, {{1, 0}, {0, 0}});
  EXPECT_EQ(s.status, 0);
  EXPECT_EQ(s.t[1], cfloat(viaFloatReciprocal, 0.0f));
}

// A pivot that is zero, negative or not a number ends the call before b is
// touched; the rows before the failing one hold their factor.
TEST(CholeskyExamples, NonPositivePivotReportsMinusOneAndLeavesRightHandSide) {
  struct Case {
    const char* name;
    std::vector<cfloat> t, after;
  };
  const Case cases[] = {
      {"second pivot -3", {{1, 0}, {2, 0}, {1, 0}}, {{1, 0}, {2, 0}, {1, 0}}},
      {"second pivot 0", {{1, 0}, {1, 0}, {1, 0}}, {{1, 0}, {1, 0}, {1, 0}}},
      {"first pivot negative", {{-1, 0}, {0, 0}, {1, 0}}, {{-1, 0}, {0, 0}, {1, 0}}},
      {"first pivot NaN", {{kNaN, 0}, {0, 0}, {1, 0}}, {}},
  };
  const std::vector<cfloat> b = {{3, -1}, {0.5f, 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Solve s = cholesky(2, 1.0e-15f, c.t, b);
    EXPECT_EQ(s.status, -1);
    EXPECT_EQ(s.b, b);
    if (!c.after.empty()) {
      EXPECT_EQ(s.t, c.after);
    }
  }
}

// Pivots 4, 0.5, 0.5 against the diagonal 4, 1.5, 1.5: the status names the first
// row whose pivot is not above eps times its diagonal value, and the solution is
// computed all the same.
TEST(CholeskyExamples, WeakPivotReportsTheFirstRowAndStillSolves) {
  const std::vector<cfloat> a = {{4, 0}, {2, 0}, {1.5f, 0}, {2, 0}, {1, 0}, {1.5f, 0}};
  const std::vector<cfloat> b = {{1, 0}, {2, 1}, {-1, 3}};
  // Exact solution of [4 2 2; 2 1.5 1; 2 1 1.5] x = b.
  const std::vector<cfloat> x = {{0.25f, -4}, {3, 2}, {-3, 6}};
  struct Case {
    float eps;
    int32_t status;
  };
  for (const Case c : {Case{0.1f, 0}, Case{0.5f, 2}, Case{2.0f, 1}}) {
    SCOPED_TRACE(c.eps);
    const Solve s = cholesky(3, c.eps, a, b);
    EXPECT_EQ(s.status, c.status);
    EXPECT_EQ(s.b, x);
  }
}

// On random Hermitian positive-definite matrices the factor rebuilds the matrix
// (U^H D U = A), the solution satisfies A x = b, and a negated matrix is refused.
TEST(CholeskyProperties, FactorRebuildsMatrixAndSolves) {
  Rng rng(33);
  for (int32_t n = 1; n <= 20; ++n) {
    const std::vector<cfloat> a = testing::randomHermitianPd(rng, n);
    std::vector<cfloat> b(static_cast<size_t>(n));
    for (cfloat& v : b) {
      const float re = rng.uniformFloat(-1.0f, 1.0f);
      v = cfloat(re, rng.uniformFloat(-1.0f, 1.0f));
    }
    const Solve s = cholesky(n, 1.0e-15f, packUpper(n, a), b);
    ASSERT_EQ(s.status, 0) << "order " << n;

    View2<const cfloat> A(a.data(), n, n);
    View1<const cfloat> T(s.t.data(), packedSize(n));
    auto u = [&](int64_t i, int64_t k) -> cdouble {
      return i == k ? 1.0 : i < k ? cdouble(T(k * (k - 1) / 2 + i)) : 0.0;
    };
    const double scale = testing::maxAbs(a.data(), n * n);
    double worst = 0.0;
    for (int64_t j = 1; j <= n; ++j)
      for (int64_t i = 1; i <= j; ++i) {
        cdouble s2 = 0.0;
        for (int64_t l = 1; l <= i; ++l)
          s2 += std::conj(u(l, i)) * double(T(l * (l + 1) / 2).real()) * u(l, j);
        worst = std::max(worst, std::abs(s2 - cdouble(A(i, j))));
      }
    EXPECT_LE(worst, testing::inverseTolerance<cfloat>(n, 1.0) * scale) << "order " << n;

    double residual = 0.0;
    for (int64_t i = 1; i <= n; ++i) {
      cdouble r = -cdouble(b[static_cast<size_t>(i - 1)]);
      for (int64_t k = 1; k <= n; ++k)
        r += cdouble(A(i, k)) * cdouble(s.b[static_cast<size_t>(k - 1)]);
      residual = std::max(residual, std::abs(r));
    }
    EXPECT_LE(residual, testing::inverseTolerance<cfloat>(n, testing::hermitianPdBound(n)) * scale)
        << "order " << n;

    std::vector<cfloat> negated = packUpper(n, a);
    for (cfloat& v : negated) v = -v;
    const Solve f = cholesky(n, 1.0e-15f, negated, b);
    EXPECT_EQ(f.status, -1) << "order " << n;
    EXPECT_EQ(f.b, b) << "order " << n;
  }
}

// ---------------------------------------------------------------- HERMINV

TEST(HerminvExamples, OrderOneIgnoresImaginaryPartOfDiagonal) {
  const cfloat a(4.0f, 3.0f);
  cfloat b(-1.0f, -1.0f);
  HERMINV(1, &a, &b);
  EXPECT_EQ(b, cfloat(0.25f, 0.0f));
}

TEST(HerminvExamples, TwoByTwoWhateverTheUpperTriangleHolds) {
  for (const cfloat upper : {cfloat(1, -1), cfloat(99, -7), cfloat(kNaN, kNaN)}) {
    SCOPED_TRACE(upper.real());
    // Column-major: A(1,1), A(2,1), A(1,2), A(2,2).
    const std::vector<cfloat> a = {{2, 0}, {1, 1}, upper, {3, 0}};
    std::vector<cfloat> b(4, cfloat(-9, -9));
    HERMINV(2, a.data(), b.data());
    EXPECT_EQ(b, (std::vector<cfloat>{{0.75f, 0}, {-0.25f, -0.25f}, {-0.25f, 0.25f}, {0.5f, 0}}));
  }
}

TEST(HerminvExamples, OrderZeroOrLessWritesNothing) {
  const cfloat a(2.0f, 0.0f);
  for (int32_t n : {0, -1}) {
    cfloat b(-9.0f, 4.0f);
    HERMINV(n, &a, &b);
    EXPECT_EQ(b, cfloat(-9.0f, 4.0f));
  }
}

// Regression: a matrix that is not positive definite used to come back with
// columns of the identity matrix, a plausible-looking number that passed on into
// the spectra unnoticed. Every element is now not-a-number.
TEST(HerminvRegression, NotPositiveDefiniteGivesNaNNotIdentityColumns) {
  struct Case {
    const char* name;
    int32_t n;
    std::vector<cfloat> a;
  };
  const Case cases[] = {
      {"negative scalar", 1, {{-2, 0}}},
      {"zero scalar", 1, {{0, 0}}},
      {"indefinite 2x2", 2, {{1, 0}, {2, 0}, {2, 0}, {1, 0}}},
      {"singular 3x3 failing in the last row",
       3,
       {{1, 0}, {1, 0}, {0, 0}, {1, 0}, {2, 0}, {1, 0}, {0, 0}, {1, 0}, {1, 0}}},
      {"NaN on the diagonal", 2, {{1, 0}, {0, 0}, {0, 0}, {kNaN, 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<cfloat> b(c.a.size(), cfloat(0, 0));
    HERMINV(c.n, c.a.data(), b.data());
    for (const cfloat v : b) {
      EXPECT_TRUE(std::isnan(v.real()));
      EXPECT_TRUE(std::isnan(v.imag()));
    }
  }
}

// Random Hermitian positive-definite matrices of orders 1 to 20: A B = I, B is
// Hermitian, the upper triangle of A is never read, and factorising once gives the
// very bits that a fresh factorisation per column would give.
TEST(HerminvProperties, InverseOfRandomHermitianPositiveDefinite) {
  Rng rng(2026);
  for (int32_t n = 1; n <= 20; ++n) {
    for (int trial = 0; trial < 3; ++trial) {
      SCOPED_TRACE(::testing::Message() << "order " << n << " trial " << trial);
      const std::vector<cfloat> a = testing::randomHermitianPd(rng, n);
      std::vector<cfloat> b(a.size());
      HERMINV(n, a.data(), b.data());

      const double cond = testing::hermitianPdBound(n);
      const double invNorm = 1.0 / n;  // the smallest eigenvalue is at least n
      EXPECT_LE(testing::identityResidual(n, a.data(), b.data()),
                testing::inverseTolerance<cfloat>(n, cond));
      EXPECT_LE(testing::hermitianDefect(n, b.data()),
                testing::inverseTolerance<cfloat>(n, cond) * invNorm);

      std::vector<cfloat> garbled = a;
      View2<cfloat> G(garbled.data(), n, n);
      for (int32_t j = 2; j <= n; ++j)
        for (int32_t i = 1; i < j; ++i) G(i, j) = cfloat(kNaN, static_cast<float>(i * j));
      std::vector<cfloat> b2(a.size());
      HERMINV(n, garbled.data(), b2.data());
      EXPECT_EQ(std::memcmp(b.data(), b2.data(), b.size() * sizeof(cfloat)), 0);

      View2<const cfloat> A(a.data(), n, n);
      View2<const cfloat> B(b.data(), n, n);
      for (int32_t i = 1; i <= n; ++i) {
        std::vector<cfloat> t;
        for (int32_t j = 1; j <= n; ++j)
          for (int32_t k = 1; k <= j; ++k) t.push_back(std::conj(A(j, k)));
        std::vector<cfloat> e(static_cast<size_t>(n), cfloat(0, 0));
        e[static_cast<size_t>(i - 1)] = cfloat(1, 0);
        int32_t status = -99;
        CHOLESKY(n, 1.0e-15f, t.data(), e.data(), status);
        ASSERT_EQ(status, 0);
        for (int32_t r = 1; r <= n; ++r)
          ASSERT_TRUE(testing::sameBits(B(r, i).real(), e[static_cast<size_t>(r - 1)].real()) &&
                      testing::sameBits(B(r, i).imag(), e[static_cast<size_t>(r - 1)].imag()))
              << "column " << i << " row " << r;
      }
    }
  }
}

}  // namespace
}  // namespace kelv
