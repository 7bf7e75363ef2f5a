#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "map/map.hpp"
#include "map_test_support.hpp"
#include "support/run_program.hpp"

namespace {

using namespace kelv::gridmap;
using kelv::testing::Png;
using kelv::testing::TempDir;

Grid makeGrid(int nx, int ny, std::vector<float> z, double xMin = 0, double xMax = 1,
              double yMin = 0, double yMax = 1) {
  Grid g;
  g.nx = nx;
  g.ny = ny;
  g.xMin = xMin;
  g.xMax = xMax;
  g.yMin = yMin;
  g.yMax = yMax;
  g.z = std::move(z);
  return g;
}

// Renders `grid` to a PNG in `dir` and reads it back.
Png render(const TempDir& dir, const Grid& grid, const std::vector<float>& rowLevels = {}) {
  const auto path = dir / "map.png";
  writeMap(grid, "map.grd", path.string(), Format::png, rowLevels);
  Png png(path);
  EXPECT_TRUE(png.ok());
  EXPECT_EQ(png.width(), kDefaultWidth);
  EXPECT_EQ(png.height(), kDefaultHeight);
  return png;
}

// The pixel at the centre of node (i, j), j counted from the first row.
Rgb cellCentre(const Png& png, const Grid& g, int i, int j) {
  const PixelRect p = computeLayout(kDefaultWidth, kDefaultHeight).plot;
  const int x = p.x + int((i + 0.5) * p.w / g.nx);
  const int y = p.y + p.h - 1 - int((j + 0.5) * p.h / g.ny);
  return png.at(x, y);
}

const float kBlank = NAN;

TEST(MapPicture, CellsShowTheirViridisColourOrGrey) {
  TempDir dir;
  const Grid g = makeGrid(3, 2, {0.0f, 0.2f, 0.6f, 1.0f, kBlank, 0.4f});
  const Png png = render(dir, g);
  EXPECT_EQ(cellCentre(png, g, 0, 0), viridis(0));
  EXPECT_EQ(cellCentre(png, g, 1, 0), viridis(51));
  EXPECT_EQ(cellCentre(png, g, 2, 0), viridis(153));
  EXPECT_EQ(cellCentre(png, g, 0, 1), viridis(255));
  EXPECT_EQ(cellCentre(png, g, 1, 1), kNoDataGrey);
  EXPECT_EQ(cellCentre(png, g, 2, 1), viridis(102));
  // The table's ends are viridis's dark violet and bright yellow.
  EXPECT_EQ(viridis(0), (Rgb{68, 1, 84}));
  EXPECT_EQ(viridis(255), (Rgb{253, 231, 37}));
  for (int k = 0; k < 256; ++k) EXPECT_NE(viridis(k), kNoDataGrey);
}

TEST(MapPicture, ColoursWidenToDataOutsideZeroToOne) {
  TempDir dir;
  const Grid g = makeGrid(3, 1, {-1.0f, 1.0f, 3.0f});
  const Png png = render(dir, g);
  EXPECT_EQ(cellCentre(png, g, 0, 0), viridis(0));
  EXPECT_EQ(cellCentre(png, g, 1, 0), viridis(128));
  EXPECT_EQ(cellCentre(png, g, 2, 0), viridis(255));
  const ColourRange r = colourRange(g);
  EXPECT_EQ(r.lo, -1.0);
  EXPECT_EQ(r.hi, 3.0);
  // Inside 0..1 the scale stays 0..1; blank nodes do not count.
  const ColourRange inner = colourRange(makeGrid(3, 1, {0.25f, kBlank, 0.5f}));
  EXPECT_EQ(inner.lo, 0.0);
  EXPECT_EQ(inner.hi, 1.0);
}

TEST(MapPicture, FirstRowAtTheBottomFirstColumnAtTheLeft) {
  TempDir dir;
  const PixelRect p = computeLayout(kDefaultWidth, kDefaultHeight).plot;
  {
    const Png png = render(dir, makeGrid(1, 2, {0.0f, 1.0f}));
    EXPECT_EQ(png.at(p.x + p.w / 2, p.y + p.h - 2), viridis(0));  // dark at the bottom
    EXPECT_EQ(png.at(p.x + p.w / 2, p.y + 1), viridis(255));      // bright at the top
  }
  {
    const Png png = render(dir, makeGrid(2, 1, {0.0f, 1.0f}));
    EXPECT_EQ(png.at(p.x + 1, p.y + p.h / 2), viridis(0));
    EXPECT_EQ(png.at(p.x + p.w - 2, p.y + p.h / 2), viridis(255));
  }
  {
    // Ranges given from high to low: each node still sits at its own coordinate.
    const Png png = render(dir, makeGrid(2, 2, {0.0f, 0.2f, 0.6f, 1.0f}, 10, 0, 5, 1));
    EXPECT_EQ(png.at(p.x + 1, p.y + 1), viridis(51));               // x 0, y 5
    EXPECT_EQ(png.at(p.x + p.w - 2, p.y + p.h - 2), viridis(153));  // x 10, y 1
    EXPECT_EQ(png.at(p.x + p.w - 2, p.y + 1), viridis(0));          // x 10, y 5
  }
}

TEST(MapPicture, SingleNodeFillsThePlot) {
  TempDir dir;
  const PixelRect p = computeLayout(kDefaultWidth, kDefaultHeight).plot;
  const Png png = render(dir, makeGrid(1, 1, {0.6f}, 255, 255, 0.5, 0.5));
  for (int x : {p.x, p.x + p.w / 2, p.x + p.w - 1}) {
    for (int y : {p.y, p.y + p.h / 2, p.y + p.h - 1})
      EXPECT_EQ(png.at(x, y), viridis(153)) << x << "," << y;
  }
  // Just outside the plot: the frame, then white.
  EXPECT_EQ(png.at(p.x - 1, p.y + p.h / 2), (Rgb{0, 0, 0}));
  EXPECT_EQ(png.at(p.x + p.w / 2, p.y - 3), (Rgb{255, 255, 255}));
}

TEST(MapPicture, AllBlankGridIsGreyWithItsColourBar) {
  TempDir dir;
  const Layout l = computeLayout(kDefaultWidth, kDefaultHeight);
  const Png png = render(dir, makeGrid(4, 3, std::vector<float>(12, kBlank)));
  for (int x = l.plot.x; x < l.plot.x + l.plot.w; x += 37) {
    for (int y = l.plot.y; y < l.plot.y + l.plot.h; y += 23) ASSERT_EQ(png.at(x, y), kNoDataGrey);
  }
  const int barX = l.colourBar.x + l.colourBar.w / 2;
  EXPECT_EQ(png.at(barX, l.colourBar.y), viridis(255));
  EXPECT_EQ(png.at(barX, l.colourBar.y + l.colourBar.h - 1), viridis(0));
}

TEST(MapPicture, WideGridKeepsTheOrderOfItsWindows) {
  // 30000 windows, some 30 to a pixel column, in order.
  TempDir dir;
  const int nx = 30000;
  std::vector<float> z(size_t(nx) * 2);
  for (int i = 0; i < nx; ++i) {
    z[size_t(i)] = float(i) / float(nx - 1);
    z[size_t(nx + i)] = kBlank;
  }
  const Grid g = makeGrid(nx, 2, z, 255, 255 + 16.0 * (nx - 1), 0.004, 0.5);
  const Png png = render(dir, g);
  const PixelRect p = computeLayout(kDefaultWidth, kDefaultHeight).plot;
  const int y = p.y + p.h - 2;
  int last = -1;
  for (int x = p.x; x < p.x + p.w; ++x) {
    const Rgb c = png.at(x, y);
    int k = 0;
    while (k < 256 && !(viridis(k) == c)) ++k;
    ASSERT_LT(k, 256) << "pixel " << x << " is not a viridis colour";
    EXPECT_GE(k, last);
    last = k;
  }
  EXPECT_EQ(png.at(p.x, y), viridis(0));
  EXPECT_EQ(png.at(p.x + p.w - 1, y), viridis(255));
  EXPECT_EQ(png.at(p.x + p.w / 2, p.y + 1), kNoDataGrey);
}

// Regression: each pixel showed its nearest node, so a wide grid skipped some 29 of
// every 30 windows and a one-window peak could vanish. A pixel now shows the
// largest value of the nodes whose centres it holds; blank nodes give way.
TEST(MapPicture, PixelsShowTheLargestOfTheirNodes) {
  TempDir dir;
  const PixelRect p = computeLayout(kDefaultWidth, kDefaultHeight).plot;
  // The pixel along an axis of `pixels` that holds node k's centre, of n nodes.
  const auto pixelOf = [](int k, int n, int pixels) {
    return int((int64_t(2 * k + 1) * pixels) / (2 * int64_t(n)));
  };
  {  // 30000 windows: row 0 zero but for window 12345, row 1 blank but for 20000.
    const int nx = 30000;
    std::vector<float> z(size_t(nx) * 2, 0.0f);
    std::fill(z.begin() + nx, z.end(), kBlank);
    z[12345] = 1.0f;
    z[size_t(nx) + 20000] = 0.2f;
    const Png png = render(dir, makeGrid(nx, 2, z));
    for (int x = 0; x < p.w; ++x) {
      ASSERT_EQ(png.at(p.x + x, p.y + p.h - 2),
                x == pixelOf(12345, nx, p.w) ? viridis(255) : viridis(0))
          << x;
      ASSERT_EQ(png.at(p.x + x, p.y + 1), x == pixelOf(20000, nx, p.w) ? viridis(51) : kNoDataGrey)
          << x;
    }
  }
  {  // 3000 frequencies, a peak in row 1234 (rows count from the bottom).
    std::vector<float> z(3000, 0.0f);
    z[1234] = 1.0f;
    const Png png = render(dir, makeGrid(1, 3000, z));
    for (int y = 0; y < p.h; ++y)
      ASSERT_EQ(png.at(p.x + p.w / 2, p.y + p.h - 1 - y),
                y == pixelOf(1234, 3000, p.h) ? viridis(255) : viridis(0))
          << y;
  }
}

TEST(MapPicture, NodesBelowTheirRowsNullLevelAreDimmed) {
  TempDir dir;
  {  // Levels 0.5, 1 and none; a node at its level counts as above it.
    const Grid g = makeGrid(2, 3, {0.4f, 0.6f, 1.0f, 0.8f, 0.1f, kBlank});
    const Png png = render(dir, g, {0.5f, 1.0f, kBlank});
    EXPECT_EQ(cellCentre(png, g, 0, 0), dimmed(viridis(102)));
    EXPECT_EQ(cellCentre(png, g, 1, 0), viridis(153));
    EXPECT_EQ(cellCentre(png, g, 0, 1), viridis(255));
    EXPECT_EQ(cellCentre(png, g, 1, 1), dimmed(viridis(204)));
    EXPECT_EQ(cellCentre(png, g, 0, 2), viridis(26));
    EXPECT_EQ(cellCentre(png, g, 1, 2), kNoDataGrey);
  }
  for (int k = 0; k < 256; ++k) {
    EXPECT_NE(dimmed(viridis(k)), kNoDataGrey) << k;
    for (int m = 0; m < 256; ++m) ASSERT_NE(dimmed(viridis(k)), viridis(m)) << k;
  }
  {  // 3000 frequencies, some 5 to a pixel row: row 1234 is above its level (0.1) and
     // shares its pixel with row 1235, larger but below its own (0.9). The node above
     // wins, so a significant peak never hides behind a larger chance one.
    const int ny = 3000;
    std::vector<float> z(ny, 0.0f), levels(ny, 0.5f);
    z[1234] = 0.2f;
    levels[1234] = 0.1f;
    z[1235] = 0.8f;
    levels[1235] = 0.9f;
    const PixelRect p = computeLayout(kDefaultWidth, kDefaultHeight).plot;
    const Png png = render(dir, makeGrid(1, ny, z), levels);
    const int peak = int((int64_t(2 * 1234 + 1) * p.h) / (2 * ny));
    ASSERT_EQ(peak, int((int64_t(2 * 1235 + 1) * p.h) / (2 * ny)));
    for (int y = 0; y < p.h; ++y)
      ASSERT_EQ(png.at(p.x + p.w / 2, p.y + p.h - 1 - y),
                y == peak ? viridis(51) : dimmed(viridis(0)))
          << y;
  }
}

TEST(MapPicture, SvgAndPdfByExtensionAndSameBytesEveryTime) {
  TempDir dir;
  const Grid g = makeGrid(3, 2, {0.0f, 0.2f, 0.6f, 1.0f, kBlank, 0.4f});
  EXPECT_EQ(formatOf("a.png"), Format::png);
  EXPECT_EQ(formatOf("dir.svg/a.SVG"), Format::svg);
  EXPECT_EQ(formatOf("a.Pdf"), Format::pdf);
  EXPECT_EQ(formatOf("a.jpg"), std::nullopt);
  EXPECT_EQ(formatOf("png"), std::nullopt);
  EXPECT_EQ(defaultOutputName("run.1/Kelvarodine.grd"), "run.1/Kelvarodine.png");
  EXPECT_EQ(defaultOutputName("grid"), "grid.png");

  writeMap(g, "map.grd", (dir / "map.svg").string(), Format::svg);
  writeMap(g, "map.grd", (dir / "map.pdf").string(), Format::pdf);
  EXPECT_EQ(kelv::testing::readFile(dir / "map.svg").substr(0, 5), "<?xml");
  EXPECT_NE(kelv::testing::readFile(dir / "map.svg").find("<svg"), std::string::npos);
  const std::string pdf = kelv::testing::readFile(dir / "map.pdf");
  EXPECT_EQ(pdf.substr(0, 5), "%PDF-");
  writeMap(g, "map.grd", (dir / "again.pdf").string(), Format::pdf);
  EXPECT_EQ(kelv::testing::readFile(dir / "again.pdf"), pdf);

  writeMap(g, "map.grd", (dir / "a.png").string(), Format::png);
  writeMap(g, "map.grd", (dir / "b.png").string(), Format::png);
  EXPECT_EQ(kelv::testing::readFile(dir / "a.png"), kelv::testing::readFile(dir / "b.png"));
}

TEST(MapPicture, FailedWriteLeavesNothingBehind) {
  TempDir dir;
  const Grid g = makeGrid(1, 1, {0.5f});
  try {
    writeMap(g, "t", (dir / "missing" / "map.png").string(), Format::png);
    FAIL();
  } catch (const MapError& e) {
    EXPECT_EQ(std::string(e.what()), "cannot write " + (dir / "missing" / "map.png").string() +
                                         ": No such file or directory");
  }
  // A directory in the way of the final name: refused, and nothing is made.
  std::filesystem::create_directory(dir / "map.png");
  std::filesystem::create_directory(dir / "map.png" / "inside");
  EXPECT_THROW(writeMap(g, "t", (dir / "map.png").string(), Format::png), MapError);
  int entries = 0;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    EXPECT_EQ(e.path().filename(), "map.png");
    ++entries;
  }
  EXPECT_EQ(entries, 1);
}

