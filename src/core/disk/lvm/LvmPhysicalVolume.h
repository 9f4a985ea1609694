#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvalane {

// Reads `buffer.size()` bytes at byte `position` of the volume; false when they cannot
// be had.
using LvmReader = std::function<bool(uint64_t position, std::span<uint8_t> buffer)>;

// The label of a PV: one of its first four 512-byte sectors begins "LABELONE".
struct LvmLabel {
  uint64_t Sector = 0;        // where it was found (0-3)
  uint64_t SectorField = 0;   // the sector it says it is in
  uint32_t Crc = 0;           // stored: of the sector's bytes 20-511
  uint32_t ComputedCrc = 0;
  uint32_t HeaderOffset = 0;  // of the PV header, in the label's sector
  std::string Type;           // "LVM2 001"
};

// A disk area (a data area or a metadata area), in bytes of the PV.
struct LvmDiskArea {
  uint64_t Offset = 0;
  uint64_t Size = 0;  // 0 for a data area: to the PV's end
};

struct LvmPvHeader {
  std::string Uuid;  // as LVM prints it, "c3e54X-bXxt-hPV1-gXn6-ZAOi-s4VQ-XP8qWd"
  uint64_t DeviceSize = 0;  // bytes
  std::vector<LvmDiskArea> DataAreas;
  std::vector<LvmDiskArea> MetadataAreas;
};

// Where one copy of the metadata text lies in its metadata area.
struct LvmRawLocation {
  uint64_t Offset = 0;  // from the area's start
  uint64_t Size = 0;
  uint32_t Checksum = 0;
  uint32_t Flags = 0;  // 1: ignored
};

// The header at the start of a metadata area.
struct LvmMetadataHeader {
  uint64_t At = 0;  // byte of the PV
  uint32_t Checksum = 0;  // stored: of the header's bytes 4-511
  uint32_t ComputedChecksum = 0;
  bool MagicOk = false;
  uint32_t Version = 0;
  uint64_t Start = 0;
  uint64_t Size = 0;
  std::vector<LvmRawLocation> Locations;
};

// The metadata text read from a metadata area.
struct LvmMetadataCopy {
  std::string Text;
  uint64_t AreaOffset = 0;  // where in its area it begins
  uint32_t Checksum = 0;    // stored (the committed copy) or 0 (an older copy)
  uint32_t ComputedChecksum = 0;
  bool Committed = false;   // the committed copy, its checksum right
  // How it was found when it is not the committed copy: "the committed copy's checksum
  // is wrong (stored 0x..., computed 0x...): an older copy at byte N is read".
  std::string Note;
};

struct LvmPhysicalVolume {
  LvmLabel Label;
  LvmPvHeader Header;
  std::vector<LvmMetadataHeader> Areas;  // one per metadata area that could be read
  std::optional<LvmMetadataCopy> Metadata;
  // Why no metadata could be had, or what is odd about the label and headers.
  std::vector<std::string> Problems;
};

// The checksum of LVM2 labels, headers and metadata text: a CRC-32 of the reflected
// polynomial 0xEDB88320 from 0xF597A6CF, without final inversion.
uint32_t LvmCrc(std::span<const uint8_t> bytes, uint32_t crc = 0xF597A6CF);

// The metadata area header's magic.
inline constexpr char kLvmMetadataMagic[] = " LVM2 x[5A%r0N*>";

// Metadata areas larger than this are not read (LVM makes them 1 MiB by default).
inline constexpr uint64_t kLvmMaxMetadataArea = 64ull << 20;

// Decodes a label sector (512 bytes), a PV header (from the label's HeaderOffset on, to
// the sector's end) and a metadata area header (512 bytes). Bounded by the buffers.
std::optional<LvmLabel> DecodeLvmLabel(std::span<const uint8_t> sector, uint64_t sectorIndex);
LvmPvHeader DecodeLvmPvHeader(std::span<const uint8_t> bytes);
LvmMetadataHeader DecodeLvmMetadataHeader(std::span<const uint8_t> header, uint64_t at);

// Reads the PV at the start of a volume of `size` bytes: its label, PV header, metadata
// area headers and the newest metadata text that can be had. Nothing when the volume has
// no LVM2 label in its first four sectors.
std::optional<LvmPhysicalVolume> ReadLvmPhysicalVolume(const LvmReader& read, uint64_t size);

// Finds the metadata text in a whole metadata area (the header's 512 bytes first): the
// committed copy the header points at, or, when its checksum fails or its location is
// out of the area, the newest older copy that the ring still holds.
std::optional<LvmMetadataCopy> ReadLvmMetadataArea(std::span<const uint8_t> area, const LvmMetadataHeader& header,
                                                   std::string* problem);

}  // namespace korvalane
