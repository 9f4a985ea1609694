// The exFAT ownership walk over a hostile volume: a boot sector, a FAT whose chains loop
// and cross, directories that hold their parents, an allocation bitmap of any length
// anywhere. The walk must end, stay within its buffers, and give every sector an answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fs/exfat/OwnershipExfat.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  korvalane::fuzzing::Volume(data, size, 512);
  Geometry().FileSystemKind = FileSystemKind::Exfat;
  OwnershipIndex index;
  std::string why;
  if (!WalkExfatOwnership(index, WalkHooks{}, &why)) return 0;
  index.Finish();
  for (uint64_t sector = 0; sector < index.VolumeSectors(); sector += 7) {
    if (DescribeSector(index, sector).empty()) __builtin_trap();
  }
  return 0;
}
