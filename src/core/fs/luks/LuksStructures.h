#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/fs/luks/LuksHeader.h"
#include "core/model/Structure.h"

namespace korvalane {

// The LUKS1 header (592 bytes at byte 0): cipher, mode, hash, payload offset, key size,
// the master key digest and the eight key slots, the magic and version checked.
Structure DecodeLuks1Header(const StructureInput& input);

// A LUKS2 header, primary or secondary: the binary header's fields, then every value of
// its JSON area as a field at the bytes of its text (grouped by its path, "keyslots.0.kdf");
// the magic, version, size, own place and checksum checked.
Structure DecodeLuks2Header(const StructureInput& input);

// Which header sector `sector` of the current LUKS volume opens.
std::optional<StructureChoice> LuksStructureAt(const luks::VolumeState& state, uint64_t sector);

// LUKS2's primary header and its secondary, with the fields each copy holds its own way.
std::vector<StructureBackup> LuksStructureBackups(const luks::VolumeState& state);

// The whole sectors a LUKS header spans: LUKS1's 592 bytes, LUKS2's header size (the
// current volume's, or the smallest a header has).
uint64_t LuksStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset);

}  // namespace korvalane
