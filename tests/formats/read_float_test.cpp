// readFloat against std::from_chars: the same value bits, end and error for plain
// decimals, the halfway points between floats its shorter route must hand on, and
// texts it must leave to std::from_chars altogether.
#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "formats/fields.hpp"

namespace kelv {
namespace {

// Empty when readFloat and std::from_chars agree on `text`, else what differs.
std::string disagreement(const std::string& text) {
  const char* first = text.data();
  const char* last = first + text.size();
  float ours = -7.0f, theirs = -7.0f;  // left as they are on an error
  const auto a = readFloat(first, last, ours);
  const auto b = std::from_chars(first, last, theirs, std::chars_format::general);
  if (a.ec == b.ec && a.ptr == b.ptr &&
      std::bit_cast<uint32_t>(ours) == std::bit_cast<uint32_t>(theirs))
    return "";
  char buf[160];
  std::snprintf(buf, sizeof buf, "\"%s\": %a (end %td) against %a (end %td)", text.c_str(),
                double(ours), a.ptr - first, double(theirs), b.ptr - first);
  return buf;
}

TEST(ReadFloat, AgreesWithTheLibraryOnRandomDecimals) {
  std::mt19937_64 rng(17);
  const std::string tails[] = {"", " ", "\n", ",", "e", "E5", "x", ".", "5", "-"};
  int checked = 0;
  for (int trial = 0; trial < 400000 && !HasFailure(); ++trial) {
    std::string text = rng() % 3 == 0 ? "-" : "";
    const int whole = static_cast<int>(rng() % 12), part = static_cast<int>(rng() % 12);
    for (int i = 0; i < whole; ++i) text += char('0' + rng() % 10);
    if (rng() % 4 != 0) text += '.';
    for (int i = 0; i < part; ++i) text += char('0' + rng() % 10);
    text += tails[rng() % std::size(tails)];
    EXPECT_EQ(disagreement(text), "");
    ++checked;
  }
  EXPECT_EQ(checked, 400000);
}

// Halfway points between two floats written out exactly (integers above 2^24,
// fractions above 2^14), and the decimals one unit of their last digit away on
// either side: a double rounding would go the wrong way on some of them.
TEST(ReadFloat, HalfwayPointsAndTheirNeighbours) {
  std::mt19937_64 rng(3);
  for (int trial = 0; trial < 20000 && !HasFailure(); ++trial) {
    const bool integral = trial % 2 == 0;
    const float low = integral
                          ? std::ldexp(1.0f + float(rng() % 4096) / 4096, 24 + int(rng() % 25))
                          : std::ldexp(1.0f + float(rng() % 4096) / 4096, 14 + int(rng() % 10));
    const double mid = (double(low) + double(std::nextafter(low, 2 * low))) / 2;
    char buf[64];
    // Enough fraction digits to write the halfway point exactly (its last bit is
    // 2^-(37 - e) for a float of exponent e below 24).
    const int places = integral ? 0 : std::max(0, 37 - std::ilogb(low) - 12);
    std::snprintf(buf, sizeof buf, "%.*f", places, mid);
    std::string text = buf;
    EXPECT_EQ(disagreement(text), "");
    EXPECT_EQ(disagreement("-" + text), "");
    // One unit of the last digit up and down.
    for (const int step : {1, -1}) {
      std::string near = text;
      std::size_t i = near.size();
      int carry = step;
      while (carry != 0 && i-- > 0) {
        if (near[i] == '.') continue;
        int d = near[i] - '0' + carry;
        carry = d > 9 ? 1 : d < 0 ? -1 : 0;
        near[i] = char('0' + (d + 10) % 10);
      }
      EXPECT_EQ(disagreement(near), "");
    }
  }
}

// Sixteen significant digits of a halfway point are a decimal near it, not on it,
// whose double is often the halfway point itself: the float must then be that of the
// side the decimal lies on, which rounding the double cannot tell.
TEST(ReadFloat, DecimalsWhoseDoubleIsAHalfwayPoint) {
  std::mt19937_64 rng(11);
  int onHalfway = 0;
  for (int trial = 0; trial < 100000 && !HasFailure(); ++trial) {
    const float low =
        std::ldexp(1.0f + float(rng() % (1 << 23)) / float(1 << 23), -12 + int(rng() % 24));
    const double mid = (double(low) + double(std::nextafter(low, 2 * low))) / 2;
    char buf[64];
    const int places = 15 - static_cast<int>(std::floor(std::log10(mid)));
    std::snprintf(buf, sizeof buf, "%.*f", places, mid);
    double d = 0.0;
    std::from_chars(buf, buf + std::strlen(buf), d);
    onHalfway += d == mid;
    EXPECT_EQ(disagreement(buf), "");
  }
  EXPECT_GT(onHalfway, 1000);  // the case this test is for does occur
}

TEST(ReadFloat, TextsForTheLibrary) {
  for (const char* text : {"",
                           "-",
                           ".",
                           "-.",
                           "0",
                           "-0",
                           "00",
                           "-0.000",
                           "1.",
                           ".5",
                           "-.5",
                           "1.5.2",
                           "0x10",
                           "1e5",
                           "1E-5",
                           "nan",
                           "-inf",
                           "+1",
                           "12345678901234567890",
                           "1234567890123456789",
                           "9007199254740992",
                           "9007199254740993",
                           "0.0000000000000000000000001",
                           "340282346638528859811704183484516925440",
                           "340282366920938463463374607431768211456",
                           "0.000000000000000000000000000000000000011754943508222875",
                           "0.00000000000000000000000000000000000001",
                           "16777217",
                           "16777216.5",
                           "1.00000005960464477539062500"})
    EXPECT_EQ(disagreement(text), "");
}

}  // namespace
}  // namespace kelv
