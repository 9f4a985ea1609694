#include "core/fs/ext/Directory.h"

#include <algorithm>

#include "core/Bytes.h"
#include "core/fs/ext/Checksums.h"

namespace korvalane::ext {
namespace {

// A directory record: inode (4), record length (2), name length (1), file type (1), name.
constexpr uint32_t kHeaderBytes = 8;
constexpr uint32_t kSmallestRecord = 12;
constexpr uint8_t kLastFileType = 7;
// The checksum tail of a linear block: a record of inode 0, length 12, name length 0 and
// type 0xDE, then the crc32c.
constexpr uint32_t kTailBytes = 12;
constexpr uint8_t kTailType = 0xDE;
// htree: the root's info follows "." (12 bytes) and ".." (at 12): 4 reserved bytes, hash
// version, info length 8, indirect levels, flags; then limit, count and the entries.
constexpr size_t kRootInfo = 0x18;
constexpr uint8_t kRootInfoLength = 8;
constexpr size_t kRootEntries = 0x20;
constexpr size_t kNodeEntries = 0x08;
constexpr uint32_t kIndexEntryBytes = 8;
constexpr uint32_t kIndexTailBytes = 8;
constexpr uint8_t kDeepestHtree = 3;
constexpr uint32_t kLargestRecordLength = 65535;

uint32_t RecordLength(const Superblock& sb, std::span<const uint8_t> b, size_t at) {
  const uint32_t stored = ReadLe16(b, at + 4);
  if (sb.BlockBytes < 65536) return stored;
  // 64 KiB blocks: 65535 or 0 stands for the whole block, the low two bits for bits 16-17.
  if (stored == kLargestRecordLength || stored == 0) return sb.BlockBytes;
  return (stored & 65532u) | (stored & 3u) << 16;
}

uint32_t NameLength(const Superblock& sb, std::span<const uint8_t> b, size_t at) {
  return sb.HasFiletype() ? ReadU8(b, at + 6) : ReadLe16(b, at + 6);
}

uint32_t Needed(uint32_t nameLength) { return (kHeaderBytes + nameLength + 3) / 4 * 4; }

bool NameIsSound(std::span<const uint8_t> b, size_t at, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i) {
    const uint8_t c = b[at + kHeaderBytes + i];
    if (c == 0 || c == '/') return false;
  }
  return true;
}

// Whether a record at `at` (of at most `room` bytes) could be a real one.
bool Sound(const Superblock& sb, std::span<const uint8_t> b, size_t at, uint32_t room, bool slack) {
  if (room < kSmallestRecord || !Fits(b, at, kHeaderBytes)) return false;
  const uint32_t length = RecordLength(sb, b, at);
  const uint32_t name = NameLength(sb, b, at);
  const uint32_t inode = ReadLe32(b, at);
  if (length < kSmallestRecord || length % 4 != 0 || length > room) return false;
  if (name == 0 || Needed(name) > length || !Fits(b, at, kHeaderBytes + name)) return false;
  if (sb.HasFiletype() && ReadU8(b, at + 7) > kLastFileType) return false;
  if (inode > sb.InodesCount || (slack && inode == 0)) return false;
  return NameIsSound(b, at, name);
}

DirectoryEntry Entry(const Superblock& sb, std::span<const uint8_t> b, size_t at, bool deleted) {
  DirectoryEntry e;
  e.Offset = static_cast<uint32_t>(at);
  e.Inode = ReadLe32(b, at);
  e.RecordBytes = RecordLength(sb, b, at);
  e.FileType = sb.HasFiletype() ? ReadU8(b, at + 7) : 0;
  const uint32_t name = NameLength(sb, b, at);
  if (Fits(b, at + kHeaderBytes, name)) e.Name.assign(b.begin() + static_cast<ptrdiff_t>(at + kHeaderBytes), b.begin() + static_cast<ptrdiff_t>(at + kHeaderBytes + name));
  e.Deleted = deleted;
  return e;
}

// Deleted records in the slack of a record: ext2-4 delete an entry by adding its length
// to the record before it, so its bytes stay behind that record's name.
void Slack(const Superblock& sb, std::span<const uint8_t> b, size_t from, size_t end, DirectoryBlock& dir) {
  size_t pos = from;
  while (pos + kSmallestRecord <= end) {
    if (Sound(sb, b, pos, static_cast<uint32_t>(end - pos), true)) {
      dir.Entries.push_back(Entry(sb, b, pos, true));
      pos += Needed(NameLength(sb, b, pos));
    } else {
      pos += 4;
    }
  }
}

std::optional<HtreeIndex> Index(const Superblock& sb, std::span<const uint8_t> b, bool root, DirectoryBlock& dir) {
  HtreeIndex index;
  index.Root = root;
  const size_t entries = root ? kRootEntries : kNodeEntries;
  if (root) {
    if (ReadLe32(b, kRootInfo) != 0 || ReadU8(b, kRootInfo + 5) != kRootInfoLength) return std::nullopt;
    index.HashVersion = ReadU8(b, kRootInfo + 4);
    index.Levels = ReadU8(b, kRootInfo + 6);
  }
  index.Limit = ReadLe16(b, entries);
  index.Count = ReadLe16(b, entries + 2);
  const uint32_t tail = sb.HasMetadataCsum() ? kIndexTailBytes : 0;
  const uint32_t limit = static_cast<uint32_t>((b.size() - entries - tail) / kIndexEntryBytes);
  if (index.Limit != limit) return std::nullopt;
  if (index.Count == 0 || index.Count > index.Limit) {
    dir.Problems.push_back("the htree index holds " + std::to_string(index.Count) + " entries of at most " +
                           std::to_string(index.Limit));
  }
  if (index.Levels >= kDeepestHtree) dir.Problems.push_back("the htree claims " + std::to_string(index.Levels) + " levels below its root");
  const uint16_t count = std::min(index.Count, index.Limit);
  for (uint32_t i = 0; i < count; ++i) {
    const size_t at = entries + i * kIndexEntryBytes;
    // The first entry's hash field holds limit and count: its hash is 0.
    index.Entries.emplace_back(i == 0 ? 0 : ReadLe32(b, at), ReadLe32(b, at + 4));
  }
  if (tail != 0) {
    const size_t at = entries + size_t{index.Limit} * kIndexEntryBytes;
    dir.StoredChecksum = ReadLe32(b, at + 4);
    dir.TailReserved = ReadLe32(b, at);
    dir.CoveredBytes = static_cast<uint32_t>(entries + size_t{count} * kIndexEntryBytes);
  }
  return index;
}

}  // namespace

