// kelvarodine-map on the netCDF grid that kelvarodine writes: the nodes are the DSAA
// grid's, the axes carry the file's names and units, the null level comes from the
// file, and --channels draws one panel per channel under the map.
#ifdef KELV_HAVE_NETCDF

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "map/map.hpp"
#include "map_test_support.hpp"
#include "support/run_program.hpp"

namespace {

using namespace kelv::testing;
using namespace kelv::gridmap;

std::string mapProgram() {
  return (binaryDir() / "map" / "kelvarodine-map").string();
}

// A run of kelvarodine on three coupled channels with time marks in seconds, into
// g.nc and g.grd (with their companions).
void writeGrids(const TempDir& dir) {
  std::string csv = "t,a,b,c\n";
  double a = 0, b = 0, c = 0;
  uint64_t state = 3;
  const auto noise = [&state] {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return double(state >> 11) / double(uint64_t{1} << 53) - 0.5;
  };
  for (int t = 0; t < 700; ++t) {
    a = 0.7 * a + noise();
    b = 0.4 * b + 0.7 * a + noise();
    c = 0.2 * c + 0.4 * b + noise();
    char line[96];
    std::snprintf(line, sizeof line, "%.2f,%.6f,%.6f,%.6f\n", 0.5 * t, a, b, c);
    csv += line;
  }
  writeFile(dir / "data.csv", csv);
  const std::string program = consoleProgram();
  for (const char* output : {"g.nc", "g.grd"}) {
    const RunResult r = runProgram(
        {program, "--window", "128", "--shift", "64", "--order", "2", "--time-column", "t",
         "--time-unit", "s", "--channels", "--null", "--quiet", "--output", output, "data.csv"},
        "", dir.path());
    ASSERT_EQ(r.exitCode, 0) << r.err;
  }
}

TEST(MapNetcdf, ReadsTheDsaaGridsNodesWithTheFilesLabelsLevelsAndChannels) {
  TempDir dir;
  writeGrids(dir);
  ASSERT_TRUE(looksLikeNetcdf((dir / "g.nc").string()));
  EXPECT_FALSE(looksLikeNetcdf((dir / "g.grd").string()));
  const GridFile file = readNetcdfGrid((dir / "g.nc").string(), true);
  const Grid dsaa = readGridFile((dir / "g.grd").string());
  ASSERT_EQ(file.grid.nx, dsaa.nx);
  ASSERT_EQ(file.grid.ny, dsaa.ny);
  EXPECT_EQ(file.grid.xMin, dsaa.xMin);
  EXPECT_EQ(file.grid.xMax, dsaa.xMax);
  EXPECT_EQ(file.grid.yMax, dsaa.yMax);
  ASSERT_EQ(file.grid.z.size(), dsaa.z.size());
  EXPECT_EQ(std::memcmp(file.grid.z.data(), dsaa.z.data(), dsaa.z.size() * sizeof(float)), 0);
  EXPECT_EQ(file.xLabel, "time of the window's last sample (s)");
  EXPECT_EQ(file.yLabel, "frequency (Hz)");
  const Grid levels = readGridFile((dir / "g.null.grd").string());
  EXPECT_EQ(file.rowLevels, nullLevelsOf(levels, dsaa, "g.null.grd"));
  ASSERT_EQ(file.channels.size(), 3u);
  const char* names[] = {"a", "b", "c"};
  for (std::size_t m = 0; m < 3; ++m) {
    EXPECT_EQ(file.channels[m].title.rfind("channel " + std::string(names[m]) + ":", 0), 0u);
    const Grid companion =
        readGridFile((dir / ("g.ch-" + std::string(names[m]) + ".grd")).string());
    EXPECT_EQ(std::memcmp(file.channels[m].grid.z.data(), companion.z.data(),
                          companion.z.size() * sizeof(float)),
              0)
        << names[m];
  }
}

TEST(MapNetcdf, TheProgramLabelsTheAxesWithTheFilesUnitsAndDrawsAPanelPerChannel) {
  TempDir dir;
  writeGrids(dir);
  RunResult r = runProgram({mapProgram(), "g.nc", "plain.png"}, "", dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  // The program's picture is the one drawn with the file's labels, not the default.
  const GridFile file = readNetcdfGrid((dir / "g.nc").string(), false);
  writeMap(file.grid, MapText{"g.nc", file.xLabel, file.yLabel}, {},
           (dir / "labelled.png").string(), Format::png, file.rowLevels);
  writeMap(file.grid, MapText{"g.nc"}, {}, (dir / "default.png").string(), Format::png,
           file.rowLevels);
  EXPECT_EQ(readFile(dir / "plain.png"), readFile(dir / "labelled.png"));
  EXPECT_NE(readFile(dir / "plain.png"), readFile(dir / "default.png"));

  // Labels and title given on the command line take the place of the file's.
  r = runProgram(
      {mapProgram(), "--title", "T", "--x-label", "X (ms)", "--y-label", "Y", "g.nc", "given.png"},
      "", dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  writeMap(file.grid, MapText{"T", "X (ms)", "Y"}, {}, (dir / "expected.png").string(), Format::png,
           file.rowLevels);
  EXPECT_EQ(readFile(dir / "given.png"), readFile(dir / "expected.png"));

  r = runProgram({mapProgram(), "--channels", "g.nc", "panels.png"}, "", dir.path());
  ASSERT_EQ(r.exitCode, 0) << r.err;
  EXPECT_EQ(r.out, "kelvarodine-map: wrote panels.png (1200 x 1600)\n");
  const Png panels(dir / "panels.png");
  ASSERT_TRUE(panels.ok());
  EXPECT_EQ(panels.width(), kDefaultWidth);
  EXPECT_EQ(panels.height(), kDefaultHeight + 3 * kPanelHeight);

  // --channels needs the channels of a netCDF grid.
  r = runProgram({mapProgram(), "--channels", "g.grd", "no.png"}, "", dir.path());
  EXPECT_EQ(r.exitCode, 1);
  EXPECT_NE(r.err.find("--channels needs a netCDF grid"), std::string::npos) << r.err;
  EXPECT_FALSE(std::filesystem::exists(dir / "no.png"));
  r = runProgram({mapProgram(), "g.nc", "--title"}, "", dir.path());
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_EQ(r.err,
            "kelvarodine-map: --title needs a value; usage: kelvarodine-map GRID [OUTPUT]\n");
}

}  // namespace

#endif
