// The temporary column file of a run that does not hold its grid: blocks of columns
// in any order and with any boundaries give the held writer's DSAA bytes, for the
// measure and for each channel's plane.
#include "cli/column_file.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "console/analysis.hpp"
#include "support/run_program.hpp"
#include "textio/textio.hpp"

namespace kelv {
namespace {

constexpr int32_t kFreq = 5, kChannels = 2;
constexpr int64_t kWindows = 23;

struct Grids {
  std::vector<float> measure, coherences;  // as analyseWindows gives them
};

// Values with blanks, and the smallest value as -0 in window 2 and +0 in window 20,
// so that the z range depends on which comes first in the grid's order.
Grids makeGrids() {
  Grids g;
  uint64_t state = 99;
  const auto next = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return float(state >> 40) / float(1 << 24);
  };
  for (int64_t i = 0; i < kWindows * kFreq; ++i) g.measure.push_back(0.25f + next() / 2);
  for (int64_t i = 0; i < kWindows * kFreq * kChannels; ++i)
    g.coherences.push_back(0.25f + next() / 2);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  g.measure[1 * kFreq + 3] = -0.0f;
  g.measure[19 * kFreq + 1] = 0.0f;
  for (int64_t f = 0; f < kFreq; ++f) g.measure[7 * kFreq + f] = nan;  // a blank column
  g.measure[12 * kFreq + 4] = nan;
  g.coherences[(5 * kFreq + 2) * kChannels + 1] = nan;
  g.coherences[(21 * kFreq + 0) * kChannels + 0] = -0.0f;
  g.coherences[(2 * kFreq + 4) * kChannels + 0] = 0.0f;
  return g;
}

std::string heldDsaa(const std::vector<float>& grid, const GridAxes& axes) {
  MemoryOutput out;
  writeGrid(out.unit(), {int32_t(kWindows), kFreq, axes.xMin, axes.xMax, axes.yMin, axes.yMax},
            grid.data());
  return std::string(out.bytes());
}

// Slots of 8 windows (8, 8 and 7): the blocks cross them, and the slot holding the
// last windows is complete first.
TEST(ColumnFile, BlocksInAnyOrderGiveTheHeldWritersBytes) {
  testing::TempDir dir;
  const Grids g = makeGrids();
  const GridAxes axes{1.0, 23.0, 0.0, 0.4};
  const std::vector<std::pair<int64_t, int64_t>> blocks = {
      {17, 7}, {4, 7}, {1, 3}, {11, 6}};  // first window, windows
  for (const int32_t threads : {1, 3}) {
    cli::ColumnFile file((dir / "g.grd").string(), kFreq, kWindows, kChannels, 8);
    for (const auto& [first, windows] : blocks) {
      file.append(first, g.measure.data() + (first - 1) * kFreq, windows,
                  g.coherences.data() + (first - 1) * kFreq * kChannels);
    }
    ASSERT_EQ(file.completed(), kWindows);
    EXPECT_EQ(file.blank(), kFreq + 1);
    EXPECT_EQ(file.blank(2), 1);

    MemoryOutput out;
    file.writeDsaa(0, out.unit(), axes, threads);
    EXPECT_EQ(out.bytes(), heldDsaa(g.measure, axes));
    for (int32_t m = 1; m <= kChannels; ++m) {
      std::vector<float> channel;
      for (int64_t node = 0; node < kWindows * kFreq; ++node)
        channel.push_back(g.coherences[static_cast<std::size_t>(node * kChannels + m - 1)]);
      MemoryOutput plane;
      file.writeDsaa(m, plane.unit(), axes, threads);
      EXPECT_EQ(plane.bytes(), heldDsaa(channel, axes)) << "channel " << m;
    }

    // Read back across slots, in the layout append takes.
    std::vector<float> columns(10 * kFreq), coherences(10 * kFreq * kChannels);
    file.read(6, 10, columns.data(), coherences.data());
    for (std::size_t i = 0; i < columns.size(); ++i)
      EXPECT_EQ(std::memcmp(&columns[i], &g.measure[5 * kFreq + i], 4), 0) << i;
    for (std::size_t i = 0; i < coherences.size(); ++i)
      EXPECT_EQ(std::memcmp(&coherences[i], &g.coherences[5 * kFreq * kChannels + i], 4), 0) << i;
  }
}

// A row whose text is longer than the pieces the file is written in (over a million
// bytes) is made of groups of slots, the last one partly filled and its window count
// not a multiple of four: the bytes must still be the held writer's.
TEST(ColumnFile, RowsLongerThanAWrittenPieceGiveTheHeldWritersBytes) {
  testing::TempDir dir;
  constexpr int32_t kRows = 2;
  constexpr int64_t kLong = 70003;
  std::vector<float> grid(static_cast<std::size_t>(kLong * kRows));
  for (std::size_t i = 0; i < grid.size(); ++i) grid[i] = 1.0f / float(1 + i % 9973);
  grid[12345] = std::numeric_limits<float>::quiet_NaN();
  cli::ColumnFile file((dir / "g.grd").string(), kRows, kLong, 0, 4096);
  file.append(40001, grid.data() + 40000 * kRows, kLong - 40000);
  file.append(1, grid.data(), 40000);
  const GridAxes axes{1.0, double(kLong), 0.0, 0.5};
  MemoryOutput out, held;
  file.writeDsaa(0, out.unit(), axes, 2);
  writeGrid(held.unit(), {int32_t(kLong), kRows, axes.xMin, axes.xMax, axes.yMin, axes.yMax},
            grid.data());
  EXPECT_EQ(out.bytes(), held.bytes());
}

// Only the slots complete from the first window on count as written: a netCDF file
// takes its columns in that order.
TEST(ColumnFile, CompletedCountsOnlyTheLeadingWholeSlots) {
  testing::TempDir dir;
  const Grids g = makeGrids();
  cli::ColumnFile file((dir / "g.grd").string(), kFreq, kWindows, 0, 8);
  file.append(9, g.measure.data() + 8 * kFreq, 15);
  EXPECT_EQ(file.completed(), 0);
  file.append(1, g.measure.data(), 7);
  EXPECT_EQ(file.completed(), 0);
  file.append(8, g.measure.data() + 7 * kFreq, 1);
  EXPECT_EQ(file.completed(), kWindows);
}

}  // namespace
}  // namespace kelv
