// The input readers in steps, for a reading that holds the samples (parseTextTable,
// parseMiniSeed, alignRecords) and for one that counts them first and reads them
// again later, block by block (the command line's streamed run): the same lines,
// rows, time marks, records and alignment in both.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "kelvarodine/analysis.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv {

// ---------------------------------------------------------------- lines
// The lines of a text, numbered from 1, their line ends (LF or CR LF) removed: of a
// text in memory, or of an open file read a block at a time from a byte offset.
class TextLines {
 public:
  // A whole text; a UTF-8 byte order mark at its start is skipped.
  explicit TextLines(std::string_view text);
  // The file `fd` (not owned) from byte `offset`, where line number `line` starts,
  // to the line that starts at byte `stop` (excluded; the file's end by default);
  // at offset 0 a byte order mark is skipped. Read failures are InputErrors
  // naming `name`.
  TextLines(int fd, uint64_t offset, int64_t line, std::string name, uint64_t stop = UINT64_MAX);
  bool next(std::string_view& line);
  int64_t number() const { return number_; }       // of the line last given
  uint64_t offset() const { return lineOffset_; }  // byte offset of that line

 private:
  bool fill();  // reads more of the file; false at its end

  std::string_view text_;
  std::string buffer_;
  int fd_ = -1;
  std::string name_;
  uint64_t base_ = 0;  // byte offset of text_[0]
  uint64_t stop_ = UINT64_MAX;
  bool end_ = true;
  std::size_t pos_ = 0;
  int64_t number_ = 0;
  uint64_t lineOffset_ = 0;
};

// ---------------------------------------------------------------- text tables
// Whether a line of a table is passed over: blank, or a comment (# first).
bool skippedLine(std::string_view line);

// The fields of a table's line: between separators, trimmed of blanks, or with the
// blank separator ' ' the runs of other characters between runs of blanks and tabs;
// a field in double quotes without them.
void splitFields(std::string_view line, char separator, std::vector<std::string_view>& fields);

// What the first data line of a table fixes: the separator, the number of fields,
// the header's names and the time column (== columns: none).
struct TableLayout {
  char separator = ' ';
  std::size_t columns = 0;
  bool header = false;
  std::vector<std::string> names;  // the header's, empty without one
  std::size_t timeColumn = 0;
  std::size_t channels() const { return columns - (timeColumn < columns ? 1 : 0); }
  bool timed() const { return timeColumn < columns; }
};

// The rows of a table, one at a time, as parseTextTable reads them.
class TableRows {
 public:
  // From the start of the table: its first data line fixes the layout. Throws the
  // InputErrors parseTextTable throws for the layout.
  TableRows(TextLines& lines, const std::string& name, const TableOptions& options);
  // From a row of a table whose layout is known: the next line `lines` gives.
  TableRows(TextLines& lines, const std::string& name, TableLayout layout);
  // The next row: its channels' values into values[0 .. channels - 1], its time
  // mark into `time` (when timed). False at the table's end; throws for a row that
  // cannot be taken.
  bool next(float* values, double& time);
  int64_t line() const { return line_; }       // of the row last given
  uint64_t offset() const { return offset_; }  // byte offset of its line
  const TableLayout& layout() const { return layout_; }

 private:
  TextLines& lines_;
  const std::string& name_;
  TableLayout layout_;
  std::vector<std::string_view> fields_;
  bool pending_ = false;  // the first data line is a row not yet given
  int64_t line_ = 0;
  uint64_t offset_ = 0;
};

// The record of a table of `count` rows without its samples: source and names.
Record tableRecord(const TableLayout& layout, const std::string& name, int64_t count);

// The time marks of a table's rows, taken one at a time: they must increase; the
// record's step is their mean step, or the typical (median) step when some stray
// from it by more than 1 %, which is a warning naming the first. Holds one entry per
// distinct step, not per row.
class TimeMarks {
 public:
  void add(double time, int64_t line);
  // The marks of the rows that follow, taken apart (their step indices from their own
  // first row): as if they had been added here one after another.
  void append(const TimeMarks& next);
  // Sets the record's time marks and warning, or throws as parseTextTable does.
  void finish(const std::string& name, Record& record) const;

 private:
  struct Step {
    int64_t count = 0;
    int64_t index = 0;     // of its first occurrence, from 0
    int64_t line = 0;      // of the row after it
    int64_t previous = 0;  // of the row before it
  };
  int64_t n_ = 0;
  double first_ = 0.0, last_ = 0.0;
  int64_t firstLine_ = 0, lastLine_ = 0;
  // The first mark that does not increase: its line and the two marks.
  int64_t badLine_ = 0;
  double badTime_ = 0.0, badBefore_ = 0.0;
  std::map<double, Step> steps_;
};

// ---------------------------------------------------------------- alignment
// Where each record's share starts (samples from 0) in the channels side by side,
// and the record of them all without samples: names made distinct, source,
// common count, time marks, warnings. Throws as alignRecords does.
struct Alignment {
  Record record;
  std::vector<int64_t> offsets;
};
Alignment alignment(const std::vector<Record>& records);

// ---------------------------------------------------------------- miniSEED
// One record of samples of a miniSEED file: its first sample's time (libmseed's
// high-precision ticks), where it lies in the file, its sample count and its trace.
// A file has one per record: they are kept small.
struct SeedPiece {
  int64_t start = 0;
  uint64_t offset = 0;
  int32_t samples = 0;
  int32_t length = 0;
  int32_t trace = 0;
};

// Samples first .. last (from 0) of a piece that are gaps.
struct SeedRun {
  uint32_t piece = 0;
  int64_t first = 0, last = 0;
};

// The part of a piece that gives a channel's samples first .. first + n - 1 (from
// 0), read from the piece's samples from `from`.
struct SeedShare {
  int64_t first = 0;
  int32_t n = 0;
  int32_t from = 0;
  uint32_t piece = 0;
};

// A miniSEED file's layout: its record without samples, and for each channel the
// shares of the pieces that give its samples, in the order of their samples.
struct SeedLayout {
  Record record;
  std::vector<SeedPiece> pieces;
  std::vector<SeedRun> gaps;  // in the order of the pieces
  std::vector<std::vector<SeedShare>> shares;
};

// Reads every record of a miniSEED file, the whole text in `bytes` or, with `fd` >=
// 0, the file (read in blocks). Throws as parseMiniSeed does.
SeedLayout scanMiniSeed(std::string_view bytes, int fd, const std::string& name);
// The samples of a piece, its record's `length` bytes at `record`.
void decodeSeedPiece(const char* record, const SeedPiece& piece, const std::string& name,
                     std::vector<float>& values);
// The gaps of a layout's channels, as findGaps gives them (channels from 1).
std::vector<Gap> seedGaps(const SeedLayout& layout);

}  // namespace kelv
