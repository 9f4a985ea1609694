#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/fs/xfs/XfsVolume.h"
#include "core/model/Structure.h"

namespace korvalane {

// The superblock (the first sector of every AG, AG 0's the primary): every field, the
// magic "XFSB" and, on v5, its CRC32c over the sector.
Structure DecodeXfsSuperblock(const StructureInput& input);

// The free space header (AGF, the AG's second sector), the inode header (AGI, the third)
// and the free list (AGFL, the fourth): their fields, magic and v5 CRC32c.
Structure DecodeXfsAgf(const StructureInput& input);
Structure DecodeXfsAgi(const StructureInput& input);
Structure DecodeXfsAgfl(const StructureInput& input);

// Which structure sector `sector` of the current XFS volume holds: the four header
// sectors that open each AG.
std::optional<StructureChoice> XfsStructureAt(const xfs::VolumeState& state, uint64_t sector);

// The primary superblock and AG 1's secondary copy, with the fields a secondary may
// lawfully hold otherwise (the counters only the primary keeps).
std::vector<StructureBackup> XfsStructureBackups(const xfs::VolumeState& state);

}  // namespace korvalane
