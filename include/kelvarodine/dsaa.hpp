// The ASCII "DSAA" grid file: its layout, its blanking value and the program's file
// names. Records end in CR LF: "DSAA"; nx ny; xMin xMax; yMin yMax (25-column
// doubles); zMin zMax; then ny rows of nx 16-column floats, four to a line, each row
// starting a new line.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelv {

// The format's "no data" value. Readers of the format take the text NaN as a number,
// so a node whose value does not exist is written as this value instead.
inline constexpr float kDsaaBlank = 1.70141e38f;
// A value read from a file is blank from the blanking value's text on.
inline constexpr double kDsaaBlankText = 1.70141e38;

// The program's grid file and the companion file of its null levels.
inline constexpr std::string_view kGridFileName = "Kelvarodine.grd";
inline constexpr std::string_view kNullFileName = "Kelvarodine.null.grd";

struct DsaaHeader {
  int32_t nx = 0, ny = 0;  // columns and rows
  double xMin = 0, xMax = 0, yMin = 0, yMax = 0;
  float zMin = 0, zMax = 0;
};

// Header of a grid (ny x nx floats, element (row, column) at (row - 1) + (column - 1)
// ny) with the given x and y ranges; the z range covers its finite nodes (a grid with
// none has the blanking value as its range, an empty one the extreme floats).
DsaaHeader dsaaHeader(const float* grid, int32_t nx, int32_t ny, double xMin, double xMax,
                      double yMin, double yMax);
// The z range of a grid's finite nodes, gathered a stretch of nodes at a time in the
// grid's order, so that a grid taken column by column as it is computed gets the range
// dsaaHeader finds in one pass over it (the first of equal extremes kept, so a signed
// zero as well).
struct DsaaRange {
  float zMin = kDsaaBlank, zMax = kDsaaBlank;  // the blanking value while none is finite
  bool anyFinite = false;
  void add(const float* values, int64_t n);
};
// The header with a range gathered over all nx ny nodes in order: that of
// dsaaHeader(grid, ...).
DsaaHeader dsaaHeader(const DsaaRange& range, int32_t nx, int32_t ny, double xMin, double xMax,
                      double yMin, double yMax);
// The header's five records.
std::string dsaaHeaderText(const DsaaHeader& header);
// Appends the records of rows first .. last of the grid; a value that is not finite
// is written as the blanking value.
void appendDsaaRows(const float* grid, int32_t nx, int32_t ny, int64_t first, int64_t last,
                    std::string& text);
// The rows' records of a grid with nx >= 1 columns and ny rows, all of them, as
// appendDsaaRows(grid, nx, ny, 1, ny, text) gives them, but made column by column:
// dsaaRowsBytes(nx, ny) bytes, into which formatDsaaColumn writes the fields of column
// `column` (1 .. nx; its ny values in order) and the line ends that follow them, so
// that the columns can be formatted as they are computed, in any order.
uint64_t dsaaRowsBytes(int32_t nx, int32_t ny);
void formatDsaaColumn(const float* values, int32_t nx, int32_t ny, int32_t column, char* rows);
// Where the field of column `column` (from 1) begins in its row's text.
uint64_t dsaaFieldOffset(int32_t column);
// The fields of columns column .. column + n - 1 of one row (values[0 .. n - 1]) and
// the line ends that follow them, from `piece` on (where the field of `column` begins):
// pieces that together cover a row give appendDsaaRows's record of it.
void formatDsaaRowPiece(const float* values, int32_t n, int32_t column, int32_t nx, char* piece);
// Bytes of the whole file.
uint64_t dsaaFileBytes(int32_t nx, int32_t ny);
// The value readDsaa takes node value z for: the float of its field's digits,
// not-a-number for a blank node. Other formats store
// this value, so that every format of a grid holds the same floats.
float dsaaNodeValue(float z);

// ---------------------------------------------------------------- reading
// A grid as read: the header's values and the nodes in the file's order, row after
// row (node (column i, row j), both from 0, at z[j nx + i]); not-a-number where a
// node is blank (the blanking value or above, or not finite).
struct DsaaGrid {
  int32_t nx = 0;
  int32_t ny = 0;
  double xMin = 0, xMax = 0, yMin = 0, yMax = 0, zMin = 0, zMax = 0;
  std::vector<float> z;
};

// A file that is no DSAA grid or cannot be read: the message names the file, the line
// and what was found there ("NAME: line L: ...").
class DsaaError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads a grid from text, an open file descriptor or a file; `name` is the name used in
// messages. Tokens may be separated by any blanks and line ends, so that grids of
// other writers are read as well; a leading UTF-8 byte-order mark is skipped.
DsaaGrid parseDsaa(std::string_view text, const std::string& name);
DsaaGrid readDsaa(int fd, const std::string& name);
DsaaGrid readDsaa(const std::string& path);

}  // namespace kelv
