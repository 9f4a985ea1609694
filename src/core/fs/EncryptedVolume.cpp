#include "core/fs/EncryptedVolume.h"

#include <vector>

#include "core/Platform.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

Location EncryptedVolume::LocateCluster(uint64_t) const {
  return Refuse(std::string("the volume is encrypted: its clusters lie inside what ") + scheme_ + " encrypts");
}

bool EncryptedVolume::ReadEncryptedGeometry(std::string& problem) {
  VolumeGeometry& g = Geometry();
  std::vector<uint8_t> bootSector;
  if (!ProbeBootSector(bootSector)) {
    problem = "the volume cannot be read";
    return false;
  }
  const int64_t bytes = g.CurrentDrive.empty() ? -1 : CurrentPlatform().VolumeTotalBytes(g.CurrentDrive);
  g.TotalSectors = bytes > 0 ? static_cast<uint64_t>(bytes) / static_cast<uint32_t>(g.BytesPerSector) : 0;
  g.BytesPerCluster = g.BytesPerSector;
  g.SectorsPerCluster = 1;
  g.Clusters = g.TotalSectors;
  return true;
}

}  // namespace korvalane
