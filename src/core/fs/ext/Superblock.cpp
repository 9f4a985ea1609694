#include "core/fs/ext/Superblock.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "core/Bytes.h"
#include "core/fs/ext/Checksums.h"

namespace korvalane::ext {
namespace {

// Superblock fields (offsets from its first byte).
constexpr size_t kInodesCount = 0x00;
constexpr size_t kBlocksCountLo = 0x04;
constexpr size_t kFreeBlocksLo = 0x0C;
constexpr size_t kFreeInodes = 0x10;
constexpr size_t kFirstDataBlock = 0x14;
constexpr size_t kLogBlockSize = 0x18;
constexpr size_t kBlocksPerGroup = 0x20;
constexpr size_t kInodesPerGroup = 0x28;
constexpr size_t kMountTime = 0x2C;
constexpr size_t kWriteTime = 0x30;
constexpr size_t kMountCount = 0x34;
constexpr size_t kMagic = 0x38;
constexpr size_t kState = 0x3A;
constexpr size_t kRevLevel = 0x4C;
constexpr size_t kFirstIno = 0x54;
constexpr size_t kInodeSize = 0x58;
constexpr size_t kFeatureCompat = 0x5C;
constexpr size_t kFeatureIncompat = 0x60;
constexpr size_t kFeatureRoCompat = 0x64;
constexpr size_t kUuid = 0x68;
constexpr size_t kVolumeName = 0x78;
constexpr size_t kVolumeNameBytes = 16;
constexpr size_t kLastMounted = 0x88;
constexpr size_t kLastMountedBytes = 64;
constexpr size_t kReservedGdtBlocks = 0xCE;
constexpr size_t kJournalInum = 0xE0;
constexpr size_t kDescSize = 0xFE;
constexpr size_t kFirstMetaBg = 0x104;
constexpr size_t kMkfsTime = 0x108;
constexpr size_t kBlocksCountHi = 0x150;
constexpr size_t kFreeBlocksHi = 0x158;
constexpr size_t kFlags = 0x160;
constexpr size_t kLogGroupsPerFlex = 0x174;
constexpr size_t kBackupBgs = 0x24C;
constexpr size_t kChecksumSeed = 0x270;
constexpr size_t kWriteTimeHi = 0x274;
constexpr size_t kMountTimeHi = 0x275;
constexpr size_t kMkfsTimeHi = 0x276;
constexpr size_t kChecksum = 0x3FC;

constexpr uint16_t kMagicValue = 0xEF53;
constexpr uint32_t kLargestLogBlockSize = 6;  // 1024 << 6 = 64 KiB
constexpr uint32_t kGoodOldInodeBytes = 128;
constexpr uint32_t kGoodOldFirstInode = 11;
constexpr uint32_t kSmallDescriptor = 32;
constexpr uint32_t kLargeDescriptor = 64;
constexpr uint32_t kFlagTestFilesystem = 0x4;
constexpr uint32_t kCompatSparseSuper2 = 0x200;
// Every group is a descriptor in memory and a line of Details: 4 Mi groups are 512 TiB of
// 4 KiB blocks; a superblock that claims more (one group a block, say) is refused.
constexpr uint64_t kMostGroups = 1u << 22;

// Group descriptor fields.
constexpr size_t kBlockBitmapLo = 0x00;
constexpr size_t kInodeBitmapLo = 0x04;
constexpr size_t kInodeTableLo = 0x08;
constexpr size_t kFreeBlocksCountLo = 0x0C;
constexpr size_t kFreeInodesCountLo = 0x0E;
constexpr size_t kUsedDirsLo = 0x10;
constexpr size_t kGroupFlags = 0x12;
constexpr size_t kItableUnusedLo = 0x1C;
constexpr size_t kGroupChecksum = 0x1E;
constexpr size_t kBlockBitmapHi = 0x20;
constexpr size_t kInodeBitmapHi = 0x24;
constexpr size_t kInodeTableHi = 0x28;
constexpr size_t kFreeBlocksCountHi = 0x2C;
constexpr size_t kFreeInodesCountHi = 0x2E;
constexpr size_t kUsedDirsHi = 0x30;
constexpr size_t kItableUnusedHi = 0x32;

// Feature bits ext2 and ext3 know; anything else makes a volume ext4 to libblkid.
constexpr uint32_t kExt3RoCompat = kRoCompatSparseSuper | kRoCompatLargeFile | kRoCompatBtreeDir;
constexpr uint32_t kExt3Incompat = kIncompatFiletype | kIncompatRecover | kIncompatMetaBg;

std::string Text(std::span<const uint8_t> b, size_t offset, size_t length) {
  std::string text;
  for (size_t i = 0; i < length && Fits(b, offset + i, 1) && b[offset + i] != 0; ++i) text += static_cast<char>(b[offset + i]);
  return text;
}

SuperblockParse Refuse(std::string why) { return SuperblockParse{std::nullopt, std::move(why)}; }

std::string Names(uint32_t bits, std::span<const char* const> names, char letter) {
  std::string text;
  for (uint32_t bit = 0; bit < 32; ++bit) {
    if ((bits >> bit & 1u) == 0) continue;
    if (!text.empty()) text += ' ';
    if (bit < names.size() && names[bit][0] != '\0') {
      text += names[bit];
    } else {
      text += "FEATURE_";
      text += letter;
      text += std::to_string(bit);
    }
  }
  return text;
}

bool IsPowerOf(uint32_t value, uint32_t base) {
  while (value > 1 && value % base == 0) value /= base;
  return value == 1;
}

}  // namespace

uint32_t Superblock::InodeTableBlocks() const {
  return static_cast<uint32_t>((uint64_t{InodesPerGroup} * InodeBytes + BlockBytes - 1) / BlockBytes);
}

uint64_t Superblock::GroupFirstBlock(uint32_t group) const {
  return FirstDataBlock + uint64_t{group} * BlocksPerGroup;
}

bool Superblock::GroupHasSuperblock(uint32_t group) const {
  if (group == 0) return true;
  if ((Compat & kCompatSparseSuper2) != 0) return group == BackupGroups[0] || group == BackupGroups[1];
  if ((RoCompat & kRoCompatSparseSuper) == 0 || group == 1) return true;
  return IsPowerOf(group, 3) || IsPowerOf(group, 5) || IsPowerOf(group, 7);
}

int64_t ReadSuperblockTime(std::span<const uint8_t> b, size_t low, size_t high) {
  return static_cast<int64_t>(ReadLe32(b, low)) + (static_cast<int64_t>(ReadU8(b, high)) << 32);
}

SuperblockParse ParseSuperblock(std::span<const uint8_t> b, uint64_t volumeBytes, uint32_t sectorBytes) {
  if (b.size() < kSuperblockBytes) return Refuse("the superblock cannot be read");
  if (ReadLe16(b, kMagic) != kMagicValue) return Refuse("no ext superblock (no magic number 0xEF53 at byte 1080)");
  Superblock sb;
  const uint32_t logBlockSize = ReadLe32(b, kLogBlockSize);
  if (logBlockSize > kLargestLogBlockSize) {
    return Refuse("the block size 2^(10+" + std::to_string(logBlockSize) + ") is not one of 1024 to 65536");
  }
  sb.BlockBytes = 1024u << logBlockSize;
  if (sectorBytes != 0 && sb.BlockBytes < sectorBytes) {
    return Refuse("blocks of " + std::to_string(sb.BlockBytes) + " bytes are smaller than the sector of " +
                  std::to_string(sectorBytes));
  }
  sb.Compat = ReadLe32(b, kFeatureCompat);
  sb.Incompat = ReadLe32(b, kFeatureIncompat);
  sb.RoCompat = ReadLe32(b, kFeatureRoCompat);
  sb.RevLevel = ReadLe32(b, kRevLevel);
  sb.InodesCount = ReadLe32(b, kInodesCount);
  sb.BlocksCount = ReadLe32(b, kBlocksCountLo);
  sb.FreeBlocks = ReadLe32(b, kFreeBlocksLo);
  if (sb.Has64Bit()) {
    sb.BlocksCount |= uint64_t{ReadLe32(b, kBlocksCountHi)} << 32;
    sb.FreeBlocks |= uint64_t{ReadLe32(b, kFreeBlocksHi)} << 32;
  }
  sb.FreeInodes = ReadLe32(b, kFreeInodes);
  sb.FirstDataBlock = ReadLe32(b, kFirstDataBlock);
  sb.BlocksPerGroup = ReadLe32(b, kBlocksPerGroup);
  sb.InodesPerGroup = ReadLe32(b, kInodesPerGroup);

  if (sb.BlocksCount == 0 || sb.FirstDataBlock >= sb.BlocksCount) {
    return Refuse("the block count " + std::to_string(sb.BlocksCount) + " leaves no block after the first data block " +
                  std::to_string(sb.FirstDataBlock));
  }
  // A block count whose bytes 64 bits cannot hold lies beyond any disk.
  if (sb.BlocksCount > UINT64_MAX / sb.BlockBytes) return Refuse("the block count " + std::to_string(sb.BlocksCount) + " is beyond any disk");
  if (volumeBytes != 0 && sb.BlocksCount * sb.BlockBytes > volumeBytes) {
    return Refuse(std::to_string(sb.BlocksCount) + " blocks of " + std::to_string(sb.BlockBytes) +
                  " bytes do not fit the volume of " + std::to_string(volumeBytes) + " bytes");
  }
  // A group's block and inode bitmaps are one block each.
  const uint64_t bitsPerBlock = uint64_t{sb.BlockBytes} * 8;
  if (sb.BlocksPerGroup == 0 || sb.BlocksPerGroup > bitsPerBlock) {
    return Refuse("blocks per group " + std::to_string(sb.BlocksPerGroup) + " is not one of 1 to " + std::to_string(bitsPerBlock));
  }
  if (sb.InodesPerGroup == 0 || sb.InodesPerGroup > bitsPerBlock) {
    return Refuse("inodes per group " + std::to_string(sb.InodesPerGroup) + " is not one of 1 to " + std::to_string(bitsPerBlock));
  }
  const uint64_t groups = (sb.BlocksCount - sb.FirstDataBlock + sb.BlocksPerGroup - 1) / sb.BlocksPerGroup;
  if (groups > kMostGroups) {
    return Refuse(std::to_string(groups) + " block groups are more than " + std::to_string(kMostGroups) + " that are read");
  }
  if (groups * sb.InodesPerGroup > UINT32_MAX) {
    return Refuse(std::to_string(groups) + " block groups of " + std::to_string(sb.InodesPerGroup) + " inodes are more than 2^32 inodes");
  }
  sb.Groups = static_cast<uint32_t>(groups);
  if (sb.InodesCount == 0 || sb.InodesCount > groups * sb.InodesPerGroup) {
    return Refuse("the inode count " + std::to_string(sb.InodesCount) + " does not fit " + std::to_string(groups) +
                  " groups of " + std::to_string(sb.InodesPerGroup) + " inodes");
  }

  if (sb.RevLevel == 0) {
    sb.InodeBytes = kGoodOldInodeBytes;
    sb.FirstInode = kGoodOldFirstInode;
  } else {
    sb.InodeBytes = ReadLe16(b, kInodeSize);
    sb.FirstInode = ReadLe32(b, kFirstIno);
  }
  if (sb.InodeBytes < kGoodOldInodeBytes || sb.InodeBytes > sb.BlockBytes || !std::has_single_bit(sb.InodeBytes)) {
    return Refuse("the inode size " + std::to_string(sb.InodeBytes) + " is not a power of two from 128 to the block size");
  }
  if (sb.Has64Bit()) {
    sb.DescriptorBytes = ReadLe16(b, kDescSize);
    if (sb.DescriptorBytes < kLargeDescriptor || sb.DescriptorBytes > 1024 || !std::has_single_bit(sb.DescriptorBytes)) {
      return Refuse("the group descriptor size " + std::to_string(sb.DescriptorBytes) + " is not a power of two from 64 to 1024");
    }
  } else {
    sb.DescriptorBytes = kSmallDescriptor;
  }
  // The inode tables of all groups must fit the volume at least.
  if (uint64_t{sb.InodeTableBlocks()} * groups > sb.BlocksCount) {
    return Refuse("the inode tables of " + std::to_string(groups) + " groups are larger than the volume");
  }

  sb.State = ReadLe16(b, kState);
  sb.MountCount = ReadLe16(b, kMountCount);
  sb.Flags = ReadLe32(b, kFlags);
  sb.MountTime = ReadSuperblockTime(b, kMountTime, kMountTimeHi);
  sb.WriteTime = ReadSuperblockTime(b, kWriteTime, kWriteTimeHi);
  sb.MkfsTime = ReadSuperblockTime(b, kMkfsTime, kMkfsTimeHi);
  std::copy_n(b.begin() + kUuid, sb.Uuid.size(), sb.Uuid.begin());
  sb.VolumeName = Text(b, kVolumeName, kVolumeNameBytes);
  sb.LastMounted = Text(b, kLastMounted, kLastMountedBytes);
  sb.JournalInode = ReadLe32(b, kJournalInum);
  sb.FirstMetaBg = ReadLe32(b, kFirstMetaBg);
  sb.ReservedGdtBlocks = ReadLe16(b, kReservedGdtBlocks);
  sb.LogGroupsPerFlex = ReadU8(b, kLogGroupsPerFlex);
  sb.BackupGroups = {ReadLe32(b, kBackupBgs), ReadLe32(b, kBackupBgs + 4)};

  if (sb.HasMetadataCsum()) {
    sb.ChecksumSeed = (sb.Incompat & kIncompatCsumSeed) != 0 ? ReadLe32(b, kChecksumSeed) : Crc32c(~0u, sb.Uuid);
    sb.SuperblockChecksum = Checksum{ReadLe32(b, kChecksum), Crc32c(~0u, b.first(kChecksum))};
  }
  return SuperblockParse{sb, {}};
}

std::string VersionName(const Superblock& sb) {
  if ((sb.Incompat & kIncompatJournalDev) != 0) return "jbd";
  const bool journal = (sb.Compat & kCompatHasJournal) != 0;
  const bool ext3Knows = (sb.RoCompat & ~kExt3RoCompat) == 0 && (sb.Incompat & ~kExt3Incompat) == 0;
  if (!ext3Knows) return (sb.Flags & kFlagTestFilesystem) != 0 ? "ext4dev" : "ext4";
  // Without a journal, a volume marked as needing recovery is none libblkid names; it is
  // read as ext2 all the same.
  return journal ? "ext3" : "ext2";
}

std::string CompatNames(uint32_t bits) {
  static constexpr const char* kNames[] = {"dir_prealloc", "imagic_inodes", "has_journal", "ext_attr",
                                           "resize_inode", "dir_index",     "lazy_bg",     "snapshot_bitmap",
                                           "",             "sparse_super2", "fast_commit", "stable_inodes",
                                           "orphan_file"};
  return Names(bits, kNames, 'C');
}

std::string IncompatNames(uint32_t bits) {
  static constexpr const char* kNames[] = {"compression", "filetype",  "needs_recovery", "journal_dev", "meta_bg",
                                           "",            "extent",    "64bit",          "mmp",         "flex_bg",
                                           "ea_inode",    "",          "dirdata",        "metadata_csum_seed",
                                           "large_dir",   "inline_data", "encrypt",      "casefold"};
  return Names(bits, kNames, 'I');
}

std::string RoCompatNames(uint32_t bits) {
  static constexpr const char* kNames[] = {"sparse_super", "large_file",   "FEATURE_R2", "huge_file",  "uninit_bg",
                                           "dir_nlink",    "extra_isize",  "snapshot",   "quota",      "bigalloc",
                                           "metadata_csum", "replica",     "read-only",  "project",    "shared_blocks",
                                           "verity",       "orphan_present"};
  return Names(bits, kNames, 'R');
}

std::string UuidText(const std::array<uint8_t, 16>& uuid) {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < uuid.size(); ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    std::snprintf(digits, sizeof digits, "%02x", uuid[i]);
    text += digits;
  }
  return text;
}

