#pragma once

#include <cstdint>
#include <string_view>

#include "core/model/Structure.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane {

// The md RAID superblock field by field: 0.90 (its 32-bit words, its 27 descriptors and
// this member's own) or 1.x (its head and role table), with its magic number and
// checksum checked. The version is told by the bytes and, for 1.x, by where they lie.
Structure DecodeMdSuperblock(const StructureInput& input);
// A superblock is read as 4 KiB: all of 0.90's, and a 1.x head with room for its roles.
uint64_t MdSuperblockSpan(std::string_view id, uint32_t sectorSize, size_t offset);
// Whether the drive ("C:") is an md member whose array data begins at its first byte, its
// superblock (1.0 or 0.90) at its end: what lies at its start is the array's, not a
// volume of the member's own.
bool HoldsMdDataFromItsStart(std::string_view drive);
// Whether a sector begins with an md superblock's magic number.
bool BeginsWithMdMagic(std::span<const uint8_t> bytes);

// The current drive's md superblock and the array it belongs to, for details: false
// (nothing added) when the drive holds none.
bool ReportMdMember(ViewText* view, Json* json);

}  // namespace korvalane
