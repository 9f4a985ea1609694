#include "core/fs/bitlocker/BitlockerStructures.h"

#include <algorithm>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/FileSystem.h"
#include "core/fs/bitlocker/BitlockerFileSystem.h"
#include "core/model/Structure.h"
#include "core/text/Utf.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

using bitlocker::kBlockHeaderBytes;

constexpr FieldSpec kHeaderStart[] = {
    {0, 3, "Jump instruction", Show::Bytes},
    {3, 8, "Signature", Show::Ascii},
    {11, 2, "Bytes per sector", Show::Number},
    {13, 1, "Sectors per cluster", Show::Number},
    {14, 2, "Reserved sectors", Show::Number},
    {16, 1, "FAT copies", Show::Number},
    {17, 2, "Root directory entries", Show::Number},
    {19, 2, "Sectors (16-bit)", Show::Number},
    {21, 1, "Media descriptor", Show::Hex},
    {22, 2, "Sectors per FAT (16-bit)", Show::Number},
    {24, 2, "Sectors per track", Show::Number},
    {26, 2, "Number of heads", Show::Number},
    {28, 4, "Hidden sectors", Show::Number},
    {32, 4, "Sectors (32-bit)", Show::Number},
};
// Windows 7 and later: a FAT32-like parameter block, then BitLocker's own fields.
constexpr FieldSpec kHeaderWindows7[] = {
    {36, 4, "Sectors per FAT (32-bit)", Show::Number},
    {40, 2, "FAT flags", Show::Hex},
    {42, 2, "Version", Show::Number},
    {44, 4, "Root directory cluster", Show::Number},
    {48, 2, "FSInfo sector", Show::Number},
    {50, 2, "Backup boot sector", Show::Number},
    {52, 12, "Reserved", Show::Bytes},
    {64, 1, "Drive number", Show::Hex},
    {65, 1, "Reserved", Show::Hex},
    {66, 1, "Extended boot signature", Show::Hex},
    {67, 4, "Volume serial number", Show::Hex},
    {71, 11, "Volume label", Show::Ascii},
    {82, 8, "File system type", Show::Ascii},
    {90, 70, "Boot code", Show::Bytes},
    {bitlocker::kIdentifierOffset, 16, "BitLocker identifier", Show::Guid},
    {bitlocker::kBlockOffsets, 8, "FVE metadata block 1 offset", Show::Number},
    {bitlocker::kBlockOffsets + 8, 8, "FVE metadata block 2 offset", Show::Number},
    {bitlocker::kBlockOffsets + 16, 8, "FVE metadata block 3 offset", Show::Number},
    {200, 310, "Boot code", Show::Bytes},
};
// Vista: NTFS's layout, with the first block's cluster where NTFS keeps its MFT mirror's.
constexpr FieldSpec kHeaderVista[] = {
    {36, 4, "Unused", Show::Hex},
    {40, 8, "Total sectors", Show::Number},
    {48, 8, "MFT cluster", Show::Number},
    {bitlocker::kVistaBlockCluster, 8, "FVE metadata block 1 cluster", Show::Number},
    {64, 1, "Clusters per file record", Show::Number},
    {65, 3, "Unused", Show::Hex},
    {68, 1, "Clusters per index block", Show::Number},
    {69, 3, "Unused", Show::Hex},
    {72, 8, "Volume serial number", Show::Hex},
    {80, 4, "Checksum", Show::Hex},
    {84, 426, "Boot code", Show::Bytes},
};

constexpr FieldSpec kBlockHeader[] = {
    {0, 8, "Signature", Show::Ascii},
    {8, 2, "Size", Show::Number},
    {10, 2, "Version", Show::Number},
    {12, 2, "State", Show::Hex},
    {14, 2, "Next state", Show::Hex},
    {16, 8, "Encrypted volume size", Show::Number},
    {24, 4, "Unknown", Show::Hex},
    {28, 4, "Volume header sectors", Show::Number},
    {32, 8, "FVE metadata block 1 offset", Show::Number},
    {40, 8, "FVE metadata block 2 offset", Show::Number},
    {48, 8, "FVE metadata block 3 offset", Show::Number},
};
constexpr FieldSpec kMetadataHeader[] = {
    {0, 4, "Metadata size", Show::Number},
    {4, 4, "Version", Show::Number},
    {8, 4, "Metadata header size", Show::Number},
    {12, 4, "Metadata size copy", Show::Number},
    {16, 16, "Volume identifier", Show::Guid},
    {32, 4, "Next nonce counter", Show::Number},
};

}  // namespace

Structure DecodeBitlockerHeader(const StructureInput& input) {
  const bool vista = Fits(input.Bytes, 0, 3) && input.Bytes[0] == 0xEB && input.Bytes[1] == 0x52;
  Structure s = DecodeBootSector(input, "bitlocker-header", "BitLocker volume header", kHeaderStart,
                                 vista ? std::span<const FieldSpec>(kHeaderVista) : std::span<const FieldSpec>(kHeaderWindows7));
  FieldWriter writer(s, input.Bytes);
  writer.AddSignatureCheck("Signature", bitlocker::kSignatureOffset, bitlocker::kSignature);
  return s;
}

