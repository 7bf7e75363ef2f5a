// Text tables as users have them, and records of several files side by side.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "formats/readers.hpp"
#include "kelvarodine/inputs.hpp"

namespace kelv {
namespace {

std::vector<float> channel(const Record& r, int j) {
  return {r.data.begin() + j * r.count, r.data.begin() + (j + 1) * r.count};
}

// The message of the InputError that parsing `text` throws ("" when none).
std::string errorOf(const std::string& text, const TableOptions& options = {}) {
  try {
    parseTextTable(text, "t.csv", options);
  } catch (const InputError& e) {
    return e.what();
  }
  return "";
}

// One table in every layout the reader takes: the separators, a header, comment
// and blank lines, CR LF line ends, a byte order mark, quoted fields and a
// trailing separator give the same channels.
TEST(TextTable, LayoutsGiveTheSameChannels) {
  const std::vector<std::string> layouts = {
      "a,b\n1.5,2\n-3,4e2\n0.25,-1\n",
      "\xEF\xBB\xBF# made by hand\r\na;b\r\n\r\n1.5;2\r\n-3 ; 4e2\r\n# more\r\n0.25;-1\r\n",
      "a\tb\n1.5\t2\n-3\t4e2\n0.25\t-1\n",
      "  a   b\n 1.5  2\n-3 \t 4e2\n0.25 -1   \n",
      "\"a\",\"b\"\n1.5,2,\n-3,4e2,\n+0.25,-1,\n",
  };
  for (const std::string& text : layouts) {
    SCOPED_TRACE(text);
    const Record r = parseTextTable(text, "t.csv");
    ASSERT_EQ(r.names, (std::vector<std::string>{"a", "b"}));
    ASSERT_EQ(r.count, 3);
    EXPECT_EQ(channel(r, 0), (std::vector<float>{1.5f, -3.0f, 0.25f}));
    EXPECT_EQ(channel(r, 1), (std::vector<float>{2.0f, 400.0f, -1.0f}));
    EXPECT_FALSE(r.timed);
  }
  // Without a header the channels are named after the file and the column.
  const Record plain = parseTextTable("1 2 3\n4 5 6\n", "dir/run.7.txt");
  EXPECT_EQ(plain.names, (std::vector<std::string>{"run.7-1", "run.7-2", "run.7-3"}));
  EXPECT_EQ(parseTextTable("1\n2\n", "dir/a.dat").names, std::vector<std::string>{"a"});
}

// Values are rounded once, from the decimal text to the float, as the dialogue's
// reader rounds them: through a double, this one would round to 1.0f (a tie),
// not up. Missing-value codes and values beyond the float range are gaps; values
// below the smallest float are 0.
TEST(TextTable, ValuesGapsAndRounding) {
  const Record r = parseTextTable(
      "x\n1.00000005960464477539062500001\nNA\nnan\n\ninf\n-Infinity\nN/A\n1e39\n9.99e99\n"
      "-3.5e38\n1e-400\n1e-50\n1e-40\n0.1\n",
      "t.csv");
  // The empty line is skipped, not a gap: a one-column table has no empty fields.
  ASSERT_EQ(r.count, 13);
  const std::vector<float> x = channel(r, 0);
  EXPECT_EQ(x[0], std::nextafter(1.0f, 2.0f));
  for (int k = 1; k <= 8; ++k) EXPECT_TRUE(std::isnan(x[k])) << k;
  EXPECT_EQ(x[9], 0.0f);
  EXPECT_EQ(x[10], 0.0f);
  EXPECT_EQ(x[11], 1e-40f);
  EXPECT_EQ(x[12], 0.1f);
  // An empty field between separators is a gap too.
  const Record two = parseTextTable("1,,3\n4,5,\n", "t.csv");
  EXPECT_TRUE(std::isnan(two.data[static_cast<std::size_t>(two.count)]));  // column 2, row 1
  EXPECT_TRUE(std::isnan(two.data[static_cast<std::size_t>(2 * two.count + 1)]));
}

// Fields that start like a plain decimal are read straight away; those that then do
// not read whole, or leave the float range, must still be what the reader makes of
// them: errors, gaps and zeros.
TEST(TextTable, FieldsThatStartAsDecimals) {
  const Record r =
      parseTextTable(".5\n-.5\n5.\n-0\n1e5\n3.4028235e38\n3.4028236e38\n-1e-46\n", "t.csv");
  ASSERT_EQ(r.count, 8);
  const std::vector<float> x = channel(r, 0);
  EXPECT_EQ(x[0], 0.5f);
  EXPECT_EQ(x[1], -0.5f);
  EXPECT_EQ(x[2], 5.0f);
  EXPECT_TRUE(x[3] == 0.0f && std::signbit(x[3]));
  EXPECT_EQ(x[4], 1e5f);
  EXPECT_EQ(x[5], 3.4028235e38f);
  EXPECT_TRUE(std::isnan(x[6]));
  EXPECT_TRUE(x[7] == 0.0f && std::signbit(x[7]));
  for (const char* field : {".", "-", "1.5x", "1e", "0x1p3", "-.e1"})
    EXPECT_NE(errorOf(std::string("1\n") + field + "\n"), "") << field;
}

// Blank-separated fields are found eight bytes at a time: every run of blanks and
// tabs, at any place against those eight-byte steps, must split a line as a byte by
// byte scan does.
TEST(TextTable, BlankSeparatedFieldsAtEveryOffset) {
  const auto byteByByte = [](std::string_view line) {
    std::vector<std::string_view> fields;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    for (std::size_t i = 0; i < line.size();) {
      while (i < line.size() && blank(line[i])) ++i;
      if (i == line.size()) break;
      const std::size_t from = i;
      while (i < line.size() && !blank(line[i])) ++i;
      fields.push_back(line.substr(from, i - from));
    }
    return fields;
  };
  std::mt19937 rng(5);
  const std::string alphabet = {' ', ' ', '\t',   '\t',   '1',  '.',
                                '-', 'e', '\x80', '\xFF', '\0', 'a'};
  std::vector<std::string_view> fields;
  for (int trial = 0; trial < 20000; ++trial) {
    std::string line(rng() % 40, ' ');
    for (char& c : line) c = alphabet[rng() % alphabet.size()];
    splitFields(line, ' ', fields);
    EXPECT_EQ(fields, byteByByte(line)) << "\"" << line << "\"";
    if (HasFailure()) break;
  }
}

// Time marks taken in pieces and appended give what one pass gives: the step, the
// start and the warning naming the first stray step, or the error naming the first
// mark that does not increase, whatever the cuts.
TEST(TimeMarks, AppendedPiecesAreOnePass) {
  const auto outcome = [](const std::vector<TimeMarks>& pieces) {
    TimeMarks all;
    for (const TimeMarks& p : pieces) all.append(p);
    Record r;
    try {
      all.finish("t", r);
    } catch (const InputError& e) {
      return std::string(e.what());
    }
    std::string text = std::to_string(r.start) + " " + std::to_string(r.step);
    for (const std::string& w : r.warnings) text += " | " + w;
    return text;
  };
  std::mt19937 rng(8);
  const double steps[] = {0.5, 0.5, 0.5, 0.5, 0.75, 1.0, 0.5, -0.25};
  for (int trial = 0; trial < 300; ++trial) {
    const int n = 2 + static_cast<int>(rng() % 40);
    std::vector<double> t = {100.0};
    for (int i = 1; i < n; ++i) t.push_back(t.back() + steps[rng() % (trial % 3 == 0 ? 8 : 7)]);
    const auto piece = [&](int from, int to) {
      TimeMarks m;
      for (int i = from; i < to; ++i) m.add(t[std::size_t(i)], 10 + 2 * i);
      return m;
    };
    const std::string want = outcome({piece(0, n)});
    for (int a = 0; a <= n; ++a) {
      const int b = a + static_cast<int>(rng() % static_cast<unsigned>(n - a + 1));
      EXPECT_EQ(outcome({piece(0, a), piece(a, b), piece(b, n)}), want)
          << "trial " << trial << " cuts " << a << ", " << b;
    }
  }
}

// What cannot be taken names the file, the line and the reason.
TEST(TextTable, ErrorsNameFileLineAndReason) {
  EXPECT_EQ(errorOf("a,b\n1,2\n3,x7\n"), "t.csv:3: column 2 (b): \"x7\" is not a number");
  EXPECT_EQ(errorOf("1 2\n3 4\n5\n"), "t.csv:3: 1 fields, where the table has 2 columns");
  EXPECT_EQ(errorOf("1,2\n3,4,5\n"), "t.csv:2: 3 fields, where the table has 2 columns");
  EXPECT_EQ(errorOf("# nothing\n\n"), "t.csv: no data: the file holds no line of numbers");
  EXPECT_EQ(errorOf("a,b\n"), "t.csv: no data: the file holds no line of numbers");
  EXPECT_EQ(errorOf("1\n2\n--5\n"), "t.csv:3: column 1: \"--5\" is not a number");
  try {
    parseTextTable("a\n\x1b[2J\n", "t.csv");
    FAIL();
  } catch (const InputError& e) {
    EXPECT_EQ(e.file(), "t.csv");
    EXPECT_EQ(e.line(), 2);
    EXPECT_EQ(e.kind(), InputError::Kind::content);
    EXPECT_EQ(e.reason(), "column 1 (a): \"?[2J\" is not a number");  // no raw escape
  }
}

TEST(TextTable, TimeColumn) {
  const std::string text = "Time,x,y\n10,1,2\n10.5,3,4\n11,5,6\n11.5,7,8\n";
  for (const char* column : {"Time", "time", "1"}) {
    const Record r = parseTextTable(text, "t.csv", {column});
    EXPECT_EQ(r.names, (std::vector<std::string>{"x", "y"})) << column;
    EXPECT_TRUE(r.timed);
    EXPECT_EQ(r.start, 10.0);
    EXPECT_EQ(r.step, 0.5);
    EXPECT_TRUE(r.warnings.empty());
  }
  // A missing line: reported with where, and the typical step kept.
  const Record gap = parseTextTable("t x y\n0 1 2\n1 1 2\n2 1 2\n4 1 2\n5 1 2\n", "t.csv", {"t"});
  EXPECT_EQ(gap.step, 1.0);
  ASSERT_EQ(gap.warnings.size(), 1u);
  EXPECT_EQ(gap.warnings[0],
            "t.csv:5: irregular time step: 2 after line 4, where the step is 1 (1 irregular step); "
            "the samples are taken as evenly spaced");

  EXPECT_EQ(errorOf("t,x\n1,2\n3,4\n3,5\n", {"t"}),
            "t.csv:4: the time column does not increase: 3 after 3");
  EXPECT_EQ(errorOf("t,x\n1,2\nNA,4\n", {"t"}), "t.csv:3: the time column holds \"NA\", no time");
  EXPECT_EQ(errorOf(text, {"when"}),
            "t.csv: no column named \"when\" for the time (the columns: Time, x, y)");
  EXPECT_EQ(errorOf(text, {"4"}), "t.csv: no column 4 for the time: the table has 3 columns");
  EXPECT_EQ(errorOf("t\n1\n2\n", {"t"}), "t.csv: no column of numbers beside the time column");
  EXPECT_EQ(errorOf("1 2\n3 4\n", {"t"}),
            "t.csv: no column named \"t\" for the time: no header line");
}

Record timed(const std::string& source, double start, double step, std::vector<float> values) {
  Record r;
  r.source = source;
  r.names = {source};
  r.count = static_cast<int64_t>(values.size());
  r.data = std::move(values);
  r.timed = true;
  r.start = start;
  r.step = step;
  return r;
}

std::string alignError(std::vector<Record> records) {
  try {
    alignRecords(std::move(records));
  } catch (const InputError& e) {
    return e.what();
  }
  return "";
}

TEST(AlignRecords, TimeMarksSampleCountsAndNames) {
  // Aligned on the span both cover: 10.2 .. 10.4.
  const Record both = alignRecords(
      {timed("a", 10.0, 0.1, {1, 2, 3, 4, 5}), timed("b", 10.2, 0.1, {6, 7, 8, 9, 10, 11})});
  EXPECT_EQ(both.count, 3);
  EXPECT_EQ(both.start, 10.2);
  EXPECT_EQ(both.data, (std::vector<float>{3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(both.source, "a, b");

  // Without time marks: from the first sample, the shortest length; names kept
  // distinct.
  Record x = parseTextTable("v\n1\n2\n3\n", "x.txt");
  Record y = parseTextTable("v w\n4 5\n6 7\n", "y.txt");
  const Record plain = alignRecords({x, y});
  EXPECT_EQ(plain.count, 2);
  EXPECT_EQ(plain.names, (std::vector<std::string>{"v", "v-2", "w"}));
  EXPECT_EQ(plain.data, (std::vector<float>{1, 2, 4, 6, 5, 7}));

  EXPECT_EQ(alignError({timed("a", 0, 0.01, {1, 2}), timed("b", 0, 0.02, {1, 2})}),
            "b: its time step 0.02 differs from the step 0.01 of a; every input must have the same "
            "sample rate");
  EXPECT_EQ(alignError({timed("a", 0, 1, {1, 2}), timed("b", 5, 1, {1, 2})}),
            "b: the inputs share no time span (a from 0 to 1, b from 5 to 6)");
  EXPECT_EQ(alignError({timed("a", 0, 1, {1, 2}), x}),
            "x.txt: has no time marks while a has; inputs are aligned by time only when every "
            "one has time marks (give text tables a time column, or give none)");
}

TEST(RecordFile, UnreadableFilesAreNamedWithTheirKind) {
  try {
    readRecordFile("/nonexistent/dir/a.csv");
    FAIL();
  } catch (const InputError& e) {
    EXPECT_EQ(e.kind(), InputError::Kind::notFound);
    EXPECT_STREQ(e.what(), "/nonexistent/dir/a.csv: no such file");
  }
  try {
    readRecordFile("/");
    FAIL();
  } catch (const InputError& e) {
    EXPECT_EQ(e.kind(), InputError::Kind::openFailure);
    EXPECT_STREQ(e.what(), "/: is a directory");
  }
}

}  // namespace
}  // namespace kelv
