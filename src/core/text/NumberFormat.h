#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace korvalane {

// Decimal without separators, a leading "-" when negative.
std::u16string Decimal(int64_t value);

// Upper-case hexadecimal with at least `minDigits` digits, zero-filled.
std::u16string HexUpper(uint64_t value, int minDigits);

// Puts `fill` in front of a text shorter than `width`; a longer text stays as it is.
std::u16string LeftFill(std::u16string text, size_t width, char16_t fill);

// To the nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
int64_t RoundHalfEven(double value);

// ASCII text as UTF-16.
std::u16string Ascii(std::string_view text);

}  // namespace korvalane
