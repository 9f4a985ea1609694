// An XFS directory data block over hostile bytes (single-block and leaf/node data
// blocks, v5 and v4 headers, free regions and the deleted entries they keep), under a
// superblock of 4096-byte directory blocks with file types in the entries.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/fs/xfs/Directory.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane::xfs;
  Superblock sb;
  sb.BlockBytes = 4096;
  sb.BlockLog = 12;
  sb.SectorBytes = 512;
  sb.VersionNumber = 5;
  for (const uint32_t incompat : {0x1u, 0x0u}) {
    sb.IncompatFeatures = incompat;
    const DirectoryBlock dir = ParseDirectoryBlock(sb, std::span<const uint8_t>(data, size));
    for (const DirectoryEntry& e : dir.Entries) {
      // Every entry lies inside the block it was read from.
      if (e.Offset >= size || e.Name.size() > 255) __builtin_trap();
    }
  }
  return 0;
}
