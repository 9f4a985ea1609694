#pragma once

#include <string>

#include "core/fs/ext/ExtVolume.h"
#include "core/model/OwnershipIndex.h"

namespace korvalane {

// Walks the ext2/3/4 volume of CurrentDrive once into `index`: each superblock and group
// descriptor copy with the reserved descriptor blocks after it, each group's bitmaps and
// inode table, the journal and the other reserved inodes' blocks, every file and folder
// reached from the root (its data blocks, the extent-tree, indirect and extended
// attribute blocks that belong to it, and with ea_inode the inodes holding its large
// attribute values), free blocks by the block bitmaps, and blocks marked in use that
// nothing reaches (lost). False, with `why`, when the superblock or the descriptors
// cannot be read or the walk was stopped.
bool WalkExtOwnership(const ext::VolumeState& state, OwnershipIndex& index, const WalkHooks& hooks, std::string* why);

}  // namespace korvalane
