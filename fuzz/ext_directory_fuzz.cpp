// ext directory block over hostile bytes. The first input byte chooses the geometry:
// bits 0-1 the block size (1024 << n), bit 2 the filetype feature, bit 3 metadata_csum.
// The rest is the block (padded with zeros or cut to the block size).
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "FuzzVolume.h"
#include "core/fs/ext/Directory.h"
#include "core/fs/ext/Record.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  using namespace korvalane::ext;
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  fuzzing::Volume(data + 1, size - 1, 512);
  Superblock sb;
  sb.BlockBytes = 1024u << (choice & 3u);
  sb.InodesCount = 1u << 20;
  if ((choice & 0x4u) != 0) sb.Incompat |= kIncompatFiletype;
  if ((choice & 0x8u) != 0) sb.RoCompat |= kRoCompatMetadataCsum;
  std::vector<uint8_t> block(data + 1, data + size);
  block.resize(sb.BlockBytes, 0);
  DirectoryRecord record;
  record.Dir = ParseDirectoryBlock(sb, block);
  // A record is at least 12 bytes and live ones tile the block; deleted ones are found in
  // the slack 4 bytes apart at least: no more entries than the block has words.
  if (record.Dir.Entries.size() > sb.BlockBytes / 4) __builtin_trap();
  if (record.Dir.StoredChecksum) {
    record.TailChecksum = Checksum{*record.Dir.StoredChecksum, DirectoryChecksum(sb, record.Dir, block, 2, 0)};
  }
  ViewText view;
  AppendDirectoryLines(record, view);
  // The same bytes as a folder kept in its inode: 60 bytes, then the attribute's part.
  const DirectoryBlock inlined = ParseInlineDirectory(sb, std::span<const uint8_t>(block).first(std::min<size_t>(size - 1, 160)), 60);
  if (inlined.Entries.size() > 160 / 4 + 1) __builtin_trap();
  return 0;
}
