#include "core/fs/ntfs/NtfsGeometry.h"

#include <vector>

#include "core/Bytes.h"
#include "core/fs/BootGeometry.h"
#include "core/fs/ntfs/NtfsBootSector.h"

namespace korvalane {

bool ReadNtfsGeometry() {
  VolumeGeometry& g = Geometry();
  g.MftStartCluster = 0;
  std::vector<uint8_t> boot;
  if (!StartBootGeometry(g, boot)) return false;

  g.BytesPerSector = ntfs::BytesPerSector(boot);
  if (g.BytesPerSector < 512) return false;
  g.SectorsPerCluster = ntfs::SectorsPerCluster(boot);
  if (g.SectorsPerCluster == 0) return false;
  g.TotalSectors = ReadLe64(boot, ntfs::kTotalSectors);
  g.MftStartCluster = ReadLe64(boot, ntfs::kMftCluster);
  g.Clusters = g.TotalSectors / Bits(g.SectorsPerCluster);
  g.BytesPerCluster = Wrap(Bits(g.SectorsPerCluster) * Bits(g.BytesPerSector));
  return true;
}


}  // namespace korvalane
