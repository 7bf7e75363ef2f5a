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

}  // namespace
}  // namespace kelv
