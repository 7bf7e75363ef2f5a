// The result grid as an ASCII "DSAA" grid file: x = time mark of a window's last
// sample, y = frequency, z = coherence measure.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string_view>
#include <vector>

#include "driver/analysis.hpp"
#include "driver/workers.hpp"
#include "textio/textio.hpp"

namespace kelv {

namespace {

constexpr std::string_view kGridFileName = "Kelvarodine.grd";

// The format's "no data" value. Readers of the format take the text NaN as a number,
// so a node where the measure is undefined is written as this value instead.
constexpr float kBlank = 1.70141e38f;

// Nodes per block of rows formatted at once.
constexpr int64_t kBlockValues = 8192;

float nodeValue(float z) {
  return std::isfinite(z) ? z : kBlank;
}

}  // namespace

GridAxes gridAxes(const RunParameters& run) {
  // Integer parts in integer arithmetic, converted exactly. Tini + k Tstep by a fused
  // multiply-add and (nfreq - 1) / nfft (exact: nfft is a power of two) / Tstep are
  // each rounded once. Row f holds (f - 1) / nfft cycles per sample.
  const int64_t firstEnd = int64_t(run.nlen) - 1;
  const int64_t lastEnd = (int64_t(run.nWindows) - 1) * run.shift + run.nlen - 1;
  return {std::fma(double(firstEnd), run.Tstep, run.Tini),
          std::fma(double(lastEnd), run.Tstep, run.Tini), 0.0,
          double(run.nfreq - 1) / double(run.nfft) / run.Tstep};
}

// Bytes of the file: the five header lines, then per row 16 columns a value and a
// line end after every fourth value and after the last (a row of no values is a
// blank line).
uint64_t gridFileBytes(const RunParameters& run) {
  constexpr uint64_t kLineEnd = 2;
  // "DSAA", two integers, two pairs of double fields (the axes), two floats (z).
  constexpr uint64_t kHeader =
      (4 + kLineEnd) + (2 * 12 + kLineEnd) + 2 * (2 * 25 + kLineEnd) + (2 * 16 + kLineEnd);
  const uint64_t values = run.nWindows > 0 ? uint64_t(run.nWindows) : 0;
  const uint64_t lines = values == 0 ? 1 : (values + 3) / 4;
  const uint64_t row = values == 0 ? 1 + kLineEnd : 16 * values + kLineEnd * lines;
  const uint64_t rows = run.nfreq > 0 ? uint64_t(run.nfreq) : 0;
  return kHeader + rows * row;
}

void prepareGridFile(const RunParameters& run) {
  openReplacement(kGridFileName, gridFileBytes(run));
}

void writeGrid(const GridHeader& header, const float* grid) {
  const int32_t nWindows = header.nx;
  const int32_t nfreq = header.ny;
  const View2<const float> gridView(grid, nfreq, nWindows > 0 ? nWindows : 0);

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

  OutputUnit& out = fileOutput();

  static constexpr std::array<Field, 1> kTagFields = {charField(4)};
  const std::array<std::string_view, 1> tag = {"DSAA"};
  formattedWrite(out, kTagFields, {}, tag);

  beginFreeFormatWrite(out);
  writeItem(out, nWindows);
  writeItem(out, nfreq);
  endWrite(out);

  // Lines 3 and 4 in double fields, so that time marks such as Unix seconds keep
  // their column spacing; line 5 in float fields, like the nodes.
  const auto writePair = [&out](auto lo, auto hi) {
    beginFreeFormatWrite(out);
    writeItem(out, lo);
    writeItem(out, hi);
    endWrite(out);
  };
  writePair(header.xMin, header.xMax);
  writePair(header.yMin, header.yMax);
  writePair(zMin, zMax);

  // The rows in blocks of about kBlockValues nodes, formatted on the workers and
  // written here in their order.
  const int64_t rowsPerBlock = std::max<int64_t>(1, kBlockValues / std::max(nWindows, 1));
  const int64_t blocks = nfreq > 0 ? (nfreq + rowsPerBlock - 1) / rowsPerBlock : 0;
  const int32_t threads = static_cast<int32_t>(std::min<int64_t>(analysisThreads(), blocks));
  const int64_t ahead = 4 * int64_t(threads);
  std::vector<MemoryOutput> texts(static_cast<std::size_t>(ahead));
  const auto text = [&](int64_t block) -> MemoryOutput& {
    return texts[static_cast<std::size_t>((block - 1) % ahead)];
  };
  runInOrder(
      threads, blocks, ahead,
      [&](int32_t, int64_t block) {
        OutputUnit& rows = text(block).unit();
        const int64_t first = (block - 1) * rowsPerBlock + 1;
        const int64_t last = std::min<int64_t>(nfreq, block * rowsPerBlock);
        for (int64_t f = first; f <= last; ++f) {
          beginFreeFormatWrite(rows);
          for (int32_t w = 1; w <= nWindows; ++w) writeItem(rows, nodeValue(gridView(f, w)));
          endWrite(rows);
        }
      },
      [&](int64_t block) {
        writeRecords(out, text(block).bytes());
        text(block).clear();
      });

  commitFile();
}

void writeGridFile(const RunParameters& run, const float* grid) {
  const GridAxes axes = gridAxes(run);
  writeGrid({run.nWindows, run.nfreq, axes.xMin, axes.xMax, axes.yMin, axes.yMax}, grid);
}

}  // namespace kelv
