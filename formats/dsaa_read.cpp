// Reading of ASCII "DSAA" grid files, streamed so that a large grid never needs its
// whole text in memory. Tokens are separated by blanks, tabs and line ends (CR LF, LF
// or CR), any number of them to a line, so that grids written by other programs are
// read too.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <string>

#include "kelvarodine/dsaa.hpp"

namespace kelv {
namespace {

// Longest token text kept; a longer token is no number, and is not read further:
// input without blanks (/dev/zero) must not be read for ever.
constexpr size_t kTokenKeep = 256;
// Longest token text shown in a message.
constexpr size_t kTokenShow = 48;

// Splits a character stream into blank-separated tokens and counts lines, taking CR LF,
// a lone LF and a lone CR each as one line end.
class Tokenizer {
 public:
  // `fill` puts up to `size` characters into `buf` and returns how many (0: the end).
  using Fill = std::function<size_t(char* buf, size_t size)>;
  explicit Tokenizer(Fill fill) : fill_(std::move(fill)) {}

  // The next token into `text` (cut to kTokenKeep characters, `truncated` set when
  // cut) and the line it starts on; false at the end of the stream.
  bool next(std::string& text, bool& truncated, int64_t& line) {
    text.clear();
    truncated = false;
    int c;
    while ((c = get()) >= 0 && isBlank(c)) countLineEnd(c);
    if (c < 0) return false;
    line = line_;
    do {
      if (text.size() == kTokenKeep) {
        truncated = true;
        return true;
      }
      text.push_back(char(c));
      afterCR_ = false;
    } while ((c = get()) >= 0 && !isBlank(c));
    if (c >= 0) countLineEnd(c);
    return true;
  }

 private:
  static bool isBlank(int c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
  }
  void countLineEnd(int c) {
    if (c == '\r') {
      ++line_;
      afterCR_ = true;
    } else if (c == '\n') {
      if (!afterCR_) ++line_;
      afterCR_ = false;
    } else {
      afterCR_ = false;
    }
  }
  int get() {
    if (pos_ == end_) {
      if (atEnd_) return -1;
      end_ = fill_(buf_.get(), kBufSize);
      pos_ = 0;
      if (end_ == 0) {
        atEnd_ = true;
        return -1;
      }
    }
    return static_cast<unsigned char>(buf_[pos_++]);
  }

  static constexpr size_t kBufSize = 1 << 16;
  Fill fill_;
  std::unique_ptr<char[]> buf_ = std::make_unique<char[]>(kBufSize);
  size_t pos_ = 0, end_ = 0;
  bool atEnd_ = false;
  bool afterCR_ = false;
  int64_t line_ = 1;
};

// A token as it appears in a message: quoted, bytes outside printable ASCII escaped.
std::string quoted(const std::string& text, bool truncated) {
  std::string s = "\"";
  if (text.size() > kTokenShow) truncated = true;
  for (unsigned char c : text.substr(0, kTokenShow)) {
    if (c >= 0x20 && c < 0x7f && c != '"' && c != '\\') {
      s.push_back(char(c));
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02X", c);
      s += esc;
    }
  }
  if (truncated) s += "...";
  return s + "\"";
}

enum class NumberStatus { ok, notANumber, outOfRange };

// A real number in the usual decimal notations: an optional sign ("+" too), digits with
// an optional point, an optional exponent (E or the D of some older writers); also
// "inf" and "nan".
NumberStatus parseReal(const std::string& text, double& value) {
  std::string t = text;
  size_t start = 0;
  if (!t.empty() && t[0] == '+') start = 1;
  if (start == 1 && t.size() > 1 && t[1] == '-') return NumberStatus::notANumber;  // "+-1"
  for (char& c : t) {
    if (c == 'd' || c == 'D') c = 'E';
  }
  const char* first = t.data() + start;
  const char* last = t.data() + t.size();
  if (first == last) return NumberStatus::notANumber;
  const auto r = std::from_chars(first, last, value, std::chars_format::general);
  if (r.ec == std::errc::result_out_of_range && r.ptr == last) return NumberStatus::outOfRange;
  if (r.ec != std::errc() || r.ptr != last) return NumberStatus::notANumber;
  return NumberStatus::ok;
}

class GridReader {
 public:
  GridReader(Tokenizer& tokens, const std::string& name) : tokens_(tokens), name_(name) {}

