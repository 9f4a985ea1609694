#include "core/text/SectorField.h"

#include <string>

namespace korvalane {

std::optional<FieldNumber> ParseSectorNumber(std::u16string_view text) {
  size_t i = 0;
  while (i < text.size() && text[i] == u' ') ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) negative = text[i++] == u'-';

  unsigned base = 10;
  if (i < text.size() && (text[i] == u'$' || text[i] == u'x' || text[i] == u'X')) {
    base = 16;
    ++i;
  } else if (i + 1 < text.size() && text[i] == u'0' && (text[i + 1] == u'x' || text[i + 1] == u'X')) {
    base = 16;
    i += 2;
  }
  if (i == text.size()) return std::nullopt;

  uint64_t value = 0;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    unsigned digit;
    if (c >= u'0' && c <= u'9') {
      digit = c - u'0';
    } else if (base == 16 && c >= u'a' && c <= u'f') {
      digit = c - u'a' + 10;
    } else if (base == 16 && c >= u'A' && c <= u'F') {
      digit = c - u'A' + 10;
    } else {
      return std::nullopt;
    }
    // A magnitude beyond 64 bits is not a number.
    if (value > (UINT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return FieldNumber{negative && value != 0, value};
}

std::optional<FieldNumber> ParseSectorNumber(std::string_view text) {
  // Only ASCII can form a number; any other byte makes the text "not a number" anyway.
  return ParseSectorNumber(std::u16string(text.begin(), text.end()));
}

std::optional<uint64_t> ParseSectorIndex(std::u16string_view text) {
  const std::optional<FieldNumber> number = ParseSectorNumber(text);
  if (!number || number->Negative) return std::nullopt;
  return number->Magnitude;
}

std::optional<uint64_t> ParseSectorIndex(std::string_view text) {
  return ParseSectorIndex(std::u16string(text.begin(), text.end()));
}

}  // namespace korvalane
