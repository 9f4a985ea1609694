// FAT directory listing over a hostile cluster. The first input byte chooses the geometry:
// bits 0-1 the sector size (512 << n), bits 2-4 the sectors per cluster (1 << n), bit 5
// FAT32's 32-bit first clusters, bit 6 whether sector 0 is the start of the data area
// (the root directory) or must prove itself a subdirectory. The rest is the volume.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Platform.h"
#include "core/views/FatDirectory.h"
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
  g.SectorsPerCluster = 1 << (choice >> 2 & 0x07u);
  g.FileSystemKind = (choice & 0x20u) != 0 ? FileSystemKind::Fat32 : FileSystemKind::Fat;
  g.StartDataSector = (choice & 0x40u) != 0 ? 0 : 1;
  ViewText view;
  ListFatDirectory(0, view, NoPump);
  // A listing never has more lines than the cluster has entries.
  if (view.size() > static_cast<size_t>(g.SectorsPerCluster) * sectorSize / 32 + 1) __builtin_trap();
  return 0;
}
