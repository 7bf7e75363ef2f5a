// The samples of a streamed run, read as the windows need them: the inputs are
// scanned once for their length, names, warnings and gaps, and what is needed to
// find a sample again, then read again block by block from any sample on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "formats/readers.hpp"
#include "kelvarodine/analysis.hpp"
#include "kelvarodine/inputs.hpp"
#include "textio/textio.hpp"

namespace kelv::cli {

// Where a text table's row starts: rows kMarkRows k + 1 (k = 0, 1, ...) are marked.
struct RowMark {
  uint64_t offset = 0;
  int64_t line = 0;
};
inline constexpr int64_t kMarkRows = 4096;

// One file of a scanned input, and how to read its samples again.
struct ScannedFile {
  enum class Kind : int32_t { table, miniSeed, series };
  Kind kind = Kind::table;
  std::string path;
  int32_t channels = 0;  // the channels it gives the run, after those of earlier files
  int64_t count = 0;     // its own samples
  int64_t offset = 0;    // the samples of it before the run's first
  // Its size and modification time when scanned: a file that no longer has them
  // changed since.
  int64_t size = 0, modified = 0;
  // A text table: its layout and its marked rows.
  TableLayout layout;
  std::vector<RowMark> marks;
  // miniSEED: its records of samples and the parts of them each channel takes.
  std::vector<SeedPiece> pieces;
  std::vector<std::vector<SeedShare>> shares;
  // A list's series: its line in the list (from 0), and where the reading stood
  // before samples kMarkRows k + 1 (k = 0, 1, ...).
  int32_t series = 0;
  std::vector<InputPosition> seriesMarks;
};

// The inputs of a run read once without their samples.
struct ScannedInput {
  Record record;          // as loadRecord gives it, without data
  std::vector<Gap> gaps;  // as findGaps gives them for the record's samples
  std::vector<ScannedFile> files;
  // A list input: the list and the series it names.
  std::string listPath;
  std::vector<std::string> listNames;
};

// Reads the inputs of the options for a streamed run: a list and its series, text
// tables and miniSEED files, side by side as loadRecord aligns them. Nothing when
// one of them is not a regular file (a pipe cannot be read twice) or cannot be
// opened: the inputs are then read, if at all, only to find that out, and from the
// start again by loadRecord. Throws InputError as loadRecord does. The series of a
// list are scanned on up to `threads` threads.
std::optional<ScannedInput> scanInputs(const BatchOptions& options, int32_t threads = 1);

// A scanned input as bytes and back, for processes of one program on machines of
// one kind. fromBytes throws std::runtime_error for bytes that are not one.
std::vector<char> toBytes(const ScannedInput& input);
ScannedInput fromBytes(const std::vector<char>& bytes);

// The samples first .. last of every channel of a scanned input (capacity floats
// each), read forward block by block from the files, starting at any sample.
class SampleReader {
 public:
  // Ready for samples from `start` on (from 1); the files' earlier parts are not
  // read (but for the rows or lines after the marked one before it). Throws
  // InputError for a file that cannot be opened or changed since the scan. Several
  // files are read side by side on up to `threads` threads.
  SampleReader(const ScannedInput& input, int64_t capacity, int64_t start = 1, int32_t threads = 1);
  ~SampleReader();
  SampleReader(const SampleReader&) = delete;
  SampleReader& operator=(const SampleReader&) = delete;

  // Holds samples first .. last (first never decreasing and not before the start,
  // at most capacity of them). Throws InputError when a file gives fewer samples
  // than its scan counted, or other ones.
  Samples hold(int64_t first, int64_t last);

  class Cursor;  // the reading of one file

 private:
  // The next n samples of every channel, after those held when `keep`, else dropped.
  void read(int64_t n, bool keep);

  const ScannedInput& input_;
  int64_t capacity_;
  int32_t threads_;
  std::vector<std::unique_ptr<Cursor>> cursors_;
  std::vector<float> data_;
  int32_t channels_ = 0;
  int64_t first_ = 1, held_ = 0;
};

}  // namespace kelv::cli
