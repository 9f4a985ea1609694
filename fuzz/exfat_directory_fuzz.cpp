// exFAT directory listing over a hostile cluster. The first input byte chooses the
// geometry: bits 0-1 the sector size (512 << n), bits 2-5 the sectors per cluster
// (1 << n, up to clusters of more than 32 MiB, which are refused), bit 6 whether sector 0
// is the root directory's first sector or must prove itself by its first entry set. The
// rest is the volume.
#include <cstddef>
#include <cstdint>

#include "core/Platform.h"
#include "core/views/ExfatDirectory.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzVolume.h"

using korvalane::fuzzing::Volume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  const uint32_t sectorSize = 512u << (choice & 0x03u);
  Volume(data + 1, size - 1, sectorSize);
  VolumeGeometry& g = Geometry();
  g.FileSystemKind = FileSystemKind::Exfat;
  g.SectorsPerCluster = 1 << (choice >> 2 & 0x0Fu);
  // The heap at sector 0; the root is cluster 2 (at sector 0) or cluster 3.
  g.StartDataSector = 0;
  g.RootCluster = (choice & 0x40u) != 0 ? 2 : 3;
  ViewText view;
  ListExfatDirectory(0, view, NoPump);
  // A listing never has more lines than the cluster has entries.
  const uint64_t clusterBytes = uint64_t{static_cast<uint32_t>(g.SectorsPerCluster)} * sectorSize;
  if (view.size() > clusterBytes / 32 + 1) __builtin_trap();
  return 0;
}
