// The grid's rows made column by column, as the console's window loop makes them, must
// be the bytes the row-by-row layout gives: every field and every line end in its place
// for any column count (a last line of one to four values), blank and extreme nodes
// included, in whatever order the columns come.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "kelvarodine/dsaa.hpp"

namespace kelv {
namespace {

TEST(DsaaColumns, ColumnByColumnGivesTheRowsBytes) {
  std::mt19937 rng(3);
  std::uniform_real_distribution<float> value(0.0f, 1.0f);
  for (int32_t nx : {1, 2, 3, 4, 5, 8, 9, 13, 610}) {
    for (int32_t ny : {1, 2, 7, 64}) {
      std::vector<float> grid(static_cast<size_t>(nx) * ny);
      for (float& z : grid) z = value(rng) * std::pow(10.0f, -float(rng() % 12));
      grid[0] = std::numeric_limits<float>::quiet_NaN();
      grid.back() = std::numeric_limits<float>::infinity();
      if (grid.size() > 2) grid[1] = -123456.78f;
      if (grid.size() > 3) grid[2] = 1e30f;
      std::string rows;
      appendDsaaRows(grid.data(), nx, ny, 1, ny, rows);
      ASSERT_EQ(rows.size(), dsaaRowsBytes(nx, ny)) << nx << " x " << ny;
      std::string columns(rows.size(), '#');
      std::vector<int32_t> order(static_cast<size_t>(nx));
      std::iota(order.begin(), order.end(), 1);
      std::shuffle(order.begin(), order.end(), rng);
      for (int32_t w : order)
        formatDsaaColumn(grid.data() + static_cast<size_t>(w - 1) * ny, nx, ny, w, columns.data());
      EXPECT_EQ(columns, rows) << nx << " x " << ny;
    }
  }
}

// The window loop gathers the header's z range a column at a time; it must be the range
// of one pass over the grid, blank nodes skipped and, among equal extremes, the first
// kept (-0 before +0 gives -0 for both, +0 before -0 gives +0).
TEST(DsaaColumns, RangeGatheredColumnByColumnIsTheWholeGridsRange) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const std::vector<std::vector<float>> grids = {
      {-0.0f, 0.0f, 0.0f, -0.0f, kNaN, 0.0f},
      {0.0f, -0.0f, kInf, -0.0f, 0.0f, 0.0f},
      {kNaN, -kInf, 3.5f, -2.0f, 7.25f, kInf, -2.0f, 7.25f},
      {kNaN, kInf, -kInf, kNaN},
  };
  for (const std::vector<float>& grid : grids) {
    const int32_t ny = 2;
    const int32_t nx = static_cast<int32_t>(grid.size()) / ny;
    const DsaaHeader whole = dsaaHeader(grid.data(), nx, ny, 0.0, 1.0, 2.0, 3.0);
    DsaaRange range;
    for (int32_t w = 0; w < nx; ++w) range.add(grid.data() + static_cast<size_t>(w) * ny, ny);
    const DsaaHeader columns = dsaaHeader(range, nx, ny, 0.0, 1.0, 2.0, 3.0);
    EXPECT_EQ(dsaaHeaderText(columns), dsaaHeaderText(whole));
    EXPECT_EQ(std::signbit(columns.zMin), std::signbit(whole.zMin));
    EXPECT_EQ(std::signbit(columns.zMax), std::signbit(whole.zMax));
  }
  // An empty grid keeps the extreme floats whatever the range holds.
  EXPECT_EQ(dsaaHeaderText(dsaaHeader(DsaaRange{}, 0, 4, 0.0, 1.0, 2.0, 3.0)),
            dsaaHeaderText(dsaaHeader(nullptr, 0, 4, 0.0, 1.0, 2.0, 3.0)));
}

}  // namespace
}  // namespace kelv
