// ext inode report over hostile bytes, its extent tree or block map walked through the
// rest of the input. The first input byte chooses the geometry: bits 0-1 the block size
// (1024 << n), bits 2-3 the inode size (128 << n, at most the block size), bit 4
// metadata_csum, bit 5 huge_file. The next inode-size bytes are the inode; the whole
// input (after the choice byte) is also the volume its blocks are read from.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzVolume.h"
#include "core/fs/ext/Record.h"
#include "core/fs/ext/Superblock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  using namespace korvalane::ext;
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  fuzzing::Volume(data + 1, size - 1, 512);  // the platform that formats times
  Superblock sb;
  sb.BlockBytes = 1024u << (choice & 3u);
  sb.InodeBytes = std::min<uint32_t>(128u << (choice >> 2 & 3u), sb.BlockBytes);
  if ((choice & 0x10u) != 0) sb.RoCompat |= kRoCompatMetadataCsum;
  if ((choice & 0x20u) != 0) sb.RoCompat |= kRoCompatHugeFile;
  std::vector<uint8_t> volume(data + 1, data + size);
  volume.resize(std::max<size_t>(volume.size(), sb.InodeBytes), 0);
  sb.BlocksCount = volume.size() / sb.BlockBytes + 1;
  sb.InodesCount = 1u << 20;
  const BlockReader read = [&](uint64_t block, std::span<uint8_t> out) {
    if (block > volume.size() / sb.BlockBytes) return false;
    const uint64_t at = block * sb.BlockBytes;
    std::fill(out.begin(), out.end(), 0);
    std::copy_n(volume.begin() + static_cast<ptrdiff_t>(at), std::min<uint64_t>(out.size(), volume.size() - at), out.begin());
    return true;
  };
  InodeRecord record;
  record.Value = ParseInode(sb, 12, std::span<const uint8_t>(volume).first(sb.InodeBytes));
  record.Data = MapInode(sb, record.Value, read, 4096);
  // Every run lies in the tree or map that was read: no more data runs than pointers read.
  if (record.Data.IndexBlocks.size() > 4096) __builtin_trap();
  ViewText view;
  AppendInodeLines(record, view);
  return 0;
}
