// Field layouts, record framing and the console's two line modes, byte for byte.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <limits>
#include <vector>

#include "textio_support.hpp"

namespace kelv {
namespace {

using testing::CapturedConsole;
using testing::ConsoleMode;

std::string blanks(size_t n) {
  return std::string(n, ' ');
}

TEST(FreeFormatInteger, TwelveColumnsRightAligned) {
  EXPECT_EQ(freeFormatInteger(0), blanks(11) + "0");
  EXPECT_EQ(freeFormatInteger(3), blanks(11) + "3");
  EXPECT_EQ(freeFormatInteger(-7), blanks(10) + "-7");
  EXPECT_EQ(freeFormatInteger(-2147483647 - 1), " -2147483648");
  EXPECT_EQ(freeFormatInteger(2147483647), "  2147483647");
}

TEST(FreeFormatReal, ExamplesAndThresholds) {
  const struct {
    float value;
    const char* text;
  } cases[] = {
      {1.0f, "        1.000000"},
      {-2.5f, "       -2.500000"},
      {123456.7f, "   123456.703125"},
      {0.5f, "    5.000000E-01"},
      {1.0e-5f, "    1.000000E-05"},
      {0.0f, "    0.000000E+00"},
      {12345678.0f, "    1.234568E+07"},
      {-0.25f, "   -2.500000E-01"},
      // Ties on the exact value go to the even digit.
      {1.0078125f, "        1.007812"},
      {0.00048828125f, "    4.882812E-04"},
      // The threshold is tested on the float itself.
      {std::nextafter(1.0f, 0.0f), "    9.999999E-01"},
      {9999999.0f, "  9999999.000000"},
      {10000000.0f, "    1.000000E+07"},
      {-9999999.0f, " -9999999.000000"},
      {std::numeric_limits<float>::max(), "    3.402823E+38"},
      {-std::numeric_limits<float>::max(), "   -3.402823E+38"},
      {std::numeric_limits<float>::denorm_min(), "    1.401298E-45"},
      {std::numeric_limits<float>::quiet_NaN(), "             NaN"},
      {std::numeric_limits<float>::infinity(), "        Infinity"},
      {-std::numeric_limits<float>::infinity(), "       -Infinity"},
  };
  for (const auto& c : cases) EXPECT_EQ(freeFormatReal(c.value), c.text) << c.value;
}

TEST(FreeFormatReal, EveryFieldIsSixteenColumnsWithALeadingBlank) {
  uint32_t state = 12345;
  for (int i = 0; i < 200000; ++i) {
    state = state * 1664525u + 1013904223u;
    const float v = std::bit_cast<float>(state);
    const std::string s = freeFormatReal(v);
    ASSERT_EQ(s.size(), 16u) << v;
    ASSERT_EQ(s[0], ' ') << v;
    if (std::isfinite(v)) {
      // The digits read back to the value rounded to 7 significant digits.
      const double back = std::stod(s);
      ASSERT_LE(std::fabs(back - v), std::fabs(double(v)) * 1e-6 + 1e-300) << s;
    }
  }
}

// The exponent form of v by the library's conversion (correctly rounded, ties to even),
// right-adjusted in 16 columns.
std::string scientificField(float v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, 6);
  std::string text(buf, r.ptr);
  for (char& c : text)
    if (c == 'e') c = 'E';
  return std::string(16 - text.size(), ' ') + text;
}

// The exponent form of the magnitudes below 1 (the grid's measures) is built from
// the float's bits; it must give the correctly rounded digits, as the library's
// conversion does, at and around every power of ten, at ties and where rounding
// carries into the next power of ten.
TEST(FreeFormatReal, FractionsHaveTheCorrectlyRoundedDigits) {
  std::vector<float> values;
  for (float p = 0.1f; p > 1e-14f; p /= 10.0f)
    for (float v = p, n = 0; n < 64; ++n, v = std::nextafter(v, 0.0f)) values.push_back(v);
  for (float v = std::nextafter(1.0f, 0.0f), n = 0; n < 64; ++n, v = std::nextafter(v, 0.0f))
    values.push_back(v);
  values.push_back(0x1p-40f);
  values.push_back(std::nextafter(0x1p-40f, 0.0f));
  values.push_back(0.5f);
  values.push_back(9.9999995e-1f);  // rounds up to 1.000000E+00
  values.push_back(1.2345675e-3f);  // near a tie
  uint32_t state = 777;
  for (int i = 0; i < 300000; ++i) {
    state = state * 1664525u + 1013904223u;
    // Magnitudes from 2^-48 to 1: both sides of the lower end of the fast form.
    values.push_back(
        std::bit_cast<float>((state & 0x807FFFFFu) | ((79u + (state >> 8) % 48u) << 23)));
  }
  for (const float v : values) {
    ASSERT_EQ(freeFormatReal(v), scientificField(v)) << std::hexfloat << v;
    ASSERT_EQ(freeFormatReal(-v), scientificField(-v)) << std::hexfloat << -v;
  }
}

// The fraction form takes its decimal scale from a table by binary exponent and one
// comparison, and its digits in pairs: a wrong scale or pair shows up in a sweep of every
// binade of [2^-40, 1), both signs. Every 331st bit pattern; the eight floats around each
// power of ten, where the scale changes within a binade; and every float of at most 12
// significant bits: a remainder of exactly half needs m 10^k / 2^s with s - 1 - k >= 16
// trailing zero bits in m, so those hold every tie of the range.
TEST(FreeFormatReal, FractionFormAgreesWithTheLibrarysConversionInEveryBinade) {
  const uint32_t low = std::bit_cast<uint32_t>(0x1p-40f);
  const uint32_t one = std::bit_cast<uint32_t>(1.0f);
  std::vector<uint32_t> patterns;
  for (uint32_t bits = low; bits < one; bits += 331) patterns.push_back(bits);
  for (int n = 1; n <= 12; ++n) {
    const uint32_t nearest = std::bit_cast<uint32_t>(static_cast<float>(std::pow(10.0, -n)));
    for (uint32_t bits = nearest - 4; bits <= nearest + 4; ++bits) patterns.push_back(bits);
  }
  for (uint32_t bits = low; bits < one; bits += 1u << 12) patterns.push_back(bits);
  patterns.push_back(one - 1);
  char field[kRealWidth];
  for (const uint32_t bits : patterns) {
    for (const uint32_t sign : {0u, 0x80000000u}) {
      const float v = std::bit_cast<float>(bits | sign);
      freeFormatRealField(v, field);
      ASSERT_EQ(std::string(field, kRealWidth), scientificField(v)) << std::hexfloat << v;
    }
  }
}

TEST(FreeFormatDouble, SeventeenDigitsInTwentyFiveColumns) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {255.0, "       255.00000000000000"},
      {1700000002.55, "       1700000002.5500000"},
      {-1.0, "      -1.0000000000000000"},
      {0.0, "   0.0000000000000000E+00"},
      {0.49609375, "   4.9609375000000000E-01"},
      {0.1, "   1.0000000000000001E-01"},  // the digits of the double, not of the answer
      {std::nextafter(1.0, 0.0), "   9.9999999999999989E-01"},
      {std::nextafter(1e16, 0.0), "       9999999999999998.0"},
      {1e16, "   1.0000000000000000E+16"},
      {-std::numeric_limits<double>::max(), " -1.7976931348623157E+308"},
      {std::numeric_limits<double>::denorm_min(), "  4.9406564584124654E-324"},
  };
  for (const auto& c : cases) EXPECT_EQ(freeFormatDouble(c.value), c.text) << c.value;
  // Every finite double reads back exactly.
  uint64_t state = 12345;
  for (int i = 0; i < 100000; ++i) {
    state = state * 6364136223846793005u + 1442695040888963407u;
    const double v = std::bit_cast<double>(state);
    if (!std::isfinite(v)) continue;
    const std::string s = freeFormatDouble(v);
    ASSERT_EQ(s.size(), 25u) << s;
    ASSERT_EQ(s[0], ' ') << s;
    ASSERT_EQ(std::strtod(s.c_str(), nullptr), v) << s;
  }
}

