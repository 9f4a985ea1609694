#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/ext/Superblock.h"

namespace korvalane::ext {

constexpr uint32_t kRootInode = 2;

// File types in the mode's top four bits.
constexpr uint16_t kTypeMask = 0xF000;
constexpr uint16_t kTypeFifo = 0x1000;
constexpr uint16_t kTypeCharDevice = 0x2000;
constexpr uint16_t kTypeDirectory = 0x4000;
constexpr uint16_t kTypeBlockDevice = 0x6000;
constexpr uint16_t kTypeFile = 0x8000;
constexpr uint16_t kTypeSymlink = 0xA000;
constexpr uint16_t kTypeSocket = 0xC000;

// Inode flags that say where the data is.
constexpr uint32_t kFlagIndex = 0x1000;  // a directory with an htree
constexpr uint32_t kFlagHugeFile = 0x40000;
constexpr uint32_t kFlagExtents = 0x80000;
constexpr uint32_t kFlagInlineData = 0x10000000;

// A time of an inode: seconds since 1970 (widened by the two epoch bits of the extra
// field where the inode has one) and the nanoseconds stored beside them.
struct InodeTime {
  int64_t Seconds = 0;
  std::optional<uint32_t> Nanoseconds;
};

struct Inode {
  uint32_t Number = 0;
  uint16_t Mode = 0;
  uint32_t Uid = 0;
  uint32_t Gid = 0;
  uint16_t Links = 0;
  uint64_t Size = 0;
  uint64_t Blocks = 0;  // in 512-byte units (in blocks with huge_file and the inode's flag)
  uint32_t Flags = 0;
  uint32_t Generation = 0;
  uint64_t FileAcl = 0;  // the block of its extended attributes
  InodeTime Access, Change, Modify;
  std::optional<InodeTime> Create;
  uint32_t DeleteTime = 0;
  uint16_t ExtraBytes = 0;  // i_extra_isize
  std::array<uint8_t, 60> BlockArea{};  // i_block: the extent root, block map, inline data or link
  std::vector<uint8_t> InlineTail;       // inline data past the first 60 bytes (system.data)
  std::optional<Checksum> InodeChecksum;  // with metadata_csum, for an inode in use
  bool AllZero = false;

  uint16_t Type() const { return Mode & kTypeMask; }
  bool Unused() const { return AllZero || (Mode == 0 && Links == 0 && DeleteTime == 0); }
  bool Deleted() const { return !Unused() && Links == 0 && (DeleteTime != 0 || Mode != 0); }
};

// Decodes the inode's bytes (InodeBytes of them).
Inode ParseInode(const Superblock& sb, uint32_t number, std::span<const uint8_t> bytes);

// The time whose 32 signed bits of seconds stand at `seconds`, with the extra field at
// `extra` where the inode has one.
InodeTime ReadInodeTime(std::span<const uint8_t> bytes, size_t seconds, std::optional<size_t> extra);

// The time in ISO 8601 UTC, with nine digits of nanoseconds where the inode keeps them.
std::string InodeTimeIso8601(const InodeTime& time);

// "file", "directory", "symlink", "char device", "block device", "fifo", "socket", or
// "unknown type".
std::string TypeName(uint16_t mode);
// "-rw-r--r--" and the like, as ls shows the mode.
std::string ModeText(uint16_t mode);
// The names of the set flags ("extents huge_file").
std::string InodeFlagNames(uint32_t flags);

struct Extent {
  uint32_t Logical = 0;
  uint64_t Physical = 0;
  uint32_t Count = 0;
  bool Uninitialised = false;
};

// A run of blocks: the first logical block (for data), the first physical block, and how
// many follow each other in both.
struct BlockRun {
  uint64_t Logical = 0;
  uint64_t Physical = 0;
  uint64_t Count = 0;
};

enum class DataKind { None, Extents, BlockMap, Inline, FastSymlink };

// Where an inode's data is, as its map and the blocks it points to give it.
struct InodeData {
  DataKind Kind = DataKind::None;
  uint16_t Depth = 0;                // of the extent tree
  std::vector<Extent> Extents;       // in tree order
  std::vector<uint64_t> IndexBlocks; // extent tree blocks below the inode, in tree order
  std::vector<BlockRun> Runs;        // block map: data runs in logical order
  std::vector<BlockRun> IndirectRuns;  // block map: the indirect blocks, merged where adjacent
  std::string InlineBytes;             // inline data or the fast symlink's target
  std::vector<std::string> Problems;   // one line each: what is wrong with the map
};

// Decodes the inode's map, reading extent-tree and indirect blocks through `read` (one
// block at a time). Bounded: the tree is at most 5 deep, no block is read twice (a
// loop or a cycle is a problem line), pointers outside the volume are not followed, and
// at most `maxReads` blocks are read.
InodeData MapInode(const Superblock& sb, const Inode& inode, const BlockReader& read, uint64_t maxReads = 1u << 18);

// Whether the inode's map (as MapInode gives it) holds physical block `block`.
bool MapHolds(const InodeData& data, uint64_t block);

}  // namespace korvalane::ext
