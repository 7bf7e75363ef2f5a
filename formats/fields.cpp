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

}  // namespace

void freeFormatRealField(float value, char* field) {
  char buf[32];
  std::size_t n = fractionExponentForm(value, buf);
  if (n == 0) n = generalForm(value, buf, sizeof buf);
  std::memset(field, ' ', kRealWidth - n);
  std::memcpy(field + (kRealWidth - n), buf, n);
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
