// Text input/output and run-time conventions of Kelvarodine.
//
// Every line the program reads or writes goes through this layer: the free-format
// and fixed-field reader (console and the one file unit), the free-format and
// formatted writer with its two console line modes, the run-time condition reports,
// the three ways a run ends, and array creation with its size and memory checks.
//
// Units. There are three: console input (unit -4, "stdin"), console output
// (unit -1, "stdout") and the program's single file channel (unit 1), which holds at
// most one open file at a time, for reading or for writing.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "formats/fields.hpp"

namespace kelv {

inline constexpr int32_t kConsoleInputUnit = -4;
inline constexpr int32_t kConsoleOutputUnit = -1;
inline constexpr int32_t kFileUnit = 1;

struct InputUnit;   // opaque; see textio/reader.cpp
struct OutputUnit;  // opaque; see textio/writer.cpp

InputUnit& consoleInput();
OutputUnit& consoleOutput();
InputUnit& fileInput();    // the file channel, when opened for reading
OutputUnit& fileOutput();  // the file channel, when opened for writing

// ---------------------------------------------------------------- error numbers
inline constexpr int32_t kErrPermission = 9;
inline constexpr int32_t kErrEndOfFile = 24;
inline constexpr int32_t kErrFileNotFound = 29;
inline constexpr int32_t kErrOpenFailure = 30;
inline constexpr int32_t kErrWrite = 38;
inline constexpr int32_t kErrRead = 39;
inline constexpr int32_t kErrNoMemory = 41;
inline constexpr int32_t kErrFileName = 43;
inline constexpr int32_t kErrSyntax = 59;
inline constexpr int32_t kErrConversion = 64;
inline constexpr int32_t kErrAlreadyAllocated = 151;
inline constexpr int32_t kErrNotAllocated = 153;
inline constexpr int32_t kErrArraySize = 179;
inline constexpr int32_t kErrInterrupt = 200;

// ---------------------------------------------------------------- file channel
// Which conditions a statement handles itself; an unhandled one is fatal.
enum Handles : unsigned { kHandleNone = 0, kHandleEnd = 1, kHandleError = 2, kHandleBoth = 3 };

// Opens an existing file on unit 1 for reading. Returns 0, or the error number
// (9, 29, 30, 43) when `handleErrors` is true; otherwise a failure is fatal.
int32_t openForReading(std::string_view name, bool handleErrors);
void rewindFile();  // back to the first record of the file open for reading

// A file opened for reading on a unit of its own, beside the file channel, so that
// several files can be read at once, one per thread. Its reads behave as those of
// the file channel and name unit 1. The file is closed with the object.
class InputFile {
 public:
  InputFile();
  ~InputFile();
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Opens `name`: 0, or the error number that openForReading reports (9, 29, 30, 43).
  int32_t open(std::string_view name);
  InputUnit& unit() { return *unit_; }

 private:
  std::unique_ptr<InputUnit> unit_;
};

// Opens `finalName` on unit 1 for writing, through a replacement file in the
// directory of the file it stands for (itself, or the end of its symbolic links):
// the named file is replaced only by commitFile(), after the last byte was
// written, flushed and closed. Any other ending of the run, a kill included,
// leaves an existing `finalName` as it was and nothing beside it. Everything that
// can fail before the writing fails here: a target that is not a regular file
// (device, pipe, directory, dangling link, loop) or has several links (error 30),
// one without write access or whose owner cannot be kept (9), a directory where
// no file can be made. `reserveBytes` are set aside on the disk (error 38 when the
// disk or the file size limit has no room). Reports name `finalName`.
void openReplacement(std::string_view finalName, uint64_t reserveBytes = 0);
void commitFile();  // flush, close and put in place of the final name (fatal error 38 on failure)
// commitFile, running `whileFlushing` on the calling thread while a thread of its own
// waits for the file's bytes to reach the disk, so that what the run still has to do
// (freeing its large arrays) overlaps that wait; the file is put in place after both.
// Without a thread to spare, the flush and whileFlushing run one after the other.
void commitFile(const std::function<void()>& whileFlushing);
// As openReplacement, for a file that another library opens by its path and writes
// itself; returns that path. The replacement is then a named temporary file in the
// target's directory (a library that resolves the path it is given cannot open an
// unnamed file through /proc), removed by every ending of the run the process sees:
// only SIGKILL can leave it behind. Nothing is reserved, and commitFile() keeps the
// size the library leaves.
std::string openReplacementForLibrary(std::string_view finalName);

// A file written through a replacement as openReplacement's, beside the file channel,
// so that a file written only after others (the null level's companion) can be opened
// and its size reserved before the work, with the same reports. Until commit() the
// final name keeps its earlier file; the object's end, or any ending of the run,
// discards the replacement. At most 256 are open at once; one more is refused as an
// open failure (error 30).
class ReplacementFile {
 public:
  ReplacementFile();
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  void open(std::string_view finalName, uint64_t reserveBytes = 0);
  OutputUnit& unit();
  void commit();  // fatal error 38 on failure