TEST(Ticks, StepsAreOneTwoFiveTimesAPowerOfTen) {
  EXPECT_DOUBLE_EQ(tickStep(10, 5), 2);
  EXPECT_DOUBLE_EQ(tickStep(10, 10), 1);
  EXPECT_DOUBLE_EQ(tickStep(10, 9), 2);
  EXPECT_DOUBLE_EQ(tickStep(1, 10), 0.1);
  EXPECT_DOUBLE_EQ(tickStep(0.4961, 10), 0.05);
  EXPECT_DOUBLE_EQ(tickStep(4784, 10), 500);
  EXPECT_DOUBLE_EQ(tickStep(3, 1), 5);
  EXPECT_DOUBLE_EQ(tickStep(7, 1), 10);
  EXPECT_DOUBLE_EQ(tickStep(3e-7, 3), 1e-7);
  EXPECT_DOUBLE_EQ(tickStep(400000, 10), 50000);
  EXPECT_EQ(tickStep(0, 10), 0.0);
  // Every step fits and is the smallest 1-2-5 value that does.
  for (double span : {0.013, 0.7, 1.0, 2.5, 99.0, 1234.5, 2e9}) {
    for (int n = 1; n <= 12; ++n) {
      const double s = tickStep(span, n);
      const double mantissa = s / std::pow(10.0, std::floor(std::log10(s) + 1e-9));
      EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-9 || std::fabs(mantissa - 2) < 1e-9 ||
                  std::fabs(mantissa - 5) < 1e-9)
          << s;
      EXPECT_LE(span / s, n * (1 + 1e-9));
      const double smaller = std::fabs(mantissa - 5) < 1e-9 ? s * 0.4 : s * 0.5;
      EXPECT_GT(span / smaller, n) << span << " in " << n;
    }
  }
}

