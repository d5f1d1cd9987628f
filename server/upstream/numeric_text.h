// Number recognition in operator and file texts: the "is this numeric" test
// and the value of a text's leading number, both in one linear pass.
#pragma once

#include <cstddef>
#include <string_view>

namespace mdl {

// True when the whole text is one decimal number: optional blanks, an
// optional sign, digits with an optional decimal point (at least one digit),
// an optional exponent, optional blanks. "5", " -2.5 ", ".5", "1e3" are
// numeric; "", "-", "5a", "1e" are not.
bool IsNumericText(std::string_view text);

// Length of the longest prefix of `text` that IsNumericText accepts; 0 when
// none. Linear in the length of the text.
std::size_t NumericPrefixLength(std::string_view text);

// Value of the number at the start of the text (after blanks); 0 when the
// text does not start with one. "12abc" is 12, "abc" is 0. Infinite when
// the number is too large for a double.
double LeadingNumber(std::string_view text);

// Rounds to the nearest whole number, ties to even (2.5 -> 2, 3.5 -> 4).
double RoundHalfEven(double value);

}  // namespace mdl
