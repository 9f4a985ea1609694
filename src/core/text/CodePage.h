#pragma once

#include <cstdint>

namespace korvalane {

// The character of a byte in the Windows-1251 (Cyrillic) code page, as a UTF-16 code unit.
// Bytes below 0x80 are ASCII.
char16_t Windows1251ToUtf16(uint8_t byte);

}  // namespace korvalane
