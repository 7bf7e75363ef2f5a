// The free-format and 256-column reader: records, tokens, values, statuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>
#include <ostream>
#include <random>
#include <vector>

#include "textio_support.hpp"

namespace kelv {
namespace {

using textio_internal::attachConsoleInput;
using textio_internal::attachFileInput;

constexpr float kKept = -777.0f;
constexpr int32_t kKeptInt = -777;

struct FloatCase {
  const char* input;
  ReadStatus status;
  float value;
};

TEST(FreeFormatRead, OneRealItem) {
  const float tiny = std::numeric_limits<float>::denorm_min();
  const FloatCase cases[] = {
      {"3\n", ReadStatus::success, 3.0f},
      {"-0.25", ReadStatus::success, -0.25f},
      {"1.5E-3", ReadStatus::success, 1.5e-3f},
      {"2d0", ReadStatus::success, 2.0f},
      {"1e+5", ReadStatus::success, 1e5f},
      {"1Q2", ReadStatus::success, 100.0f},
      {".5", ReadStatus::success, 0.5f},
      {"5.", ReadStatus::success, 5.0f},
      {"+7", ReadStatus::success, 7.0f},
      {"0.1", ReadStatus::success, 0.1f},
      {"16777217", ReadStatus::success, 16777216.0f},  // nearest float, tie to even
      {"1.0+5", ReadStatus::success, 1e5f},            // a signed exponent without a letter
      {"1-5", ReadStatus::success, 1e-5f},
      {"1e-46", ReadStatus::success, 0.0f},  // underflow is no error
      {"-1e-50", ReadStatus::success, -0.0f},
      {"1.4e-45", ReadStatus::success, tiny},
      {"0e999999999999", ReadStatus::success, 0.0f},
      {"1e-99999999999999999999", ReadStatus::success, 0.0f},
      {"0.00001e6", ReadStatus::success, 10.0f},
      {"3.4028235e38", ReadStatus::success, std::numeric_limits<float>::max()},
      {" \t 7 abc", ReadStatus::success, 7.0f},
      {"5.5 6.6", ReadStatus::success, 5.5f},
      {"5.5,6.6", ReadStatus::success, 5.5f},
      {"\n\n  \n\t\n7\n", ReadStatus::success, 7.0f},
      {"7\r\n", ReadStatus::success, 7.0f},
      {"7\r", ReadStatus::success, 7.0f},
      {"/", ReadStatus::success, kKept},
      {"  / 5", ReadStatus::success, kKept},
      {",", ReadStatus::success, kKept},
      {"2*", ReadStatus::success, kKept},
      {"2*4.5", ReadStatus::success, 4.5f},
      {"", ReadStatus::endOfFile, kKept},
      {"\n\n \r\n", ReadStatus::endOfFile, kKept},
      // Out of the float range: a conversion error.
      {"1e99", ReadStatus::readError, kKept},
      {"-1e99", ReadStatus::readError, kKept},
      {"3.5e38", ReadStatus::readError, kKept},
      {"1e99999999999999999999", ReadStatus::readError, kKept},
      // Malformed tokens.
      {"abc", ReadStatus::readError, kKept},
      {"1..2", ReadStatus::readError, kKept},
      {"1e2e3", ReadStatus::readError, kKept},
      {"--1", ReadStatus::readError, kKept},
      {"+", ReadStatus::readError, kKept},
      {"-", ReadStatus::readError, kKept},
      {".", ReadStatus::readError, kKept},
      {"e5", ReadStatus::readError, kKept},
      {"1e", ReadStatus::readError, kKept},
      {"1e+", ReadStatus::readError, kKept},
      {"1+-5", ReadStatus::readError, kKept},
      {"1.5.", ReadStatus::readError, kKept},
      {"12a", ReadStatus::readError, kKept},
      {"nan", ReadStatus::readError, kKept},
      {"inf", ReadStatus::readError, kKept},
      {"0x10", ReadStatus::readError, kKept},
      {"1\r2", ReadStatus::readError, kKept},
      {"*5", ReadStatus::readError, kKept},
      {"0*5", ReadStatus::readError, kKept},
      {"a*5", ReadStatus::readError, kKept},
      {"2*x", ReadStatus::readError, kKept},
  };
  for (const auto& c : cases) {
    attachFileInput("a.dat", c.input);
    float v = kKept;
    EXPECT_EQ(freeFormatRead(fileInput(), {item(v)}, kHandleBoth), c.status)
        << '"' << c.input << '"';
    EXPECT_EQ(std::bit_cast<uint32_t>(v), std::bit_cast<uint32_t>(c.value))
        << '"' << c.input << '"';
  }
  closeFile();
}

// Short plain tokens are converted straight from their text, others (exponent
// letters D and Q, plus signs, long or far exponents, tokens split by the buffer) by
// the general route: both must give the same value for the same number.
TEST(FreeFormatRead, EveryWayOfWritingANumberGivesTheSameValue) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-44, 37);  // |value| < 1e38
  std::string plain, lettered;
  std::vector<double> expected;
  for (int i = 0; i < 20000; ++i) {
    char a[64], b[64];
    const double m = mantissa(rng);
    const int e = exponent(rng);
    std::snprintf(a, sizeof a, "%.*fe%d", i % 12, m, e);
    std::snprintf(b, sizeof b, "%.*fD+%d", i % 12, m, e);
    plain += a;
    plain += i % 3 == 0 ? "\n" : (i % 3 == 1 ? " 9\n" : "\r\n");
    lettered += b;
    lettered += '\n';
    if (e < 0) lettered.replace(lettered.rfind("+-"), 2, "-");
  }
  std::vector<float> fromPlain, fromLettered;
  for (auto [text, out] : {std::pair{&plain, &fromPlain}, std::pair{&lettered, &fromLettered}}) {
    attachFileInput("a.dat", *text);
    for (float v = 0.0f;
         freeFormatRead(fileInput(), {item(v)}, kHandleBoth) == ReadStatus::success;)
      out->push_back(v);
    closeFile();
  }
  ASSERT_EQ(fromPlain.size(), 20000u);
  ASSERT_EQ(fromLettered.size(), 20000u);
  int differ = 0;
  for (size_t i = 0; i < fromPlain.size(); ++i)
    differ += std::bit_cast<uint32_t>(fromPlain[i]) != std::bit_cast<uint32_t>(fromLettered[i]);
  EXPECT_EQ(differ, 0);
}

