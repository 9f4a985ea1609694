#pragma once

#include <array>
#include <cstdint>

#include "core/views/ViewText.h"

namespace korvalane {

// For each byte 0x80 to 0xFF of a short name: the Windows-1251 code it is shown as
// (the Cyrillic letters of DOS code page 866 carried onto their Windows-1251 codes).
extern const std::array<uint8_t, 128> ShortNameCharTable;

// The "File record" view on FAT volumes: reads one cluster from `sector` and, when it is
// the start of a directory, appends one line per entry.
void ListFatDirectory(uint64_t sector, ViewText& view, const MessagePump& pump);

}  // namespace korvalane
