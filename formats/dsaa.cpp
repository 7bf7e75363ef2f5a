// The ASCII "DSAA" grid file's layout: the header's five records and the rows, as
// free-format records of a text file (CR LF after each record; a row of floats is
// broken after every fourth value).
#include "kelvarodine/dsaa.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "formats/fields.hpp"

namespace kelv {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr int32_t kValuesPerLine = 4;

float nodeValue(float z) {
  return std::isfinite(z) ? z : kDsaaBlank;
}

}  // namespace

void DsaaRange::add(const float* values, int64_t n) {
  for (int64_t i = 0; i < n; ++i) {
    const float z = values[i];
    if (!std::isfinite(z)) continue;
    if (!anyFinite) {
      zMin = zMax = z;
      anyFinite = true;
    } else {
      if (z < zMin) zMin = z;
      if (z > zMax) zMax = z;
    }
  }
}

DsaaHeader dsaaHeader(const DsaaRange& range, int32_t nx, int32_t ny, double xMin, double xMax,
                      double yMin, double yMax) {
  DsaaHeader header{nx, ny, xMin, xMax, yMin, yMax, range.zMin, range.zMax};
  // The z range covers the finite nodes only; a grid with none gets the blanking
  // value as its range, an empty grid the extreme floats.
  if (nx <= 0 || ny <= 0) {
    header.zMin = std::numeric_limits<float>::max();
    header.zMax = -std::numeric_limits<float>::max();
  }
  return header;
}

DsaaHeader dsaaHeader(const float* grid, int32_t nx, int32_t ny, double xMin, double xMax,
                      double yMin, double yMax) {
  DsaaRange range;
  if (nx > 0 && ny > 0) range.add(grid, int64_t(nx) * ny);
  return dsaaHeader(range, nx, ny, xMin, xMax, yMin, yMax);
}

// Lines 3 and 4 in double fields, so that time marks such as Unix seconds keep their
// column spacing; line 5 in float fields, like the nodes.
std::string dsaaHeaderText(const DsaaHeader& h) {
  std::string text = "DSAA";
  text += kLineEnd;
  text += freeFormatInteger(h.nx) + freeFormatInteger(h.ny);
  text += kLineEnd;
  text += freeFormatDouble(h.xMin) + freeFormatDouble(h.xMax);
  text += kLineEnd;
  text += freeFormatDouble(h.yMin) + freeFormatDouble(h.yMax);
  text += kLineEnd;
  text += freeFormatReal(h.zMin) + freeFormatReal(h.zMax);
  text += kLineEnd;
  return text;
}

void appendDsaaRows(const float* grid, int32_t nx, int32_t ny, int64_t first, int64_t last,
                    std::string& text) {
  char field[kRealWidth];
  for (int64_t f = first; f <= last; ++f) {
    if (nx <= 0) {
      text += ' ';  // a record with no values holds one blank
      text += kLineEnd;
      continue;
    }
    for (int32_t w = 1; w <= nx; ++w) {
      freeFormatRealField(nodeValue(grid[(f - 1) + int64_t(w - 1) * ny]), field);
      text.append(field, kRealWidth);
      if (w % kValuesPerLine == 0 || w == nx) text += kLineEnd;
    }
  }
}

uint64_t dsaaRowsBytes(int32_t nx, int32_t ny) {
  const uint64_t lines = (uint64_t(nx) + kValuesPerLine - 1) / kValuesPerLine;
  return uint64_t(ny) * (uint64_t(kRealWidth) * uint64_t(nx) + kLineEnd.size() * lines);
}

uint64_t dsaaFieldOffset(int32_t column) {
  // After column - 1 fields and a line end after every fourth of them.
  return uint64_t(kRealWidth) * uint64_t(column - 1) +
         kLineEnd.size() * uint64_t((column - 1) / kValuesPerLine);
}

void formatDsaaColumn(const float* values, int32_t nx, int32_t ny, int32_t column, char* rows) {
  const uint64_t rowBytes = dsaaRowsBytes(nx, 1);
  const uint64_t at = dsaaFieldOffset(column);
  const bool lineEnds = column % kValuesPerLine == 0 || column == nx;
  // The fields in one call, so that the common form of a field is inlined into the loop.
  freeFormatRealFields(values, ny, kDsaaBlank, rows + at, static_cast<std::ptrdiff_t>(rowBytes));
  if (!lineEnds) return;
  char* end = rows + at + kRealWidth;
  for (int32_t f = 0; f < ny; ++f, end += rowBytes)
    std::memcpy(end, kLineEnd.data(), kLineEnd.size());
}

void formatDsaaRowPiece(const float* values, int32_t n, int32_t column, int32_t nx, char* piece) {
  const uint64_t origin = dsaaFieldOffset(column);
  for (int32_t c = column; c < column + n;) {
    // The fields up to the next line end, or to the piece's end.
    const int32_t lineLast = std::min(nx, ((c - 1) / kValuesPerLine + 1) * kValuesPerLine);
    const int32_t last = std::min(column + n - 1, lineLast);
    char* at = piece + (dsaaFieldOffset(c) - origin);
    freeFormatRealFields(values + (c - column), last - c + 1, kDsaaBlank, at, kRealWidth);
    if (last == lineLast)
      std::memcpy(at + uint64_t(kRealWidth) * uint64_t(last - c + 1), kLineEnd.data(),
                  kLineEnd.size());
    c = last + 1;
  }
}

float dsaaNodeValue(float z) {
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  if (!std::isfinite(z)) return kNaN;
  char field[kRealWidth];
  freeFormatRealField(z, field);
  const char* first = field;
  const char* const end = field + kRealWidth;
  while (first < end && *first == ' ') ++first;
  // As the reader takes it: a double, the blanking value and above blank.
  double value = 0.0;
  std::from_chars(first, end, value);
  return value >= kDsaaBlankText ? kNaN : static_cast<float>(value);
}

// Five header lines, then per row 16 columns a value and a line end after every
// fourth value and after the last (a row of no values is a blank line).
uint64_t dsaaFileBytes(int32_t nx, int32_t ny) {
  constexpr uint64_t kEnd = 2;
  constexpr uint64_t kHeader = (4 + kEnd) + (2 * 12 + kEnd) + 2 * (2 * 25 + kEnd) + (2 * 16 + kEnd);
  const uint64_t values = nx > 0 ? uint64_t(nx) : 0;
  const uint64_t lines = values == 0 ? 1 : (values + kValuesPerLine - 1) / kValuesPerLine;
  const uint64_t row = values == 0 ? 1 + kEnd : kRealWidth * values + kEnd * lines;
  const uint64_t rows = ny > 0 ? uint64_t(ny) : 0;
  return kHeader + rows * row;
}

}  // namespace kelv