TEST(FreeFormatRead, NulBytesAreCharacters) {
  attachFileInput("a.dat", std::string("1\0 2\n", 5));
  float v = kKept;
  EXPECT_EQ(freeFormatRead(fileInput(), {item(v)}, kHandleBoth), ReadStatus::readError);
  EXPECT_EQ(v, kKept);
  closeFile();
}

TEST(FreeFormatRead, OneIntegerItem) {
  const struct {
    const char* input;
    ReadStatus status;
    int32_t value;
  } cases[] = {
      {"12", ReadStatus::success, 12},
      {"  12  ", ReadStatus::success, 12},
      {"12 abc", ReadStatus::success, 12},
      {"+64", ReadStatus::success, 64},
      {"-0", ReadStatus::success, 0},
      {"0000000000000000000000012", ReadStatus::success, 12},
      {"-2147483648", ReadStatus::success, INT32_MIN},
      {"2147483647", ReadStatus::success, INT32_MAX},
      {"3*9", ReadStatus::success, 9},
      {"2147483648", ReadStatus::readError, kKeptInt},
      {"-2147483649", ReadStatus::readError, kKeptInt},
      {"3000000000", ReadStatus::readError, kKeptInt},
      {"99999999999999999999999999", ReadStatus::readError, kKeptInt},
      {"2.5", ReadStatus::readError, kKeptInt},
      {"5.", ReadStatus::readError, kKeptInt},
      {"1e3", ReadStatus::readError, kKeptInt},
      {"12a", ReadStatus::readError, kKeptInt},
      {"abc", ReadStatus::readError, kKeptInt},
      {"", ReadStatus::endOfFile, kKeptInt},
  };
  for (const auto& c : cases) {
    attachFileInput("a.dat", c.input);
    int32_t v = kKeptInt;
    EXPECT_EQ(freeFormatRead(fileInput(), {item(v)}, kHandleBoth), c.status)
        << '"' << c.input << '"';
    EXPECT_EQ(v, c.value) << '"' << c.input << '"';
  }
  closeFile();
}

