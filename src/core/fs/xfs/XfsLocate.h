#pragma once

#include <cstdint>
#include <optional>

#include "core/fs/xfs/XfsVolume.h"
#include "core/model/Location.h"
#include "core/model/ViewText.h"

namespace korvalane::xfs {

// The sector that holds inode `number`, or why it has no place (an AG past the volume's,
// a block past its AG).
Location LocateInode(const VolumeState& state, uint64_t number);

// The first sector of linear block `block` (block 0 at sector 0, AG n from n times the
// AG size).
Location LocateBlock(const VolumeState& state, uint64_t block);

// Where a line of an XFS record view points: "Inode N, ..." and "Entry - inode N: ..." at
// the inode, "Extent - L -> AG/B, N" and "Btree pointer - L -> AG/B" at the block.
std::optional<JumpTarget> TargetOfLine(const VolumeState& state, const ViewText& view, size_t line);

}  // namespace korvalane::xfs
