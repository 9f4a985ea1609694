#include "core/fs/xfs/Directory.h"

#include "core/Bytes.h"

namespace korvalane::xfs {
namespace {

constexpr uint32_t kBlockMagicV4 = 0x58443242;  // "XD2B"
constexpr uint32_t kDataMagicV4 = 0x58443244;   // "XD2D"
constexpr uint32_t kBlockMagicV5 = 0x58444233;  // "XDB3"
constexpr uint32_t kDataMagicV5 = 0x58444433;   // "XDD3"
constexpr size_t kHeaderV4 = 16;
constexpr size_t kHeaderV5 = 64;
constexpr size_t kBestFreeV4 = 4;
constexpr size_t kBestFreeV5 = 48;
constexpr size_t kDirectoryCrcOffset = 4;
constexpr uint16_t kFreeTag = 0xFFFF;
constexpr size_t kBlockTailBytes = 8;
constexpr size_t kLeafEntryBytes = 8;

bool HasFileType(const Superblock& sb) {
  return (sb.IncompatFeatures & 0x1) != 0 || (sb.Features2 & kVersion2FtypeBit) != 0;
}

// An entry's size: its inode number, name length, name, file type and tag, rounded up to
// 8 bytes.
size_t EntrySize(size_t nameLength, bool fileType) { return (8 + 1 + nameLength + (fileType ? 1 : 0) + 2 + 7) / 8 * 8; }

bool Printable(std::span<const uint8_t> name) {
  for (const uint8_t c : name) {
    if (c < 0x20 || c == '/' || c == 0x7F) return false;
  }
  return !name.empty();
}

// The old entries a free region still holds: each where a name length, a name and a tag
// that points back at the entry fit the region.
void FindDeleted(std::span<const uint8_t> b, size_t start, size_t length, bool fileType, DirectoryBlock& dir) {
  size_t at = start;
  const size_t end = start + length;
  while (at + 16 <= end) {
    const uint8_t nameLength = b[at + 8];
    const size_t size = EntrySize(nameLength, fileType);
    if (nameLength == 0 || at + size > end || !Printable(b.subspan(at + 9, nameLength))) {
      at += 8;
      continue;
    }
    DirectoryEntry e;
    e.Offset = at;
    e.Deleted = true;
    e.Inode = ReadBe32(b, at + 4);
    e.Name.assign(reinterpret_cast<const char*>(b.data() + at + 9), nameLength);
    if (fileType) e.FileType = b[at + 9 + nameLength];
    e.Tag = ReadBe16(b, at + size - 2);
    // A tag that names another place is no entry of this block's (or not whole).
    if (e.Tag != at) {
      at += 8;
      continue;
    }
    dir.Entries.push_back(std::move(e));
    at += size;
  }
}

}  // namespace

DirectoryBlock ParseDirectoryBlock(const Superblock& sb, std::span<const uint8_t> b) {
  DirectoryBlock dir;
  const uint32_t magic = ReadBe32(b, 0);
  if (magic == kBlockMagicV4 || magic == kBlockMagicV5) dir.Kind = DirectoryBlockKind::Block;
  else if (magic == kDataMagicV4 || magic == kDataMagicV5) dir.Kind = DirectoryBlockKind::Data;
  else return dir;
  dir.V5 = magic == kBlockMagicV5 || magic == kDataMagicV5;
  const size_t header = dir.V5 ? kHeaderV5 : kHeaderV4;
  if (b.size() < header + kBlockTailBytes) {
    dir.Problems.push_back("the block's " + std::to_string(b.size()) + " bytes do not hold its header");
    return dir;
  }
  if (dir.V5) {
    dir.BlockNumber = ReadBe64(b, 8);
    dir.Owner = ReadBe64(b, 40);
    dir.Crc = MetadataChecksum(b, kDirectoryCrcOffset);
  }
  const size_t best = dir.V5 ? kBestFreeV5 : kBestFreeV4;
  for (size_t i = 0; i < 3; ++i) dir.BestFree[i] = FreeRegion{ReadBe16(b, best + 4 * i), ReadBe16(b, best + 4 * i + 2)};

  // A single-block directory ends with its hash leaf and a tail that counts it.
  size_t end = b.size();
  if (dir.Kind == DirectoryBlockKind::Block) {
    dir.LeafCount = ReadBe32(b, b.size() - kBlockTailBytes);
    dir.LeafStale = ReadBe32(b, b.size() - 4);
    const uint64_t leafBytes = uint64_t{dir.LeafCount} * kLeafEntryBytes + kBlockTailBytes;
    if (leafBytes > b.size() - header) {
      dir.Problems.push_back("the block's tail counts " + std::to_string(dir.LeafCount) +
                             " hash entries, more than the block holds");
      end = b.size() - kBlockTailBytes;
    } else {
      end = b.size() - static_cast<size_t>(leafBytes);
    }
  }
  const bool fileType = HasFileType(sb);
  size_t at = header;
  while (at < end) {
    if (at + 4 > end) break;
    if (ReadBe16(b, at) == kFreeTag) {
      const uint16_t length = ReadBe16(b, at + 2);
      if (length < 8 || length % 8 != 0 || length > end - at) {
        dir.Problems.push_back("the free region at byte " + std::to_string(at) + " has a length of " +
                               std::to_string(length) + " that does not fit the block: the rest is not read");
        break;
      }
      dir.Free.push_back(FreeRegion{at, length});
      FindDeleted(b, at, length, fileType, dir);
      at += length;
      continue;
    }
    if (at + 11 > end) break;
    const uint8_t nameLength = b[at + 8];
    const size_t size = EntrySize(nameLength, fileType);
    if (nameLength == 0 || size > end - at) {
      dir.Problems.push_back("the entry at byte " + std::to_string(at) + " with a name of " + std::to_string(nameLength) +
                             " bytes runs past the block's entries: the rest is not read");
      break;
    }
    DirectoryEntry e;
    e.Offset = at;
    e.Inode = ReadBe64(b, at);
    e.Name.assign(reinterpret_cast<const char*>(b.data() + at + 9), nameLength);
    if (fileType) e.FileType = b[at + 9 + nameLength];
    e.Tag = ReadBe16(b, at + size - 2);
    dir.Entries.push_back(std::move(e));
    at += size;
  }
  return dir;
}

}  // namespace korvalane::xfs
