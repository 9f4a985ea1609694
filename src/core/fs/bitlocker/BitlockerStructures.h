#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/fs/bitlocker/BitlockerHeader.h"
#include "core/model/Structure.h"

namespace korvalane {

// The BitLocker volume header (sector 0): the boot sector's fields as Windows 7 and later
// or Vista lay them out, the identifier and the three FVE metadata block offsets.
Structure DecodeBitlockerHeader(const StructureInput& input);

// An FVE metadata block: its block header, the metadata header and each entry's header
// (a description's text with it); the signature and versions checked, and its three
// offsets against the volume header's where the volume header can be read.
Structure DecodeFveMetadataBlock(const StructureInput& input);

// Which structure sector `sector` of the current BitLocker volume opens.
std::optional<StructureChoice> BitlockerStructureAt(const bitlocker::VolumeState& state, uint64_t sector);

// The FVE metadata blocks that are copies of the first sound one, each paired with it for
// --compare-backup.
std::vector<StructureBackup> BitlockerStructureBackups(const bitlocker::VolumeState& state);

// The whole sectors an FVE metadata block spans on the current volume (its headers and
// metadata), or one sector.
uint64_t BitlockerStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset);

}  // namespace korvalane
