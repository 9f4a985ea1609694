// The NTFS ownership walk over a hostile volume: a boot sector, an MFT whose records,
// attribute lists, data runs and parent references point anywhere. The walk must end,
// stay within its buffers and its memory, and give every sector an answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fs/ntfs/OwnershipNtfs.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  korvalane::fuzzing::Volume(data, size, 512);
  Geometry().FileSystemKind = FileSystemKind::Ntfs;
  OwnershipIndex index;
  std::string why;
  if (!WalkNtfsOwnership(index, WalkHooks{}, &why)) return 0;
  index.Finish();
  for (uint64_t sector = 0; sector < index.VolumeSectors(); sector += 5) {
    if (DescribeSector(index, sector).empty()) __builtin_trap();
  }
  return 0;
}
