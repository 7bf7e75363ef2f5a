// Field texts of the program's text files.
#include "formats/fields.hpp"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace kelv {

std::string freeFormatInteger(int32_t value) {
  char buf[16];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  const std::size_t n = static_cast<std::size_t>(r.ptr - buf);
  return std::string(12 - n, ' ') + std::string(buf, n);
}

namespace {

using u128 = unsigned __int128;

// The floats of magnitude [2^-40, 1) (where the measures of a grid lie) by binary
// exponent: the decimal scale k that puts a = m 2^-s (m the 24-bit significand) times
// 10^k in [10^6, 10^7) is `k` for significands below `above` and k - 1 from it on. A
// binade spans less than a factor of ten, so it holds at most one power of ten;
// `above` is the least significand at or past it (2^24 when the power lies above the
// binade), which is exact because no negative power of ten is a float.
struct FractionScale {
  int32_t k;
  uint32_t above;
};

constexpr int kFractionLowest = 127 - 40;  // biased exponent of 2^-40
constexpr int kFractionEnd = 127;          // biased exponent of 1

constexpr std::array<uint64_t, 20> kPowersOfTen = [] {
  std::array<uint64_t, 20> p{};
  p[0] = 1;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10;
  return p;
}();

constexpr std::array<FractionScale, kFractionEnd - kFractionLowest> kFractionScales = [] {
  std::array<FractionScale, kFractionEnd - kFractionLowest> scales{};
  for (int biased = kFractionLowest; biased < kFractionEnd; ++biased) {
    const int s = 150 - biased;  // the binade is [2^(23-s), 2^(24-s))
    const uint64_t inverseLow = uint64_t(1) << (s - 23);
    // 10^-d, the largest power of ten at or below the binade's low end.
    int d = 0;
    while (kPowersOfTen[static_cast<std::size_t>(d)] < inverseLow) ++d;
    FractionScale& scale = scales[static_cast<std::size_t>(biased - kFractionLowest)];
    scale.k = 6 + d;
    // The next power, 10^-(d-1), as a significand: 2^s / 10^(d-1) rounded up.
    const uint64_t next = kPowersOfTen[static_cast<std::size_t>(d - 1)];
    scale.above =
        d == 1 ? uint32_t(1) << 24 : static_cast<uint32_t>(((uint64_t(1) << s) + next - 1) / next);
  }
  return scales;
}();

// "00" .. "99".
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

// "E-13" .. "E+00", the exponents of the fraction form (at 0 when the digits round up
// to 1).
constexpr std::array<std::array<char, 4>, 14> kFractionExponents = [] {
  std::array<std::array<char, 4>, 14> texts{};
  for (int e = -13; e <= 0; ++e) {
    const int magnitude = -e;
    texts[static_cast<std::size_t>(e + 13)] = {'E', e < 0 ? '-' : '+',
                                               static_cast<char>('0' + magnitude / 10),
                                               static_cast<char>('0' + magnitude % 10)};
  }
  return texts;
}();

void putPair(char* at, uint32_t twoDigits) {
  std::memcpy(at, kDigitPairs.data() + 2 * twoDigits, 2);
}

// The 16-column field [-]d.ddddddE-XX of a float whose magnitude lies in
// [2^-40, 1); false, the field untouched, for any other value. The seven digits are
// those of the exact value a = m 2^-s rounded once, ties to even: a 10^k = m 10^k / 2^s
// is an exact 128-bit quotient and remainder.
bool fractionField(float value, char* field) {
  const uint32_t bits = std::bit_cast<uint32_t>(value);
  const int biased = static_cast<int>((bits >> 23) & 0xFF);
  if (biased < kFractionLowest || biased >= kFractionEnd) return false;
  const uint32_t m = (bits & 0x7FFFFF) | 0x800000;
  const int s = 150 - biased;  // from 24 to 63
  const FractionScale& scale = kFractionScales[static_cast<std::size_t>(biased - kFractionLowest)];
  const int k = scale.k - (m >= scale.above ? 1 : 0);  // from 7 to 19
  const u128 product = u128(m) * kPowersOfTen[static_cast<std::size_t>(k)];
  uint32_t q = static_cast<uint32_t>(product >> s);  // in [10^6, 10^7)
  // The remainder lies in the low s < 64 bits.
  const uint64_t rest = static_cast<uint64_t>(product) & ((uint64_t(1) << s) - 1);
  const uint64_t half = uint64_t(1) << (s - 1);
  // Without a branch: whether the remainder passes half is as good as random.
  q += static_cast<uint32_t>(rest > half) | (static_cast<uint32_t>(rest == half) & q & 1);
  int exponent = 6 - k;
  if (q == 10000000) {
    q = 1000000;
    ++exponent;
  }
  // Three blanks, the sign or a fourth blank, then d.dddddd and the exponent.
  std::memcpy(field, "    ", 4);
  if (bits >> 31) field[3] = '-';
  const uint32_t high = q / 10000;  // d0 d1 d2
  const uint32_t low = q - high * 10000;
  field[4] = static_cast<char>('0' + high / 100);
  field[5] = '.';
  putPair(field + 6, high % 100);
  putPair(field + 8, low / 100);
  putPair(field + 10, low % 100);
  std::memcpy(field + 12, kFractionExponents[static_cast<std::size_t>(exponent + 13)].data(), 4);
  return true;
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

// The field of any float through generalForm. Out of line, so that the fraction form,
// the field of nearly every node of a grid, needs no stack frame.
[[gnu::noinline]] void generalField(float value, char* field) {
  char buf[32];
  const std::size_t n = generalForm(value, buf, sizeof buf);
  std::memset(field, ' ', kRealWidth - n);
  std::memcpy(field + (kRealWidth - n), buf, n);
}

}  // namespace

void freeFormatRealField(float value, char* field) {
  if (!fractionField(value, field)) generalField(value, field);
}

void freeFormatRealFields(const float* values, int64_t n, float nonFinite, char* field,
                          std::ptrdiff_t step) {
  for (int64_t i = 0; i < n; ++i, field += step) {
    const float value = values[i];
    // Every value the fraction form takes is finite.
    if (!fractionField(value, field)) generalField(std::isfinite(value) ? value : nonFinite, field);
  }
}

std::string freeFormatReal(float value) {
  char field[kRealWidth];
  freeFormatRealField(value, field);
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

namespace {

// 10^0 .. 10^22, each exact in a double.
constexpr std::array<double, 23> kExactPowersOfTen = [] {
  std::array<double, 23> p{};
  p[0] = 1.0;
  for (std::size_t i = 1; i < p.size(); ++i) p[i] = p[i - 1] * 10.0;
  return p;
}();

}  // namespace

std::from_chars_result readFloat(const char* first, const char* last, float& value) {
  // The digits as an integer m and the count e of those after the point: the value
  // is m / 10^e. With m <= 2^53 and e <= 22 both are exact doubles, and their
  // quotient is the decimal's value correctly rounded to a double, d. Rounding d to
  // a float then gives the decimal's float unless d lies exactly halfway between
  // two floats: a decimal on the other side of such a point than d would have a
  // nearer double in the point itself.
  const char* p = first;
  const bool negative = p < last && *p == '-';
  if (negative) ++p;
  uint64_t m = 0;
  int digits = 0, fraction = 0;
  const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
  for (; p < last && isDigit(*p) && digits < 19; ++p, ++digits) m = m * 10 + uint64_t(*p - '0');
  if (p < last && *p == '.') {
    ++p;
    for (; p < last && isDigit(*p) && digits < 19; ++p, ++digits, ++fraction)
      m = m * 10 + uint64_t(*p - '0');
  }
  const bool plain = digits > 0 && !(p < last && (isDigit(*p) || *p == 'e' || *p == 'E'));
  if (plain && m <= (uint64_t(1) << 53) && fraction < int(kExactPowersOfTen.size())) {
    double d = double(m) / kExactPowersOfTen[std::size_t(fraction)];
    if (negative) d = -d;
    const double magnitude = std::fabs(d);
    const bool halfway = (std::bit_cast<uint64_t>(d) & ((uint64_t(1) << 29) - 1)) == uint64_t(1)
                                                                                         << 28;
    if (d == 0.0 || (magnitude >= 0x1p-126 && magnitude <= 0x1.fffffep127 && !halfway)) {
      value = static_cast<float>(d);
      return {p, std::errc()};
    }
  }
  return std::from_chars(first, last, value, std::chars_format::general);
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

std::string shortestDouble(double value) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, value);
  return std::string(buf, r.ptr);
}

}  // namespace kelv
