// ext superblock and group descriptor table over hostile bytes. The input is the volume
// from byte 1024 on: its first 1024 bytes the superblock, the rest the blocks after it
// (block 0 is the input's start less 1024 bytes of zeros), read through a block reader
// that refuses everything past the input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/fs/ext/Superblock.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane::ext;
  std::vector<uint8_t> volume(1024, 0);
  volume.insert(volume.end(), data, data + size);
  if (volume.size() < 2048) volume.resize(2048, 0);
  const SuperblockParse parse = ParseSuperblock(std::span<const uint8_t>(volume).subspan(1024, 1024), volume.size(), 512);
  if (!parse.Value) return 0;
  const Superblock& sb = *parse.Value;
  // A parse that passes has counts that fit the volume it was given.
  if (sb.BlocksCount * sb.BlockBytes > volume.size() || sb.Groups == 0) __builtin_trap();
  const BlockReader read = [&](uint64_t block, std::span<uint8_t> out) {
    if (block > volume.size() / sb.BlockBytes) return false;
    const uint64_t at = block * sb.BlockBytes;
    if (out.size() > volume.size() - at) return false;
    std::copy_n(volume.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
    return true;
  };
  const DescriptorTable table = ReadGroupDescriptors(sb, read);
  if (table.Groups.size() > sb.Groups) __builtin_trap();
  (void)VersionName(sb);
  (void)CompatNames(sb.Compat);
  (void)IncompatNames(sb.Incompat);
  (void)RoCompatNames(sb.RoCompat);
  return 0;
}
