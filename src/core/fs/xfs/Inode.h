#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/xfs/Superblock.h"

namespace korvalane::xfs {

constexpr uint16_t kInodeMagic = 0x494E;  // "IN"
constexpr size_t kInodeCrcOffset = 100;

// How a fork keeps its data.
enum class ForkFormat : uint8_t { Device = 0, Local = 1, Extents = 2, Btree = 3, Uuid = 4 };

// One extent of a fork: file blocks from Offset on, Count blocks at the AG-encoded block
// StartBlock; Unwritten where it is allocated but reads as zeros.
struct Extent {
  uint64_t Offset = 0;
  uint64_t StartBlock = 0;
  uint32_t Count = 0;
  bool Unwritten = false;
};

// One pointer of a btree fork's root in the inode: the first file block it covers and the
// AG-encoded block of the btree block below.
struct BtreePointer {
  uint64_t FirstOffset = 0;
  uint64_t Block = 0;
};

// One entry of a shortform directory (kept inside the inode).
struct ShortformEntry {
  std::string Name;
  uint64_t Inode = 0;
  uint16_t Offset = 0;  // the entry's place in the block form the directory would have
  std::optional<uint8_t> FileType;
};

struct Timestamp {
  int64_t Seconds = 0;
  uint32_t Nanoseconds = 0;
};

// An inode's core and what its forks hold, as far as the bytes keep them.
struct Inode {
  uint64_t Number = 0;
  uint16_t Magic = 0;
  uint16_t Mode = 0;
  uint8_t Version = 0;
  uint8_t Format = 0;
  uint32_t Uid = 0;
  uint32_t Gid = 0;
  uint32_t Links = 0;
  Timestamp Access, Modify, Change;
  std::optional<Timestamp> Creation;  // v3
  uint64_t Size = 0;
  uint64_t Blocks = 0;
  uint64_t DataExtents = 0;
  uint32_t AttrExtents = 0;
  uint8_t ForkOffset = 0;  // in 8-byte units from the data fork's start; 0: no attribute fork
  uint8_t AttrFormat = 0;
  uint16_t Flags = 0;
  uint32_t Generation = 0;
  uint32_t NextUnlinked = 0;
  uint64_t Flags2 = 0;
  std::optional<uint64_t> StoredNumber;  // v3 keeps its own number
  std::optional<Checksum> Crc;            // v3
  std::vector<Extent> DataFork;           // the extents format
  std::vector<Extent> AttrFork;
  std::optional<uint16_t> BtreeLevel;     // the btree format: its root's level and pointers
  std::vector<BtreePointer> BtreeRoot;
  std::optional<uint16_t> AttrBtreeLevel;  // the same of a btree attribute fork
  std::vector<BtreePointer> AttrBtreeRoot;
  std::vector<ShortformEntry> Entries;    // a shortform directory
  std::optional<uint64_t> Parent;         // its parent, for a shortform directory
  std::string Local;                      // a local symlink's target
  std::vector<std::string> Problems;      // counts past their fork, entries past the inode

  bool MagicOk() const { return Magic == kInodeMagic; }
  bool InUse() const { return MagicOk() && Mode != 0; }
  bool IsDirectory() const { return (Mode & 0170000) == 0040000; }
  bool IsSymlink() const { return (Mode & 0170000) == 0120000; }
  // Its data fork lies on the realtime device, not in the AGs.
  bool IsRealtime() const { return (Flags & 0x1) != 0; }
};

// Decodes inode `number` from its bytes (sb.InodeBytes of them).
Inode ParseInode(const Superblock& sb, uint64_t number, std::span<const uint8_t> bytes);

// Where inode `number` lies: its AG, the block in the AG and its slot in the block.
struct InodeAddress {
  uint32_t Ag = 0;
  uint32_t AgBlock = 0;
  uint32_t Slot = 0;
};
InodeAddress AddressOfInode(const Superblock& sb, uint64_t number);
uint64_t InodeNumber(const Superblock& sb, uint32_t ag, uint32_t agBlock, uint32_t slot);

// "regular file", "directory", ... from the mode's type bits.
const char* FileTypeName(uint16_t mode);
const char* ForkFormatName(uint8_t format);

// The 16-byte extent records from the start of `bytes`, at most `count` of them.
std::vector<Extent> ParseExtents(std::span<const uint8_t> bytes, uint64_t count);

}  // namespace korvalane::xfs
