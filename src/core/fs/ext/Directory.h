#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/ext/Superblock.h"

namespace korvalane::ext {

struct DirectoryEntry {
  uint32_t Offset = 0;  // in the block
  uint32_t Inode = 0;
  uint32_t RecordBytes = 0;
  uint8_t FileType = 0;  // 0 unknown, 1 file, 2 directory ... 7 symlink (with the filetype feature)
  std::string Name;      // as stored (UTF-8 in practice)
  bool Deleted = false;  // found in the slack of the record before it, or a first record of inode 0
};

// An htree index: the root (in the directory's first block, after "." and "..") or an
// interior node (a block whose one empty record covers it all).
struct HtreeIndex {
  bool Root = false;
  uint8_t HashVersion = 0;
  uint8_t Levels = 0;  // indirect levels below the root
  uint16_t Limit = 0;
  uint16_t Count = 0;
  std::vector<std::pair<uint32_t, uint32_t>> Entries;  // hash, logical block of the directory
};

enum class DirectoryKind { NotADirectory, Linear, HtreeRoot, HtreeNode };

struct DirectoryBlock {
  DirectoryKind Kind = DirectoryKind::NotADirectory;
  std::vector<DirectoryEntry> Entries;
  std::optional<HtreeIndex> Index;
  // With metadata_csum: where the checksum stands, and the bytes it covers before it (the
  // linear tail's 12 bytes, or the htree node's tail after its `Limit` entries).
  std::optional<uint32_t> StoredChecksum;
  uint32_t CoveredBytes = 0;
  std::optional<uint32_t> TailReserved;  // an htree tail's first word, which the checksum also covers
  std::vector<std::string> Problems;
};

// Reads a block as a directory block. It is one when its first record is sound (a length
// of at least 12 that is a multiple of 4 and stays in the block, a name that fits); the
// records after a damaged one are not read, and a problem line says where it stopped.
// Deleted entries are looked for in the slack after each record's name.
DirectoryBlock ParseDirectoryBlock(const Superblock& sb, std::span<const uint8_t> block);

// The entries of a directory kept in its inode (inline_data): the parent's inode in the
// first 4 bytes (listed as ".."), then records filling the rest of the 60 bytes, then
// those of the extended attribute's part. Damaged records end a part with a problem.
DirectoryBlock ParseInlineDirectory(const Superblock& sb, std::span<const uint8_t> bytes, size_t firstPart);

// The checksum of a directory block of directory `inode` (of `generation`) as its tail
// would hold it.
uint32_t DirectoryChecksum(const Superblock& sb, const DirectoryBlock& dir, std::span<const uint8_t> block,
                           uint32_t inode, uint32_t generation);

// "file", "directory", "char device", "block device", "fifo", "socket", "symlink" or
// "unknown" for a directory entry's type byte.
std::string EntryTypeName(uint8_t fileType);

}  // namespace korvalane::ext
