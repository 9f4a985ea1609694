#include "core/volume/BootSector.h"

#include <span>
#include <vector>

#include "core/Bytes.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// FAT boot sector (BIOS parameter block) fields.
constexpr size_t kFatSectorsPerCluster = 13;
constexpr size_t kFatReservedSectors = 14;
constexpr size_t kFatCopies = 16;
constexpr size_t kFatRootEntries = 17;
constexpr size_t kFatTotalSectors16 = 19;
constexpr size_t kFatSectorsPerFat16 = 22;
constexpr size_t kFatTotalSectors32 = 32;
constexpr size_t kFatSectorsPerFat32 = 36;

// NTFS boot sector fields.
constexpr size_t kNtfsBytesPerSector = 11;
constexpr size_t kNtfsSectorsPerCluster = 13;
constexpr size_t kNtfsTotalSectors = 40;
constexpr size_t kNtfsMftCluster = 48;

// exFAT boot sector fields.
constexpr size_t kExfatName = 3;
constexpr char kExfatNameText[] = "EXFAT   ";
constexpr size_t kExfatVolumeLength = 72;
constexpr size_t kExfatFatOffset = 80;
constexpr size_t kExfatFatLength = 84;
constexpr size_t kExfatClusterHeapOffset = 88;
constexpr size_t kExfatClusterCount = 92;
constexpr size_t kExfatRootCluster = 96;
constexpr size_t kExfatBytesPerSectorShift = 108;
constexpr size_t kExfatSectorsPerClusterShift = 109;
constexpr size_t kExfatNumberOfFats = 110;
constexpr size_t kBootSignature = 510;
constexpr uint16_t kBootSignatureValue = 0xAA55;
// Sectors of 512 to 4096 bytes, clusters of at most 32 MiB (2^25 bytes).
constexpr unsigned kExfatSmallestSectorShift = 9;
constexpr unsigned kExfatLargestSectorShift = 12;
constexpr unsigned kExfatLargestClusterShift = 25;

// 32-bit geometry arithmetic wraps modulo 2^32, as the on-disk values can be anything.
int32_t Wrap(uint32_t value) { return static_cast<int32_t>(value); }
uint32_t Bits(int32_t value) { return static_cast<uint32_t>(value); }

}  // namespace

bool ReadFatGeometry() {
  VolumeGeometry& g = Geometry();
  g.BytesPerCluster = 0;
  g.SectorsPerCluster = 0;
  g.TotalSectors = 0;

  std::vector<uint8_t> boot;
  if (!ProbeBootSector(boot)) return false;

  g.SectorsPerCluster = ReadU8(boot, kFatSectorsPerCluster);
  if (g.SectorsPerCluster == 0) return false;
  g.ReservedSectors = ReadLe16(boot, kFatReservedSectors);
  g.FatCopies = ReadU8(boot, kFatCopies);
  g.FatSectors = g.FileSystemKind == FileSystemKind::Fat
                     ? static_cast<int32_t>(ReadLe16(boot, kFatSectorsPerFat16))
                     : Wrap(ReadLe32(boot, kFatSectorsPerFat32));
  g.StartDataSector = Wrap(Bits(g.FatSectors) * Bits(g.FatCopies) + Bits(g.ReservedSectors));

  // Volumes under 65536 sectors keep their count in the 16-bit field and leave the 32-bit
  // one at 0; only when both are 0 is the count estimated from the FAT's size.
  uint32_t total = ReadLe32(boot, kFatTotalSectors32);
  if (total == 0) total = ReadLe16(boot, kFatTotalSectors16);
  if (total == 0) {
    // The estimate is 32-bit arithmetic, as the FAT's own fields are.
    const uint32_t entriesPerByte = g.FileSystemKind == FileSystemKind::Fat ? 4 : 8;
    total = Bits(g.FatSectors) * Bits(g.BytesPerSector) * entriesPerByte - Bits(g.StartDataSector);
  }
  g.TotalSectors = total;

  // The probed length is at least 512, so these divisions are safe.
  g.RootSectors = static_cast<int32_t>(ReadLe16(boot, kFatRootEntries)) * 32 / g.BytesPerSector;
  if (g.RootSectors == 0) g.RootSectors = g.SectorsPerCluster;
  g.BytesPerCluster = Wrap(Bits(g.SectorsPerCluster) * Bits(g.BytesPerSector));
  g.Clusters = g.TotalSectors / Bits(g.SectorsPerCluster);
  g.FatSizeBytes = Wrap(Bits(g.FatSectors) * Bits(g.BytesPerSector));
  return true;
}

