// MATRINV and INVRSM: exact small cases, the degenerate row reported to the caller
// (never printed), and A A^-1 = I on random well-conditioned matrices.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "numerics/numerics.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::captureStdout;
using testing::Rng;

// Builds a column-major matrix from rows written as they read.
std::vector<float> fromRows(int32_t n, std::initializer_list<float> rows) {
  std::vector<float> a(static_cast<size_t>(n * n));
  View2<float> A(a.data(), n, n);
  auto it = rows.begin();
  for (int32_t i = 1; i <= n; ++i)
    for (int32_t j = 1; j <= n; ++j) A(i, j) = *it++;
  return a;
}

struct Inversion {
  std::vector<float> ainv;
  bool completed = false;
  std::string console;
};

Inversion matrinv(int32_t n, const std::vector<float>& a) {
  Inversion r;
  r.ainv.assign(a.size(), -99.0f);
  r.console = captureStdout([&] { r.completed = MATRINV(n, a.data(), r.ainv.data()); });
  return r;
}

struct Steps {
  int32_t count;
  std::vector<float> a;
  std::vector<int32_t> ipiv;
  std::string console;
};

Steps invrsm(int32_t n, std::vector<float> a) {
  Steps s{n, std::move(a), std::vector<int32_t>(static_cast<size_t>(n), -7), {}};
  s.console = captureStdout([&] { INVRSM(s.a.data(), s.count, s.ipiv.data()); });
  return s;
}

struct ExactCase {
  const char* name;
  int32_t n;
  std::vector<float> a, inverse;
};

// Inverses that come out exactly: a scalar, the identity, and permutation
// matrices whose pivots lie off the diagonal, so the column interchanges and the
// row exchanges that undo them are both exercised.
TEST(MatrinvExamples, ExactInverses) {
  const ExactCase cases[] = {
      {"scalar", 1, {4.0f}, {0.25f}},
      {"identity", 3, fromRows(3, {1, 0, 0, 0, 1, 0, 0, 0, 1}),
       fromRows(3, {1, 0, 0, 0, 1, 0, 0, 0, 1})},
      {"swap", 2, fromRows(2, {0, 1, 1, 0}), fromRows(2, {0, 1, 1, 0})},
      {"cycle", 3, fromRows(3, {0, 1, 0, 0, 0, 1, 1, 0, 0}),
       fromRows(3, {0, 0, 1, 1, 0, 0, 0, 1, 0})},
      {"scaled cycle", 3, fromRows(3, {0, 2, 0, 0, 0, 4, 8, 0, 0}),
       fromRows(3, {0, 0, 0.125f, 0.5f, 0, 0, 0, 0.25f, 0})},
      {"diagonal 2x2", 2, fromRows(2, {2, 0, 0, -0.5f}), fromRows(2, {0.5f, 0, 0, -2})},
  };
  for (const ExactCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Inversion r = matrinv(c.n, c.a);
    EXPECT_EQ(r.ainv, c.inverse);
    EXPECT_TRUE(r.completed);
    EXPECT_EQ(r.console, "");
    const Steps s = invrsm(c.n, c.a);
    EXPECT_EQ(s.count, c.n);
    for (int32_t k = 1; k <= c.n; ++k) EXPECT_EQ(s.ipiv[static_cast<size_t>(k - 1)], k);
  }
}

TEST(MatrinvExamples, ZeroScalarIsReportedAndKeepsTheZero) {
  const Inversion r = matrinv(1, {0.0f});
  EXPECT_EQ(r.ainv, std::vector<float>{0.0f});
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.console, "");
  const Steps s = invrsm(1, {0.0f});
  EXPECT_EQ(s.count, 0);
}

// Row 2 is zero: one step is done, the state it left is handed back, and the caller
// learns that the inversion did not complete.
TEST(MatrinvExamples, ZeroRowStopsAfterThePrecedingStepsAndIsReported) {
  const std::vector<float> a = fromRows(3, {2, 1, 1, 0, 0, 0, 1, 3, 4});
  const std::vector<float> partial = fromRows(3, {0.5f, -0.5f, -0.5f, 0, 0, 0, 0.5f, 2.5f, 3.5f});
  const Steps s = invrsm(3, a);
  EXPECT_EQ(s.count, 1);
  EXPECT_EQ(s.a, partial);
  EXPECT_EQ(s.console, "");

  const Inversion r = matrinv(3, a);
  EXPECT_EQ(r.ainv, partial);
  EXPECT_FALSE(r.completed);
  EXPECT_EQ(r.console, "");
}

