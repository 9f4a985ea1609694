#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace korvalane {

// The number rule of every sector field (the main window's sector, the export range, the
// command line): optional leading blanks, an optional sign, then decimal digits, or
// hexadecimal digits after a "$", "x", "X", "0x" or "0X" prefix; nothing may follow.
// Magnitudes up to 4294967295 are accepted so that every sector of a 32-bit volume can be
// named; the caller checks the value against the volume. Nothing when it is not a number.
std::optional<int64_t> ParseSectorNumber(std::u16string_view text);
std::optional<int64_t> ParseSectorNumber(std::string_view text);

}  // namespace korvalane