  DsaaGrid read() {
    DsaaGrid g;
    if (!nextToken())
      fail(1, "expected \"DSAA\", found the end of the file (not a DSAA grid file)");
    std::string first = tok_;
    if (first.size() >= 3 && first.compare(0, 3, "\xEF\xBB\xBF") == 0) first.erase(0, 3);
    if (first != "DSAA" || truncated_) {
      fail(line_,
           "expected \"DSAA\", found " + quoted(first, truncated_) + " (not a DSAA grid file)");
    }
    g.nx = readCount("the number of x nodes");
    const int64_t countLine = line_;
    g.ny = readCount("the number of y nodes");
    if (g.nx <= 0 || g.ny <= 0) {
      fail(countLine, "expected positive node counts, found " + std::to_string(g.nx) + " x " +
                          std::to_string(g.ny));
    }
    g.xMin = readFiniteHeader("xMin");
    g.xMax = readFiniteHeader("xMax");
    g.yMin = readFiniteHeader("yMin");
    g.yMax = readFiniteHeader("yMax");
    g.zMin = readHeader("zMin");
    g.zMax = readHeader("zMax");

    const int64_t expected = int64_t(g.nx) * g.ny;
    g.z.reserve(size_t(std::min<int64_t>(expected, int64_t(1) << 22)));
    int64_t found = 0;
    int64_t surplusLine = 0;
    int64_t lastLine = line_;
    while (nextToken()) {
      const double v = readNumber();
      lastLine = line_;
      ++found;
      if (found <= expected) {
        const bool blank = !std::isfinite(v) || v >= kDsaaBlankText;
        // Large positive values are the blanking value; a large negative one is no
        // value a float can hold, and would otherwise become -infinity here.
        if (!blank && v < -double(std::numeric_limits<float>::max()))
          fail(line_, quoted(tok_, truncated_) + " is out of range");
        g.z.push_back(blank ? NAN : static_cast<float>(v));
      } else if (surplusLine == 0) {
        surplusLine = line_;
      }
    }
    if (found != expected) {
      fail(found < expected ? lastLine : surplusLine,
           "expected " + std::to_string(expected) + " values for a " + std::to_string(g.nx) +
               " x " + std::to_string(g.ny) + " grid, found " + std::to_string(found));
    }
    return g;
  }

 private:
  bool nextToken() { return tokens_.next(tok_, truncated_, line_); }

  [[noreturn]] void fail(int64_t line, const std::string& what) const {
    throw DsaaError(name_ + ": line " + std::to_string(line) + ": " + what);
  }

  void expectToken(const char* what) {
    if (!nextToken()) fail(line_, std::string("expected ") + what + ", found the end of the file");
  }

  double readNumber() {
    double v = 0;
    switch (truncated_ ? NumberStatus::notANumber : parseReal(tok_, v)) {
      case NumberStatus::ok:
        return v;
      case NumberStatus::outOfRange:
        fail(line_, quoted(tok_, truncated_) + " is out of range");
      case NumberStatus::notANumber:
        break;
    }
    fail(line_, quoted(tok_, truncated_) + " is not a number");
  }

  int32_t readCount(const char* what) {
    expectToken(what);
    int64_t v = 0;
    const char* first = tok_.data() + (!tok_.empty() && tok_[0] == '+' ? 1 : 0);
    const char* last = tok_.data() + tok_.size();
    const auto r = std::from_chars(first, last, v);
    if (r.ec == std::errc() && r.ptr == last && !truncated_ && first != last) {
      if (v > INT32_MAX) fail(line_, std::string(what) + " " + tok_ + " is too large");
      if (v < INT32_MIN) v = INT32_MIN;
      return int32_t(v);
    }
    readNumber();  // reports a token that is no number at all
    fail(line_,
         std::string("expected ") + what + " as a whole number, found " + quoted(tok_, truncated_));
  }

  double readHeader(const char* what) {
    expectToken(what);
    return readNumber();
  }

  double readFiniteHeader(const char* what) {
    const double v = readHeader(what);
    if (!std::isfinite(v)) {
      fail(line_, std::string("expected a finite ") + what + ", found " + quoted(tok_, truncated_));
    }
    return v;
  }

  Tokenizer& tokens_;
  const std::string& name_;
  std::string tok_;
  bool truncated_ = false;
  int64_t line_ = 1;
};

}  // namespace

DsaaGrid parseDsaa(std::string_view text, const std::string& name) {
  bool given = false;
  Tokenizer tokens([&](char* buf, size_t size) -> size_t {
    if (given) return 0;
    // Hand the text over in buffer-sized pieces.
    const size_t n = std::min(size, text.size());
    std::memcpy(buf, text.data(), n);
    text.remove_prefix(n);
    given = text.empty();
    return n;
  });
  return GridReader(tokens, name).read();
}

DsaaGrid readDsaa(int fd, const std::string& name) {
  Tokenizer tokens([&](char* buf, size_t size) -> size_t {
    for (;;) {
      const ssize_t n = ::read(fd, buf, size);
      if (n >= 0) return size_t(n);
      if (errno != EINTR) throw DsaaError("cannot read " + name + ": " + std::strerror(errno));
    }
  });
  return GridReader(tokens, name).read();
}

DsaaGrid readDsaa(const std::string& path) {
  int fd;
  do fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  while (fd < 0 && errno == EINTR);
  if (fd < 0) throw DsaaError("cannot open " + path + ": " + std::strerror(errno));
  const struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  return readDsaa(fd, path);
}

}  // namespace kelv
