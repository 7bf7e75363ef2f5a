// The text writer: free-format and formatted records, the field layouts, and the
// two line modes of the console.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "textio/textio.hpp"
#include "textio/units.hpp"

namespace kelv {

namespace textio_internal {

volatile std::sig_atomic_t lineFeedPending = 0;
volatile std::sig_atomic_t consoleOutputFd = 1;

namespace {
ConsoleMode forcedMode = ConsoleMode::automatic;
}  // namespace

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace textio_internal

using namespace textio_internal;

namespace {

constexpr int kPlainLineLength = 79;
constexpr int kControlLineLength = 78;  // counted after the control column
constexpr std::size_t kFileBufferSize = 1 << 16;

OutputUnit& consoleUnit() {
  static OutputUnit unit = [] {
    OutputUnit u;
    u.number = kConsoleOutputUnit;
    u.name = "stdout";
    u.isConsole = true;
    return u;
  }();
  return unit;
}

void openConsoleOutput(OutputUnit& unit) {
  if (unit.opened) return;
  unit.fd = consoleOutputFd;
  switch (forcedMode) {
    case ConsoleMode::plain:
      unit.controlMode = false;
      break;
    case ConsoleMode::control:
      unit.controlMode = true;
      break;
    case ConsoleMode::automatic:
      unit.controlMode = ::isatty(unit.fd) == 1;
      break;
  }
  unit.opened = true;
}

[[noreturn]] void writeFailed(OutputUnit& unit) {
  unit.failed = true;
  fatalError(kErrWrite, unit.number, unit.name);
}

// Hands one complete record to the device with the unit's framing.
void emitRecord(OutputUnit& unit, std::string_view record) {
  if (unit.isConsole) {
    openConsoleOutput(unit);
    std::string bytes;
    if (unit.controlMode) {
      const char control = record.empty() ? ' ' : record.front();
      const std::string_view text = record.empty() ? record : record.substr(1);
      const bool lineFeed = control != '+' && lineFeedPending;
      bytes.reserve(text.size() + 2);
      if (lineFeed) bytes += '\n';
      bytes += text;
      bytes += '\r';
      // Set before the write: an interrupt arriving at any moment then ends the line
      // (at worst with one line feed too many), and never lets its report overwrite it.
      lineFeedPending = 1;
      if (!writeAll(unit.fd, bytes.data(), bytes.size())) writeFailed(unit);
    } else {
      bytes.reserve(record.size() + 2);
      bytes += record;
      bytes += "\r\n";
      if (!writeAll(unit.fd, bytes.data(), bytes.size())) writeFailed(unit);
    }
    return;
  }
  if (unit.inMemory) {
    unit.pending += record;
    unit.pending += "\r\n";
    return;
  }
  if (unit.fd < 0) writeFailed(unit);
  unit.pending += record;
  unit.pending += "\r\n";
  if (unit.pending.size() >= kFileBufferSize && !flushFileUnit(unit)) writeFailed(unit);
}

// Every this many bytes a file unit asks the system to start writing them to the
// disk, so that the flush to stable storage when the file is committed waits for
// little more than the last of them.
constexpr uint64_t kWritebackBytes = uint64_t{1} << 20;

}  // namespace

namespace textio_internal {

bool handToDevice(OutputUnit& unit, std::string_view bytes) {
  const bool ok = unit.fd >= 0 && writeAll(unit.fd, bytes.data(), bytes.size());
  if (!ok) {
    unit.failed = true;
    return false;
  }
  unit.notWrittenBack += bytes.size();
  if (unit.notWrittenBack >= kWritebackBytes) {
    // Only a hint: where the file system has no use for it, nothing is lost.
    (void)::sync_file_range(unit.fd, 0, 0, SYNC_FILE_RANGE_WRITE);
    unit.notWrittenBack = 0;
  }
  return true;
}

}  // namespace textio_internal

namespace {

int lineLength(const OutputUnit& unit) {
  return unit.controlMode ? kControlLineLength : kPlainLineLength;
}

// Columns of the record in use, not counting a control column.
int usedColumns(const OutputUnit& unit) {
  const int n = static_cast<int>(unit.record.size());
  return unit.controlMode && n > 0 ? n - 1 : n;
}

void completeRecord(OutputUnit& unit) {
  emitRecord(unit, unit.record);
  unit.record.clear();
  unit.inRecord = false;
}

void prepare(OutputUnit& unit) {
  if (unit.isConsole) openConsoleOutput(unit);
}

void placeNumeric(OutputUnit& unit, std::string_view field) {
  prepare(unit);
  if (unit.inRecord && lineLength(unit) - usedColumns(unit) < static_cast<int>(field.size()))
    completeRecord(unit);
  if (!unit.inRecord) {
    // The console's control column: blank, so the field shows in full.
    if (unit.controlMode) unit.record += ' ';
    unit.inRecord = true;
  }
  unit.record += field;
  unit.anyCharacter = true;
}

}  // namespace

namespace textio_internal {

bool flushFileUnit(OutputUnit& unit) {
  if (unit.pending.empty()) return true;
  const bool ok = handToDevice(unit, unit.pending);
  unit.pending.clear();
  return ok;
}

void writePendingLineFeed(bool quiet) {
  if (!lineFeedPending) return;
  OutputUnit& unit = consoleUnit();
  const int fd = unit.opened ? unit.fd : static_cast<int>(consoleOutputFd);
  // Cleared after the write, so that an interrupt in between cannot lose it.
  const bool ok = writeAll(fd, "\n", 1);
  lineFeedPending = 0;
  if (!ok && !quiet) writeFailed(unit);
}

void resetConsoleOutput(int fd, ConsoleMode mode) {
  OutputUnit& unit = consoleUnit();
  unit.opened = false;
  unit.failed = false;
  unit.record.clear();
  unit.inRecord = false;
  unit.anyCharacter = false;
  consoleOutputFd = fd;
  forcedMode = mode;
  lineFeedPending = 0;
}

}  // namespace textio_internal

OutputUnit& consoleOutput() {
  return consoleUnit();
}

void setConsoleLineOpen(bool open) {
  textio_internal::lineFeedPending = open ? 1 : 0;
}

// ---------------------------------------------------------------- free-format write

void beginFreeFormatWrite(OutputUnit& unit) {
  prepare(unit);
  unit.record.clear();
  unit.inRecord = false;
  unit.anyCharacter = false;
}

void writeItem(OutputUnit& unit, int32_t value) {
  placeNumeric(unit, freeFormatInteger(value));
}

void writeItem(OutputUnit& unit, float value) {
  char field[kRealWidth];
  freeFormatRealField(value, field);
  placeNumeric(unit, std::string_view(field, kRealWidth));
}

void writeItem(OutputUnit& unit, double value) {
  placeNumeric(unit, freeFormatDouble(value));
}

void writeItem(OutputUnit& unit, std::string_view text) {
  prepare(unit);
  if (!unit.inRecord) {
    unit.record += ' ';  // plain mode: a leading blank; console: the control character
    unit.inRecord = true;
  }
  unit.anyCharacter = true;
  for (;;) {
    const std::size_t room = static_cast<std::size_t>(lineLength(unit) - usedColumns(unit));
    if (text.size() <= room) {
      unit.record += text;
      return;
    }
    unit.record += text.substr(0, room);
    text.remove_prefix(room);
    completeRecord(unit);
    unit.record += ' ';  // the continuation record begins with a blank
    unit.inRecord = true;
  }
}

void endWrite(OutputUnit& unit) {
  prepare(unit);
  if (!unit.anyCharacter) unit.record = " ";
  emitRecord(unit, unit.record);
  unit.record.clear();
  unit.inRecord = false;
  unit.anyCharacter = false;
}

MemoryOutput::MemoryOutput() : unit_(std::make_unique<OutputUnit>()) {
  unit_->number = kFileUnit;
  unit_->inMemory = true;
}
MemoryOutput::~MemoryOutput() = default;
MemoryOutput::MemoryOutput(MemoryOutput&&) noexcept = default;
MemoryOutput& MemoryOutput::operator=(MemoryOutput&&) noexcept = default;

std::string_view MemoryOutput::bytes() const {
  return unit_->pending;
}

void MemoryOutput::clear() {
  unit_->pending.clear();
}

void writeRecords(OutputUnit& unit, std::string_view bytes) {
  if (unit.inMemory) {
    unit.pending += bytes;
    return;
  }
  if (unit.isConsole || unit.fd < 0) writeFailed(unit);
  if (unit.pending.size() + bytes.size() < kFileBufferSize) {
    unit.pending += bytes;
    return;
  }
  // Past a buffer's worth the bytes go to the device straight after those pending.
  if (!flushFileUnit(unit) || !handToDevice(unit, bytes)) writeFailed(unit);
}

void writeConsoleLine(std::string_view text) {
  OutputUnit& unit = consoleOutput();
  beginFreeFormatWrite(unit);
  writeItem(unit, text);
  endWrite(unit);
}

// ---------------------------------------------------------------- formatted write

void formattedWrite(OutputUnit& unit, std::span<const Field> fields, std::span<const int32_t> ints,
                    std::span<const std::string_view> texts) {
  prepare(unit);
  std::string record;
  std::size_t nextInt = 0, nextText = 0;
  for (const Field& f : fields) {
    switch (f.kind) {
      case Field::Kind::literal:
        record += f.text;
        break;
      case Field::Kind::integer:
        record += formattedInteger(nextInt < ints.size() ? ints[nextInt] : 0, f.width);
        ++nextInt;
        break;
      case Field::Kind::character: {
        const std::string_view v = nextText < texts.size() ? texts[nextText] : std::string_view{};
        ++nextText;
        const std::size_t w = f.width > 0 ? static_cast<std::size_t>(f.width) : 0;
        if (v.size() >= w) {
          record += v.substr(0, w);
        } else {
          record.append(w - v.size(), ' ');
          record += v;
        }
        break;
      }
    }
  }
  emitRecord(unit, record);
}

}  // namespace kelv
