// The exFAT ownership walk over a hostile volume: a boot sector, a FAT whose chains loop
// and cross, directories that hold their parents, an allocation bitmap of any length
// anywhere. The walk must end, stay within its buffers, and give every sector an answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fs/exfat/OwnershipExfat.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzOwnership.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  korvalane::fuzzing::Volume(data, size, 512);
  Geometry().FileSystemKind = FileSystemKind::Exfat;
  fuzzing::WalkAndAsk(WalkExfatOwnership, 7);
  return 0;
}
