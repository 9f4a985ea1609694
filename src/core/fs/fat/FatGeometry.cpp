#include "core/fs/fat/FatGeometry.h"

#include <vector>

#include "core/Bytes.h"
#include "core/fs/BootGeometry.h"
#include "core/fs/fat/FatBootSector.h"

namespace korvalane {

bool ReadFatGeometry() {
  VolumeGeometry& g = Geometry();
  std::vector<uint8_t> boot;
  if (!StartBootGeometry(g, boot)) return false;

  g.SectorsPerCluster = ReadU8(boot, fat::kSectorsPerCluster);
  if (g.SectorsPerCluster == 0) return false;
  g.ReservedSectors = ReadLe16(boot, fat::kReservedSectors);
  g.FatCopies = ReadU8(boot, fat::kFatCopies);
  g.FatSectors = g.FileSystemKind == FileSystemKind::Fat
                     ? static_cast<int32_t>(ReadLe16(boot, fat::kSectorsPerFat16))
                     : Wrap(ReadLe32(boot, fat::kSectorsPerFat32));
  g.StartDataSector = Wrap(Bits(g.FatSectors) * Bits(g.FatCopies) + Bits(g.ReservedSectors));

  // Volumes under 65536 sectors keep their count in the 16-bit field and leave the 32-bit
  // one at 0; only when both are 0 is the count estimated from the FAT's size.
  uint32_t total = ReadLe32(boot, fat::kTotalSectors32);
  if (total == 0) total = ReadLe16(boot, fat::kTotalSectors16);
  if (total == 0) {
    // The estimate is 32-bit arithmetic, as the FAT's own fields are.
    const uint32_t entriesPerByte = g.FileSystemKind == FileSystemKind::Fat ? 4 : 8;
    total = Bits(g.FatSectors) * Bits(g.BytesPerSector) * entriesPerByte - Bits(g.StartDataSector);
  }
  g.TotalSectors = total;

  // The probed length is at least 512, so these divisions are safe. The count shown is
  // truncated, as it always has been: a root directory of 500 entries in 512-byte sectors
  // shows 31, though it occupies 32 sectors on disk (RootDirectorySectorsOnDisk, which
  // finding a cluster uses, rounds up).
  g.RootSectors = static_cast<int32_t>(fat::RootEntries(boot) * fat::kDirectoryEntryBytes / Bits(g.BytesPerSector));
  if (g.RootSectors == 0) g.RootSectors = g.SectorsPerCluster;
  g.BytesPerCluster = Wrap(Bits(g.SectorsPerCluster) * Bits(g.BytesPerSector));
  g.Clusters = g.TotalSectors / Bits(g.SectorsPerCluster);
  g.FatSizeBytes = Wrap(Bits(g.FatSectors) * Bits(g.BytesPerSector));
  return true;
}

}  // namespace korvalane
