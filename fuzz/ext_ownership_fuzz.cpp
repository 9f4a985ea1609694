// The ext ownership walk over a hostile volume: a superblock, group descriptors, bitmaps,
// inodes, extent trees, block maps and folders that point anywhere. The walk must end,
// stay within its buffers and its memory, and give every sector an answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fs/ext/OwnershipExt.h"
#include "core/fs/ext/Volume.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  korvalane::fuzzing::Volume(data, size, 512);
  Geometry().FileSystemKind = FileSystemKind::Ext;
  if (!ext::ReadExtGeometry()) return 0;
  OwnershipIndex index;
  std::string why;
  if (!WalkExtOwnership(index, WalkHooks{}, &why)) return 0;
  index.Finish();
  for (uint64_t sector = 0; sector < index.VolumeSectors(); sector += 5) {
    if (DescribeSector(index, sector).empty()) __builtin_trap();
  }
  return 0;
}
