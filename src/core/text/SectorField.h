#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvalane {

// A number as typed into a sector field: its sign and its magnitude. "-0" is not negative.
struct FieldNumber {
  bool Negative = false;
  uint64_t Magnitude = 0;

  bool operator==(const FieldNumber&) const = default;
};

// The number rule of every sector field (the main window's sector, the export range, the
// command line): optional leading blanks, an optional sign, then decimal digits, or
// hexadecimal digits after a "$", "x", "X", "0x" or "0X" prefix; nothing may follow.
// Magnitudes up to 2^64 - 1 are accepted so that every sector of any disk can be named;
// the caller checks the value against the volume. Nothing when it is not a number.
std::optional<FieldNumber> ParseSectorNumber(std::u16string_view text);
std::optional<FieldNumber> ParseSectorNumber(std::string_view text);

// The sector a field names: a number by the rule above that is not negative. Nothing for
// a text that is not a number and for a negative one.
std::optional<uint64_t> ParseSectorIndex(std::u16string_view text);
std::optional<uint64_t> ParseSectorIndex(std::string_view text);

}  // namespace korvalane
