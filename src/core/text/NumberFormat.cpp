#include "core/text/NumberFormat.h"

#include <cmath>

namespace korvalane {

std::u16string UnsignedDecimal(uint64_t value) {
  char16_t digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  std::u16string text;
  text.reserve(count + 1);
  while (count > 0) text += digits[--count];
  return text;
}

std::u16string SignedDecimal(int64_t value) {
  // Work on the magnitude as unsigned so that INT64_MIN has one too.
  const uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  return value < 0 ? u"-" + UnsignedDecimal(magnitude) : UnsignedDecimal(magnitude);
}

std::u16string HexUpper(uint64_t value, int minDigits) {
  static constexpr char16_t kDigits[] = u"0123456789ABCDEF";
  std::u16string digits;
  do {
    digits.insert(digits.begin(), kDigits[value & 0xF]);
    value >>= 4;
  } while (value != 0);
  return LeftFill(std::move(digits), minDigits < 0 ? 0 : static_cast<size_t>(minDigits), u'0');
}

std::u16string LeftFill(std::u16string text, size_t width, char16_t fill) {
  if (text.size() < width) text.insert(0, width - text.size(), fill);
  return text;
}

int64_t RoundHalfEven(double value) { return static_cast<int64_t>(std::nearbyint(value)); }

std::u16string Ascii(std::string_view text) { return std::u16string(text.begin(), text.end()); }

}  // namespace korvalane
