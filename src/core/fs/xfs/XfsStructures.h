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

// The inodes of the bytes (each group named by its inode number where the superblock
// places it): the core, the forks' extents, btree roots or local bytes, the v3 CRC32c.
Structure DecodeXfsInode(const StructureInput& input);

// A btree block's header (free space by block and by size, inodes, free inodes, reverse
// mapping, reference counts: the short form; a fork's: the long form), its v5 CRC32c.
Structure DecodeXfsBtreeBlock(const StructureInput& input);

// The headers of a directory's leaf blocks (single-leaf and node-form leaves), its free
// index blocks, node blocks of directories and attribute forks and attribute leaf blocks.
Structure DecodeXfsDirectoryLeaf(const StructureInput& input);
Structure DecodeXfsDirectoryFree(const StructureInput& input);
Structure DecodeXfsDaNode(const StructureInput& input);
Structure DecodeXfsAttributeLeaf(const StructureInput& input);

// The bytes a kind spans on the current XFS volume: an inode, a block, a directory block.
uint64_t XfsStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset);

// Which structure sector `sector` of the current XFS volume holds: the four header
// sectors that open each AG, then inodes, btree blocks and directory and attribute
// blocks by their magic numbers.
std::optional<StructureChoice> XfsStructureAt(const xfs::VolumeState& state, uint64_t sector);

// The primary superblock and AG 1's secondary copy, with the fields a secondary may
// lawfully hold otherwise (the counters only the primary keeps).
std::vector<StructureBackup> XfsStructureBackups(const xfs::VolumeState& state);

}  // namespace korvalane
