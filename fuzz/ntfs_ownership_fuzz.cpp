// The NTFS ownership walk over a hostile volume: a boot sector, an MFT whose records,
// attribute lists, data runs and parent references point anywhere. The walk must end,
// stay within its buffers and its memory, and give every sector an answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fs/ntfs/OwnershipNtfs.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzOwnership.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  korvalane::fuzzing::Volume(data, size, 512);
  Geometry().FileSystemKind = FileSystemKind::Ntfs;
  fuzzing::WalkAndAsk(WalkNtfsOwnership, 5);
  return 0;
}
