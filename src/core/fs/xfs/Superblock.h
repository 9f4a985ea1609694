#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace korvalane::xfs {

// XFS keeps every number big-endian. These reads answer 0 past the buffer's end, as the
// little-endian ones of core/Bytes.h do.
uint16_t ReadBe16(std::span<const uint8_t> bytes, size_t offset);
uint32_t ReadBe32(std::span<const uint8_t> bytes, size_t offset);
uint64_t ReadBe64(std::span<const uint8_t> bytes, size_t offset);

// A stored CRC32c and the one the bytes give.
struct Checksum {
  uint32_t Stored = 0;
  uint32_t Computed = 0;
  bool Ok() const { return Stored == Computed; }
};

// The CRC32c of a v5 metadata block as XFS stores it: over all of `bytes` with the four
// bytes at `crcOffset` taken as zeros, inverted, little-endian on disk.
Checksum MetadataChecksum(std::span<const uint8_t> bytes, size_t crcOffset);

constexpr uint32_t kSuperblockMagic = 0x58465342;  // "XFSB"
// The superblock's fields end at byte 264; the sector that holds it is checksummed whole.
constexpr size_t kSuperblockFieldBytes = 264;
constexpr size_t kSuperblockCrcOffset = 224;

// Version number bits and feature bits.
constexpr uint16_t kVersionNumberMask = 0x000F;
constexpr uint16_t kVersionMoreBitsBit = 0x8000;
constexpr uint32_t kVersion2FtypeBit = 0x0200;

// The superblock's fields, checked against each other and against the volume.
struct Superblock {
  uint32_t BlockBytes = 0;
  uint64_t DataBlocks = 0;
  uint64_t RealtimeBlocks = 0;
  uint64_t RealtimeExtents = 0;
  std::array<uint8_t, 16> Uuid{};
  uint64_t LogStart = 0;  // an AG-encoded block number
  uint64_t RootInode = 0;
  uint64_t RealtimeBitmapInode = 0;
  uint64_t RealtimeSummaryInode = 0;
  uint32_t RealtimeExtentBlocks = 0;
  uint32_t AgBlocks = 0;
  uint32_t AgCount = 0;
  uint32_t LogBlocks = 0;
  uint16_t VersionNumber = 0;
  uint16_t SectorBytes = 0;
  uint16_t InodeBytes = 0;
  uint16_t InodesPerBlock = 0;
  std::string Name;
  uint8_t BlockLog = 0;
  uint8_t SectorLog = 0;
  uint8_t InodeLog = 0;
  uint8_t InodesPerBlockLog = 0;
  uint8_t AgBlockLog = 0;
  uint8_t MaxInodePercent = 0;
  uint64_t InodeCount = 0;
  uint64_t FreeInodes = 0;
  uint64_t FreeDataBlocks = 0;
  uint32_t InodeAlignment = 0;
  uint32_t StripeUnit = 0;
  uint32_t StripeWidth = 0;
  uint8_t DirectoryBlockLog = 0;
  uint32_t Features2 = 0;
  uint32_t CompatFeatures = 0;
  uint32_t RoCompatFeatures = 0;
  uint32_t IncompatFeatures = 0;
  uint32_t LogIncompatFeatures = 0;
  std::array<uint8_t, 16> MetaUuid{};
  std::optional<Checksum> SuperblockChecksum;  // v5 only

  // 5 for volumes with CRCs, 4 (or less) otherwise.
  uint32_t Version() const { return VersionNumber & kVersionNumberMask; }
  bool HasCrc() const { return Version() == 5; }
  uint32_t SectorsPerBlock() const { return BlockBytes / SectorBytes; }
  uint32_t DirectoryBlockBytes() const { return BlockBytes << DirectoryBlockLog; }
  // The blocks of AG `ag` (the last may be short).
  uint32_t AgLength(uint32_t ag) const;
  // An AG-encoded block number (AG in the bits above AgBlockLog) as its AG and block in it.
  uint32_t AgOf(uint64_t fsblock) const { return static_cast<uint32_t>(fsblock >> AgBlockLog); }
  uint32_t AgBlockOf(uint64_t fsblock) const { return static_cast<uint32_t>(fsblock & ((uint64_t{1} << AgBlockLog) - 1)); }
  // The volume's block numbered from 0 at byte 0 that an AG's block is.
  uint64_t LinearBlock(uint32_t ag, uint32_t agBlock) const { return uint64_t{ag} * AgBlocks + agBlock; }
};

struct SuperblockParse {
  std::optional<Superblock> Value;
  std::string Problem;
};

// Parses a superblock from the start of `bytes` (its whole sector, so that a v5 checksum
// can be computed; at least kSuperblockFieldBytes). `volumeBytes` (0 when unknown) bounds
// the blocks it may claim. A checksum mismatch is reported, not refused.
SuperblockParse ParseSuperblock(std::span<const uint8_t> bytes, uint64_t volumeBytes);

// The feature names of the version number, features2 and the v5 feature words, as
// xfs_info shows them ("crc finobt sparse_inodes reflink bigtime ...").
std::string FeatureNames(const Superblock& sb);

// A UUID as 8-4-4-4-12 lower-case hex digits.
std::string UuidText(std::span<const uint8_t, 16> uuid);

}  // namespace korvalane::xfs
