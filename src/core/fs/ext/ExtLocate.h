#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "core/fs/ext/ExtVolume.h"
#include "core/model/Location.h"
#include "core/model/ViewText.h"

namespace korvalane::ext {

// The sector that holds inode `number` of the current ext volume (through its group
// descriptor's inode table), or why there is none.
Location LocateInode(const VolumeState& state, uint64_t number);

// The first sector of block `block` (cluster N of an ext volume is its block N).
Location LocateBlock(const VolumeState& state, uint64_t block);

enum class TargetKind { Block, Inode };
struct Target {
  TargetKind Kind = TargetKind::Block;
  uint64_t Number = 0;
  bool operator==(const Target&) const = default;
};

// Where a line of an ext view points: a directory listing line ("Inode 12, file, 20 b:
// name") to its inode, a run line ("START - COUNT" or "START - COUNT, logical L") below
// the report's extent, block-map, indirect or index block headings to its first block.
std::optional<Target> TargetOfLine(const ViewText& view, size_t line);

}  // namespace korvalane::ext