std::string GroupFlagNames(uint16_t flags) {
  static constexpr const char* kNames[] = {"INODE_UNINIT", "BLOCK_UNINIT", "ITABLE_ZEROED"};
  std::string text;
  for (uint32_t bit = 0; bit < 16; ++bit) {
    if ((flags >> bit & 1u) == 0) continue;
    if (!text.empty()) text += ' ';
    text += bit < 3 ? std::string(kNames[bit]) : "FLAG_" + std::to_string(bit);
  }
  return text;
}

DescriptorPlace DescriptorLocation(const Superblock& sb, uint32_t group) {
  const uint32_t perBlock = sb.BlockBytes / sb.DescriptorBytes;
  const uint32_t tableBlock = group / perBlock;
  const uint32_t offset = group % perBlock * sb.DescriptorBytes;
  // With meta_bg, the descriptors of each run of perBlock groups ("meta group") from
  // FirstMetaBg on stand in the first block of that run's first group, after its
  // superblock backup where it has one.
  if ((sb.Incompat & kIncompatMetaBg) != 0 && tableBlock >= sb.FirstMetaBg) {
    const uint32_t first = tableBlock * perBlock;
    return DescriptorPlace{sb.GroupFirstBlock(first) + (sb.GroupHasSuperblock(first) ? 1 : 0), offset};
  }
  return DescriptorPlace{uint64_t{sb.FirstDataBlock} + 1 + tableBlock, offset};
}