TEST(Ticks, ValuesAndLabels) {
  EXPECT_EQ(tickValues(-0.5, 2.5, 0.5), (std::vector<double>{-0.5, 0, 0.5, 1, 1.5, 2, 2.5}));
  EXPECT_EQ(tickValues(229.5, 280.5, 10), (std::vector<double>{230, 240, 250, 260, 270, 280}));
  EXPECT_EQ(tickValues(0.45, 0.55, 0.01).size(), 11u);
  EXPECT_TRUE(tickValues(0, 1, 0).empty());

  EXPECT_EQ(tickLabel(0.1 * 3, 0.1), "0.3");
  EXPECT_EQ(tickLabel(0.05 * 9, 0.05), "0.45");
  EXPECT_EQ(tickLabel(1500, 500), "1500");
  EXPECT_EQ(tickLabel(-1e-17, 0.1), "0.0");
  EXPECT_EQ(tickLabel(-2, 1), "-2");
  EXPECT_EQ(tickLabel(2e-7, 1e-7), "2e-07");
  EXPECT_EQ(tickLabel(1.5e10, 5e8), "1.5e+10");
}

// Before: a range too narrow for its magnitude never advanced its tick counter past
// 2^53 and filled memory with one tick for ever.
TEST(Ticks, ARangeNarrowForItsMagnitudeHasOneTick) {
  const double hi = std::nextafter(1.0, 2.0);
  EXPECT_EQ(tickValues(1.0, hi, 1e-17), std::vector<double>{1.0});
  const AxisRange a = axisRange(1.0, hi, 2);
  const std::vector<double> ticks = tickValues(a.lo, a.hi, tickStep(a.hi - a.lo, 8));
  EXPECT_GE(ticks.size(), 1u);
  EXPECT_LE(ticks.size(), 9u);
}