DirectoryBlock ParseDirectoryBlock(const Superblock& sb, std::span<const uint8_t> b) {
  DirectoryBlock dir;
  const auto size = static_cast<uint32_t>(b.size());
  if (size < kSmallestRecord) return dir;

  // An htree interior node: one record of inode 0 and no name over the whole block.
  if (ReadLe32(b, 0) == 0 && RecordLength(sb, b, 0) == size && NameLength(sb, b, 0) == 0) {
    if (auto index = Index(sb, b, false, dir)) {
      dir.Kind = DirectoryKind::HtreeNode;
      dir.Index = std::move(index);
      return dir;
    }
  }
  // A first record of inode 0 is an entry deleted at the block's start, or the one empty
  // record of an empty block: its length must still be sound.
  const bool firstEmpty = ReadLe32(b, 0) == 0;
  if (firstEmpty) {
    const uint32_t length = RecordLength(sb, b, 0);
    if (length < kSmallestRecord || length % 4 != 0 || length > size) return dir;
    if (NameLength(sb, b, 0) != 0 && !Sound(sb, b, 0, size, false)) return dir;
  } else if (!Sound(sb, b, 0, size, false)) {
    return dir;
  }
  dir.Kind = DirectoryKind::Linear;

  // The htree root: "." of 12 bytes, then ".." over the rest of the block, holding the index.
  const bool dots = !firstEmpty && RecordLength(sb, b, 0) == kSmallestRecord && NameLength(sb, b, 0) == 1 &&
                    ReadU8(b, 8) == '.' && NameLength(sb, b, 12) == 2 && RecordLength(sb, b, 12) == size - 12;
  if (dots) {
    if (auto index = Index(sb, b, true, dir)) {
      dir.Kind = DirectoryKind::HtreeRoot;
      dir.Index = std::move(index);
      dir.Entries.push_back(Entry(sb, b, 0, false));
      dir.Entries.push_back(Entry(sb, b, 12, false));
      return dir;
    }
  }

  uint32_t end = size;
  if (sb.HasMetadataCsum() && size >= kTailBytes) {
    const size_t tail = size - kTailBytes;
    if (ReadLe32(b, tail) == 0 && ReadLe16(b, tail + 4) == kTailBytes && ReadU8(b, tail + 6) == 0 &&
        ReadU8(b, tail + 7) == kTailType) {
      end = size - kTailBytes;
      dir.StoredChecksum = ReadLe32(b, tail + 8);
      dir.CoveredBytes = end;
    } else {
      dir.Problems.push_back("the block has no checksum tail");
    }
  }

  size_t pos = 0;
  while (pos < end) {
    const uint32_t room = static_cast<uint32_t>(end - pos);
    const uint32_t length = RecordLength(sb, b, pos);
    const uint32_t name = NameLength(sb, b, pos);
    const uint32_t inode = ReadLe32(b, pos);
    if (room < kSmallestRecord || length < kSmallestRecord || length % 4 != 0 || length > room) {
      dir.Problems.push_back("the record at byte " + std::to_string(pos) + " has a length of " + std::to_string(length) +
                             (length % 4 != 0 ? " (not a multiple of 4)" : length > room ? " (past the block)" : " (too short)") +
                             "; the records after it are not read");
      break;
    }
    if (Needed(name) > length) {
      dir.Problems.push_back("the name at byte " + std::to_string(pos) + " (" + std::to_string(name) +
                             " bytes) runs past its record of " + std::to_string(length));
      break;
    }
    if (inode != 0 || name != 0) dir.Entries.push_back(Entry(sb, b, pos, inode == 0));
    Slack(sb, b, pos + Needed(name), pos + length, dir);
    pos += length;
  }
  return dir;
}

