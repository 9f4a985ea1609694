#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/xfs/AgHeaders.h"
#include "core/fs/xfs/Superblock.h"

namespace korvalane::xfs {

// What parsing an XFS volume found: its superblock, or why it has none that can be used.
// The opened volume holds it.
struct VolumeState {
  std::optional<Superblock> Sb;
  std::string Problem;
};

// Reads the superblock of CurrentDrive (the sector size probed first) into `state` and,
// when it passes its checks, VolumeGeometry: the superblock's sector size, blocks as
// clusters, TotalSectors the sectors of all data blocks. False when it cannot be used.
bool ReadXfsGeometry(VolumeState& state);

// One sector of the current volume (the superblock's sector size), or nothing.
std::optional<std::vector<uint8_t>> ReadVolumeSector(uint64_t sector);

// Whole blocks of the current volume from linear block `block` (block 0 at byte 0).
bool ReadBlocks(const Superblock& sb, uint64_t block, std::span<uint8_t> out);

// The AGF and AGI of AG `ag`, read now; nothing where the sector cannot be read.
std::optional<Agf> ReadAgf(const Superblock& sb, uint32_t ag);
std::optional<Agi> ReadAgi(const Superblock& sb, uint32_t ag);

}  // namespace korvalane::xfs