GroupDescriptor ParseGroupDescriptor(const Superblock& sb, uint32_t group, std::span<const uint8_t> d) {
  GroupDescriptor gd;
  gd.BlockBitmap = ReadLe32(d, kBlockBitmapLo);
  gd.InodeBitmap = ReadLe32(d, kInodeBitmapLo);
  gd.InodeTable = ReadLe32(d, kInodeTableLo);
  gd.FreeBlocks = ReadLe16(d, kFreeBlocksCountLo);
  gd.FreeInodes = ReadLe16(d, kFreeInodesCountLo);
  gd.UsedDirs = ReadLe16(d, kUsedDirsLo);
  gd.Flags = ReadLe16(d, kGroupFlags);
  gd.ItableUnused = ReadLe16(d, kItableUnusedLo);
  if (sb.DescriptorBytes >= kLargeDescriptor) {
    gd.BlockBitmap |= uint64_t{ReadLe32(d, kBlockBitmapHi)} << 32;
    gd.InodeBitmap |= uint64_t{ReadLe32(d, kInodeBitmapHi)} << 32;
    gd.InodeTable |= uint64_t{ReadLe32(d, kInodeTableHi)} << 32;
    gd.FreeBlocks |= uint32_t{ReadLe16(d, kFreeBlocksCountHi)} << 16;
    gd.FreeInodes |= uint32_t{ReadLe16(d, kFreeInodesCountHi)} << 16;
    gd.UsedDirs |= uint32_t{ReadLe16(d, kUsedDirsHi)} << 16;
    gd.ItableUnused |= uint32_t{ReadLe16(d, kItableUnusedHi)} << 16;
  }
  const std::span<const uint8_t> desc = d.first(std::min<size_t>(d.size(), sb.DescriptorBytes));
  const uint8_t groupBytes[4] = {static_cast<uint8_t>(group), static_cast<uint8_t>(group >> 8),
                                 static_cast<uint8_t>(group >> 16), static_cast<uint8_t>(group >> 24)};
  const uint16_t stored = ReadLe16(desc, kGroupChecksum);
  if (sb.HasMetadataCsum() && desc.size() >= kGroupChecksum + 2) {
    // crc32c over the group number and the descriptor with its checksum field as zero;
    // the low 16 bits are kept.
    const uint8_t zero[2] = {0, 0};
    uint32_t crc = Crc32c(sb.ChecksumSeed, groupBytes);
    crc = Crc32c(crc, desc.first(kGroupChecksum));
    crc = Crc32c(crc, zero);
    crc = Crc32c(crc, desc.subspan(kGroupChecksum + 2));
    gd.DescriptorChecksum = Checksum{stored, crc & 0xFFFFu};
  } else if (sb.HasGdtCsum() && desc.size() >= kGroupChecksum + 2) {
    // crc16 over the UUID, the group number and the descriptor without its checksum field.
    uint16_t crc = Crc16(0xFFFF, sb.Uuid);
    crc = Crc16(crc, groupBytes);
    crc = Crc16(crc, desc.first(kGroupChecksum));
    crc = Crc16(crc, desc.subspan(kGroupChecksum + 2));
    gd.DescriptorChecksum = Checksum{stored, crc};
  }
  return gd;
}