DirectoryBlock ParseInlineDirectory(const Superblock& sb, std::span<const uint8_t> bytes, size_t firstPart) {
  DirectoryBlock dir;
  if (bytes.size() < 4) return dir;
  dir.Kind = DirectoryKind::Linear;
  DirectoryEntry parent;
  parent.Inode = ReadLe32(bytes, 0);
  parent.RecordBytes = 4;
  parent.FileType = 2;
  parent.Name = "..";
  dir.Entries.push_back(parent);
  // The records have no checksum tail here; each part is walked as a block of its own.
  Superblock plain = sb;
  plain.RoCompat &= ~kRoCompatMetadataCsum;
  const size_t split = std::min(firstPart, bytes.size());
  for (const std::span<const uint8_t> part : {bytes.subspan(4, split - 4), bytes.subspan(split)}) {
    if (part.size() < kSmallestRecord) continue;
    DirectoryBlock records = ParseDirectoryBlock(plain, part);
    if (records.Kind == DirectoryKind::NotADirectory) {
      dir.Problems.push_back("the inline records do not start with a sound one");
      continue;
    }
    for (DirectoryEntry& e : records.Entries) dir.Entries.push_back(std::move(e));
    for (std::string& p : records.Problems) dir.Problems.push_back(std::move(p));
  }
  return dir;
}

uint32_t DirectoryChecksum(const Superblock& sb, const DirectoryBlock& dir, std::span<const uint8_t> block,
                           uint32_t inode, uint32_t generation) {
  const uint8_t numberBytes[4] = {static_cast<uint8_t>(inode), static_cast<uint8_t>(inode >> 8),
                                  static_cast<uint8_t>(inode >> 16), static_cast<uint8_t>(inode >> 24)};
  const uint8_t generationBytes[4] = {static_cast<uint8_t>(generation), static_cast<uint8_t>(generation >> 8),
                                      static_cast<uint8_t>(generation >> 16), static_cast<uint8_t>(generation >> 24)};
  uint32_t crc = Crc32c(sb.ChecksumSeed, numberBytes);
  crc = Crc32c(crc, generationBytes);
  crc = Crc32c(crc, block.first(std::min<size_t>(dir.CoveredBytes, block.size())));
  if (dir.TailReserved) {
    const uint32_t r = *dir.TailReserved;
    // The whole tail is covered, its checksum word as zero.
    const uint8_t tail[8] = {static_cast<uint8_t>(r), static_cast<uint8_t>(r >> 8), static_cast<uint8_t>(r >> 16),
                             static_cast<uint8_t>(r >> 24), 0, 0, 0, 0};
    crc = Crc32c(crc, tail);
  }
  return crc;
}

std::string EntryTypeName(uint8_t fileType) {
  static constexpr const char* kNames[] = {"unknown", "file", "directory", "char device", "block device", "fifo", "socket", "symlink"};
  return fileType <= kLastFileType ? kNames[fileType] : "unknown";
}

}  // namespace korvalane::ext