TEST(FreeFormatRead, SeveralItemsSeparatorsNullsRepeatsAndSlash) {
  const struct {
    const char* input;
    ReadStatus status;
    std::vector<int32_t> values;
  } cases[] = {
      {"1 2 3", ReadStatus::success, {1, 2, 3}},
      {"1,2,3", ReadStatus::success, {1, 2, 3}},
      {"1 , 2 ,3", ReadStatus::success, {1, 2, 3}},
      {"1\n2\n\n3", ReadStatus::success, {1, 2, 3}},
      {"1,,3", ReadStatus::success, {1, kKeptInt, 3}},
      {"1 , , 3", ReadStatus::success, {1, kKeptInt, 3}},
      {",5", ReadStatus::endOfFile, {kKeptInt, 5, kKeptInt}},
      {",,,", ReadStatus::success, {kKeptInt, kKeptInt, kKeptInt}},
      {"3*7", ReadStatus::success, {7, 7, 7}},
      {"2*7 8 9", ReadStatus::success, {7, 7, 8}},
      {"2*,9", ReadStatus::success, {kKeptInt, kKeptInt, 9}},
      {"1 2*", ReadStatus::success, {1, kKeptInt, kKeptInt}},
      {"1 / 5", ReadStatus::success, {1, kKeptInt, kKeptInt}},
      {"1,/", ReadStatus::success, {1, kKeptInt, kKeptInt}},
      {"1 2/3", ReadStatus::success, {1, 2, kKeptInt}},
      {"1 x 3", ReadStatus::readError, {1, kKeptInt, kKeptInt}},
      {"1 2*x", ReadStatus::readError, {1, kKeptInt, kKeptInt}},
      {"1 2", ReadStatus::endOfFile, {1, 2, kKeptInt}},
  };
  for (const auto& c : cases) {
    attachFileInput("a.dat", c.input);
    std::vector<int32_t> v(3, kKeptInt);
    EXPECT_EQ(freeFormatRead(fileInput(), {item(v[0]), item(v[1]), item(v[2])}, kHandleBoth),
              c.status)
        << '"' << c.input << '"';
    EXPECT_EQ(v, c.values) << '"' << c.input << '"';
  }
  closeFile();
}

TEST(FreeFormatRead, TimeMarkAndStepOnOneOrTwoLines) {
  for (const char* input : {"0 1\n", "0,1\n", "0\n1\n", "  0\r\n\r\n 1.0 \r\n"}) {
    attachFileInput("a.dat", input);
    double tini = kKept, tstep = kKept;
    EXPECT_EQ(freeFormatRead(fileInput(), {item(tini), item(tstep)}, kHandleBoth),
              ReadStatus::success);
    EXPECT_EQ(tini, 0.0) << input;
    EXPECT_EQ(tstep, 1.0) << input;
  }
  closeFile();
}

// A double item is converted from the text itself, not through a float, over the
// whole double range.
TEST(FreeFormatRead, OneDoubleItem) {
  const struct {
    const char* input;
    ReadStatus status;
    double value;
  } cases[] = {
      {"1700000000.01", ReadStatus::success, 1700000000.01},
      {"0.1", ReadStatus::success, 0.1},
      {"1.15740740740740740D-5", ReadStatus::success, 1.15740740740740740e-5},
      {"-1e300", ReadStatus::success, -1e300},
      {"1.7976931348623157e308", ReadStatus::success, std::numeric_limits<double>::max()},
      {"5e-324", ReadStatus::success, std::numeric_limits<double>::denorm_min()},
      {"1e-330", ReadStatus::success, 0.0},
      {"1.8e308", ReadStatus::readError, kKept},
      {"1e99999999999999999999", ReadStatus::readError, kKept},
      {"x", ReadStatus::readError, kKept},
  };
  for (const auto& c : cases) {
    attachFileInput("a.dat", c.input);
    double v = kKept;
    EXPECT_EQ(freeFormatRead(fileInput(), {item(v)}, kHandleBoth), c.status) << c.input;
    EXPECT_EQ(v, c.value) << c.input;
  }
  closeFile();
}

