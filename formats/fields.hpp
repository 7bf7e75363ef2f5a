// Field texts of the program's text files: the free-format fields of integers,
// floats and doubles, and the formatted integer field. Independent of the C locale;
// every float field carries the correctly rounded digits of the exact value, ties to
// even.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>

namespace kelv {

inline constexpr std::size_t kRealWidth = 16;

std::string freeFormatInteger(int32_t value);  // 12 columns
std::string freeFormatReal(float value);       // 16 columns
// The 16-column field of a float, right-adjusted into field[0 .. kRealWidth - 1];
// allocates nothing.
void freeFormatRealField(float value, char* field);
// The fields of values[0 .. n - 1] at field, field + step, field + 2 step, ..., each
// value that is not finite as nonFinite: the fields of a grid's column in the rows of
// its text.
void freeFormatRealFields(const float* values, int64_t n, float nonFinite, char* field,
                          std::ptrdiff_t step);
// 25 columns: 17 significant digits, which give back the double exactly; fixed
// notation for 1 <= |value| < 1E16, otherwise exponent notation (two or three
// exponent digits).
std::string freeFormatDouble(double value);
// The shortest text that reads back as the double ("0.01", "1700000000", "1e-07").
std::string shortestDouble(double value);
// std::from_chars(first, last, value) for a float in the general format: the same
// value, end and error for every text. A plain decimal ([-]digits[.digits], at most 19
// digits) whose value is a normal float is read by a shorter route; every other text
// goes to std::from_chars.
std::from_chars_result readFloat(const char* first, const char* last, float& value);
// An integer right-adjusted in `width` columns; 0 as blanks, asterisks when it does
// not fit.
std::string formattedInteger(int32_t value, int width);

}  // namespace kelv
