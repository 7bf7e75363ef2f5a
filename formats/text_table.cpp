// Text tables: columns of numbers separated by semicolons, commas, tabs or blanks,
// with an optional header line of names, comment lines and gaps.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <vector>

#include "formats/fields.hpp"
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
  if (f.empty()) return true;
  if (f.front() == '+' || f.front() == '-') f.remove_prefix(1);
  for (std::string_view word : {"na", "n/a", "nan", "inf", "infinity"})
    if (equalsIgnoringCase(f, word)) return true;
  return false;
}

enum class FieldKind { number, gap, text };

// A number field, correctly rounded to a float; a value beyond the float range is a
// gap, one below the smallest float is 0.
FieldKind parseValue(std::string_view f, float& value) {
  value = kGap;
  if (isGapWord(f)) return FieldKind::gap;
  std::string_view t = f;
  if (t.front() == '+') t.remove_prefix(1);  // from_chars takes no plus sign
  if (t.empty() || t.front() == '+' || (t.front() == '-' && t.size() > 1 && t[1] == '+'))
    return FieldKind::text;
  const char* end = t.data() + t.size();
  const auto r = std::from_chars(t.data(), end, value, std::chars_format::general);
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

void splitFields(std::string_view line, char separator, std::vector<std::string_view>& fields) {
  fields.clear();
  if (separator == ' ') {
    std::size_t i = 0;
    while (i < line.size()) {
      while (i < line.size() && isBlank(line[i])) ++i;
      if (i == line.size()) break;
      const std::size_t from = i;
      while (i < line.size() && !isBlank(line[i])) ++i;
      fields.push_back(line.substr(from, i - from));
    }
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

// The lines of a text: numbered from 1, line ends (LF or CR LF) removed.
class Lines {
 public:
  explicit Lines(std::string_view text) : text_(text) {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") text_.remove_prefix(3);  // a UTF-8 byte order mark
  }
  bool next(std::string_view& line) {
    if (pos_ >= text_.size()) return false;
    const std::size_t end = text_.find('\n', pos_);
    line = text_.substr(pos_, end == std::string_view::npos ? end : end - pos_);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    pos_ = end == std::string_view::npos ? text_.size() : end + 1;
    ++number_;
    return true;
  }
  int64_t number() const { return number_; }

 private:
  std::string_view text_;
  std::size_t pos_ = 0;
  int64_t number_ = 0;
};

bool skipped(std::string_view line) {
  const std::string_view t = trimmed(line);
  return t.empty() || t.front() == '#';
}

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

// The time marks of the rows: increasing, and their step. A step that strays from
// the typical one (the median) by more than 1 % is a warning naming the first.
void takeTimeMarks(const std::vector<double>& times, const std::vector<int64_t>& rowLines,
                   const std::string& name, Record& record) {
  const std::size_t n = times.size();
  for (std::size_t k = 1; k < n; ++k)
    if (!(times[k] > times[k - 1]))
      throw InputError(name, rowLines[k],
                       "the time column does not increase: " + shortestDouble(times[k]) +
                           " after " + shortestDouble(times[k - 1]));
  if (n < 2) throw InputError(name, 0, "a time column needs at least two lines of data");
  std::vector<double> steps(n - 1);
  for (std::size_t k = 1; k < n; ++k) steps[k - 1] = times[k] - times[k - 1];
  std::vector<double> sorted = steps;
  std::nth_element(sorted.begin(), sorted.begin() + (n - 1) / 2, sorted.end());
  const double typical = sorted[(n - 1) / 2];
  int64_t irregular = 0;
  std::size_t firstIrregular = 0;
  for (std::size_t k = 0; k + 1 < n; ++k)
    if (std::fabs(steps[k] - typical) > 0.01 * typical && irregular++ == 0) firstIrregular = k + 1;
  record.timed = true;
  record.start = times[0];
  // A regular column's step is its mean, the least rounded; an irregular one's the
  // typical step, which its marks are then taken to follow.
  record.step = irregular == 0 ? (times[n - 1] - times[0]) / double(n - 1) : typical;
  if (irregular > 0)
    record.warnings.push_back(
        name + ":" + std::to_string(rowLines[firstIrregular]) +
        ": irregular time step: " + shortestDouble(steps[firstIrregular - 1]) + " after line " +
        std::to_string(rowLines[firstIrregular - 1]) + ", where the step is " +
        shortestDouble(typical) + " (" + std::to_string(irregular) +
        (irregular == 1 ? " irregular step" : " irregular steps") +
        "); the samples are taken as evenly spaced");
}

}  // namespace

Record parseTextTable(std::string_view text, const std::string& name, const TableOptions& options) {
  Lines lines(text);
  std::string_view line;
  bool any = false;
  while ((any = lines.next(line)) && skipped(line)) {
  }
  if (!any) throw InputError(name, 0, "no data: the file holds no line of numbers");

  const char separator = separatorOf(line);
  std::vector<std::string_view> fields;
  splitFields(line, separator, fields);
  const std::size_t columns = fields.size();
  bool header = false;
  for (std::string_view f : fields) {
    float v;
    if (parseValue(f, v) == FieldKind::text) header = true;
  }
  std::vector<std::string> names;
  if (header) {
    for (std::size_t c = 0; c < columns; ++c)
      names.push_back(fields[c].empty() ? "column" + std::to_string(c + 1)
                                        : std::string(fields[c]));
  }
  const std::size_t timeColumn = options.timeColumn.empty()
                                     ? columns
                                     : timeColumnIndex(options.timeColumn, names, columns, name);
  if (columns - (timeColumn < columns ? 1 : 0) == 0)
    throw InputError(name, 0, "no column of numbers beside the time column");

  std::vector<std::vector<float>> values(columns);
  std::vector<double> times;
  std::vector<int64_t> rowLines;
  const auto takeRow = [&](int64_t number) {
    if (fields.size() < columns ||
        std::any_of(fields.begin() + static_cast<std::ptrdiff_t>(columns), fields.end(),
                    [](std::string_view f) { return !f.empty(); }))
      throw InputError(name, number,
                       std::to_string(fields.size()) + " fields, where the table has " +
                           std::to_string(columns) + " columns");
    for (std::size_t c = 0; c < columns; ++c) {
      if (c == timeColumn) {
        double t = 0.0;
        if (!parseTime(fields[c], t))
          throw InputError(name, number, "the time column holds " + shown(fields[c]) + ", no time");
        times.push_back(t);
        continue;
      }
      float v;
      if (parseValue(fields[c], v) == FieldKind::text)
        throw InputError(name, number,
                         "column " + std::to_string(c + 1) +
                             (header ? " (" + names[c] + ")" : std::string()) + ": " +
                             shown(fields[c]) + " is not a number");
      values[c].push_back(v);
    }
    if (timeColumn < columns) rowLines.push_back(number);
  };
  if (!header) takeRow(lines.number());
  while (lines.next(line)) {
    if (skipped(line)) continue;
    splitFields(line, separator, fields);
    takeRow(lines.number());
  }

  Record record;
  record.source = name;
  record.count = static_cast<int64_t>(values[timeColumn == 0 ? 1 : 0].size());
  if (record.count == 0) throw InputError(name, 0, "no data: the file holds no line of numbers");
  const std::string stem = stemOf(name);
  const std::size_t channels = columns - (timeColumn < columns ? 1 : 0);
  for (std::size_t c = 0; c < columns; ++c) {
    if (c == timeColumn) continue;
    record.names.push_back(header          ? names[c]
                           : channels == 1 ? stem
                                           : stem + "-" + std::to_string(c + 1));
    record.data.insert(record.data.end(), values[c].begin(), values[c].end());
    values[c] = {};
  }
  if (timeColumn < columns) takeTimeMarks(times, rowLines, name, record);
  return record;
}

}  // namespace kelv
