#pragma once

#include <string>

#include "core/fs/xfs/XfsVolume.h"
#include "core/model/OwnershipIndex.h"

namespace korvalane {

// Walks the XFS volume of CurrentDrive once into `index`: each AG's headers (superblock
// copy, AGF, AGI, AGFL) and the blocks its free list holds, the blocks of its btrees
// (free space by block and by size, inodes, free inodes, reverse mapping, reference
// counts), its inode chunks with their inode range, the internal log, the realtime and
// quota inodes' blocks, every file and folder reached from the root (its data and
// attribute extents and the btree blocks of its forks), the free extents the by-block
// btree lists as free, and blocks in use that nothing reaches as lost. False, with `why`,
// when the superblock cannot be used or the walk was stopped.
bool WalkXfsOwnership(const xfs::VolumeState& state, OwnershipIndex& index, const WalkHooks& hooks, std::string* why);

}  // namespace korvalane
