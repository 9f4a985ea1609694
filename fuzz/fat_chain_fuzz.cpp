// The FAT ownership walk over a hostile FAT12/16/32 volume: boot sector, FATs whose chains
// loop, cross and point anywhere, directories that hold their parents. The walk must end,
// stay within its buffers, and give every sector of the volume an answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fs/fat/OwnershipFat.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzOwnership.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  korvalane::fuzzing::Volume(data, size, 512);
  Geometry().FileSystemKind = FileSystemKind::Fat;
  fuzzing::WalkAndAsk(WalkFatOwnership, 7);
  return 0;
}
