// The samples of a streamed run, read as the windows need them: the inputs are
// scanned once for their length, names and gaps, then read again block by block.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/options.hpp"
#include "kelvarodine/analysis.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv {
class InputFile;
}

namespace kelv::cli {

// The record of a list input, read once without its samples.
struct ScannedList {
  Record record;                   // names, warnings, common length; no data
  std::string listPath;            // where the series were named
  std::vector<std::string> paths;  // the series files, one per channel
  std::vector<Gap> gaps;           // as findGaps gives them for the record's samples
};

// Reads a list input for a streamed run. Nothing when the list or one of its
// series is not a regular file (a pipe cannot be read twice): the list is then
// read, if at all, only to find that out, and from the start again by loadRecord.
// Throws InputError as loadRecord does.
std::optional<ScannedList> scanList(const BatchOptions& options);

// The samples first .. first + held - 1 of every series, channel after channel
// (capacity floats each), read block by block from the series files.
class SeriesWindow {
 public:
  SeriesWindow(const ScannedList& list, int64_t capacity);
  ~SeriesWindow();
  SeriesWindow(const SeriesWindow&) = delete;
  SeriesWindow& operator=(const SeriesWindow&) = delete;

  // Holds samples first .. last (first never decreasing, at most capacity of them).
  Samples hold(int64_t first, int64_t last);

 private:
  // The next n samples of every series, after those held when `keep`, else dropped.
  void read(int64_t n, bool keep);

  const ScannedList& list_;
  int64_t capacity_;
  std::vector<std::unique_ptr<InputFile>> files_;
  std::vector<float> data_;
  int64_t first_ = 1, held_ = 0;
};

}  // namespace kelv::cli
