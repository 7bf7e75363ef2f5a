#include <gtest/gtest.h>

#include <cmath>

#include "map/map.hpp"
#include "map_test_support.hpp"

namespace {

using kelv::gridmap::Grid;
using kelv::gridmap::MapError;
using kelv::gridmap::parseGrid;
using kelv::testing::GridText;

std::string errorOf(const std::string& text) {
  try {
    parseGrid(text, "grid.grd");
  } catch (const MapError& e) {
    return e.what();
  }
  return "(no error)";
}

GridText threeByTwo() {
  GridText g;
  g.nx = 3;
  g.ny = 2;
  g.xMin = 255;
  g.xMax = 455;
  g.yMin = 0.00390625;
  g.yMax = 0.5;
  g.zMin = 0.125;
  g.zMax = 0.75;
  g.values = kelv::testing::tokens({0.125, 0.25, 0.375, 0.5, 0.625, 0.75});
  return g;
}

TEST(GridFile, SameGridWhateverTheLineEndsAndWrapping) {
  GridText g = threeByTwo();
  const Grid reference = parseGrid(g.text(), "grid.grd");
  EXPECT_EQ(reference.nx, 3);
  EXPECT_EQ(reference.ny, 2);
  EXPECT_EQ(reference.xMin, 255.0);
  EXPECT_EQ(reference.xMax, 455.0);
  EXPECT_EQ(reference.yMin, 0.00390625);
  EXPECT_EQ(reference.yMax, 0.5);
  EXPECT_EQ(reference.zMin, 0.125);
  EXPECT_EQ(reference.zMax, 0.75);
  EXPECT_EQ(reference.z, (std::vector<float>{0.125f, 0.25f, 0.375f, 0.5f, 0.625f, 0.75f}));

  for (const char* eol : {"\r\n", "\n", "\r"}) {
    for (int perLine : {1, 2, 4}) {
      g.eol = eol;
      g.perLine = perLine;
      const Grid other = parseGrid(g.text(), "grid.grd");
      EXPECT_EQ(other.z, reference.z) << "line end " << int(eol[0]) << ", " << perLine << " a line";
    }
  }
  // Rows that run on into the next one, tabs, no final line end.
  const Grid packed = parseGrid(
      "DSAA 3 2\t255 455 0.00390625 0.5\n0.125 0.75 0.125 0.25\n"
      "0.375 0.5\t0.625 0.75",
      "grid.grd");
  EXPECT_EQ(packed.z, reference.z);
}

TEST(GridFile, LinesAreCountedAlikeForEveryLineEnd) {
  for (const char* eol : {"\r\n", "\n", "\r"}) {
    GridText g = threeByTwo();
    g.eol = eol;
    g.perLine = 2;
    g.values[2] = "0.5q";  // first row, second line: line 7
    EXPECT_EQ(errorOf(g.text()), "grid.grd: line 7: \"0.5q\" is not a number") << int(eol[0]);
  }
  // Blank lines count; CR LF is one line end, LF CR two.
  EXPECT_EQ(errorOf("DSAA\r\n\r\n2 2\n\r0 1\r0 1\n0 1\n1 2 3 x"),
            "grid.grd: line 8: \"x\" is not a number");
}

TEST(GridFile, BlankingValueAndNonFiniteValuesMeanNoData) {
  GridText g;
  g.nx = 11;
  g.ny = 1;
  // The analysis program writes not-a-number and infinite values as NaN, Infinity and
  // -Infinity.
  g.values = {"1.70141E+38", "1.70141e+38", "2E+38",     "nan",         "inf", "-inf",
              "NaN",         "Infinity",    "-Infinity", "1.70140E+38", "0.5"};
  const Grid grid = parseGrid(g.text(), "grid.grd");
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(std::isnan(grid.z[size_t(i)])) << g.values[size_t(i)];
  EXPECT_EQ(grid.z[9], 1.70140e38f);
  EXPECT_EQ(grid.z[10], 0.5f);
}

TEST(GridFile, OtherWritersNumberForms) {
  const Grid grid = parseGrid(
      "\xEF\xBB\xBF"
      "DSAA\n+2 1\n-1.5 +2.5\n.5 1.\n0 1\n1.0D-01 +2.5e-1\n",
      "g");
  EXPECT_EQ(grid.nx, 2);
  EXPECT_EQ(grid.xMin, -1.5);
  EXPECT_EQ(grid.xMax, 2.5);
  EXPECT_EQ(grid.yMin, 0.5);
  EXPECT_EQ(grid.yMax, 1.0);
  EXPECT_EQ(grid.z, (std::vector<float>{0.1f, 0.25f}));
  // The header's zMin may be not-a-number: the analysis program writes it so when the
  // first value is one.
  EXPECT_NO_THROW(parseGrid("DSAA\n1 1\n0 0\n0 0\nNaN NaN\nNaN\n", "g"));
}

TEST(GridFile, BadInputIsNamedWithItsLine) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "grid.grd: line 1: expected \"DSAA\", found the end of the file (not a DSAA grid file)"},
      {"DSBB\n2 2\n", "grid.grd: line 1: expected \"DSAA\", found \"DSBB\" (not a DSAA grid file)"},
      {"\n\n  DSAA-x 1 1",
       "grid.grd: line 3: expected \"DSAA\", found \"DSAA-x\" (not a DSAA grid file)"},
      {"x,y,z\n1,2,3\n",
       "grid.grd: line 1: expected \"DSAA\", found \"x,y,z\" (not a DSAA grid file)"},
      {"\x01\xFF\n",
       "grid.grd: line 1: expected \"DSAA\", found \"\\x01\\xFF\" (not a DSAA grid file)"},
      {"DSAA\n", "grid.grd: line 1: expected the number of x nodes, found the end of the file"},
      {"DSAA\n2 2\n0 1\n0\n", "grid.grd: line 4: expected yMax, found the end of the file"},
      {"DSAA\ntwo 2\n", "grid.grd: line 2: \"two\" is not a number"},
      {"DSAA\n2.5 2\n",
       "grid.grd: line 2: expected the number of x nodes as a whole number, found \"2.5\""},
      {"DSAA\n2 99999999999\n", "grid.grd: line 2: the number of y nodes 99999999999 is too large"},
      {"DSAA\n0 128\n255 255\n0.004 0.5\n3.4028235E+38 -3.4028235E+38\n",
       "grid.grd: line 2: expected positive node counts, found 0 x 128"},
      {"DSAA\n3 -1\n", "grid.grd: line 2: expected positive node counts, found 3 x -1"},
      {"DSAA\n1 1\n0 inf\n", "grid.grd: line 3: expected a finite xMax, found \"inf\""},
      {"DSAA\n1 1\n0 0\nnan 1\n", "grid.grd: line 4: expected a finite yMin, found \"nan\""},
      {"DSAA\n2 2\n0 1\n0 1\n0 1\n1 2\n3\n\n",
       "grid.grd: line 7: expected 4 values for a 2 x 2 grid, found 3"},
      {"DSAA\n2 2\n0 1\n0 1\n0 1\n",
       "grid.grd: line 5: expected 4 values for a 2 x 2 grid, found 0"},
      {"DSAA\n2 2\n0 1\n0 1\n0 1\n1 2\n3 4\n5\n6\n",
       "grid.grd: line 8: expected 4 values for a 2 x 2 grid, found 6"},
      {"DSAA\n2 2\n0 1\n0 1\n0 1\n1 2\n3 4,\n", "grid.grd: line 7: \"4,\" is not a number"},
      {"DSAA\n1 1\n0 1\n0 1\n0 1\n1e999\n", "grid.grd: line 6: \"1e999\" is out of range"},
      // Regression: below the float range a value became -infinity and every node
      // of the picture took one colour.
      {"DSAA\n1 2\n0 1\n0 1\n0 1\n0.5\n-1e39\n", "grid.grd: line 7: \"-1e39\" is out of range"},
      {"DSAA\n1 1\n0 1\n0 1\n0 1\n" + std::string(60, '7') + "x\n",
       "grid.grd: line 6: \"" + std::string(48, '7') + "...\" is not a number"},
  };
  for (const auto& [text, message] : cases) EXPECT_EQ(errorOf(text), message) << text;
}

TEST(GridFile, ErrorsOfTheFileItself) {
  try {
    kelv::gridmap::readGridFile("/nonexistent/grid.grd");
    FAIL();
  } catch (const MapError& e) {
    EXPECT_STREQ(e.what(), "cannot open /nonexistent/grid.grd: No such file or directory");
  }
  try {
    kelv::gridmap::readGridFile("/");
    FAIL();
  } catch (const MapError& e) {
    EXPECT_STREQ(e.what(), "cannot read /: Is a directory");
  }
}

}  // namespace