Structure DecodeFveMetadataBlock(const StructureInput& input) {
  Structure s;
  s.Id = "fve-metadata";
  s.Title = "BitLocker FVE metadata block";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> b = input.Bytes;
  const std::string header = "Block header";
  if (!writer.AddTable(header, 0, kBlockHeader)) return s;
  writer.AddSignatureCheck("Signature", 0, bitlocker::kSignature);
  const uint16_t version = ReadLe16(b, 10);
  if (!writer.Add(header, 56, 8, version == 1 ? "MFT mirror cluster" : "Volume header offset", Show::Number)) return s;
  const std::string metadata = "Metadata header";
  if (!writer.AddTable(metadata, kBlockHeaderBytes, kMetadataHeader)) return s;
  if (!writer.Add(metadata, kBlockHeaderBytes + 36, 4, "Encryption method", Show::Code, bitlocker::EncryptionMethods())) return s;
  if (!writer.Add(metadata, kBlockHeaderBytes + 40, 8, "Creation time", Show::FileTime)) return s;
  const bitlocker::MetadataBlock block = bitlocker::ParseMetadataBlock(b, input.Sector * input.SectorSize);
  writer.AddCheck("Block version (1 or 2)", version == 1 || version == 2, std::to_string(version), "1 or 2");
  writer.AddCheck("Metadata header size", block.MetadataHeaderSize == bitlocker::kMetadataHeaderBytes,
                  std::to_string(block.MetadataHeaderSize), std::to_string(bitlocker::kMetadataHeaderBytes));
  writer.AddCheck("Metadata size copy", block.MetadataSizeCopy == block.MetadataSize, std::to_string(block.MetadataSizeCopy),
                  std::to_string(block.MetadataSize));
  for (size_t i = 0; i < block.Entries.size(); ++i) {
    const bitlocker::MetadataEntry& entry = block.Entries[i];
    const std::string group = "Entry " + std::to_string(i + 1);
    if (!writer.Add(group, entry.Offset, 2, "Entry size", Show::Number)) break;
    if (!writer.Add(group, entry.Offset + 2, 2, "Entry type", Show::Code, bitlocker::EntryTypes())) break;
    if (!writer.Add(group, entry.Offset + 4, 2, "Value type", Show::Code, bitlocker::ValueTypes())) break;
    if (!writer.Add(group, entry.Offset + 6, 2, "Version", Show::Number)) break;
    if (entry.Size > 8) {
      const char* name = entry.ValueType == 0x0002 ? "Text" : "Value";
      if (!writer.Add(group, entry.Offset + 8, entry.Size - 8u, name, entry.ValueType == 0x0002 ? Show::Utf16 : Show::Bytes)) break;
    }
  }
  if (!block.EntriesProblem.empty()) writer.Note("The entries stop: " + block.EntriesProblem);

  // The block's copy of the three offsets against the volume header's.
  if (!input.Read || input.SectorSize == 0) return s;
  std::vector<uint8_t> sector((512 + input.SectorSize - 1) / input.SectorSize * input.SectorSize);
  if (!input.Read(0, sector)) return s;
  const std::optional<bitlocker::VolumeHeader> volume = bitlocker::ParseVolumeHeader(sector);
  if (!volume || volume->Kind != bitlocker::Layout::Windows7) return s;
  for (size_t i = 0; i < 3; ++i) {
    const uint64_t own = block.BlockOffsets[i];
    const uint64_t named = volume->BlockOffsets[i];
    writer.AddCheck("FVE metadata block " + std::to_string(i + 1) + " offset (as the volume header names it)", own == named,
                    std::to_string(own), std::to_string(named));
  }
  return s;
}

std::optional<StructureChoice> BitlockerStructureAt(const bitlocker::VolumeState& state, uint64_t sector) {
  const int32_t sectorBytes = Geometry().BytesPerSector;
  if (sectorBytes <= 0 || !state.Header) return std::nullopt;
  if (sector == 0) return StructureChoice{"bitlocker-header"};
  const auto size = static_cast<uint64_t>(sectorBytes);
  for (const bitlocker::MetadataBlock& block : state.Blocks) {
    if (block.Read && block.Byte % size == 0 && block.Byte / size == sector) return StructureChoice{"fve-metadata"};
  }
  return std::nullopt;
}

std::vector<StructureBackup> BitlockerStructureBackups(const bitlocker::VolumeState& state) {
  const int32_t sectorBytes = Geometry().BytesPerSector;
  if (sectorBytes <= 0 || !state.Header) return {};
  const auto size = static_cast<uint64_t>(sectorBytes);
  // The three blocks are copies of one another, headers and entries alike: each is held
  // against the first sound one (the one read), over that one's headers and metadata.
  const bitlocker::MetadataBlock* first = state.FirstSound();
  if (first == nullptr) first = &state.Blocks[0];
  if (!first->Read || first->Byte % size != 0) return {};
  std::vector<StructureBackup> pairs;
  for (const bitlocker::MetadataBlock& block : state.Blocks) {
    if (&block == first || !block.Read || block.Byte % size != 0 || block.Byte == first->Byte) continue;
    StructureBackup pair{"fve-metadata", first->Byte / size, block.Byte / size};
    pair.Length = bitlocker::BlockLength(*first);
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

uint64_t BitlockerStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset) {
  size_t bytes = 512;
  if (id == "fve-metadata") {
    bytes = bitlocker::kEntriesOffset;
    if (const bitlocker::VolumeState* state = BitlockerStateOf(CurrentFileSystem())) {
      for (const bitlocker::MetadataBlock& block : state->Blocks) {
        if (block.Read) bytes = std::max(bytes, bitlocker::BlockLength(block));
      }
    }
  }
  return (std::max<uint64_t>(offset + bytes, sectorSize) + sectorSize - 1) / sectorSize * sectorSize;
}

}  // namespace korvalane
