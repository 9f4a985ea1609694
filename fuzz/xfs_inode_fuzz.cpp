// An XFS inode over hostile bytes: its core, both forks (extent lists, a shortform
// directory, local data) under a v5 and a v4 superblock of 512-byte inodes, and its lines
// and JSON in the record view.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/fs/xfs/Inode.h"
#include "core/fs/xfs/Record.h"
#include "core/fs/xfs/Superblock.h"
#include "FuzzVolume.h"

namespace {

korvalane::xfs::Superblock Shape(bool v5) {
  korvalane::xfs::Superblock sb;
  sb.BlockBytes = 4096;
  sb.BlockLog = 12;
  sb.SectorBytes = 512;
  sb.SectorLog = 9;
  sb.InodeBytes = 512;
  sb.InodeLog = 9;
  sb.InodesPerBlock = 8;
  sb.InodesPerBlockLog = 3;
  sb.AgBlocks = 16;
  sb.AgBlockLog = 4;
  sb.AgCount = 1;
  sb.DataBlocks = 16;
  sb.VersionNumber = v5 ? 5 : 4;
  if (v5) sb.IncompatFeatures = 0x1;  // file types in directory entries
  return sb;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  const std::span<const uint8_t> bytes(data, size < 512 ? size : 512);
  for (const bool v5 : {true, false}) {
    const xfs::Superblock sb = Shape(v5);
    const xfs::Inode inode = xfs::ParseInode(sb, 131, bytes);
    // Nothing is decoded past the bytes a fork can hold.
    if (inode.DataFork.size() > 512 / 16 || inode.Entries.size() > 256) __builtin_trap();
  }
  // The same bytes as every slot of the block that holds inodes 0-7, through the view.
  std::vector<uint8_t> volume(16 * 4096, 0);
  for (size_t slot = 0; slot < 8; ++slot) {
    for (size_t i = 0; i < bytes.size(); ++i) volume[slot * 512 + i] = bytes[i];
  }
  fuzzing::Volume(volume.data(), volume.size(), 512);
  xfs::VolumeState state;
  state.Sb = Shape(true);
  ViewText view;
  Json json = Json::Object();
  xfs::WriteRecord(state, 0, &view, &json, nullptr, [] { return true; });
  return 0;
}
