// The result grid as an ASCII "DSAA" grid file: x = time mark of a window's last
// sample, y = frequency, z = coherence measure.
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>

#include "driver/analysis.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

constexpr std::string_view kGridFileName = "Kelvarodine.grd";

// The format's "no data" value. Readers of the format take the text NaN as a number,
// so a node where the measure is undefined is written as this value instead.
constexpr float kBlank = 1.70141e38f;

float nodeValue(float z) {
  return std::isfinite(z) ? z : kBlank;
}

}  // namespace

GridAxes gridAxes(const RunParameters& run) {
  // Integer parts in integer arithmetic, converted exactly; everything else in double,
  // each value rounded once to float.
  const double tini = run.Tini;
  const double tstep = run.Tstep;
  const int64_t firstEnd = int64_t(run.nlen) - 1;
  const int64_t lastEnd = (int64_t(run.nWindows) - 1) * run.shift + run.nlen - 1;
  return {static_cast<float>(tini + double(firstEnd) * tstep),
          static_cast<float>(tini + double(lastEnd) * tstep),
          static_cast<float>(1.0 / (double(run.nlen) * tstep)),
          static_cast<float>(1.0 / (2.0 * tstep))};
}

void writeGrid(std::string_view fileName, const GridHeader& header, const float* grid) {
  const int32_t nWindows = header.nx;
  const int32_t nfreq = header.ny;
  const View2<const float> gridView(grid, nfreq, nWindows > 0 ? nWindows : 0);

  const float xMin = header.xMin, xMax = header.xMax, yMin = header.yMin, yMax = header.yMax;

  // The z range covers the finite nodes only; a grid with none gets the blanking
  // value as its range, an empty grid the extreme floats.
  const bool empty = nWindows <= 0 || nfreq <= 0;
  float zMin = empty ? std::numeric_limits<float>::max() : kBlank;
  float zMax = empty ? -std::numeric_limits<float>::max() : kBlank;
  bool anyFinite = false;
  for (int32_t w = 1; w <= nWindows; ++w)
    for (int32_t f = 1; f <= nfreq; ++f) {
      const float z = gridView(f, w);
      if (!std::isfinite(z)) continue;
      if (!anyFinite) {
        zMin = zMax = z;
        anyFinite = true;
      } else {
        if (z < zMin) zMin = z;
        if (z > zMax) zMax = z;
      }
    }

  openReplacement(fileName);
  OutputUnit& out = fileOutput();

  static constexpr std::array<Field, 1> kTagFields = {charField(4)};
  const std::array<std::string_view, 1> tag = {"DSAA"};
  formattedWrite(out, kTagFields, {}, tag);

  beginFreeFormatWrite(out);
  writeItem(out, nWindows);
  writeItem(out, nfreq);
  endWrite(out);

  const auto writePair = [&out](float lo, float hi) {
    beginFreeFormatWrite(out);
    writeItem(out, lo);
    writeItem(out, hi);
    endWrite(out);
  };
  writePair(xMin, xMax);
  writePair(yMin, yMax);
  writePair(zMin, zMax);

  for (int32_t f = 1; f <= nfreq; ++f) {
    beginFreeFormatWrite(out);
    for (int32_t w = 1; w <= nWindows; ++w) writeItem(out, nodeValue(gridView(f, w)));
    endWrite(out);
  }

  commitFile();
}

void writeGridFile(const RunParameters& run, const float* grid) {
  const GridAxes axes = gridAxes(run);
  writeGrid(kGridFileName, {run.nWindows, run.nfreq, axes.xMin, axes.xMax, axes.yMin, axes.yMax},
            grid);
}

}  // namespace kelv
