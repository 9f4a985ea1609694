#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/xfs/Superblock.h"

namespace korvalane::xfs {

// The kinds of directory block, by their magic.
enum class DirectoryBlockKind : uint8_t {
  NotADirectory,
  Block,  // a directory of one block: entries, then its hash leaf ("XD2B", v5 "XDB3")
  Data,   // a data block of a leaf or node directory ("XD2D", v5 "XDD3")
};

// One entry of a data block. A freed entry's first four bytes become the free tag and
// the free region's length; its name and the low half of its inode number remain until
// the space is used again.
struct DirectoryEntry {
  size_t Offset = 0;  // in the block
  uint64_t Inode = 0;
  std::string Name;
  std::optional<uint8_t> FileType;
  uint16_t Tag = 0;
  bool Deleted = false;  // found in a free region; Inode holds the low 32 bits only
};

struct FreeRegion {
  size_t Offset = 0;
  uint16_t Length = 0;
};

struct DirectoryBlock {
  DirectoryBlockKind Kind = DirectoryBlockKind::NotADirectory;
  bool V5 = false;
  uint64_t Owner = 0;     // v5: the directory's inode
  uint64_t BlockNumber = 0;  // v5: the block's own disk address (in sectors)
  std::optional<Checksum> Crc;
  std::vector<DirectoryEntry> Entries;
  std::vector<FreeRegion> Free;
  std::array<FreeRegion, 3> BestFree{};
  uint32_t LeafCount = 0;  // a single-block directory's hash entries
  uint32_t LeafStale = 0;
  std::vector<std::string> Problems;
};

// Decodes a directory data block (sb.DirectoryBlockBytes() of them); NotADirectory when
// its magic is none of the data blocks'.
DirectoryBlock ParseDirectoryBlock(const Superblock& sb, std::span<const uint8_t> bytes);

}  // namespace korvalane::xfs
