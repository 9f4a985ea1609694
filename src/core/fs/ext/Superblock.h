#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvalane::ext {

// The superblock stands 1024 bytes into the volume, whatever the block size, and is 1024
// bytes long.
constexpr uint64_t kSuperblockOffset = 1024;
constexpr size_t kSuperblockBytes = 1024;

// Feature bits that change how the volume is read.
constexpr uint32_t kCompatHasJournal = 0x4;
constexpr uint32_t kCompatDirIndex = 0x20;
constexpr uint32_t kIncompatFiletype = 0x2;
constexpr uint32_t kIncompatRecover = 0x4;
constexpr uint32_t kIncompatJournalDev = 0x8;
constexpr uint32_t kIncompatMetaBg = 0x10;
constexpr uint32_t kIncompatExtents = 0x40;
constexpr uint32_t kIncompat64Bit = 0x80;
constexpr uint32_t kIncompatFlexBg = 0x200;
constexpr uint32_t kIncompatCsumSeed = 0x2000;
constexpr uint32_t kIncompatInlineData = 0x8000;
constexpr uint32_t kRoCompatSparseSuper = 0x1;
constexpr uint32_t kRoCompatLargeFile = 0x2;
constexpr uint32_t kRoCompatBtreeDir = 0x4;
constexpr uint32_t kRoCompatHugeFile = 0x8;
constexpr uint32_t kRoCompatGdtCsum = 0x10;
constexpr uint32_t kRoCompatMetadataCsum = 0x400;

// A checksum as stored and as computed over the bytes it covers.
struct Checksum {
  uint32_t Stored = 0;
  uint32_t Computed = 0;
  bool Ok() const { return Stored == Computed; }
};

// The superblock's fields, each checked against the others and against the volume.
struct Superblock {
  uint32_t InodesCount = 0;
  uint64_t BlocksCount = 0;
  uint64_t FreeBlocks = 0;
  uint32_t FreeInodes = 0;
  uint32_t FirstDataBlock = 0;
  uint32_t BlockBytes = 0;  // 1024 to 65536
  uint32_t BlocksPerGroup = 0;
  uint32_t InodesPerGroup = 0;
  uint32_t InodeBytes = 0;       // 128 on revision 0
  uint32_t DescriptorBytes = 0;  // 32, or the stored size with the 64bit feature
  uint32_t Groups = 0;
  uint32_t FirstInode = 0;  // the first inode not reserved
  uint32_t RevLevel = 0;
  uint16_t State = 0;  // bit 0 clean, bit 1 errors found, bit 2 orphans being recovered
  uint16_t MountCount = 0;
  uint32_t Flags = 0;
  int64_t MountTime = 0;  // seconds since 1970, with the high byte where stored
  int64_t WriteTime = 0;
  int64_t MkfsTime = 0;
  uint32_t Compat = 0;
  uint32_t Incompat = 0;
  uint32_t RoCompat = 0;
  std::array<uint8_t, 16> Uuid{};
  std::string VolumeName;   // as stored (UTF-8), up to its first NUL
  std::string LastMounted;  // the directory it was last mounted on
  uint32_t JournalInode = 0;
  uint32_t FirstMetaBg = 0;
  uint16_t ReservedGdtBlocks = 0;  // kept after each descriptor table copy for the volume to grow
  uint8_t LogGroupsPerFlex = 0;
  std::array<uint32_t, 2> BackupGroups{};  // sparse_super2
  uint32_t ChecksumSeed = 0;               // the seed of every metadata_csum checksum
  std::optional<Checksum> SuperblockChecksum;  // with metadata_csum

  bool Has64Bit() const { return (Incompat & kIncompat64Bit) != 0; }
  bool HasMetadataCsum() const { return (RoCompat & kRoCompatMetadataCsum) != 0; }
  bool HasGdtCsum() const { return (RoCompat & kRoCompatGdtCsum) != 0; }
  bool HasFiletype() const { return (Incompat & kIncompatFiletype) != 0; }
  uint32_t InodeTableBlocks() const;  // blocks of one group's inode table
  uint64_t GroupFirstBlock(uint32_t group) const;
  bool GroupHasSuperblock(uint32_t group) const;
};

// The superblock, or why these bytes are none that can be read safely.
struct SuperblockParse {
  std::optional<Superblock> Value;
  std::string Problem;
};

// Parses the 1024 superblock bytes. `volumeBytes` (0 when unknown) bounds the block count;
// `sectorBytes` is the device's sector size, which a block may not be smaller than.
SuperblockParse ParseSuperblock(std::span<const uint8_t> bytes, uint64_t volumeBytes, uint32_t sectorBytes);

// A superblock time: 32 unsigned bits of seconds since 1970 at `low`, and bits 32-39 in
// the byte at `high` that ext4 keeps for times past 2106 (0 where it is not used).
int64_t ReadSuperblockTime(std::span<const uint8_t> bytes, size_t low, size_t high);

// "ext2", "ext3" or "ext4", decided from the features as libblkid decides it: a journal
// makes ext3, any feature ext3 does not know makes ext4; "ext4dev" for a volume marked as
// a test file system, "jbd" for an external journal.
std::string VersionName(const Superblock& sb);

// The names of the set feature bits, as e2fsprogs prints them ("has_journal ext_attr ...");
// a bit without a name is "FEATURE_C12" and the like.
std::string CompatNames(uint32_t bits);
std::string IncompatNames(uint32_t bits);
std::string RoCompatNames(uint32_t bits);

// The UUID in its usual form, 8-4-4-4-12 lower-case hexadecimal digits.
std::string UuidText(const std::array<uint8_t, 16>& uuid);

struct GroupDescriptor {
  uint64_t BlockBitmap = 0;
  uint64_t InodeBitmap = 0;
  uint64_t InodeTable = 0;
  uint32_t FreeBlocks = 0;
  uint32_t FreeInodes = 0;
  uint32_t UsedDirs = 0;
  uint32_t ItableUnused = 0;
  uint16_t Flags = 0;  // 1 inodes not initialised, 2 blocks not initialised, 4 inode table zeroed
  std::optional<Checksum> DescriptorChecksum;  // with metadata_csum or uninit_bg
};

// "INODE_UNINIT BLOCK_UNINIT ITABLE_ZEROED", or "" for none.
std::string GroupFlagNames(uint16_t flags);

// Reads `count` consecutive blocks from `block` into `out` (count x BlockBytes bytes).
using BlockReader = std::function<bool(uint64_t block, std::span<uint8_t> out)>;

// The group descriptor table as read: one descriptor per group, or the problem that
// stopped the reading (an unreadable block, a table past the volume).
struct DescriptorTable {
  std::vector<GroupDescriptor> Groups;
  std::string Problem;
};

// Where the descriptors of group `group` are stored: the block, and the byte in it.
struct DescriptorPlace {
  uint64_t Block = 0;
  uint32_t Offset = 0;
};
DescriptorPlace DescriptorLocation(const Superblock& sb, uint32_t group);

// Parses one descriptor of group `group` (its checksum verified when the volume has one).
GroupDescriptor ParseGroupDescriptor(const Superblock& sb, uint32_t group, std::span<const uint8_t> bytes);

// Reads the whole table, block by block (a run of table blocks in one read where they
// follow each other).
DescriptorTable ReadGroupDescriptors(const Superblock& sb, const BlockReader& read);

}  // namespace korvalane::ext
