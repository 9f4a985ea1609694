#include "core/text/NumberFormat.h"

#include <cmath>

namespace korvalane {

std::u16string Decimal(int64_t value) {
  // Work on the magnitude as unsigned so that INT64_MIN has one too.
  uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
  std::u16string digits;
  do {
    digits.insert(digits.begin(), static_cast<char16_t>(u'0' + magnitude % 10));
    magnitude /= 10;
  } while (magnitude != 0);
  if (value < 0) digits.insert(digits.begin(), u'-');
  return digits;
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
