// Internal state of the text layer shared by its source files: the unit
// structures, the console line state and the hooks used by tests and the fuzzer.
#pragma once

#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "textio/textio.hpp"

namespace kelv {

struct OutputUnit {
  int32_t number = 0;
  std::string name;
  int fd = -1;
  bool isConsole = false;
  bool opened = false;          // the console is opened at its first use
  bool controlMode = false;     // first character of a record is a control character
  bool failed = false;          // a write failed; the unit is being abandoned
  bool inMemory = false;        // a MemoryOutput: records stay in `pending`
  std::string pending;          // file units: bytes written but not yet handed to the device
  uint64_t notWrittenBack = 0;  // file units: bytes handed over since the last writeback hint
  // The free-format statement in progress.
  std::string record;
  bool inRecord = false;      // the record holds at least its first item
  bool anyCharacter = false;  // the statement produced a character
};

struct InputUnit {
  int32_t number = 0;
  std::string name;
  int fd = -1;
  bool isConsole = false;
  bool opened = false;
  // Bytes read from the device and not yet consumed: at most a chunk and the few
  // bytes a record end needs to be recognised.
  std::string buffer;
  std::size_t bufferPos = 0;
  bool atEnd = false;   // the device has no bytes beyond the buffer
  bool atStart = true;  // nothing read yet: a byte-order mark may come first
  // A memory source instead of the device (tests, fuzzing).
  bool fromMemory = false;
  std::string memory;
  std::size_t memoryPos = 0;
  // Inside a record whose end has not been consumed yet, and its bytes so far.
  bool inRecord = false;
  uint64_t recordBytes = 0;
  // Records started since the unit was opened (the line of the last read), and the
  // error number of the last read that failed.
  uint64_t records = 0;
  int32_t lastError = 0;
};

namespace textio_internal {

// True while the last console record ended with a carriage return whose line feed
// has not been written yet. Read by the interrupt handler.
extern volatile std::sig_atomic_t lineFeedPending;
// Where the console output goes (standard output unless a test redirects it).
extern volatile std::sig_atomic_t consoleOutputFd;

// Writes the owed line feed of the console, if any; errors are ignored when
// `quiet`, otherwise fatal.
void writePendingLineFeed(bool quiet);

// Writes all of `data` to `fd`, retrying partial writes and interrupted calls.
bool writeAll(int fd, const char* data, std::size_t size);

// Flushes the buffered bytes of a file unit; false when the device refused them.
bool flushFileUnit(OutputUnit& unit);
// Writes `bytes` to a file unit's device, and every megabyte asks the system to start
// writing them back to the disk; false (the unit marked failed) when refused.
bool handToDevice(OutputUnit& unit, std::string_view bytes);

// Discards a replacement file in progress (removes its temporary file) and closes
// a reading file unit. Never reports anything.
void abandonFileChannel();

// Removes the temporary file of a replacement in progress; async-signal-safe.
void removeReplacementTemporaryFromHandler();

// Whether a replacement starts as an unnamed file (where the file system has
// them); tests turn it off to reach the named temporary file.
extern bool unnamedTemporaries;

// True once a terminating path runs: later failures are not reported again.
extern bool terminating;

enum class ConsoleMode { automatic, plain, control };
// Test hooks: reconnect the console output to `fd` in the given mode (automatic
// decides at first use by whether `fd` is a terminal) with no owed line feed.
void resetConsoleOutput(int fd, ConsoleMode mode);
// Reconnect the console input to `fd`, or feed it from `content`.
void resetConsoleInput(int fd);
void attachConsoleInput(std::string_view content);
void resetInputBuffers(InputUnit& unit);
// Open the file channel for reading on an in-memory file named `name`.
void attachFileInput(std::string_view name, std::string_view content);

}  // namespace textio_internal
}  // namespace kelv
