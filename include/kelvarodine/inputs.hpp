// The records users have, read into channels: text tables of one or more columns
// and miniSEED files. Each file gives a Record of its channels; alignRecords puts
// the channels of several files side by side. Nothing is written anywhere: what
// cannot be read is an InputError naming the file, the line and the reason, and what
// was read with a doubt is a warning in the Record.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace kelv {

// An input that cannot be read or taken. what() is "FILE:LINE: REASON", or
// "FILE: REASON" when the reason concerns no single line.
class InputError : public std::runtime_error {
 public:
  // What went wrong: the file is not there, may not be read, cannot be opened or
  // read, or its content cannot be taken.
  enum class Kind { notFound, permission, openFailure, readFailure, content };
  InputError(std::string file, int64_t line, std::string reason, Kind kind = Kind::content);
  const std::string& file() const noexcept { return file_; }
  int64_t line() const noexcept { return line_; }  // 0: the whole file
  const std::string& reason() const noexcept { return reason_; }
  Kind kind() const noexcept { return kind_; }

 private:
  std::string file_;
  int64_t line_;
  std::string reason_;
  Kind kind_;
};

// The channels of a record, each `count` samples long, one channel after another
// (channel j, from 0, at data[j count .. j count + count - 1], the layout
// samplesFastest describes). A not-a-number sample is a gap.
struct Record {
  std::string source;              // the file (or files) it came from
  std::vector<std::string> names;  // one per channel
  int64_t count = 0;
  std::vector<float> data;
  // Time marks, when the file carries them: the time of the first sample and the
  // time between samples (miniSEED: seconds since 1970-01-01 UTC).
  bool timed = false;
  double start = 0.0;
  double step = 0.0;
  // The unit of the time marks when the file says it ("s" for miniSEED); empty when
  // unknown.
  std::string timeUnit;
  // What was read with a doubt (an irregular time step, say), each naming the file
  // and where.
  std::vector<std::string> warnings;

  int32_t channels() const { return static_cast<int32_t>(names.size()); }
};

// ---------------------------------------------------------------- text tables
// A text table: columns separated by semicolons, commas or tabs (the first of those
// that the first line holds) or else by blanks; lines starting with '#' and blank
// lines are skipped; a first line that is not all numbers names the columns. A
// field that is empty, NA, N/A, NaN, inf or a value outside the float range (1e39,
// 9.99e99) is a gap; any other field that is not a number is an error.
struct TableOptions {
  // The column holding the time marks, by its name in the header or its number
  // (from 1); empty: none. Its values must increase; the record's step is their
  // mean step, and steps that stray from the typical one are a warning.
  std::string timeColumn;
};

Record parseTextTable(std::string_view text, const std::string& name,
                      const TableOptions& options = {});

// ---------------------------------------------------------------- miniSEED
// Whether this build reads miniSEED (it needs libmseed).
bool miniSeedSupported();
// Whether the bytes begin like a miniSEED data record.
bool looksLikeMiniSeed(std::string_view bytes);
// Every trace (network, station, location and channel) is a channel, laid on the
// time grid of the sample rate, which all traces must share: samples between
// records and outside a trace's records are gaps. The channels are cut to the
// span they share.
Record parseMiniSeed(std::string_view bytes, const std::string& name);

// ---------------------------------------------------------------- files
// Reads a whole file (a pipe too, once) and parses it as miniSEED when it looks like
// that, otherwise as a text table.
Record readRecordFile(const std::string& path, const TableOptions& options = {});

// The channels of all records side by side. Records with time marks are aligned on
// the time span they share (their steps must agree); records without are taken from
// their first sample, and the common length is the shortest. A mix of the two is
// refused, as is a span shared by none.
Record alignRecords(std::vector<Record> records);

}  // namespace kelv
