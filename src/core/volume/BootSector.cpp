#include "core/volume/BootSector.h"

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

}  // namespace korvalane
