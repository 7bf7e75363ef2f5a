// Text tables: columns of numbers separated by semicolons, commas, tabs or blanks,
// with an optional header line of names, comment lines and gaps.
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "formats/fields.hpp"
#include "formats/readers.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv {

namespace {

constexpr float kGap = std::numeric_limits<float>::quiet_NaN();

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimmed(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && (isBlank(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

char lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// A field as messages show it: control characters as '?', cut after 40 characters.
std::string shown(std::string_view field) {
  std::string s(field.substr(0, 40));
  for (char& c : s)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  if (field.size() > 40) s += "...";
  return "\"" + s + "\"";
}

// The words that mark a missing value.
bool isGapWord(std::string_view f) {
  using namespace std::string_view_literals;
  if (f.empty()) return true;
  if (f.front() == '+' || f.front() == '-') f.remove_prefix(1);
  for (std::string_view word : {"na"sv, "n/a"sv, "nan"sv, "inf"sv, "infinity"sv})
    if (equalsIgnoringCase(f, word)) return true;
  return false;
}

enum class FieldKind { number, gap, text };

// A number field, correctly rounded to a float; a value beyond the float range is a
// gap, one below the smallest float is 0.
FieldKind parseValue(std::string_view f, float& value) {
  // Most fields are plain decimals within the float range: a digit or point first,
  // after a minus sign at most, which no gap word has, read whole. Every other field,
  // and one of these that does not read whole or is not finite, takes the steps below.
  if (!f.empty()) {
    const char* end = f.data() + f.size();
    const char* lead = f.data() + (f.front() == '-' ? 1 : 0);
    if (lead < end && ((*lead >= '0' && *lead <= '9') || *lead == '.')) {
      const auto r = readFloat(f.data(), end, value);
      if (r.ptr == end && r.ec == std::errc() && std::isfinite(value)) return FieldKind::number;
    }
  }
  value = kGap;
  if (isGapWord(f)) return FieldKind::gap;
  std::string_view t = f;
  if (t.front() == '+') t.remove_prefix(1);  // from_chars takes no plus sign
  if (t.empty() || t.front() == '+' || (t.front() == '-' && t.size() > 1 && t[1] == '+'))
    return FieldKind::text;
  const char* end = t.data() + t.size();
  const auto r = readFloat(t.data(), end, value);
  if (r.ptr != end || (r.ec != std::errc() && r.ec != std::errc::result_out_of_range)) {
    value = kGap;
    return FieldKind::text;
  }
  if (r.ec == std::errc::result_out_of_range) {
    // Too large or too small for a float: which, the double (or failing that the
    // sign of the exponent) tells.
    double wide = 0.0;
    const auto w = std::from_chars(t.data(), end, wide, std::chars_format::general);
    bool tiny;
    if (w.ec == std::errc()) {
      tiny = std::fabs(wide) < 1.0;
    } else {
      const std::size_t e = t.find_first_of("eE");
      tiny = e != std::string_view::npos ? e + 1 < t.size() && t[e + 1] == '-'
                                         : t.find_first_not_of("-0.") == std::string_view::npos ||
                                               t.find_first_of("123456789") > t.find('.');
    }
    if (!tiny) {
      value = kGap;
      return FieldKind::gap;
    }
    value = static_cast<float>(t.front() == '-' ? -0.0 : 0.0);
    if (w.ec == std::errc()) value = static_cast<float>(wide);
    return FieldKind::number;
  }
  if (!std::isfinite(value)) {
    value = kGap;
    return FieldKind::gap;
  }
  return FieldKind::number;
}

// A time field: any finite double.
bool parseTime(std::string_view f, double& t) {
  if (!f.empty() && f.front() == '+') f.remove_prefix(1);
  if (f.empty() || f.front() == '+') return false;
  const char* end = f.data() + f.size();
  const auto r = std::from_chars(f.data(), end, t, std::chars_format::general);
  return r.ec == std::errc() && r.ptr == end && std::isfinite(t);
}

// The separator of the table: the first of ';', ',' and tab in its first line, or
// blank (runs of blanks and tabs) when it has none.
char separatorOf(std::string_view line) {
  for (char c : {';', ',', '\t'})
    if (line.find(c) != std::string_view::npos) return c;
  return ' ';
}

// Bit k (k = 0 .. 7) set where byte k of the eight at p is a blank: each byte compared
// at once with a blank and a tab (a byte is zero exactly when its low seven bits plus
// 0x7F stay below 0x80 and its high bit is clear), the eight high bits then gathered
// into one byte by a product whose terms land on distinct bits.
uint32_t blankBits(const char* p) {
  uint64_t x;
  std::memcpy(&x, p, sizeof x);
  if constexpr (std::endian::native == std::endian::big) x = __builtin_bswap64(x);
  constexpr uint64_t kOnes = 0x0101010101010101, kLow = 0x7F7F7F7F7F7F7F7F;
  const auto zeroBytes = [](uint64_t v) { return ~(((v & kLow) + kLow) | v | kLow); };
  const uint64_t high = zeroBytes(x ^ (kOnes * ' ')) | zeroBytes(x ^ (kOnes * '\t'));
  return static_cast<uint32_t>(((high >> 7) * 0x0102040810204080) >> 56);
}

}  // namespace

void splitFields(std::string_view line, char separator, std::vector<std::string_view>& fields) {
  fields.clear();
  if (separator == ' ') {
    // Fields begin and end where a byte's blankness differs from the one before it
    // (before the line: a blank; after it: blanks), eight bytes at a time.
    const std::size_t n = line.size();
    bool inField = false;
    std::size_t start = 0;
    uint32_t blankBefore = 1;
    for (std::size_t at = 0; at < n; at += 8) {
      char padded[8];
      const char* p = line.data() + at;
      if (n - at < 8) {
        std::memset(padded, ' ', sizeof padded);
        std::memcpy(padded, p, n - at);
        p = padded;
      }
      const uint32_t blank = blankBits(p);
      uint32_t edges = (blank ^ ((blank << 1) | blankBefore)) & 0xFF;
      blankBefore = blank >> 7;
      for (; edges != 0; edges &= edges - 1) {
        const std::size_t k = at + static_cast<std::size_t>(std::countr_zero(edges));
        if (inField)
          fields.push_back(line.substr(start, k - start));
        else
          start = k;
        inField = !inField;
      }
    }
    if (inField) fields.push_back(line.substr(start));
  } else {
    std::size_t from = 0;
    for (;;) {
      const std::size_t at = line.find(separator, from);
      fields.push_back(trimmed(line.substr(from, at == std::string_view::npos ? at : at - from)));
      if (at == std::string_view::npos) break;
      from = at + 1;
    }
  }
  for (std::string_view& f : fields)
    if (f.size() >= 2 && f.front() == '"' && f.back() == '"')
      f = trimmed(f.substr(1, f.size() - 2));
}

namespace {

std::string stemOf(const std::string& path) {
  std::string base = path.substr(path.find_last_of('/') + 1);
  const std::size_t dot = base.find_last_of('.');
  if (dot != std::string::npos && dot > 0) base.resize(dot);
  return base.empty() ? path : base;
}

// The column the option names, from 0: a name of the header (exactly, or else in
// any case when only one matches), or a number from 1.
std::size_t timeColumnIndex(const std::string& option, const std::vector<std::string>& header,
                            std::size_t columns, const std::string& name) {
  for (std::size_t c = 0; c < header.size(); ++c)
    if (header[c] == option) return c;
  std::size_t found = columns, matches = 0;
  for (std::size_t c = 0; c < header.size(); ++c)
    if (equalsIgnoringCase(header[c], option)) found = c, ++matches;
  if (matches == 1) return found;
  if (!option.empty() && option.find_first_not_of("0123456789") == std::string::npos) {
    std::size_t number = 0;
    const auto r = std::from_chars(option.data(), option.data() + option.size(), number);
    if (r.ec == std::errc() && number >= 1 && number <= columns) return number - 1;
    throw InputError(name, 0,
                     "no column " + option + " for the time: the table has " +
                         std::to_string(columns) + " columns");
  }
  if (header.empty())
    throw InputError(name, 0, "no column named " + shown(option) + " for the time: no header line");
  std::string names;
  for (const std::string& h : header) names += (names.empty() ? "" : ", ") + h;
  throw InputError(
      name, 0, "no column named " + shown(option) + " for the time (the columns: " + names + ")");
}

}  // namespace

bool skippedLine(std::string_view line) {
  const std::string_view t = trimmed(line);
  return t.empty() || t.front() == '#';
}

TextLines::TextLines(std::string_view text) : text_(text) {
  if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;  // a UTF-8 byte order mark
}

TextLines::TextLines(int fd, uint64_t offset, int64_t line, std::string name, uint64_t stop)
    : fd_(fd), name_(std::move(name)), base_(offset), stop_(stop), end_(false), number_(line - 1) {
  if (offset == 0) {
    while (buffer_.size() < 3 && fill()) {
    }
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
  }
}

bool TextLines::fill() {
  if (end_) return false;
  // Keep the line begun, drop what was given.
  buffer_.erase(0, pos_);
  base_ += pos_;
  pos_ = 0;
  constexpr std::size_t kBlock = std::size_t{1} << 20;
  const std::size_t had = buffer_.size();
  buffer_.resize(had + kBlock);
  ssize_t n;
  do n = ::pread(fd_, buffer_.data() + had, kBlock, static_cast<off_t>(base_ + had));
  while (n < 0 && errno == EINTR);
  if (n < 0)
    throw InputError(name_, 0, std::string("cannot be read: ") + std::strerror(errno),
                     InputError::Kind::readFailure);
  buffer_.resize(had + static_cast<std::size_t>(n));
  if (n == 0) end_ = true;
  text_ = buffer_;
  return n > 0;
}

bool TextLines::next(std::string_view& line) {
  if (base_ + pos_ >= stop_) return false;
  std::size_t end = text_.find('\n', pos_);
  while (end == std::string_view::npos && !end_) {
    const std::size_t searched = text_.size() - pos_;
    if (!fill()) break;
    end = text_.find('\n', pos_ + searched);
  }
  if (pos_ >= text_.size()) return false;
  line = text_.substr(pos_, end == std::string_view::npos ? end : end - pos_);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  lineOffset_ = base_ + pos_;
  pos_ = end == std::string_view::npos ? text_.size() : end + 1;
  ++number_;
  return true;
}

TableRows::TableRows(TextLines& lines, const std::string& name, const TableOptions& options)
    : lines_(lines), name_(name) {
  std::string_view line;
  bool any = false;
  while ((any = lines.next(line)) && skippedLine(line)) {
  }
  if (!any) throw InputError(name, 0, "no data: the file holds no line of numbers");

  layout_.separator = separatorOf(line);
  splitFields(line, layout_.separator, fields_);
  layout_.columns = fields_.size();
  for (std::string_view f : fields_) {
    float v;
    if (parseValue(f, v) == FieldKind::text) layout_.header = true;
  }
  if (layout_.header) {
    for (std::size_t c = 0; c < layout_.columns; ++c)
      layout_.names.push_back(fields_[c].empty() ? "column" + std::to_string(c + 1)
                                                 : std::string(fields_[c]));
  }
  layout_.timeColumn =
      options.timeColumn.empty()
          ? layout_.columns
          : timeColumnIndex(options.timeColumn, layout_.names, layout_.columns, name);
  if (layout_.channels() == 0)
    throw InputError(name, 0, "no column of numbers beside the time column");
  pending_ = !layout_.header;
  line_ = lines.number();
  offset_ = lines.offset();
}

TableRows::TableRows(TextLines& lines, const std::string& name, TableLayout layout)
    : lines_(lines), name_(name), layout_(std::move(layout)) {}

bool TableRows::next(float* values, double& time) {
  if (pending_) {
    pending_ = false;
  } else {
    std::string_view line;
    do
      if (!lines_.next(line)) return false;
    while (skippedLine(line));
    splitFields(line, layout_.separator, fields_);
    line_ = lines_.number();
    offset_ = lines_.offset();
  }
  const std::size_t columns = layout_.columns;
  if (fields_.size() < columns ||
      std::any_of(fields_.begin() + static_cast<std::ptrdiff_t>(columns), fields_.end(),
                  [](std::string_view f) { return !f.empty(); }))
    throw InputError(name_, line_,
                     std::to_string(fields_.size()) + " fields, where the table has " +
                         std::to_string(columns) + " columns");
  for (std::size_t c = 0; c < columns; ++c) {
    if (c == layout_.timeColumn) {
      if (!parseTime(fields_[c], time))
        throw InputError(name_, line_, "the time column holds " + shown(fields_[c]) + ", no time");
      continue;
    }
    if (parseValue(fields_[c], *values++) == FieldKind::text)
      throw InputError(name_, line_,
                       "column " + std::to_string(c + 1) +
                           (layout_.header ? " (" + layout_.names[c] + ")" : std::string()) + ": " +
                           shown(fields_[c]) + " is not a number");
  }
  return true;
}

Record tableRecord(const TableLayout& layout, const std::string& name, int64_t count) {
  Record record;
  record.source = name;
  record.count = count;
  const std::string stem = stemOf(name);
  for (std::size_t c = 0; c < layout.columns; ++c) {
    if (c == layout.timeColumn) continue;
    record.names.push_back(layout.header            ? layout.names[c]
                           : layout.channels() == 1 ? stem
                                                    : stem + "-" + std::to_string(c + 1));
  }
  return record;
}

void TimeMarks::add(double time, int64_t line) {
  if (n_ == 0) {
    first_ = time;
    firstLine_ = line;
  } else {
    if (!(time > last_) && badLine_ == 0) {
      badLine_ = line;
      badTime_ = time;
      badBefore_ = last_;
    }
    Step& s = steps_[time - last_];
    if (s.count++ == 0) {
      s.index = n_ - 1;
      s.line = line;
      s.previous = lastLine_;
    }
  }
  last_ = time;
  lastLine_ = line;
  ++n_;
}

void TimeMarks::append(const TimeMarks& next) {
  if (next.n_ == 0) return;
  if (n_ == 0) {
    *this = next;
    return;
  }
  const int64_t base = n_;  // the index of next's first row here
  // The step into next's first row, then next's own steps, whose first occurrences
  // come after every one here.
  add(next.first_, next.firstLine_);
  for (const auto& [step, s] : next.steps_) {
    Step& here = steps_[step];
    if (here.count == 0) {
      here.index = base + s.index;
      here.line = s.line;
      here.previous = s.previous;
    }
    here.count += s.count;
  }
  if (badLine_ == 0 && next.badLine_ != 0) {
    badLine_ = next.badLine_;
    badTime_ = next.badTime_;
    badBefore_ = next.badBefore_;
  }
  n_ = base + next.n_;
  last_ = next.last_;
  lastLine_ = next.lastLine_;
}

void TimeMarks::finish(const std::string& name, Record& record) const {
  if (badLine_ != 0)
    throw InputError(name, badLine_,
                     "the time column does not increase: " + shortestDouble(badTime_) + " after " +
                         shortestDouble(badBefore_));
  if (n_ < 2) throw InputError(name, 0, "a time column needs at least two lines of data");
  // The typical step: the one at position (n - 1) / 2 of the steps in order.
  const int64_t middle = (n_ - 1) / 2;
  double typical = 0.0;
  int64_t seen = 0;
  for (const auto& [step, s] : steps_)
    if ((seen += s.count) > middle) {
      typical = step;
      break;
    }
  int64_t irregular = 0;
  const std::pair<const double, Step>* first = nullptr;
  for (const auto& entry : steps_)
    if (std::fabs(entry.first - typical) > 0.01 * typical) {
      irregular += entry.second.count;
      if (!first || entry.second.index < first->second.index) first = &entry;
    }
  record.timed = true;
  record.start = first_;
  // A regular column's step is its mean, the least rounded; an irregular one's the
  // typical step, which its marks are then taken to follow.
  record.step = irregular == 0 ? (last_ - first_) / double(n_ - 1) : typical;
  if (irregular > 0)
    record.warnings.push_back(name + ":" + std::to_string(first->second.line) +
                              ": irregular time step: " + shortestDouble(first->first) +
                              " after line " + std::to_string(first->second.previous) +
                              ", where the step is " + shortestDouble(typical) + " (" +
                              std::to_string(irregular) +
                              (irregular == 1 ? " irregular step" : " irregular steps") +
                              "); the samples are taken as evenly spaced");
}

Record parseTextTable(std::string_view text, const std::string& name, const TableOptions& options) {
  TextLines lines(text);
  TableRows rows(lines, name, options);
  const TableLayout& layout = rows.layout();
  const std::size_t channels = layout.channels();
  std::vector<std::vector<float>> values(channels);
  std::vector<float> row(channels);
  TimeMarks marks;
  double time = 0.0;
  while (rows.next(row.data(), time)) {
    for (std::size_t c = 0; c < channels; ++c) values[c].push_back(row[c]);
    if (layout.timed()) marks.add(time, rows.line());
  }
  Record record = tableRecord(layout, name, static_cast<int64_t>(values[0].size()));
  if (record.count == 0) throw InputError(name, 0, "no data: the file holds no line of numbers");
  for (std::vector<float>& v : values) {
    record.data.insert(record.data.end(), v.begin(), v.end());
    v = {};
  }
  if (layout.timed()) marks.finish(name, record);
  return record;
}

}  // namespace kelv