TEST(FormattedInteger, WidthZeroAndAsterisks) {
  EXPECT_EQ(formattedInteger(0, 7), blanks(7));
  EXPECT_EQ(formattedInteger(12345678, 7), "*******");
  EXPECT_EQ(formattedInteger(9999999, 7), "9999999");
  EXPECT_EQ(formattedInteger(-5, 3), " -5");
  EXPECT_EQ(formattedInteger(-100, 3), "***");
  EXPECT_EQ(formattedInteger(1, 10), blanks(9) + "1");
}

// Writes through the file channel into a fresh file and returns its bytes.
template <class F>
std::string fileText(F&& write) {
  testing::TempDir dir;
  const std::string name = (dir / "out.txt").string();
  openReplacement(name);
  write(fileOutput());
  commitFile();
  return testing::readFile(name);
}

// The work handed to commitFile runs once, while the bytes go to the disk: the final
// name still holds the earlier file then, and the new one, its unused reserve given
// back, only after it; with no file open it still runs, as the caller frees its
// arrays there.
TEST(FreeFormatFile, CommitRunsTheWorkGivenOnceBeforeTheFileIsInPlace) {
  testing::TempDir dir;
  const std::string name = (dir / "out.txt").string();
  openReplacement(name);
  writeRecords(fileOutput(), "old\r\n");
  commitFile();
  openReplacement(name, 1 << 20);
  writeRecords(fileOutput(), "new\r\n");
  int calls = 0;
  commitFile([&] {
    ++calls;
    EXPECT_EQ(testing::readFile(name), "old\r\n");
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(testing::readFile(name), "new\r\n");
  commitFile([&] { ++calls; });
  EXPECT_EQ(calls, 2);
}

TEST(FreeFormatFile, StringsAndEmptyStatements) {
  EXPECT_EQ(fileText([](OutputUnit& u) {
              beginFreeFormatWrite(u);
              writeItem(u, "abc");
              endWrite(u);
            }),
            " abc\r\n");
  EXPECT_EQ(fileText([](OutputUnit& u) {
              beginFreeFormatWrite(u);
              endWrite(u);
            }),
            " \r\n");
  // Trailing blanks are kept; a string after a number follows it directly.
  EXPECT_EQ(fileText([](OutputUnit& u) {
              beginFreeFormatWrite(u);
              writeItem(u, "Number of series to process =");
              writeItem(u, int32_t{3});
              writeItem(u, "x ");
              endWrite(u);
            }),
            " Number of series to process =" + blanks(11) + "3x \r\n");
}

TEST(FreeFormatFile, FloatRowsWrapFourToALine) {
  auto row = [](int n) {
    return fileText([n](OutputUnit& u) {
      beginFreeFormatWrite(u);
      for (int i = 1; i <= n; ++i) writeItem(u, float(i));
      endWrite(u);
    });
  };
  const std::string f = "        1.000000", g = "        2.000000", h = "        3.000000",
                    k = "        4.000000", l = "        5.000000";
  EXPECT_EQ(row(4), f + g + h + k + "\r\n");
  EXPECT_EQ(row(5), f + g + h + k + "\r\n" + l + "\r\n");
  const std::string nine = row(9);
  ASSERT_EQ(nine.size(), 64u + 2 + 64 + 2 + 16 + 2);
  EXPECT_EQ(nine.substr(132), "        9.000000\r\n");
}

TEST(FreeFormatFile, IntegerPairAndSixIntegersPerLine) {
  EXPECT_EQ(fileText([](OutputUnit& u) {
              beginFreeFormatWrite(u);
              writeItem(u, int32_t{8});
              writeItem(u, int32_t{128});
              endWrite(u);
            }),
            blanks(11) + "8" + blanks(9) + "128\r\n");
  // 6 fields of 12 make 72 columns; a 7th would need 84 of the 79.
  const std::string seven = fileText([](OutputUnit& u) {
    beginFreeFormatWrite(u);
    for (int32_t i = 0; i < 7; ++i) writeItem(u, i);
    endWrite(u);
  });
  EXPECT_EQ(seven.find("\r\n"), 72u);
  EXPECT_EQ(seven.substr(74), blanks(11) + "6\r\n");
}

TEST(FreeFormatFile, LongStringSplitsAtTheLineLength) {
  const std::string text(200, 'x');
  const std::string out = fileText([&](OutputUnit& u) {
    beginFreeFormatWrite(u);
    writeItem(u, text);
    endWrite(u);
  });
  // 79 columns: the leading blank and 78 characters; continuations begin with a blank.
  EXPECT_EQ(out, " " + std::string(78, 'x') + "\r\n " + std::string(78, 'x') + "\r\n " +
                     std::string(44, 'x') + "\r\n");
  // A string that exactly fills the record does not open another one.
  EXPECT_EQ(fileText([&](OutputUnit& u) {
              beginFreeFormatWrite(u);
              writeItem(u, std::string(78, 'y'));
              endWrite(u);
            }),
            " " + std::string(78, 'y') + "\r\n");
  // After numbers, the rest of the line takes the first part of a string.
  EXPECT_EQ(fileText([&](OutputUnit& u) {
              beginFreeFormatWrite(u);
              for (int i = 0; i < 4; ++i) writeItem(u, 0.0f);
              writeItem(u, std::string(20, 'z'));
              endWrite(u);
            }).substr(64),
            std::string(15, 'z') + "\r\n " + std::string(5, 'z') + "\r\n");
}

// Records formatted in memory and handed to the file in blocks, small ones and one
// beyond the file's buffer, give the bytes of the same records written to the file.
TEST(MemoryOutput, RecordsHandedToAFileKeepTheirBytesAndOrder) {
  const auto rows = [](OutputUnit& u, int first, int last) {
    for (int r = first; r <= last; ++r) {
      beginFreeFormatWrite(u);
      for (int i = 0; i < 3 * r; ++i) writeItem(u, float(r) / float(i + 1));
      writeItem(u, int32_t{r});
      endWrite(u);
    }
  };
  const std::string direct = fileText([&](OutputUnit& u) { rows(u, 1, 120); });
  const std::string blocks = fileText([&](OutputUnit& u) {
    MemoryOutput text;
    for (const auto& [first, last] : {std::pair{1, 3}, {4, 4}, {5, 110}, {111, 120}}) {
      rows(text.unit(), first, last);
      writeRecords(u, text.bytes());
      text.clear();
      EXPECT_TRUE(text.bytes().empty());
    }
  });
  ASSERT_GT(direct.size(), std::size_t{1} << 17);
  EXPECT_EQ(blocks, direct);
}

constexpr Field kProgress[] = {literal("+"), literal("Processing interval # "), intField(10),
                               intField(10)};
constexpr Field kSummary[] = {literal(" From the serie "), charField(15), intField(7),
                              literal(" samples were read.")};
constexpr Field kDsaa[] = {charField(4)};

TEST(FormattedFile, TheProgramsFieldLists) {
  const std::string out = fileText([](OutputUnit& u) {
    formattedWrite(u, kDsaa, {}, std::vector<std::string_view>{"DSAA"});
    formattedWrite(u, kProgress, std::vector<int32_t>{1, 8}, {});
    formattedWrite(u, kSummary, std::vector<int32_t>{1000}, std::vector<std::string_view>{"a.dat"});
    formattedWrite(u, kSummary, std::vector<int32_t>{0},
                   std::vector<std::string_view>{"abcdefghijklmnopqrst"});
    formattedWrite(u, kSummary, std::vector<int32_t>{12345678}, std::vector<std::string_view>{"s"});
  });
  const std::string expected =
      "DSAA\r\n"
      "+Processing interval #          1         8\r\n"
      " From the serie           a.dat   1000 samples were read.\r\n"
      " From the serie abcdefghijklmno        samples were read.\r\n"
      " From the serie               s******* samples were read.\r\n";
  EXPECT_EQ(out, expected);
  EXPECT_EQ(std::string("+Processing interval #          1         8").size(), 43u);
  EXPECT_EQ(std::string(" From the serie           a.dat   1000 samples were read.").size(), 57u);
}

// ---------------------------------------------------------------- console modes

void progress(int32_t w, int32_t left) {
  formattedWrite(consoleOutput(), kProgress, std::vector<int32_t>{w, left}, {});
}

TEST(ConsolePlainMode, RecordsEndInCarriageReturnLineFeed) {
  CapturedConsole console(ConsoleMode::plain);
  writeConsoleLine("abc");
  progress(1, 2);
  progress(2, 1);
  beginFreeFormatWrite(consoleOutput());
  endWrite(consoleOutput());
  closeAllUnits();
  EXPECT_EQ(console.text(),
            " abc\r\n"
            "+Processing interval #          1         2\r\n"
            "+Processing interval #          2         1\r\n"
            " \r\n");
}

TEST(ConsoleControlMode, LineFeedsAreWrittenLazily) {
  CapturedConsole console(ConsoleMode::control);
  writeConsoleLine("abc");  // the very first record owes nothing
  progress(1, 2);           // overwrites the line of abc
  writeConsoleLine("ATTENSION: MATRIX DEGENERATES !");
  progress(2, 1);  // overwrites the warning in full
  writeConsoleLine("next");
  closeAllUnits();  // the last line is ended
  EXPECT_EQ(console.text(),
            "abc\r"
            "Processing interval #          1         2\r"
            "\nATTENSION: MATRIX DEGENERATES !\r"
            "Processing interval #          2         1\r"
            "\nnext\r"
            "\n");
}

TEST(ConsoleControlMode, NumericFirstRecordsAndEmptyLines) {
  CapturedConsole console(ConsoleMode::control);
  beginFreeFormatWrite(consoleOutput());
  writeItem(consoleOutput(), int32_t{5});
  endWrite(consoleOutput());
  beginFreeFormatWrite(consoleOutput());
  endWrite(consoleOutput());
  // 78 columns after the control column: a string of 78 fits, 79 does not; the
  // continuation's leading blank is its control character.
  writeConsoleLine(std::string(79, 'q'));
  closeAllUnits();
  EXPECT_EQ(console.text(), blanks(11) + "5\r\n\r\n" + std::string(78, 'q') + "\r\nq\r\n");
}

TEST(ConsoleControlMode, ClosingTwiceWritesOneLineFeed) {
  CapturedConsole console(ConsoleMode::control);
  writeConsoleLine("x");
  closeAllUnits();
  closeAllUnits();
  EXPECT_EQ(console.text(), "x\r\n");
}

}  // namespace
}  // namespace kelv
