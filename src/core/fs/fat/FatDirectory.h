#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "core/fs/fatfamily/FatFamily.h"
#include "core/model/ViewText.h"

namespace korvalane {

// For each byte 0x80 to 0xFF of a short name: the Windows-1251 code it is shown as
// (the Cyrillic letters of DOS code page 866 carried onto their Windows-1251 codes).
extern const std::array<uint8_t, 128> ShortNameCharTable;

// Reads one cluster from `sector` and, when it is the start of a directory, its entries.
// Nothing when the cluster cannot be read or the pump says the work is superseded. With
// `followChain`, a cluster that a directory's FAT chain leads to is listed too; a long
// name whose first entries end the cluster before it is completed from there.
std::optional<Listing> ReadFatDirectory(uint64_t sector, const MessagePump& pump, bool followChain = false);

// The "File record" view on FAT volumes: reads one cluster from `sector` and, when it is
// the start of a directory, appends one line per entry.
void ListFatDirectory(uint64_t sector, ViewText& view, const MessagePump& pump);

}  // namespace korvalane
