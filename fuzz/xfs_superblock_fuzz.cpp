// XFS superblock and the Details report over hostile bytes: the input is the volume from
// byte 0 (the superblock, then the AG headers after it), opened as drive C: of an
// in-memory platform, so that every AGF and AGI the superblock points at is read too.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/fs/xfs/Superblock.h"
#include "core/fs/xfs/XfsDetails.h"
#include "core/fs/xfs/XfsVolume.h"
#include "FuzzVolume.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  const xfs::SuperblockParse parse = xfs::ParseSuperblock(std::span<const uint8_t>(data, size), size);
  if (parse.Value) {
    const xfs::Superblock& sb = *parse.Value;
    // A parse that passes has counts that fit the volume it was given.
    if (sb.DataBlocks * sb.BlockBytes > size || sb.AgCount == 0 || sb.SectorsPerBlock() == 0) __builtin_trap();
    (void)xfs::FeatureNames(sb);
  }
  fuzzing::Volume(data, size, 512);
  xfs::VolumeState state;
  if (!xfs::ReadXfsGeometry(state)) return 0;
  ViewText view;
  Json json = Json::Object();
  xfs::WriteDetails(state, u"Drive C:\\, ", &view, &json, [] { return true; });
  return 0;
}
