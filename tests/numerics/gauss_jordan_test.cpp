// The Gauss-Jordan elimination on columns padded to whole vectors (as the model fit
// runs it) against MATRINV, one element at a time: the same bits for every matrix,
// the partial elimination of a singular one included.
#include "numerics/gauss_jordan.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "numerics/numerics.hpp"
#include "support/numerics_support.hpp"

namespace kelv {
namespace {

using testing::Rng;

// Random n x n matrices: well conditioned, with small diagonals (every step
// interchanges columns), with two equal columns, and with a zero row.
template <class T>
std::vector<T> matrix(int32_t n, int kind, Rng& rng) {
  std::vector<T> a(size_t(n) * n);
  View2<T> A(a.data(), n, n);
  for (int32_t j = 1; j <= n; ++j)
    for (int32_t i = 1; i <= n; ++i)
      A(i, j) = T(rng.uniform() - 0.5) + (kind == 0 && i == j ? T(n) : T(0));
  if (kind == 1)
    for (int32_t i = 1; i <= n; ++i) A(i, i) *= T(1e-3);
  if (kind == 2 && n >= 2)
    for (int32_t i = 1; i <= n; ++i) A(i, n) = A(i, 1);
  if (kind == 3)
    for (int32_t j = 1; j <= n; ++j) A((n + 1) / 2, j) = T(0);
  return a;
}

template <class T>
void expectSameBits(const char* type) {
  Rng rng(17);
  for (int32_t n = 1; n <= 12; ++n)
    for (int kind = 0; kind < 4; ++kind) {
      SCOPED_TRACE(std::string(type) + " n " + std::to_string(n) + " kind " + std::to_string(kind));
      const std::vector<T> a = matrix<T>(n, kind, rng);
      std::vector<T> want(a.size());
      const bool completed = MATRINV(n, a.data(), want.data());

      const int64_t ld = (n + kLanes - 1) / kLanes * kLanes;
      std::vector<T> padded(size_t(ld) * n, T(0));
      for (int32_t j = 0; j < n; ++j)
        for (int32_t i = 0; i < n; ++i) padded[size_t(i + j * ld)] = a[size_t(i + j * n)];
      std::vector<int32_t> pivots(static_cast<size_t>(n));
      int32_t steps = n;
      invertColumns<kLanes>(padded.data(), ld, steps, pivots.data());

      EXPECT_EQ(steps == n, completed);
      for (int32_t j = 0; j < n; ++j)
        for (int32_t i = 0; i < n; ++i)
          ASSERT_EQ(std::memcmp(&padded[size_t(i + j * ld)], &want[size_t(i + j * n)], sizeof(T)),
                    0)
              << "element " << i + 1 << ", " << j + 1;
    }
}

TEST(InvertColumns, PaddedVectorColumnsGiveMatrinvBitForBit) {
  expectSameBits<float>("float");
  expectSameBits<double>("double");
}

}  // namespace
}  // namespace kelv
