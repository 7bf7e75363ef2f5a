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

// ---------------------------------------------------------------- field texts

std::string freeFormatInteger(int32_t value) {
  char buf[16];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  const std::size_t n = static_cast<std::size_t>(r.ptr - buf);
  return std::string(12 - n, ' ') + std::string(buf, n);
}

namespace {

constexpr std::size_t kRealWidth = 16;

// The exponent form d.ddddddE-XX of a float whose magnitude lies in [2^-40, 1),
// where the measures of a grid lie, into buf; its length. The seven digits are
// those of the exact value a = m 2^-s rounded once, ties to even: a 10^k = m 10^k /
// 2^s is an exact 128-bit quotient and remainder for the k (7 to 19) that puts it in
// [10^6, 10^7). 0 for any other value.
std::size_t fractionExponentForm(float value, char* buf) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const int biased = static_cast<int>((bits >> 23) & 0xFF);
  if (biased < 127 - 40 || biased >= 127) return 0;
  using u128 = unsigned __int128;
  const uint64_t m = (bits & 0x7FFFFF) | 0x800000;
  const int s = 150 - biased;  // a = m / 2^s, s from 24 to 63
  // log10(2) < 0.30103: k from the binary exponent, corrected by one at most.
  int k = 6 + static_cast<int>((double(s) - 23.0) * 0.30103);
  static constexpr auto kPowers = [] {
    std::array<uint64_t, 20> p{};
    p[0] = 1;
    for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
    return p;
  }();
  u128 product = 0;
  uint64_t q = 0;
  for (;;) {
    product = u128(m) * kPowers[static_cast<std::size_t>(k)];
    q = static_cast<uint64_t>(product >> s);
    if (q < 1000000)
      ++k;
    else if (q >= 10000000)
      --k;
    else
      break;
  }
  const u128 rest = product & ((u128(1) << s) - 1);
  const u128 half = u128(1) << (s - 1);
  if (rest > half || (rest == half && (q & 1) != 0)) ++q;
  int exponent = 6 - k;
  if (q == 10000000) {
    q = 1000000;
    ++exponent;
  }
  std::size_t n = 0;
  if (bits >> 31) buf[n++] = '-';
  char digits[7];
  for (int i = 6; i >= 0; --i, q /= 10) digits[i] = static_cast<char>('0' + q % 10);
  buf[n++] = digits[0];
  buf[n++] = '.';
  std::memcpy(buf + n, digits + 1, 6);
  n += 6;
  buf[n++] = 'E';
  buf[n++] = exponent < 0 ? '-' : '+';
  const int e = exponent < 0 ? -exponent : exponent;
  buf[n++] = static_cast<char>('0' + e / 10);
  buf[n++] = static_cast<char>('0' + e % 10);
  return n;
}

// Any float in its free-format text into buf; its length, at most 15 characters
// (-9999999.500000, -1.234567E+38).
std::size_t generalForm(float value, char* buf, std::size_t size) {
  if (std::isnan(value)) {
    std::memcpy(buf, "NaN", 3);
    return 3;
  }
  if (std::isinf(value)) {
    const std::string_view text = value < 0 ? "-Infinity" : "Infinity";
    std::memcpy(buf, text.data(), text.size());
    return text.size();
  }
  const float a = std::fabs(value);
  // The threshold is tested on the float itself; the digits are the correctly
  // rounded ones of its exact value, ties to even.
  const bool fixed = a >= 1.0f && a < 10000000.0f;
  const auto r = std::to_chars(buf, buf + size, value,
                               fixed ? std::chars_format::fixed : std::chars_format::scientific, 6);
  const std::size_t n = static_cast<std::size_t>(r.ptr - buf);
  if (!fixed)
    for (std::size_t i = 0; i < n; ++i)
      if (buf[i] == 'e') buf[i] = 'E';
  return n;
}

// The 16-column free-format field of a float, right-adjusted into `field`.
void realField(float value, char* field) {
  char buf[32];
  std::size_t n = fractionExponentForm(value, buf);
  if (n == 0) n = generalForm(value, buf, sizeof buf);
  std::memset(field, ' ', kRealWidth - n);
  std::memcpy(field + (kRealWidth - n), buf, n);
}

}  // namespace

std::string freeFormatReal(float value) {
  char field[kRealWidth];
  realField(value, field);
  return std::string(field, kRealWidth);
}

std::string freeFormatDouble(double value) {
  constexpr std::size_t kWidth = 25;
  if (!std::isfinite(value)) {
    const std::string text = freeFormatReal(static_cast<float>(value));
    return std::string(kWidth - kRealWidth, ' ') + text;
  }
  // [-]d.dddddddddddddddde[+-]XX[X], correctly rounded, ties to even. Seventeen digits
  // never round up to the next power of ten, so the exponent is that of the value.
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific, 16);
  std::string text(buf, static_cast<std::size_t>(r.ptr - buf));
  const std::size_t e = text.find('e');
  const int exponent = std::atoi(text.c_str() + e + 1);
  if (std::fabs(value) >= 1.0 && exponent <= 15) {
    // The same digits with the point moved behind the integer digits.
    const std::size_t point = text.find('.');
    std::string digits = text.substr(0, point) + text.substr(point + 1, e - point - 1);
    const std::size_t integerEnd = (value < 0 ? 2 : 1) + static_cast<std::size_t>(exponent);
    text = digits.substr(0, integerEnd) + "." + digits.substr(integerEnd);
  } else {
    text[e] = 'E';
  }
  return std::string(kWidth - text.size(), ' ') + text;
}

std::string formattedInteger(int32_t value, int width) {
  if (width <= 0) return {};
  const std::size_t w = static_cast<std::size_t>(width);
  if (value == 0) return std::string(w, ' ');
  char buf[16];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  const std::size_t n = static_cast<std::size_t>(r.ptr - buf);
  if (n > w) return std::string(w, '*');
  return std::string(w - n, ' ') + std::string(buf, n);
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
  realField(value, field);
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
