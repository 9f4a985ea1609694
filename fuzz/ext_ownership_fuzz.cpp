// The ext ownership walk over a hostile volume: a superblock, group descriptors, bitmaps,
// inodes, extent trees, block maps and folders that point anywhere. The walk must end,
// stay within its buffers and its memory, and give every sector an answer.
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/fs/ext/OwnershipExt.h"
#include "core/fs/ext/ExtVolume.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzOwnership.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  korvalane::fuzzing::Volume(data, size, 512);
  Geometry().FileSystemKind = FileSystemKind::Ext;
  ext::VolumeState state;
  if (!ext::ReadExtGeometry(state)) return 0;
  fuzzing::WalkAndAsk([&state](OwnershipIndex& index, const WalkHooks& hooks, std::string* why) {
    return WalkExtOwnership(state, index, hooks, why);
  }, 5);
  return 0;
}
