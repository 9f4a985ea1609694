#include "core/fs/exfat/ExfatGeometry.h"

#include <span>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/BootGeometry.h"
#include "core/fs/exfat/ExfatBootSector.h"

namespace korvalane {

bool ReadExfatGeometry() {
  VolumeGeometry& g = Geometry();
  g.RootCluster = 0;
  std::vector<uint8_t> boot;
  if (!StartBootGeometry(g, boot)) return false;
  const std::span<const uint8_t> bytes(boot);
  if (!exfat::HasName(bytes) || !exfat::HasBootSignature(bytes)) return false;

  // The sector size is the device's, as the probe found it; a boot sector that claims
  // another one was written for another device (or is damaged), and its sector numbers
  // would all point elsewhere.
  const unsigned sectorShift = ReadU8(bytes, exfat::kBytesPerSectorShift);
  const unsigned clusterShift = ReadU8(bytes, exfat::kSectorsPerClusterShift);
  if (sectorShift < exfat::kSmallestSectorShift || sectorShift > exfat::kLargestSectorShift) return false;
  if ((uint32_t{1} << sectorShift) != Bits(g.BytesPerSector)) return false;
  if (sectorShift + clusterShift > exfat::kLargestClusterShift) return false;

  g.SectorsPerCluster = static_cast<int32_t>(uint32_t{1} << clusterShift);
  g.TotalSectors = ReadLe64(bytes, exfat::kVolumeLength);
  g.ReservedSectors = Wrap(ReadLe32(bytes, exfat::kFatOffset));
  g.FatSectors = Wrap(ReadLe32(bytes, exfat::kFatLength));
  g.StartDataSector = Wrap(ReadLe32(bytes, exfat::kClusterHeapOffset));
  g.Clusters = ReadLe32(bytes, exfat::kClusterCount);
  g.RootCluster = ReadLe32(bytes, exfat::kRootCluster);
  g.FatCopies = ReadU8(bytes, exfat::kNumberOfFats);
  g.FatSizeBytes = Wrap(Bits(g.FatSectors) * Bits(g.BytesPerSector));
  g.BytesPerCluster = Wrap(Bits(g.SectorsPerCluster) * Bits(g.BytesPerSector));
  return true;
}

std::optional<int64_t> ExfatRootDirectorySector() {
  const VolumeGeometry& g = Geometry();
  constexpr uint64_t kLargestCluster = 0xFFFFFFFFu;
  constexpr int32_t kMostSectorsPerCluster = int32_t{1} << (exfat::kLargestClusterShift - exfat::kSmallestSectorShift);
  if (g.RootCluster > kLargestCluster || g.SectorsPerCluster < 0 || g.SectorsPerCluster > kMostSectorsPerCluster) {
    return std::nullopt;
  }
  // At most 2^32 x 2^16 away from a 32-bit heap offset: well inside 64 bits.
  const int64_t heap = static_cast<uint32_t>(g.StartDataSector);
  return heap + (static_cast<int64_t>(g.RootCluster) - 2) * g.SectorsPerCluster;
}

}  // namespace korvalane
