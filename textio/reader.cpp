// The free-format and 256-column reader over the console and the file channel.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>

#include "formats/fields.hpp"
#include "textio/textio.hpp"
#include "textio/units.hpp"

namespace kelv {

using namespace textio_internal;

namespace {

constexpr std::size_t kChunk = 1 << 16;
constexpr char kCtrlZ = '\x1A';

InputUnit& consoleUnit() {
  static InputUnit unit = [] {
    InputUnit u;
    u.number = kConsoleInputUnit;
    u.name = "stdin";
    u.isConsole = true;
    u.fd = 0;
    return u;
  }();
  return unit;
}

enum class Fetch { ok, endOfFile, deviceError };

// Appends the next bytes of the device to the buffer, dropping those already
// consumed, so that the buffer never holds much more than one chunk; sets atEnd
// when the device has no more.
Fetch fill(InputUnit& u) {
  if (u.bufferPos > 0) {
    u.buffer.erase(0, u.bufferPos);
    u.bufferPos = 0;
  }
  if (u.fromMemory) {
    const std::size_t n = std::min(kChunk, u.memory.size() - u.memoryPos);
    u.buffer.append(u.memory, u.memoryPos, n);
    u.memoryPos += n;
    u.atEnd = n == 0;
    return Fetch::ok;
  }
  char chunk[kChunk];
  for (;;) {
    const ssize_t n = ::read(u.fd, chunk, sizeof chunk);
    if (n > 0) {
      u.buffer.append(chunk, static_cast<std::size_t>(n));
      return Fetch::ok;
    }
    if (n == 0) {
      u.atEnd = true;
      return Fetch::ok;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // A descriptor left non-blocking by whoever started us: wait for input.
      pollfd p{u.fd, POLLIN, 0};
      (void)::poll(&p, 1, -1);
      continue;
    }
    // A closed standard input is the end of the console's input.
    if (u.isConsole && errno == EBADF) {
      u.atEnd = true;
      return Fetch::ok;
    }
    return Fetch::deviceError;
  }
}

// Makes `n` unconsumed bytes available, or as many as the input still has.
Fetch ensure(InputUnit& u, std::size_t n) {
  while (u.buffer.size() - u.bufferPos < n && !u.atEnd)
    if (const Fetch f = fill(u); f != Fetch::ok) return f;
  return Fetch::ok;
}

// Length of the record end at `at` (a line feed, a carriage return and a line
// feed, or a carriage return that ends the input), 0 when there is none there;
// -1 when the buffer ends at `at` with the input. After a carriage return the
// next byte must be in the buffer where the input has one.
int recordEndAt(const InputUnit& u, std::size_t at) {
  if (at >= u.buffer.size()) return -1;
  const char c = u.buffer[at];
  if (c == '\n') return 1;
  if (c != '\r') return 0;
  if (at + 1 == u.buffer.size()) return 1;
  return u.buffer[at + 1] == '\n' ? 2 : 0;
}

// The next byte of the current record, not consumed; -1 at the record's end.
// Reading a record never stores more than the buffer: a record holds on as long
// as its bytes come, but no read keeps more of it than its tokens.
int peekChar(InputUnit& u, Fetch& f) {
  // Looks ahead only as far as needed: a console's line is not waited for beyond
  // its line feed.
  f = ensure(u, 1);
  if (f == Fetch::ok && u.bufferPos < u.buffer.size() && u.buffer[u.bufferPos] == '\r')
    f = ensure(u, 2);
  if (f != Fetch::ok) return -1;
  if (u.recordBytes >= kMaxRecordLength) {
    f = Fetch::deviceError;
    return -1;
  }
  if (recordEndAt(u, u.bufferPos) != 0) return -1;
  return static_cast<unsigned char>(u.buffer[u.bufferPos]);
}

void advance(InputUnit& u) {
  ++u.bufferPos;
  ++u.recordBytes;
}

// Consumes the end of the current record (peekChar returned -1 without failing).
void endRecord(InputUnit& u) {
  const int n = recordEndAt(u, u.bufferPos);
  if (n > 0) u.bufferPos += static_cast<std::size_t>(n);
  u.inRecord = false;
}

// Discards what is left of the current record without storing it.
Fetch skipRecord(InputUnit& u) {
  while (u.inRecord) {
    const char* from = u.buffer.data() + u.bufferPos;
    const std::size_t avail = u.buffer.size() - u.bufferPos;
    if (const void* lf = std::memchr(from, '\n', avail)) {
      const std::size_t n = static_cast<std::size_t>(static_cast<const char*>(lf) - from);
      u.bufferPos += n + 1;
      u.inRecord = false;
      return Fetch::ok;
    }
    u.bufferPos += avail;
    u.recordBytes += avail;
    if (u.atEnd) {
      u.inRecord = false;
      return Fetch::ok;
    }
    if (u.recordBytes >= kMaxRecordLength) return Fetch::deviceError;
    if (const Fetch f = fill(u); f != Fetch::ok) return f;
  }
  return Fetch::ok;
}

// Skips the UTF-8 byte-order mark that some editors put at the start of a text:
// it belongs to no record, and would otherwise make the first name, number or
// answer of the input unreadable. Waits for more bytes only while those there are
// the start of a mark, so that a console line is never waited for beyond its end.
Fetch skipByteOrderMark(InputUnit& u) {
  static constexpr std::string_view kMark = "\xEF\xBB\xBF";
  for (;;) {
    const std::string_view there = std::string_view(u.buffer).substr(u.bufferPos);
    const std::size_t n = std::min(there.size(), kMark.size());
    if (there.substr(0, n) != kMark.substr(0, n)) break;
    if (n == kMark.size()) {
      u.bufferPos += n;
      break;
    }
    if (u.atEnd) break;
    if (const Fetch f = fill(u); f != Fetch::ok) return f;
  }
  u.atStart = false;
  return Fetch::ok;
}

// Moves to the start of the next record: the rest of the current one is
// discarded. End of file when the input has no more records.
Fetch nextRecord(InputUnit& u) {
  if (const Fetch f = skipRecord(u); f != Fetch::ok) return f;
  if (u.isConsole) writePendingLineFeed(false);
  if (u.atStart)
    if (const Fetch f = skipByteOrderMark(u); f != Fetch::ok) return f;
  if (const Fetch f = ensure(u, 1); f != Fetch::ok) return f;
  if (u.bufferPos >= u.buffer.size()) return Fetch::endOfFile;
  u.inRecord = true;
  u.recordBytes = 0;
  ++u.records;
  // On the console a line holding only Ctrl-Z ends the input.
  if (u.isConsole && u.buffer[u.bufferPos] == kCtrlZ) {
    if (const Fetch f = ensure(u, 2); f != Fetch::ok) return f;
    if (u.bufferPos + 1 < u.buffer.size() && u.buffer[u.bufferPos + 1] == '\r')
      if (const Fetch f = ensure(u, 3); f != Fetch::ok) return f;
    const int end = recordEndAt(u, u.bufferPos + 1);
    if (end != 0) {
      u.bufferPos += 1 + static_cast<std::size_t>(std::max(end, 0));
      u.inRecord = false;
      return Fetch::endOfFile;
    }
  }
  return Fetch::ok;
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}
bool endsToken(char c) {
  return isBlank(c) || c == ',' || c == '/';
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

// The parts of a numeric token: sign, mantissa digits around at most one point,
// and an exponent (a letter E, D or Q with an optional sign, or a sign alone).
// Far beyond any float's exponent, and beyond any record's length.
constexpr int64_t kExponentLimit = int64_t{1} << 50;

struct NumberForm {
  bool negative = false;
  std::string_view mantissa;  // digits and at most one point
  bool hasPoint = false;
  bool hasExponent = false;
  int64_t exponent = 0;  // saturated far beyond any float's range
};

bool parseNumber(std::string_view t, NumberForm& f) {
  std::size_t i = 0;
  const std::size_t n = t.size();
  if (i < n && (t[i] == '+' || t[i] == '-')) f.negative = t[i++] == '-';
  const std::size_t start = i;
  std::size_t digits = 0;
  while (i < n && isDigit(t[i])) ++i, ++digits;
  if (i < n && t[i] == '.') {
    f.hasPoint = true;
    ++i;
    while (i < n && isDigit(t[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  f.mantissa = t.substr(start, i - start);
  if (i == n) return true;
  const char c = t[i];
  if (std::strchr("EeDdQq", c)) {
    ++i;
    f.hasExponent = true;
  } else if (c != '+' && c != '-') {
    return false;
  }
  f.hasExponent = true;
  bool negExp = false;
  if (i < n && (t[i] == '+' || t[i] == '-')) negExp = t[i++] == '-';
  if (i == n) return false;
  int64_t e = 0;
  for (; i < n; ++i) {
    if (!isDigit(t[i])) return false;
    if (e < kExponentLimit) e = e * 10 + (t[i] - '0');
  }
  f.exponent = negExp ? -e : e;
  return true;
}

// Converts a token for an item; 0, or the error number of a read error.
int32_t convert(std::string_view token, const ReadItem& item) {
  NumberForm f;
  if (!parseNumber(token, f)) return kErrSyntax;
  if (item.kind == ReadItem::Kind::integer) {
    if (f.hasPoint || f.hasExponent) return kErrConversion;
    int64_t v = 0;
    for (char c : f.mantissa) {
      v = v * 10 + (c - '0');
      if (v > int64_t{1} << 32) return kErrConversion;
    }
    if (f.negative) v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return kErrConversion;
    *static_cast<int32_t*>(item.target) = static_cast<int32_t>(v);
    return 0;
  }
  // A short token in the form std::from_chars reads (no exponent letter but E, no
  // plus sign) converts straight from its text, rounded once as below; anything
  // else, and any value out of range, takes the general way.
  const bool wide = item.kind == ReadItem::Kind::real64;
  if (token.size() <= 32 && f.exponent >= -30 && f.exponent <= 30 &&
      token.find_first_of("DdQq+") == std::string_view::npos) {
    const char* end = token.data() + token.size();
    float value = 0.0f;
    double wideValue = 0.0;
    const auto r = wide ? std::from_chars(token.data(), end, wideValue)
                        : std::from_chars(token.data(), end, value);
    if (r.ec == std::errc() && r.ptr == end &&
        (wide ? std::isnormal(wideValue) || wideValue == 0.0
              : std::isnormal(value) || value == 0.0f)) {
      if (wide)
        *static_cast<double*>(item.target) = wideValue;
      else
        *static_cast<float*>(item.target) = value;
      return 0;
    }
  }
  // Normalised to 0.ddd times a power of ten, so that the magnitude is known
  // before the conversion and a long mantissa cannot shift the exponent's range.
  std::string digits;
  digits.reserve(f.mantissa.size());
  int64_t pointAt = -1;
  for (char c : f.mantissa) {
    if (c == '.')
      pointAt = static_cast<int64_t>(digits.size());
    else
      digits += c;
  }
  if (pointAt < 0) pointAt = static_cast<int64_t>(digits.size());
  const std::size_t first = digits.find_first_not_of('0');
  // Both widths are converted straight from the decimal text, each rounded once.
  float value = 0.0f;
  double wideValue = 0.0;
  if (first != std::string::npos) {
    const std::size_t last = digits.find_last_not_of('0');
    // The value is 0.d1d2... times 10^scale, d1 not zero.
    const int64_t scale = pointAt - static_cast<int64_t>(first) + f.exponent;
    if (scale > (wide ? 309 : 39)) return kErrConversion;
    if (scale >= (wide ? -330 : -50)) {
      std::string text = "0.";
      text.append(digits, first, last - first + 1);
      text += 'e';
      text += std::to_string(scale);
      const char* end = text.data() + text.size();
      const auto r = wide ? std::from_chars(text.data(), end, wideValue)
                          : std::from_chars(text.data(), end, value);
      if (r.ec == std::errc::result_out_of_range) {
        if (scale > 0) return kErrConversion;
        value = 0.0f;  // underflow is not an error
        wideValue = 0.0;
      } else if (r.ec != std::errc()) {
        return kErrSyntax;
      }
    }
  }
  if (wide)
    *static_cast<double*>(item.target) = f.negative ? -wideValue : wideValue;
  else
    *static_cast<float*>(item.target) = f.negative ? -value : value;
  return 0;
}

// One read statement's walk over the input.
class Statement {
 public:
  Statement(InputUnit& unit, unsigned handles) : u_(unit), handles_(handles) {}

  ReadStatus fail(Fetch why) {
    if (why == Fetch::endOfFile) {
      if (handles_ & kHandleEnd) return ReadStatus::endOfFile;
      fatalError(kErrEndOfFile, u_.number, u_.name);
    }
    // A console that cannot be read will not be readable on the next try either;
    // a prompt that handles read errors would otherwise ask again for ever.
    if (u_.isConsole) fatalError(kErrRead, u_.number, u_.name);
    return readError(kErrRead);
  }

  ReadStatus readError(int32_t number) {
    u_.lastError = number;
    if (handles_ & kHandleError) return ReadStatus::readError;
    fatalError(number, u_.number, u_.name);
  }

  ReadStatus run(std::span<const ReadItem> items) {
    if (const Fetch f = nextRecord(u_); f != Fetch::ok) return fail(f);
    if (items.empty()) {
      if (const Fetch f = skipRecord(u_); f != Fetch::ok) return fail(f);
      return ReadStatus::success;
    }
    for (const ReadItem& item : items) {
      if (repeatLeft_ > 0) {
        --repeatLeft_;
        if (!repeatNull_)
          if (const int32_t e = convert(repeatValue_, item)) return readError(e);
        continue;
      }
      for (;;) {
        Fetch f = Fetch::ok;
        int c = peekChar(u_, f);
        while (c >= 0 && isBlank(static_cast<char>(c))) {
          advance(u_);
          c = peekChar(u_, f);
        }
        if (f != Fetch::ok) return fail(f);
        if (c < 0) {
          endRecord(u_);
          if (const Fetch g = nextRecord(u_); g != Fetch::ok) return fail(g);
          continue;
        }
        if (c == ',') {
          advance(u_);
          if (separatorPending_) {  // the comma that ends the previous value
            separatorPending_ = false;
            continue;
          }
          break;  // a null value: the item keeps its content
        }
        if (c == '/') return ReadStatus::success;
        // A token that lies wholly in the buffer, ended by a blank, a separator or a
        // line feed, is taken from there; any other (split by the buffer's end, or
        // next to a carriage return) is gathered byte by byte below.
        if (const std::string_view whole = tokenInBuffer(); !whole.empty()) {
          u_.bufferPos += whole.size();
          u_.recordBytes += whole.size();
          separatorPending_ = true;
          if (const int32_t e = take(whole, item)) return readError(e);
          break;
        }
        // The token, cut off as soon as it is longer than any number is written.
        token_.clear();
        while (c >= 0 && !endsToken(static_cast<char>(c))) {
          if (token_.size() == kMaxTokenLength) return readError(kErrSyntax);
          token_ += static_cast<char>(c);
          advance(u_);
          c = peekChar(u_, f);
        }
        if (f != Fetch::ok) return fail(f);
        separatorPending_ = true;
        if (const int32_t e = take(token_, item)) return readError(e);
        break;
      }
    }
    return ReadStatus::success;
  }

  // One formatted read of a 256-column field.
  ReadStatus line(std::string& field) {
    if (const Fetch f = nextRecord(u_); f != Fetch::ok) return fail(f);
    field.clear();
    Fetch f = Fetch::ok;
    for (int c; field.size() < kNameFieldWidth && (c = peekChar(u_, f)) >= 0; advance(u_))
      field += static_cast<char>(c);
    if (f != Fetch::ok) return fail(f);
    field.resize(kNameFieldWidth, ' ');
    return ReadStatus::success;
  }

 private:
  // The token at the read position when the buffer also holds the byte that ends it
  // (blank, comma, slash or line feed), within the token and record limits; empty
  // otherwise.
  std::string_view tokenInBuffer() const {
    const std::size_t from = u_.bufferPos;
    const std::size_t limit = std::min(u_.buffer.size(), from + kMaxTokenLength + 1);
    std::size_t at = from;
    while (at < limit) {
      const char c = u_.buffer[at];
      if (endsToken(c) || c == '\n') break;
      if (c == '\r') return {};
      ++at;
    }
    if (at == limit || at == from) return {};
    if (u_.recordBytes + (at - from) >= kMaxRecordLength) return {};
    return std::string_view(u_.buffer.data() + from, at - from);
  }

  // A value token, or a repeat r*c / r* whose first copy goes to `item`.
  int32_t take(std::string_view token, const ReadItem& item) {
    const std::size_t star = token.find('*');
    if (star == std::string_view::npos) return convert(token, item);
    uint64_t r = 0;
    if (star == 0) return kErrSyntax;
    for (std::size_t i = 0; i < star; ++i) {
      if (!isDigit(token[i])) return kErrSyntax;
      r = std::min<uint64_t>(r * 10 + static_cast<uint64_t>(token[i] - '0'), uint64_t{1} << 40);
    }
    if (r == 0) return kErrSyntax;
    repeatLeft_ = r - 1;
    repeatValue_.assign(token.substr(star + 1));
    repeatNull_ = repeatValue_.empty();
    if (repeatNull_) return 0;
    return convert(repeatValue_, item);
  }

  InputUnit& u_;
  unsigned handles_;
  bool separatorPending_ = false;
  uint64_t repeatLeft_ = 0;
  bool repeatNull_ = false;
  std::string repeatValue_;
  std::string token_;
};

}  // namespace

InputUnit& consoleInput() {
  return consoleUnit();
}

ReadStatus freeFormatRead(InputUnit& unit, std::span<const ReadItem> items, unsigned handles) {
  Statement s(unit, handles);
  return s.run(items);
}

ReadStatus formattedLineRead(InputUnit& unit, std::string& field, unsigned handles) {
  Statement s(unit, handles);
  return s.line(field);
}

constexpr std::ptrdiff_t kPlainTokenLength =
    64;  // far beyond a float's digits, far below kMaxTokenLength

std::size_t readPlainReals(InputUnit& u, float* out, std::size_t want) {
  // The console has its own record rules (an owed line feed, Ctrl-Z); the start of
  // an input may hold a byte-order mark. Both are left to the general reader.
  if (u.isConsole || u.atStart) return 0;
  const char* const data = u.buffer.data();
  const char* const end = data + u.buffer.size();
  const char* p = data + u.bufferPos;
  // The rest of the record the last read stopped in, as skipRecord discards it when
  // its line feed is in the buffer.
  if (u.inRecord) {
    const void* lf = std::memchr(p, '\n', static_cast<std::size_t>(end - p));
    if (!lf) return 0;
    p = static_cast<const char*>(lf) + 1;
    u.bufferPos = static_cast<std::size_t>(p - data);
    u.inRecord = false;
  }
  std::size_t got = 0;
  while (got < want) {
    while (p < end && isBlank(*p)) ++p;
    // A leading plus sign is read as the general route reads it: the value of the
    // digits after it.
    const char* from = p < end && *p == '+' ? p + 1 : p;
    if (from == end || !(isDigit(*from) || *from == '.' || *from == '-')) break;
    if (from != p && *from == '-') break;
    float value = 0.0f;
    const auto r = readFloat(from, end, value);
    // std::from_chars reads exactly the decimal forms the general route reads with
    // an exponent letter E (and "inf" and "nan", which are no zero or normal
    // value); both round the decimal value once, so a zero or normal result is the
    // general route's value. The token must end where a token ends.
    if (r.ec != std::errc() || !(std::isnormal(value) || value == 0.0f)) break;
    const char* const stop = r.ptr;
    if (stop == end || stop - p > kPlainTokenLength) break;
    const char c = *stop;
    const char* lf = stop;
    if (c != '\n') {
      if (c == '\r') {
        if (stop + 1 == end || stop[1] != '\n') break;
      } else if (!endsToken(c)) {
        break;
      }
      lf = static_cast<const char*>(std::memchr(stop, '\n', static_cast<std::size_t>(end - stop)));
      if (!lf) break;
    }
    out[got++] = value;
    ++u.records;
    p = lf + 1;
    u.bufferPos = static_cast<std::size_t>(p - data);
  }
  return got;
}

uint64_t recordNumber(const InputUnit& unit) {
  return unit.records;
}

int32_t lastReadError(const InputUnit& unit) {
  return unit.lastError;
}

bool inputPosition(const InputUnit& unit, InputPosition& at) {
  if (unit.isConsole || unit.fromMemory || unit.fd < 0) return false;
  // The device is past the buffer's end; the bytes not consumed yet are before it.
  const off_t device = ::lseek(unit.fd, 0, SEEK_CUR);
  if (device < 0) return false;
  at.offset = static_cast<uint64_t>(device) - (unit.buffer.size() - unit.bufferPos);
  at.records = unit.records;
  at.recordBytes = unit.recordBytes;
  at.inRecord = unit.inRecord;
  at.atStart = unit.atStart;
  return true;
}

bool setInputPosition(InputUnit& unit, const InputPosition& at) {
  if (unit.isConsole || unit.fromMemory || unit.fd < 0) return false;
  if (at.offset > static_cast<uint64_t>(INT64_MAX) ||
      ::lseek(unit.fd, static_cast<off_t>(at.offset), SEEK_SET) < 0)
    return false;
  unit.buffer.clear();
  unit.bufferPos = 0;
  unit.atEnd = false;
  unit.atStart = at.atStart != 0;
  unit.inRecord = at.inRecord != 0;
  unit.recordBytes = at.recordBytes;
  unit.records = at.records;
  unit.lastError = 0;
  return true;
}

namespace textio_internal {

void resetInputBuffers(InputUnit& u) {
  u.buffer.clear();
  u.bufferPos = 0;
  u.atEnd = false;
  u.atStart = true;
  u.inRecord = false;
  u.recordBytes = 0;
  u.memoryPos = 0;
  u.records = 0;
  u.lastError = 0;
}

void resetConsoleInput(int fd) {
  InputUnit& u = consoleUnit();
  resetInputBuffers(u);
  u.fromMemory = false;
  u.memory.clear();
  u.fd = fd;
}

void attachConsoleInput(std::string_view content) {
  InputUnit& u = consoleUnit();
  resetInputBuffers(u);
  u.fromMemory = true;
  u.memory.assign(content);
}

}  // namespace textio_internal
}  // namespace kelv