// Before: a span whose share of an interval underflowed to 0 took the floor of
// log10(0) as an int and subtracted from it, a signed overflow; a span near the
// largest double overflowed its step to infinity.
TEST(Ticks, StepOfSubnormalOrHugeSpanIsFiniteOrNone) {
  const double tiny = std::numeric_limits<double>::denorm_min();
  const double huge = std::numeric_limits<double>::max();
  for (double span : {1e-310, 3e-318, 5 * tiny, tiny, 1e308, huge / 2, huge}) {
    for (int n : {1, 2, 7, 14, 1000}) {
      const double s = tickStep(span, n);
      ASSERT_TRUE(s == 0.0 || (std::isfinite(s) && span / s <= n * (1 + 1e-9))) << span << " " << n;
      if (s == 0.0) continue;
      // Within what a subnormal step can hold, still one to five times a power of ten.
      const double lg = std::log10(s);
      const double mantissa = std::pow(10.0, lg - std::floor(lg + 0.01));
      EXPECT_TRUE(std::fabs(mantissa - 1) < 0.02 || std::fabs(mantissa / 2 - 1) < 0.02 ||
                  std::fabs(mantissa / 5 - 1) < 0.02)
          << s;
      for (double v : tickValues(0.0, span, s)) EXPECT_FALSE(tickLabel(v, s).empty());
    }
  }
  EXPECT_DOUBLE_EQ(tickStep(1e-310, 10), 1e-311);
  EXPECT_EQ(tickStep(tiny, 1), tiny);
  EXPECT_EQ(tickStep(tiny, 14), tiny);
  EXPECT_DOUBLE_EQ(tickStep(1e308, 1), 1e308);
  EXPECT_EQ(tickStep(huge, 1), 0.0);  // 2e308 is no double
  EXPECT_DOUBLE_EQ(tickStep(huge, 4), 5e307);

  // Whole pictures with such axes.
  TempDir dir;
  for (const auto& [lo, hi] : {std::pair{0.0, 1e-310}, {0.0, tiny}, {-huge, huge}, {0.0, huge}}) {
    const Grid g = makeGrid(2, 2, {0.0f, 0.2f, 0.6f, 1.0f}, lo, hi, lo, hi);
    const Png png = render(dir, g);
    EXPECT_EQ(cellCentre(png, g, 1, 1), viridis(255)) << hi;
  }
}

TEST(Ticks, AxisRangesCoverWholeCells) {
  AxisRange a = axisRange(0, 2, 3);
  EXPECT_EQ(a.lo, -0.5);
  EXPECT_EQ(a.hi, 2.5);
  EXPECT_FALSE(a.reversed);
  a = axisRange(2, 0, 3);
  EXPECT_EQ(a.lo, -0.5);
  EXPECT_EQ(a.hi, 2.5);
  EXPECT_TRUE(a.reversed);
  a = axisRange(255, 255, 1);
  EXPECT_EQ(a.lo, 229.5);
  EXPECT_EQ(a.hi, 280.5);
  a = axisRange(0, 0, 1);
  EXPECT_EQ(a.lo, -0.5);
  EXPECT_EQ(a.hi, 0.5);
  a = axisRange(7, 7, 4);  // several nodes at one coordinate
  EXPECT_LT(a.lo, 7);
  EXPECT_GT(a.hi, 7);
}

}  // namespace
