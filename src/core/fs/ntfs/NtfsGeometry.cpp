#include "core/fs/ntfs/NtfsGeometry.h"

#include <vector>

#include "core/Bytes.h"
#include "core/fs/ntfs/NtfsBootSector.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// 32-bit geometry arithmetic wraps modulo 2^32, as the on-disk values can be anything.
int32_t Wrap(uint32_t value) { return static_cast<int32_t>(value); }
uint32_t Bits(int32_t value) { return static_cast<uint32_t>(value); }

}  // namespace

bool ReadNtfsGeometry() {
  VolumeGeometry& g = Geometry();
  g.SectorsPerCluster = 0;
  g.BytesPerCluster = 0;
  g.TotalSectors = 0;
  g.MftStartCluster = 0;

  std::vector<uint8_t> boot;
  if (!ProbeBootSector(boot)) return false;

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