 private:
  int slot_ = 0;
};
void closeFile();  // close the file channel (a reading unit, or discard a replacement)

// ---------------------------------------------------------------- reading
enum class ReadStatus { success, endOfFile, readError };

// The reader keeps no record whole: a read holds its current token only, and what
// it skips of a record is never stored. A token longer than kMaxTokenLength (far
// beyond any number's digits) is a malformed token at once (error 59); a record
// longer than kMaxRecordLength (input that is no text, such as /dev/zero) is a
// failed read (error 39).
inline constexpr std::size_t kMaxTokenLength = 4096;
inline constexpr uint64_t kMaxRecordLength = (uint64_t{1} << 31) - 1;

struct ReadItem {
  enum class Kind { integer, real, real64 } kind;
  void* target;
};
inline ReadItem item(int32_t& v) {
  return {ReadItem::Kind::integer, &v};
}
inline ReadItem item(float& v) {
  return {ReadItem::Kind::real, &v};
}
inline ReadItem item(double& v) {
  return {ReadItem::Kind::real64, &v};
}

// One free-format read statement; `items` may be empty (skips one record).
ReadStatus freeFormatRead(InputUnit& unit, std::span<const ReadItem> items, unsigned handles);
inline ReadStatus freeFormatRead(InputUnit& unit, std::initializer_list<ReadItem> items,
                                 unsigned handles) {
  return freeFormatRead(unit, std::span<const ReadItem>(items.begin(), items.size()), handles);
}

// Reads up to `want` records of the plainest form, one value each, exactly as that
// many freeFormatRead(unit, {item(value)}, ...) statements would; returns how many it
// read. Such a record lies whole in the unit's buffer and holds blanks, a decimal
// number (digits with at most one point, an optional sign and exponent E), whose
// value is zero or a normal float, and then a blank, comma, slash or the record's
// end. It stops before any other record (and at the end of the buffer), which is
// left to freeFormatRead; a console is always left to it.
std::size_t readPlainReals(InputUnit& unit, float* out, std::size_t want);

// Records the unit has started since it was opened: the line of its last read (the
// line where a failed read stopped). The error number of its last failed read, 0
// when none has failed.
uint64_t recordNumber(const InputUnit& unit);
int32_t lastReadError(const InputUnit& unit);

// Where the next read of a file unit starts, to come back to later on a unit opened
// on the same unchanged file: the reads from there give the values, records (lines)
// and errors that the reads from here give. Not for the console or a pipe (false).
struct InputPosition {
  uint64_t offset = 0;       // the byte of the file the next read takes first
  uint64_t records = 0;      // records started before it
  uint64_t recordBytes = 0;  // bytes of the current record before it
  int32_t inRecord = 0;      // inside a record whose end is not consumed yet
  int32_t atStart = 1;       // nothing read yet (a byte-order mark may come)
};
bool inputPosition(const InputUnit& unit, InputPosition& at);
bool setInputPosition(InputUnit& unit, const InputPosition& at);

inline constexpr int kNameFieldWidth = 256;
// One formatted read of a single 256-column character field: `field` receives the
// record's first 256 characters, blank-padded.
ReadStatus formattedLineRead(InputUnit& unit, std::string& field, unsigned handles);

// ---------------------------------------------------------------- writing
void beginFreeFormatWrite(OutputUnit& unit);
void writeItem(OutputUnit& unit, int32_t value);
void writeItem(OutputUnit& unit, float value);
void writeItem(OutputUnit& unit, double value);  // the 25-column double field
void writeItem(OutputUnit& unit, std::string_view text);
inline void writeItem(OutputUnit& unit, const char* text) {
  writeItem(unit, std::string_view(text));
}
void endWrite(OutputUnit& unit);

// A formatted write: one record laid out by a field list. Integer fields take their
// values from `ints` in order, character fields from `texts` in order.
struct Field {
  enum class Kind { literal, integer, character } kind;
  int width;              // integer and character fields
  std::string_view text;  // literal fields
};
inline constexpr Field literal(std::string_view t) {
  return {Field::Kind::literal, 0, t};
}
inline constexpr Field intField(int w) {
  return {Field::Kind::integer, w, {}};
}
inline constexpr Field charField(int w) {
  return {Field::Kind::character, w, {}};
}
void formattedWrite(OutputUnit& unit, std::span<const Field> fields, std::span<const int32_t> ints,
                    std::span<const std::string_view> texts);

// Tells the text layer that standard output's last line was left open, or closed again,
// by writes that go around it (a progress line rewritten in place): while it is open,
// the next console record and any ending of the run (an interrupt's report included)
// first end that line.
void setConsoleLineOpen(bool open);

// One free-format console record holding `text` (the usual way to write a line).
void writeConsoleLine(std::string_view text);

// Records written to memory, laid out as a file unit lays them out (each record
// followed by CR LF), so that parts of a file can be formatted on several threads
// and then handed to the file in their order by writeRecords. A MemoryOutput is
// used by one thread at a time.
class MemoryOutput {
 public:
  MemoryOutput();
  ~MemoryOutput();
  MemoryOutput(MemoryOutput&&) noexcept;
  MemoryOutput& operator=(MemoryOutput&&) noexcept;

