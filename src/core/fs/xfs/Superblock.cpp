#include "core/fs/xfs/Superblock.h"

#include <cstdio>

#include "core/Bytes.h"
#include "core/fs/ext/Checksums.h"

namespace korvalane::xfs {
namespace {

// Superblock fields (offsets from its first byte).
constexpr size_t kMagic = 0;
constexpr size_t kBlockSize = 4;
constexpr size_t kDataBlocks = 8;
constexpr size_t kRealtimeBlocks = 16;
constexpr size_t kRealtimeExtents = 24;
constexpr size_t kUuid = 32;
constexpr size_t kLogStart = 48;
constexpr size_t kRootInode = 56;
constexpr size_t kRealtimeBitmapInode = 64;
constexpr size_t kRealtimeSummaryInode = 72;
constexpr size_t kRealtimeExtentSize = 80;
constexpr size_t kAgBlocks = 84;
constexpr size_t kAgCount = 88;
constexpr size_t kLogBlocks = 96;
constexpr size_t kVersionNumber = 100;
constexpr size_t kSectorSize = 102;
constexpr size_t kInodeSize = 104;
constexpr size_t kInodesPerBlock = 106;
constexpr size_t kName = 108;
constexpr size_t kNameBytes = 12;
constexpr size_t kBlockLog = 120;
constexpr size_t kSectorLog = 121;
constexpr size_t kInodeLog = 122;
constexpr size_t kInodesPerBlockLog = 123;
constexpr size_t kAgBlockLog = 124;
constexpr size_t kMaxInodePercent = 127;
constexpr size_t kInodeCount = 128;
constexpr size_t kFreeInodes = 136;
constexpr size_t kFreeDataBlocks = 144;
constexpr size_t kInodeAlignment = 180;
constexpr size_t kStripeUnit = 184;
constexpr size_t kStripeWidth = 188;
constexpr size_t kDirectoryBlockLog = 192;
constexpr size_t kFeatures2 = 200;
constexpr size_t kCompatFeatures = 208;
constexpr size_t kRoCompatFeatures = 212;
constexpr size_t kIncompatFeatures = 216;
constexpr size_t kLogIncompatFeatures = 220;
constexpr size_t kMetaUuid = 248;

constexpr uint32_t kSmallestBlockLog = 9;   // 512 bytes
constexpr uint32_t kLargestBlockLog = 16;   // 64 KiB
constexpr uint32_t kSmallestSectorLog = 9;  // 512 bytes
constexpr uint32_t kLargestSectorLog = 15;  // 32 KiB
constexpr uint32_t kSmallestInodeLog = 8;   // 256 bytes
constexpr uint32_t kLargestInodeLog = 11;   // 2048 bytes
constexpr uint32_t kIncompatMetaUuid = 0x4;
// Every AG is a line of Details and a header read: 1 Mi AGs is far more than any real
// volume has (mkfs.xfs makes AGs of at least 16 MiB).
constexpr uint32_t kMostAgs = 1u << 20;

uint32_t ByteSwap(uint32_t v) { return v >> 24 | (v >> 8 & 0xFF00u) | (v << 8 & 0xFF0000u) | v << 24; }

SuperblockParse Refuse(std::string why) { return SuperblockParse{std::nullopt, std::move(why)}; }

std::string Names(uint32_t bits, std::span<const char* const> names, const char* word) {
  std::string text;
  for (uint32_t bit = 0; bit < 32; ++bit) {
    if ((bits >> bit & 1u) == 0) continue;
    if (bit < names.size() && names[bit] == nullptr) continue;  // shown elsewhere
    if (!text.empty()) text += ' ';
    if (bit < names.size() && names[bit][0] != '\0') {
      text += names[bit];
    } else {
      text += word;
      text += "_bit";
      text += std::to_string(bit);
    }
  }
  return text;
}

void Join(std::string& text, const std::string& more) {
  if (more.empty()) return;
  if (!text.empty()) text += ' ';
  text += more;
}

}  // namespace

uint16_t ReadBe16(std::span<const uint8_t> b, size_t offset) {
  if (!Fits(b, offset, 2)) return 0;
  return static_cast<uint16_t>(b[offset] << 8 | b[offset + 1]);
}

uint32_t ReadBe32(std::span<const uint8_t> b, size_t offset) {
  if (!Fits(b, offset, 4)) return 0;
  return uint32_t{b[offset]} << 24 | uint32_t{b[offset + 1]} << 16 | uint32_t{b[offset + 2]} << 8 | b[offset + 3];
}

uint64_t ReadBe64(std::span<const uint8_t> b, size_t offset) {
  if (!Fits(b, offset, 8)) return 0;
  return uint64_t{ReadBe32(b, offset)} << 32 | ReadBe32(b, offset + 4);
}

Checksum MetadataChecksum(std::span<const uint8_t> bytes, size_t crcOffset) {
  if (!Fits(bytes, crcOffset, 4)) return Checksum{0, 1};
  constexpr uint8_t kZeros[4] = {};
  uint32_t crc = ext::Crc32c(0xFFFFFFFFu, bytes.first(crcOffset));
  crc = ext::Crc32c(crc, kZeros);
  crc = ext::Crc32c(crc, bytes.subspan(crcOffset + 4));
  // The inverted register is stored little-endian; both values are kept as the field's
  // four bytes read big-endian, the way every other field of the block reads.
  return Checksum{ReadBe32(bytes, crcOffset), ByteSwap(~crc)};
}

uint32_t Superblock::AgLength(uint32_t ag) const {
  if (ag + 1 < AgCount) return AgBlocks;
  const uint64_t rest = DataBlocks - uint64_t{AgBlocks} * (AgCount - 1);
  return static_cast<uint32_t>(rest);
}

SuperblockParse ParseSuperblock(std::span<const uint8_t> b, uint64_t volumeBytes) {
  if (b.size() < kSuperblockFieldBytes) return Refuse("the superblock cannot be read");
  if (ReadBe32(b, kMagic) != kSuperblockMagic) return Refuse("no XFS superblock (no magic \"XFSB\" at byte 0)");
  Superblock sb;
  sb.BlockBytes = ReadBe32(b, kBlockSize);
  sb.BlockLog = ReadU8(b, kBlockLog);
  if (sb.BlockLog < kSmallestBlockLog || sb.BlockLog > kLargestBlockLog || sb.BlockBytes != 1u << sb.BlockLog) {
    return Refuse("the block size " + std::to_string(sb.BlockBytes) + " (log " + std::to_string(sb.BlockLog) +
                  ") is not one of 512 to 65536");
  }
  sb.SectorBytes = ReadBe16(b, kSectorSize);
  sb.SectorLog = ReadU8(b, kSectorLog);
  if (sb.SectorLog < kSmallestSectorLog || sb.SectorLog > kLargestSectorLog || sb.SectorBytes != 1u << sb.SectorLog) {
    return Refuse("the sector size " + std::to_string(sb.SectorBytes) + " (log " + std::to_string(sb.SectorLog) +
                  ") is not one of 512 to 32768");
  }
  if (sb.SectorBytes > sb.BlockBytes) {
    return Refuse("sectors of " + std::to_string(sb.SectorBytes) + " bytes are larger than the block of " +
                  std::to_string(sb.BlockBytes));
  }
  sb.InodeBytes = ReadBe16(b, kInodeSize);
  sb.InodeLog = ReadU8(b, kInodeLog);
  sb.InodesPerBlock = ReadBe16(b, kInodesPerBlock);
  sb.InodesPerBlockLog = ReadU8(b, kInodesPerBlockLog);
  if (sb.InodeLog < kSmallestInodeLog || sb.InodeLog > kLargestInodeLog || sb.InodeBytes != 1u << sb.InodeLog ||
      sb.InodeLog > sb.BlockLog || sb.InodesPerBlockLog != sb.BlockLog - sb.InodeLog ||
      sb.InodesPerBlock != sb.BlockBytes / sb.InodeBytes) {
    return Refuse("the inode size " + std::to_string(sb.InodeBytes) + " and " + std::to_string(sb.InodesPerBlock) +
                  " inodes a block do not fit the block of " + std::to_string(sb.BlockBytes));
  }
  sb.DataBlocks = ReadBe64(b, kDataBlocks);
  sb.AgBlocks = ReadBe32(b, kAgBlocks);
  sb.AgCount = ReadBe32(b, kAgCount);
  sb.AgBlockLog = ReadU8(b, kAgBlockLog);
  if (sb.AgCount == 0 || sb.AgCount > kMostAgs) {
    return Refuse("the allocation group count " + std::to_string(sb.AgCount) + " is not one of 1 to " +
                  std::to_string(kMostAgs));
  }
  if (sb.AgBlocks == 0 || sb.AgBlockLog > 31 || sb.AgBlocks > uint64_t{1} << sb.AgBlockLog ||
      (sb.AgBlockLog > 0 && sb.AgBlocks <= uint64_t{1} << (sb.AgBlockLog - 1))) {
    return Refuse("allocation groups of " + std::to_string(sb.AgBlocks) + " blocks do not fit their log " +
                  std::to_string(sb.AgBlockLog));
  }
  // Every AG but the last is whole; the last holds at least one block.
  const uint64_t wholeAgs = uint64_t{sb.AgBlocks} * (sb.AgCount - 1);
  if (sb.DataBlocks <= wholeAgs || sb.DataBlocks > uint64_t{sb.AgBlocks} * sb.AgCount) {
    return Refuse(std::to_string(sb.AgCount) + " allocation groups of " + std::to_string(sb.AgBlocks) +
                  " blocks do not make the " + std::to_string(sb.DataBlocks) + " blocks of the volume");
  }
  if (volumeBytes != 0 && sb.DataBlocks > volumeBytes / sb.BlockBytes) {
    return Refuse("the " + std::to_string(sb.DataBlocks) + " blocks of " + std::to_string(sb.BlockBytes) +
                  " bytes reach past the end of the volume (" + std::to_string(volumeBytes) + " bytes)");
  }
  sb.RealtimeBlocks = ReadBe64(b, kRealtimeBlocks);
  sb.RealtimeExtents = ReadBe64(b, kRealtimeExtents);
  for (size_t i = 0; i < 16; ++i) sb.Uuid[i] = ReadU8(b, kUuid + i);
  sb.LogStart = ReadBe64(b, kLogStart);
  sb.RootInode = ReadBe64(b, kRootInode);
  sb.RealtimeBitmapInode = ReadBe64(b, kRealtimeBitmapInode);
  sb.RealtimeSummaryInode = ReadBe64(b, kRealtimeSummaryInode);
  sb.RealtimeExtentBlocks = ReadBe32(b, kRealtimeExtentSize);
  sb.LogBlocks = ReadBe32(b, kLogBlocks);
  sb.VersionNumber = ReadBe16(b, kVersionNumber);
  for (size_t i = 0; i < kNameBytes && b[kName + i] != 0; ++i) sb.Name += static_cast<char>(b[kName + i]);
  sb.MaxInodePercent = ReadU8(b, kMaxInodePercent);
  sb.InodeCount = ReadBe64(b, kInodeCount);
  sb.FreeInodes = ReadBe64(b, kFreeInodes);
  sb.FreeDataBlocks = ReadBe64(b, kFreeDataBlocks);
  sb.InodeAlignment = ReadBe32(b, kInodeAlignment);
  sb.StripeUnit = ReadBe32(b, kStripeUnit);
  sb.StripeWidth = ReadBe32(b, kStripeWidth);
  sb.DirectoryBlockLog = ReadU8(b, kDirectoryBlockLog);
  if (sb.BlockLog + sb.DirectoryBlockLog > kLargestBlockLog) {
    return Refuse("directory blocks of 2^" + std::to_string(sb.BlockLog + sb.DirectoryBlockLog) +
                  " bytes are larger than 65536");
  }
  if ((sb.VersionNumber & kVersionMoreBitsBit) != 0) sb.Features2 = ReadBe32(b, kFeatures2);
  if (sb.HasCrc()) {
    sb.CompatFeatures = ReadBe32(b, kCompatFeatures);
    sb.RoCompatFeatures = ReadBe32(b, kRoCompatFeatures);
    sb.IncompatFeatures = ReadBe32(b, kIncompatFeatures);
    sb.LogIncompatFeatures = ReadBe32(b, kLogIncompatFeatures);
    for (size_t i = 0; i < 16; ++i) sb.MetaUuid[i] = ReadU8(b, kMetaUuid + i);
    if ((sb.IncompatFeatures & kIncompatMetaUuid) == 0) sb.MetaUuid = sb.Uuid;
    // The checksum covers the superblock's whole sector.
    const size_t covered = b.size() < sb.SectorBytes ? b.size() : sb.SectorBytes;
    sb.SuperblockChecksum = MetadataChecksum(b.first(covered), kSuperblockCrcOffset);
  }
  return SuperblockParse{std::move(sb), {}};
}

std::string FeatureNames(const Superblock& sb) {
  // The version number's low four bits are the version, shown on a line of their own;
  // "morebits" only says that features2 is in use.
  static const char* const kVersionBits[] = {nullptr, nullptr, nullptr, nullptr, "attr", "nlink", "quota", "align",
                                             "dalign", "shared", "logv2", "sector", "extflg", "dirv2", "asciici", nullptr};
  static const char* const kFeatures2Bits[] = {"", "lazy_count", "", "attr2", "parent", "", "", "projid32bit", "crc", "ftype"};
  static const char* const kRoCompatBits[] = {"finobt", "rmapbt", "reflink", "inobtcount"};
  static const char* const kIncompatBits[] = {"ftype", "sparse_inodes", "meta_uuid", "bigtime", "needsrepair", "nrext64"};
  static const char* const kLogIncompatBits[] = {"log_xattrs"};
  std::string text = Names(sb.VersionNumber, kVersionBits, "versionnum");
  Join(text, Names(sb.Features2, kFeatures2Bits, "features2"));
  Join(text, Names(sb.CompatFeatures, {}, "compat"));
  Join(text, Names(sb.RoCompatFeatures, kRoCompatBits, "ro_compat"));
  Join(text, Names(sb.IncompatFeatures, kIncompatBits, "incompat"));
  Join(text, Names(sb.LogIncompatFeatures, kLogIncompatBits, "log_incompat"));
  return text;
}

std::string UuidText(std::span<const uint8_t, 16> u) {
  char text[37];
  std::snprintf(text, sizeof text, "%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x", u[0], u[1], u[2],
                u[3], u[4], u[5], u[6], u[7], u[8], u[9], u[10], u[11], u[12], u[13], u[14], u[15]);
  return text;
}

}  // namespace korvalane::xfs
