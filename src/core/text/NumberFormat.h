#pragma once

#include <concepts>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

namespace korvalane {

std::u16string SignedDecimal(int64_t value);
std::u16string UnsignedDecimal(uint64_t value);

// Decimal without separators, a leading "-" when negative. Unsigned values keep their
// whole range (a sector count up to 2^64 - 1), signed ones their sign.
template <std::integral T>
std::u16string Decimal(T value) {
  if constexpr (std::is_signed_v<T>) {
    return SignedDecimal(static_cast<int64_t>(value));
  } else {
    return UnsignedDecimal(static_cast<uint64_t>(value));
  }
}

// Upper-case hexadecimal with at least `minDigits` digits, zero-filled.
std::u16string HexUpper(uint64_t value, int minDigits);

// Puts `fill` in front of a text shorter than `width`; a longer text stays as it is.
std::u16string LeftFill(std::u16string text, size_t width, char16_t fill);

// To the nearest integer, halves to the even neighbour (2.5 -> 2, 3.5 -> 4).
int64_t RoundHalfEven(double value);

// ASCII text as UTF-16.
std::u16string Ascii(std::string_view text);

}  // namespace korvalane