DescriptorTable ReadGroupDescriptors(const Superblock& sb, const BlockReader& read) {
  DescriptorTable table;
  table.Groups.reserve(sb.Groups);
  const uint32_t perBlock = sb.BlockBytes / sb.DescriptorBytes;
  std::vector<uint8_t> blocks;
  uint64_t firstBlock = 0;  // of the run in `blocks`
  for (uint32_t group = 0; group < sb.Groups;) {
    const DescriptorPlace place = DescriptorLocation(sb, group);
    // Blocks that follow each other on disk are read together, up to 1 MiB at a time.
    uint32_t runGroups = 0;
    uint64_t runBlocks = 0;
    while (group + runGroups < sb.Groups && runBlocks * sb.BlockBytes < (1u << 20)) {
      const DescriptorPlace next = DescriptorLocation(sb, group + runGroups);
      if (next.Block != place.Block + runBlocks) break;
      const uint32_t take = std::min(perBlock - next.Offset / sb.DescriptorBytes, sb.Groups - group - runGroups);
      runGroups += take;
      ++runBlocks;
    }
    firstBlock = place.Block;
    if (firstBlock >= sb.BlocksCount || runBlocks > sb.BlocksCount - firstBlock) {
      table.Problem = "the group descriptors of group " + std::to_string(group) + " lie past the volume's end";
      return table;
    }
    blocks.assign(runBlocks * sb.BlockBytes, 0);
    if (!read(firstBlock, blocks)) {
      table.Problem = "the group descriptors at block " + std::to_string(firstBlock) + " cannot be read";
      return table;
    }
    for (uint32_t i = 0; i < runGroups; ++i) {
      const DescriptorPlace at = DescriptorLocation(sb, group + i);
      const size_t offset = (at.Block - firstBlock) * sb.BlockBytes + at.Offset;
      table.Groups.push_back(ParseGroupDescriptor(sb, group + i, std::span<const uint8_t>(blocks).subspan(offset, sb.DescriptorBytes)));
    }
    group += runGroups;
  }
  return table;
}

}  // namespace korvalane::ext
