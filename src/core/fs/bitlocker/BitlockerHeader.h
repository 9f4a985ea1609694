#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/model/Structure.h"

namespace korvalane::bitlocker {

// "-FVE-FS-": the volume header's OEM name at byte 3, and the signature of each FVE
// metadata block.
inline constexpr char kSignature[] = "-FVE-FS-";
inline constexpr size_t kSignatureOffset = 3;
inline constexpr size_t kSignatureBytes = 8;
bool HasVolumeSignature(std::span<const uint8_t> sector);

// Windows 7 and later jump with EB 58 90 and keep the three blocks' byte offsets at
// 0xB0, 0xB8 and 0xC0; Vista jumps with EB 52 90, keeps an NTFS-like header and the first
// block's cluster at 0x38, and the other two offsets only in the blocks.
enum class Layout : uint8_t { Windows7, Vista };
inline constexpr size_t kBlockOffsets = 0xB0;
inline constexpr size_t kIdentifierOffset = 0xA0;
inline constexpr size_t kVistaBlockCluster = 0x38;

struct VolumeHeader {
  Layout Kind = Layout::Windows7;
  uint16_t BytesPerSector = 0;
  uint8_t SectorsPerCluster = 0;
  std::array<uint8_t, 16> Identifier{};  // Windows 7 and later
  uint32_t Serial = 0;                   // Windows 7 and later (a FAT32-like serial)
  // The blocks' byte offsets as the header gives them (Vista: the first only, from its
  // cluster; the others 0).
  std::array<uint64_t, 3> BlockOffsets{};
};
std::optional<VolumeHeader> ParseVolumeHeader(std::span<const uint8_t> sector);

// An FVE metadata block: its 64-byte header, the 48-byte metadata header after it, and
// the metadata entries up to the metadata's size.
inline constexpr size_t kBlockHeaderBytes = 64;
inline constexpr size_t kMetadataHeaderBytes = 48;
inline constexpr size_t kEntriesOffset = kBlockHeaderBytes + kMetadataHeaderBytes;
// The bytes of a block read at most: a block holds a few KiB of key protectors.
inline constexpr size_t kLargestBlock = 65536;

struct MetadataEntry {
  size_t Offset = 0;  // from the block's first byte
  uint16_t Size = 0;
  uint16_t Type = 0;
  uint16_t ValueType = 0;
  uint16_t Version = 0;
  std::u16string Text;  // a Unicode string entry's text
};

struct MetadataBlock {
  uint64_t Byte = 0;  // where it was read
  bool Read = false;
  bool Signed = false;  // "-FVE-FS-"
  uint16_t Size = 0;
  uint16_t Version = 0;
  uint64_t EncryptedSize = 0;
  uint32_t VolumeHeaderSectors = 0;
  std::array<uint64_t, 3> BlockOffsets{};
  uint64_t VolumeHeaderOffset = 0;  // version 2; version 1 keeps the MFT mirror's cluster
  // The metadata header.
  uint32_t MetadataSize = 0;
  uint32_t MetadataVersion = 0;
  uint32_t MetadataHeaderSize = 0;
  uint32_t MetadataSizeCopy = 0;
  std::array<uint8_t, 16> VolumeIdentifier{};
  uint32_t NextNonce = 0;
  uint32_t EncryptionMethod = 0;
  uint64_t CreationTime = 0;
  std::vector<MetadataEntry> Entries;
  std::string EntriesProblem;  // why the walk of the entries stopped early
};
// The block from its bytes; the entries as far as the metadata size and the bytes reach.
MetadataBlock ParseMetadataBlock(std::span<const uint8_t> bytes, uint64_t byte);

// The bytes a block spans: its headers and metadata, at most kLargestBlock.
size_t BlockLength(const MetadataBlock& block);

// The names of the encryption methods ("AES-128-XTS"), of the entry types ("volume master
// key", "description") and of the value types ("Unicode string").
std::span<const ValueName> EncryptionMethods();
std::span<const ValueName> EntryTypes();
std::span<const ValueName> ValueTypes();
// The value's name in `names`, or null.
const char* NameIn(std::span<const ValueName> names, uint64_t value);

// What parsing a BitLocker volume found.
struct VolumeState {
  std::optional<VolumeHeader> Header;
  std::array<MetadataBlock, 3> Blocks{};
  std::string Problem;

  // Where block `index`'s copy of the three offsets differs from the volume header's (or,
  // on Vista, from the first block's): empty where they agree.
  std::string OffsetDisagreement(size_t index) const;
  // The first block whose signature and metadata header are sound, if any.
  const MetadataBlock* FirstSound() const;
};

using ByteReader = std::function<bool(uint64_t byte, std::span<uint8_t> out)>;

// Reads the volume header and its three metadata blocks through `read`; false (with
// Problem) where the volume header is not BitLocker's.
bool ReadBitlocker(const ByteReader& read, VolumeState& state);

// "4967D63B-2E29-4AD8-8399-F6A339E3D001": the Windows 7 identifier of a BitLocker volume.
std::string GuidOf(const std::array<uint8_t, 16>& bytes);

}  // namespace korvalane::bitlocker