TEST(FreeFormatRead, EachStatementStartsAtANewRecord) {
  attachFileInput("a.dat", "1 2\n3 4 5\n6\n7*8\n9");
  int32_t a = 0, b = 0;
  std::vector<int32_t> got;
  while (freeFormatRead(fileInput(), {item(a)}, kHandleEnd) == ReadStatus::success)
    got.push_back(a);
  EXPECT_EQ(got, (std::vector<int32_t>{1, 3, 6, 8, 9}));
  // Repeats left over by one statement do not reach the next.
  attachFileInput("a.dat", "5*1\n2 3\n");
  EXPECT_EQ(freeFormatRead(fileInput(), {item(a)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(freeFormatRead(fileInput(), {item(a), item(b)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(a, 2);
  EXPECT_EQ(b, 3);
  closeFile();
}

TEST(FreeFormatRead, SeriesFileEndsAtFirstNonNumberLine) {
  attachFileInput("s.dat", "1.5\r\n\r\n2.5 9\r\n  3.5\r\nheader\r\n4.5\r\n");
  std::vector<float> got;
  float v = 0;
  while (freeFormatRead(fileInput(), {item(v)}, kHandleBoth) == ReadStatus::success)
    got.push_back(v);
  EXPECT_EQ(got, (std::vector<float>{1.5f, 2.5f, 3.5f}));
  closeFile();
}

TEST(FreeFormatRead, StatementWithoutItemsConsumesOneRecord) {
  const struct {
    std::string input;
    int records;
  } cases[] = {{"", 0},         {"\n", 1},
               {"a", 1},        {"a\n", 1},
               {"a\n\nb", 3},   {"\r\n\r\n", 2},
               {"a\nb\n\n", 3}, {std::string(200000, 'x') + "\n" + std::string(3, '\0'), 2}};
  for (const auto& c : cases) {
    attachFileInput("list", c.input);
    int n = 0;
    while (freeFormatRead(fileInput(), {}, kHandleEnd) == ReadStatus::success) ++n;
    EXPECT_EQ(n, c.records) << c.input.substr(0, 20);
  }
  closeFile();
}

TEST(FreeFormatRead, VeryLongLines) {
  std::string input(3'000'000, ' ');
  input += "42 ";
  input += std::string(1'000'000, '9');
  input += "\n17\n";
  attachFileInput("a.dat", input);
  int32_t v = 0;
  EXPECT_EQ(freeFormatRead(fileInput(), {item(v)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(v, 42);
  EXPECT_EQ(freeFormatRead(fileInput(), {item(v)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(v, 17);
  // Long mantissas move the decimal exponent far from the written one.
  const std::string zeros(4000, '0');
  const struct {
    std::string token;
    ReadStatus status;
    float value;
  } cases[] = {{"0." + zeros + "1e4005", ReadStatus::success, 1e4f},
               {"1" + zeros + "e-4000", ReadStatus::success, 1.0f},
               {"1" + zeros + "e-3961", ReadStatus::readError, kKept},
               {"0." + zeros + "1e3950", ReadStatus::success, 0.0f},
               {"0." + zeros + "1e99999999999999999999", ReadStatus::readError, kKept},
               {std::string(kMaxTokenLength, '0'), ReadStatus::success, 0.0f},
               {std::string(kMaxTokenLength + 1, '0'), ReadStatus::readError, kKept}};
  for (const auto& c : cases) {
    attachFileInput("a.dat", c.token);
    float f = kKept;
    EXPECT_EQ(freeFormatRead(fileInput(), {item(f)}, kHandleBoth), c.status)
        << c.token.substr(0, 3) << " of " << c.token.size();
    EXPECT_EQ(f, c.value);
  }
  closeFile();
}

// A token longer than any number is a malformed token as soon as the limit is
// passed, and the rest of its record is skipped unread by the next statement.
TEST(FreeFormatRead, OverLongTokenIsASyntaxErrorAndItsRecordIsSkipped) {
  attachFileInput("a.dat", std::string(5'000'000, '7') + "\n12\n");
  int32_t v = kKeptInt;
  EXPECT_EQ(freeFormatRead(fileInput(), {item(v)}, kHandleBoth), ReadStatus::readError);
  EXPECT_EQ(v, kKeptInt);
  EXPECT_EQ(freeFormatRead(fileInput(), {item(v)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(v, 12);
  closeFile();
  const auto r = testing::runChild([] {
    attachFileInput("s.dat", std::string(kMaxTokenLength + 1, '1'));
    int32_t i = 0;
    freeFormatRead(fileInput(), {item(i)}, kHandleEnd);
  });
  EXPECT_EQ(r.exitCode, kErrSyntax);
  EXPECT_EQ(testing::firstLine(r.err),
            "kelvarodine: severe (59): list-directed I/O syntax error, unit 1, file s.dat");
}

// What each read of one real item gives: status, value bits, line, error number.
struct RealRead {
  ReadStatus status;
  uint32_t bits;
  uint64_t line;
  int32_t error;
  bool operator==(const RealRead&) const = default;
  friend std::ostream& operator<<(std::ostream& os, const RealRead& r) {
    return os << '{' << static_cast<int>(r.status) << ' ' << std::hex << r.bits << std::dec << ' '
              << r.line << ' ' << r.error << '}';
  }
};

// Reads `content` to its end one real item at a time, through the general
// statement alone, or taking each record readPlainReals takes and leaving the others
// to the statement.
std::vector<RealRead> readReals(const std::string& content, bool plainFirst) {
  attachFileInput("s.dat", content);
  std::vector<RealRead> reads;
  for (;;) {
    float v = kKept;
    ReadStatus status = ReadStatus::success;
    if (!plainFirst || readPlainReals(fileInput(), &v, 1) != 1)
      status = freeFormatRead(fileInput(), {item(v)}, kHandleBoth);
    reads.push_back({status, std::bit_cast<uint32_t>(v), recordNumber(fileInput()),
                     lastReadError(fileInput())});
    if (status == ReadStatus::endOfFile) break;
  }
  closeFile();
  return reads;
}

// The plain-record path must read exactly what the general statement reads: every
// value bit for bit, every refusal with its error number and line, and leave each
// record where the statement goes on. Lines of every shape near the plain one, alone,
// one after another, and shifted across the reader's 64 KiB chunks.
TEST(ReadPlainReals, ReadsWhatTheGeneralStatementReads) {
  const std::string zeros(70, '0');
  const std::vector<std::string> lines = {"1.5",
                                          "  -2.25\t",
                                          "\t7",
                                          "+3",
                                          "+-3",
                                          "-+3",
                                          "++3",
                                          "1e5",
                                          "1E-5",
                                          "1e+5",
                                          "-1.5E+05",
                                          "1.5e",
                                          "1.5e+",
                                          "1.5e-",
                                          "1.5-3",
                                          "1.5+3",
                                          "1.5d3",
                                          "1.5Q3",
                                          "1.5D+3",
                                          ".5",
                                          "5.",
                                          ".",
                                          "-.5",
                                          "+.5",
                                          "-",
                                          "+",
                                          "inf",
                                          "-inf",
                                          "+inf",
                                          "nan",
                                          "-nan",
                                          "infinity",
                                          "1e-40",
                                          "-1e-45",
                                          "1e-50",
                                          "1e39",
                                          "-1e39",
                                          "3.4028235e38",
                                          "3.4028236e38",
                                          "3.40282357e38",
                                          "16777217",
                                          "0.1",
                                          "-0",
                                          "-0.0e0",
                                          "0e99",
                                          "1e0000000000000000000000000005",
                                          "1e-0000000000000000000000000000031",
                                          zeros + "1.5",
                                          "0." + zeros + "15e71",
                                          "1" + zeros + "e-70",
                                          "1.5,2",
                                          "1.5/",
                                          "1.5 abc",
                                          "1.5abc",
                                          "1.5\r",
                                          "1.5\r2",
                                          "1.5 \r",
                                          "2*3",
                                          "3*",
                                          "*",
                                          "*5",
                                          ",",
                                          " ,7",
                                          "/",
                                          "",
                                          "   ",
                                          "\t",
                                          "0x1p3",
                                          "1_000",
                                          "1..2",
                                          "1e2e3",
                                          "1.5*2",
                                          "\xEF\xBB\xBF"
                                          "1.5",
                                          "\xD9\xA1",
                                          std::string("1.5\0", 4),
                                          std::string("\0"
                                                      "1",
                                                      2),
                                          "1.17549435e-38",
                                          "1.17549430e-38",
                                          "123456789012345678901234"};
  std::vector<std::string> contents;
  for (const std::string& line : lines)
    for (const char* end : {"", "\n", "\r\n", "\n2.5\n", "\r\n-2.5\r\n", "\r"})
      contents.push_back(line + end);
  std::string all, allCrLf;
  for (const std::string& line : lines) {
    all += line + "\n1.25\n";
    allCrLf += line + "\r\n";
  }
  contents.push_back(all);
  contents.push_back(allCrLf);
  contents.push_back("\xEF\xBB\xBF" + all);
  // Every line across a chunk's end at several offsets.
  std::string shifted;
  for (int shift = 0; shifted.size() < 300000; ++shift)
    shifted += std::string(static_cast<std::size_t>(shift % 23), ' ') + all;
  contents.push_back(shifted);
  for (const std::string& content : contents)
    EXPECT_EQ(readReals(content, true), readReals(content, false))
        << '"' << content.substr(0, 40) << '"';
}

// Random decimals of the forms a program writes, and their neighbours with a plus
// sign or an E exponent: the values agree bit for bit.
TEST(ReadPlainReals, RandomDecimalsGiveTheGeneralStatementsValues) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
  std::uniform_int_distribution<int> exponent(-45, 39);
  std::string content;
  for (int i = 0; i < 30000; ++i) {
    char a[80];
    const double m = mantissa(rng);
    switch (i % 4) {
      case 0:
        std::snprintf(a, sizeof a, "%.*f", i % 13, m * std::pow(10.0, i % 9));
        break;
      case 1:
        std::snprintf(a, sizeof a, "%.*e", i % 12, m * std::pow(10.0, exponent(rng)));
        break;
      case 2:
        std::snprintf(a, sizeof a, "%+.*E", i % 17, m * std::pow(10.0, exponent(rng)));
        break;
      default:
        std::snprintf(a, sizeof a, "%.9g", m * std::pow(10.0, exponent(rng)));
        break;
    }
    content += a;
    content += i % 5 == 0 ? "\r\n" : "\n";
  }
  const std::vector<RealRead> plain = readReals(content, true);
  EXPECT_EQ(plain.size(), 30001u);
  EXPECT_EQ(plain, readReals(content, false));
}

TEST(FormattedLineRead, TwoHundredFiftySixColumns) {
  attachFileInput("list", "a.dat\r\n" + std::string(300, 'n') + "\n\n  b, c/\td\n");
  std::string field;
  ASSERT_EQ(formattedLineRead(fileInput(), field, kHandleNone), ReadStatus::success);
  EXPECT_EQ(field, "a.dat" + std::string(251, ' '));
  ASSERT_EQ(formattedLineRead(fileInput(), field, kHandleNone), ReadStatus::success);
  EXPECT_EQ(field, std::string(256, 'n'));
  ASSERT_EQ(formattedLineRead(fileInput(), field, kHandleNone), ReadStatus::success);
  EXPECT_EQ(field, std::string(256, ' '));
  ASSERT_EQ(formattedLineRead(fileInput(), field, kHandleNone), ReadStatus::success);
  EXPECT_EQ(field, "  b, c/\td" + std::string(247, ' '));
  EXPECT_EQ(formattedLineRead(fileInput(), field, kHandleEnd), ReadStatus::endOfFile);
  closeFile();
}

// Before: the mark that some editors write at the start of a text was read as part
// of the first record, so the first file name of "list" was not found, the first
// sample of a series ended it, and the first answer was asked again.
TEST(ByteOrderMark, ALeadingMarkIsSkippedAtTheStartOfEveryInput) {
  const std::string mark = "\xEF\xBB\xBF";
  std::string field;
  attachFileInput("list", mark + "a.dat\n" + mark + "b.dat\n");
  ASSERT_EQ(formattedLineRead(fileInput(), field, kHandleNone), ReadStatus::success);
  EXPECT_EQ(field, "a.dat" + std::string(251, ' '));
  // Only at the start: further on it is text like any other.
  ASSERT_EQ(formattedLineRead(fileInput(), field, kHandleNone), ReadStatus::success);
  EXPECT_EQ(field, mark + "b.dat" + std::string(248, ' '));
  // After a rewind the input starts again.
  rewindFile();
  ASSERT_EQ(formattedLineRead(fileInput(), field, kHandleNone), ReadStatus::success);
  EXPECT_EQ(field, "a.dat" + std::string(251, ' '));

  float sample = kKept;
  attachFileInput("a.dat", mark + "12.5\r\n");
  EXPECT_EQ(freeFormatRead(fileInput(), {item(sample)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(sample, 12.5f);
  // A mark alone is an empty record; a cut mark is no mark.
  attachFileInput("a.dat", mark + "\n7\n");
  EXPECT_EQ(freeFormatRead(fileInput(), {}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(freeFormatRead(fileInput(), {item(sample)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(sample, 7.0f);
  attachFileInput("a.dat", "\xEF\xBB");
  EXPECT_EQ(freeFormatRead(fileInput(), {item(sample)}, kHandleBoth), ReadStatus::readError);
  closeFile();

  int32_t answer = kKeptInt;
  attachConsoleInput(mark + "1\n64\n");
  EXPECT_EQ(freeFormatRead(consoleInput(), {item(answer)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(answer, 1);
  EXPECT_EQ(freeFormatRead(consoleInput(), {item(answer)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(answer, 64);
  textio_internal::resetConsoleInput(0);
}

TEST(ConsoleRead, CtrlZLineIsEndOfFile) {
  attachConsoleInput("\x1A\r\n\x1A\x1A\n5\n");
  int32_t v = 0;
  EXPECT_EQ(freeFormatRead(consoleInput(), {item(v)}, kHandleBoth), ReadStatus::endOfFile);
  EXPECT_EQ(freeFormatRead(consoleInput(), {item(v)}, kHandleBoth), ReadStatus::readError);
  EXPECT_EQ(freeFormatRead(consoleInput(), {item(v)}, kHandleBoth), ReadStatus::success);
  EXPECT_EQ(v, 5);
  EXPECT_EQ(freeFormatRead(consoleInput(), {item(v)}, kHandleBoth), ReadStatus::endOfFile);
  // In a file, Ctrl-Z is a character like any other.
  attachFileInput("a.dat", "\x1A\n");
  EXPECT_EQ(freeFormatRead(fileInput(), {}, kHandleEnd), ReadStatus::success);
  closeFile();
  textio_internal::resetConsoleInput(0);
}

TEST(ConsoleRead, WritesTheOwedLineFeedBeforeWaiting) {
  testing::CapturedConsole console(testing::ConsoleMode::control);
  writeConsoleLine("What is the AR-order (1 <= *) ?");
  attachConsoleInput("x\n3\n");
  int32_t order = 0;
  EXPECT_EQ(freeFormatRead(consoleInput(), {item(order)}, kHandleError), ReadStatus::readError);
  writeConsoleLine("What is the AR-order (1 <= *) ?");
  EXPECT_EQ(freeFormatRead(consoleInput(), {item(order)}, kHandleError), ReadStatus::success);
  EXPECT_EQ(order, 3);
  formattedWrite(consoleOutput(), std::vector<Field>{literal("+"), literal("P")}, {}, {});
  closeAllUnits();
  EXPECT_EQ(console.text(),
            "What is the AR-order (1 <= *) ?\r\n"
            "What is the AR-order (1 <= *) ?\r\n"
            "P\r\n");
  textio_internal::resetConsoleInput(0);
}

// A file on a unit of its own (InputFile) fails to open with the same numbers as
// the file channel, and reads as the channel does.
TEST(FileChannel, OpenErrorsAreReportedByNumber) {
  testing::TempDir dir;
  testing::writeFile(dir / "list", "a\nb\n");
  testing::writeFile(dir / "secret", "1\n");
  chmod((dir / "secret").c_str(), 0);  // readable all the same by the superuser
  const struct {
    std::string name;
    int32_t error;
  } cases[] = {
      {(dir / "missing").string(), kErrFileNotFound},
      {(dir / "list" / "x").string(), kErrFileNotFound},
      {"", kErrFileName},
      {std::string(5000, 'n'), kErrFileName},
      {std::string("li\0st", 5), kErrFileName},
      {dir.path().string(), kErrOpenFailure},
      {(dir / "secret").string(), geteuid() != 0 ? kErrPermission : 0},
      {(dir / "list").string(), 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(openForReading(c.name, true), c.error) << c.name;
    closeFile();
    InputFile file;
    EXPECT_EQ(file.open(c.name), c.error) << c.name;
  }
}

TEST(FileChannel, AFileOnItsOwnUnitReadsAsTheChannel) {
  testing::TempDir dir;
  testing::writeFile(dir / "s.dat", "1.5\r\n\r\n2.5 9\r\n  3.5\r\n,\n4*0.25\nheader\r\n4.5\r\n");
  const auto readAll = [](InputUnit& unit) {
    std::vector<float> values;
    for (float v = -1.0f; freeFormatRead(unit, {item(v)}, kHandleBoth) == ReadStatus::success;)
      values.push_back(v);
    return values;
  };
  ASSERT_EQ(openForReading((dir / "s.dat").string(), false), 0);
  const std::vector<float> channel = readAll(fileInput());
  closeFile();
  InputFile file;
  ASSERT_EQ(file.open((dir / "s.dat").string()), 0);
  // The channel is free for another file meanwhile.
  ASSERT_EQ(openForReading((dir / "s.dat").string(), false), 0);
  EXPECT_EQ(readAll(file.unit()), channel);
  EXPECT_EQ(channel, (std::vector<float>{1.5f, 2.5f, 3.5f, 3.5f, 0.25f}));
  closeFile();
}

TEST(FileChannel, RewindGoesBackToTheFirstRecord) {
  testing::TempDir dir;
  testing::writeFile(dir / "list", "a.dat\r\n\r\nc.dat");
  ASSERT_EQ(openForReading((dir / "list").string(), false), 0);
  int n = 0;
  while (freeFormatRead(fileInput(), {}, kHandleEnd) == ReadStatus::success) ++n;
  EXPECT_EQ(n, 3);
  rewindFile();
  std::string name;
  ASSERT_EQ(formattedLineRead(fileInput(), name, kHandleNone), ReadStatus::success);
  EXPECT_EQ(name.substr(0, 6), "a.dat ");
  ASSERT_EQ(formattedLineRead(fileInput(), name, kHandleNone), ReadStatus::success);
  ASSERT_EQ(formattedLineRead(fileInput(), name, kHandleNone), ReadStatus::success);
  EXPECT_EQ(name.substr(0, 6), "c.dat ");
  closeFile();
}

TEST(FileChannel, BinaryGarbageNeverCrashesOrHangs) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 300; ++round) {
    std::string data(rng() % 4000, '\0');
    const char alphabet[] = "0123456789+-.eEdDqQ*,/ \t\r\n\x1A\0xyz";
    for (auto& c : data)
      c = rng() % 3 ? alphabet[rng() % (sizeof alphabet - 1)] : static_cast<char>(rng());
    attachFileInput("g.dat", data);
    int32_t i = 0;
    float f = 0;
    std::string field;
    int statements = 0;
    for (bool more = true; more; ++statements) {
      ReadStatus s;
      switch (statements % 4) {
        case 0:
          s = freeFormatRead(fileInput(), {item(f)}, kHandleBoth);
          break;
        case 1:
          s = freeFormatRead(fileInput(), {item(i), item(f), item(i)}, kHandleBoth);
          break;
        case 2:
          s = freeFormatRead(fileInput(), {}, kHandleBoth);
          break;
        default:
          s = formattedLineRead(fileInput(), field, kHandleBoth);
          break;
      }
      more = s != ReadStatus::endOfFile;
      ASSERT_LE(statements, 4001);
    }
  }
  closeFile();
}

}  // namespace
}  // namespace kelv