bool ReadNtfsGeometry() {
  VolumeGeometry& g = Geometry();
  g.SectorsPerCluster = 0;
  g.BytesPerCluster = 0;
  g.TotalSectors = 0;
  g.MftStartCluster = 0;

  std::vector<uint8_t> boot;
  if (!ProbeBootSector(boot)) return false;

  g.BytesPerSector = ReadLe16(boot, kNtfsBytesPerSector);
  if (g.BytesPerSector < 512) return false;
  g.SectorsPerCluster = ReadU8(boot, kNtfsSectorsPerCluster);
  if (g.SectorsPerCluster == 0) return false;
  g.TotalSectors = ReadLe64(boot, kNtfsTotalSectors);
  g.MftStartCluster = ReadLe64(boot, kNtfsMftCluster);
  g.Clusters = g.TotalSectors / Bits(g.SectorsPerCluster);
  g.BytesPerCluster = Wrap(Bits(g.SectorsPerCluster) * Bits(g.BytesPerSector));
  return true;
}

bool ReadExfatGeometry() {
  VolumeGeometry& g = Geometry();
  g.BytesPerCluster = 0;
  g.SectorsPerCluster = 0;
  g.TotalSectors = 0;
  g.RootCluster = 0;

  std::vector<uint8_t> boot;
  if (!ProbeBootSector(boot)) return false;
  const std::span<const uint8_t> bytes(boot);
  for (size_t i = 0; i + 1 < sizeof kExfatNameText; ++i) {
    if (ReadU8(bytes, kExfatName + i) != static_cast<uint8_t>(kExfatNameText[i])) return false;
  }
  if (ReadLe16(bytes, kBootSignature) != kBootSignatureValue) return false;

  // The sector size is the device's, as the probe found it; a boot sector that claims
  // another one was written for another device (or is damaged), and its sector numbers
  // would all point elsewhere.
  const unsigned sectorShift = ReadU8(bytes, kExfatBytesPerSectorShift);
  const unsigned clusterShift = ReadU8(bytes, kExfatSectorsPerClusterShift);
  if (sectorShift < kExfatSmallestSectorShift || sectorShift > kExfatLargestSectorShift) return false;
  if ((uint32_t{1} << sectorShift) != Bits(g.BytesPerSector)) return false;
  if (sectorShift + clusterShift > kExfatLargestClusterShift) return false;

  g.SectorsPerCluster = static_cast<int32_t>(uint32_t{1} << clusterShift);
  g.TotalSectors = ReadLe64(bytes, kExfatVolumeLength);
  g.ReservedSectors = Wrap(ReadLe32(bytes, kExfatFatOffset));
  g.FatSectors = Wrap(ReadLe32(bytes, kExfatFatLength));
  g.StartDataSector = Wrap(ReadLe32(bytes, kExfatClusterHeapOffset));
  g.Clusters = ReadLe32(bytes, kExfatClusterCount);
  g.RootCluster = ReadLe32(bytes, kExfatRootCluster);
  g.FatCopies = ReadU8(bytes, kExfatNumberOfFats);
  g.FatSizeBytes = Wrap(Bits(g.FatSectors) * Bits(g.BytesPerSector));
  g.BytesPerCluster = Wrap(Bits(g.SectorsPerCluster) * Bits(g.BytesPerSector));
  return true;
}

std::optional<int64_t> ExfatRootDirectorySector() {
  const VolumeGeometry& g = Geometry();
  constexpr uint64_t kLargestCluster = 0xFFFFFFFFu;
  constexpr int32_t kMostSectorsPerCluster = int32_t{1} << (kExfatLargestClusterShift - kExfatSmallestSectorShift);
  if (g.RootCluster > kLargestCluster || g.SectorsPerCluster < 0 || g.SectorsPerCluster > kMostSectorsPerCluster) {
    return std::nullopt;
  }
  // At most 2^32 x 2^16 away from a 32-bit heap offset: well inside 64 bits.
  const int64_t heap = static_cast<uint32_t>(g.StartDataSector);
  return heap + (static_cast<int64_t>(g.RootCluster) - 2) * g.SectorsPerCluster;
}

}  // namespace korvalane