  OutputUnit& unit() { return *unit_; }
  std::string_view bytes() const;  // the records written since the last clear()
  void clear();

 private:
  std::unique_ptr<OutputUnit> unit_;
};

// Appends the bytes of whole records, as a MemoryOutput holds them, to a file unit
// (fatal error 38 when the device refuses them) or to another MemoryOutput's unit.
void writeRecords(OutputUnit& unit, std::string_view bytes);

// ---------------------------------------------------------------- run-time conditions
enum class Severity : uint32_t { info = 1, error = 2, severe = 3 };
constexpr uint32_t conditionValue(Severity s, int32_t number) {
  return (static_cast<uint32_t>(s) << 30) | (static_cast<uint32_t>(number) & 0xFFFFu);
}

// Writes the report of a condition to standard error; a severe one is followed by a
// traceback, closeAllUnits() and the end of the process (exit status: the error
// number), and does not return. `unit`/`file` are used by I/O messages only.
void reportCondition(uint32_t condition, int32_t unit = 0, std::string_view file = {});
[[noreturn]] void fatalError(int32_t number, int32_t unit = 0, std::string_view file = {});

[[noreturn]] void stopRun();  // the plain stop after an orderly stop's "Press <Enter>"
[[noreturn]] void endRun();   // the normal end when the main program returns
void closeAllUnits();

// Start-up: console interrupt handlers, floating-point environment, the
// out-of-memory handler (fatal error 41 for any failed allocation).
void startUp();

// ---------------------------------------------------------------- arrays
// Element count of an array with the given extents (an extent below zero counts as
// zero); fatal error 179 when its byte size does not fit the platform's size_t.
std::size_t arraySize(std::initializer_list<int64_t> extents, std::size_t elementSize);

// Creates an array of the given extents, elements default-initialised (floats and
// complex values are left as the allocator gives them unless the caller fills them).
// Fatal error 179 on size overflow, 41 when memory cannot be had.
template <class T>
std::unique_ptr<T[]> createArray(std::initializer_list<int64_t> extents) {
  return std::unique_ptr<T[]>(new T[arraySize(extents, sizeof(T))]);
}

}  // namespace kelv