// On a singular matrix the partial state shows which column was the pivot: with
// equal magnitudes the leftmost is taken; a strictly larger one later in the row
// wins.
TEST(MatrinvExamples, PivotIsTheFirstOfEqualMaxima) {
  struct Case {
    const char* name;
    std::vector<float> a, partial;
  };
  const Case cases[] = {
      {"equal magnitudes", fromRows(2, {1, -1, 2, -2}), fromRows(2, {1, 1, 2, 0})},
      {"later larger", fromRows(2, {1, -2, 2, -4}), fromRows(2, {-0.5f, 0.5f, 2, 0})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Steps s = invrsm(2, c.a);
    EXPECT_EQ(s.count, 1);
    EXPECT_EQ(s.a, c.partial);
    EXPECT_EQ(s.console, "");
  }
}

TEST(MatrinvExamples, OrderZeroDoesNothing) {
  float untouched = 3.0f;
  std::string console = captureStdout([&] { MATRINV(0, &untouched, &untouched); });
  EXPECT_EQ(console, "");
  EXPECT_EQ(untouched, 3.0f);
  int32_t n = 0;
  int32_t ipiv = -1;
  console = captureStdout([&] { INVRSM(&untouched, n, &ipiv); });
  EXPECT_EQ(console, "");
  EXPECT_EQ(n, 0);
  EXPECT_EQ(untouched, 3.0f);
}

// MATRINV works on a copy: the caller's matrix keeps every bit, also when the
// elimination stops early and when it holds not-a-number values.
TEST(MatrinvExamples, InputIsLeftBitForBitUnchanged) {
  Rng rng(7);
  std::vector<std::vector<float>> inputs = {
      testing::randomWellConditionedReal(rng, 5),
      fromRows(3, {2, 1, 1, 0, 0, 0, 1, 3, 4}),
      fromRows(2, {std::numeric_limits<float>::quiet_NaN(), 1, -0.0f, 2}),
  };
  for (const std::vector<float>& a : inputs) {
    const std::vector<float> copy = a;
    const auto n = static_cast<int32_t>(std::lround(std::sqrt(a.size())));
    matrinv(n, a);
    EXPECT_EQ(std::memcmp(a.data(), copy.data(), a.size() * sizeof(float)), 0);
  }
}

// A A^-1 = I for random diagonally dominant matrices of orders 1 to 12 and for the
// same matrices with their columns shuffled (which moves the pivots off the
// diagonal). No warning line is written for any of them.
TEST(MatrinvProperties, ProductWithInverseIsIdentity) {
  Rng rng(20261208);
  std::string console = captureStdout([&] {
    for (int32_t n = 1; n <= 12; ++n) {
      for (int trial = 0; trial < 5; ++trial) {
        const std::vector<float> a = testing::randomWellConditionedReal(rng, n);
        const std::vector<float> shuffled =
            testing::permuteColumns(a, n, testing::randomPermutation(rng, n));
        const double tol = testing::inverseTolerance<float>(n, testing::wellConditionedBound(n));
        for (const std::vector<float>* m : {&a, &shuffled}) {
          std::vector<float> inv(m->size());
          MATRINV(n, m->data(), inv.data());
          EXPECT_LE(testing::identityResidual(n, m->data(), inv.data()), tol)
              << "order " << n << " trial " << trial << (m == &a ? "" : " shuffled");
          EXPECT_LE(testing::identityResidual(n, inv.data(), m->data()), tol)
              << "order " << n << " trial " << trial << (m == &a ? "" : " shuffled");
        }
        const Steps s = invrsm(n, shuffled);
        EXPECT_EQ(s.count, n);
        for (int32_t k = 1; k <= n; ++k) EXPECT_EQ(s.ipiv[static_cast<size_t>(k - 1)], k);
      }
    }
  });
  EXPECT_EQ(console, "");
}

}  // namespace
}  // namespace kelv
