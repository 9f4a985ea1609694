// The XFS ownership walk over a hostile volume: AG headers, free-space and inode btrees,
// inode chunks, forks with extents and btrees, and folders that point anywhere. The walk
// must end, stay within its buffers and its memory, and give every sector an answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fs/xfs/OwnershipXfs.h"
#include "core/fs/xfs/XfsVolume.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzOwnership.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  korvalane::fuzzing::Volume(data, size, 512);
  Geometry().FileSystemKind = FileSystemKind::Xfs;
  xfs::VolumeState state;
  if (!xfs::ReadXfsGeometry(state)) return 0;
  fuzzing::WalkAndAsk([&state](OwnershipIndex& index, const WalkHooks& hooks, std::string* why) {
    return WalkXfsOwnership(state, index, hooks, why);
  }, 7);
  return 0;
}
