// A FAT directory's later clusters over a hostile volume: a boot sector with any geometry,
// FATs whose chains loop, cross, jump and point anywhere. The first input byte chooses
// FAT12/16 or FAT32; the rest is the volume. Every cluster of the data area is listed as
// the command line lists it (through the FAT chain) and asked for its structure: each
// walk must end, within its buffers, and a listing never holds more lines than the
// cluster has entries.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "core/fs/fat/FatDirectory.h"
#include "core/fs/fat/FatDirectoryChain.h"
#include "core/fs/fat/FatGeometry.h"
#include "core/fs/fat/Structures.h"
#include "core/search/Locate.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  fuzzing::Volume(data + 1, size - 1, 512);
  VolumeGeometry& g = Geometry();
  g.FileSystemKind = (data[0] & 1) != 0 ? FileSystemKind::Fat32 : FileSystemKind::Fat;
  if (!ReadFatGeometry()) return 0;
  const Location first = LocateCluster(2);
  if (!first.Sector || g.SectorsPerCluster <= 0) return 0;
  // The clusters the input holds, and a few past its end.
  const uint64_t perCluster = static_cast<uint32_t>(g.SectorsPerCluster);
  const uint64_t clusters = std::min<uint64_t>(size / 512 / perCluster + 4, 256);
  for (uint64_t c = 0; c < clusters; ++c) {
    const uint64_t sector = *first.Sector + c * perCluster;
    if (const std::optional<Listing> listing = ReadFatDirectory(sector, NoPump, true)) {
      const uint64_t entries = perCluster * static_cast<uint32_t>(g.BytesPerSector) / 32;
      if (listing->Entries.size() > entries) __builtin_trap();
      if (listing->DirectoryFirstCluster && listing->ClusterInDirectory == 0) __builtin_trap();
    }
    FatStructureAt(sector);
  }
  return 0;
}
