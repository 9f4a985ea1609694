#include "core/fs/ext/Inode.h"

#include <algorithm>
#include <set>

#include "core/Bytes.h"
#include "core/fs/ext/Checksums.h"
#include "core/text/IsoTime.h"

namespace korvalane::ext {
namespace {

// Inode fields (offsets from its first byte).
constexpr size_t kMode = 0x00;
constexpr size_t kUidLo = 0x02;
constexpr size_t kSizeLo = 0x04;
constexpr size_t kAtime = 0x08;
constexpr size_t kCtime = 0x0C;
constexpr size_t kMtime = 0x10;
constexpr size_t kDtime = 0x14;
constexpr size_t kGidLo = 0x18;
constexpr size_t kLinks = 0x1A;
constexpr size_t kBlocksLo = 0x1C;
constexpr size_t kFlags = 0x20;
constexpr size_t kBlock = 0x28;
constexpr size_t kBlockBytes = 60;
constexpr size_t kGeneration = 0x64;
constexpr size_t kFileAclLo = 0x68;
constexpr size_t kSizeHigh = 0x6C;
constexpr size_t kBlocksHigh = 0x74;
constexpr size_t kFileAclHigh = 0x76;
constexpr size_t kUidHigh = 0x78;
constexpr size_t kGidHigh = 0x7A;
constexpr size_t kChecksumLo = 0x7C;
constexpr size_t kExtraIsize = 0x80;
constexpr size_t kChecksumHi = 0x82;
constexpr size_t kCtimeExtra = 0x84;
constexpr size_t kMtimeExtra = 0x88;
constexpr size_t kAtimeExtra = 0x8C;
constexpr size_t kCrtime = 0x90;
constexpr size_t kCrtimeExtra = 0x94;
constexpr size_t kGoodOldBytes = 128;

// In-inode extended attributes, where inline data past the first 60 bytes lives.
constexpr uint32_t kXattrMagic = 0xEA020000;
constexpr uint8_t kXattrSystemIndex = 7;

// Extent tree node: a 12-byte header, then 12-byte entries.
constexpr uint16_t kExtentMagic = 0xF30A;
constexpr size_t kExtentHeaderBytes = 12;
constexpr size_t kExtentEntryBytes = 12;
constexpr uint16_t kDeepestTree = 5;
constexpr uint16_t kInitialisedMax = 32768;

// Block map: 12 direct pointers, then a single, a double and a triple indirect one.
constexpr size_t kDirectPointers = 12;

// Whether the inode's extra part reaches to the end of the field at `offset`.
bool HasExtra(const Inode& inode, size_t inodeBytes, size_t offset, size_t width) {
  return inodeBytes > kGoodOldBytes && kGoodOldBytes + inode.ExtraBytes >= offset + width && offset + width <= inodeBytes;
}

void InlineTail(Inode& inode, std::span<const uint8_t> b, size_t inodeBytes) {
  size_t pos = kGoodOldBytes + inode.ExtraBytes;
  if (!Fits(b, pos, 4) || ReadLe32(b, pos) != kXattrMagic) return;
  pos += 4;
  const size_t first = pos;  // value offsets count from the first entry
  while (Fits(b, pos, 16) && pos + 16 <= inodeBytes) {
    const uint8_t nameLength = b[pos];
    if (nameLength == 0 && ReadLe32(b, pos) == 0) return;  // the list's end
    const uint8_t index = b[pos + 1];
    const uint16_t valueOffset = ReadLe16(b, pos + 2);
    const uint32_t valueSize = ReadLe32(b, pos + 8);
    if (!Fits(b, pos + 16, nameLength)) return;
    const std::string name(b.begin() + static_cast<ptrdiff_t>(pos + 16), b.begin() + static_cast<ptrdiff_t>(pos + 16 + nameLength));
    if (index == kXattrSystemIndex && name == "data") {
      if (Fits(b, first + valueOffset, valueSize) && first + valueOffset + valueSize <= inodeBytes) {
        inode.InlineTail.assign(b.begin() + static_cast<ptrdiff_t>(first + valueOffset),
                                b.begin() + static_cast<ptrdiff_t>(first + valueOffset + valueSize));
      }
      return;
    }
    pos += (16 + nameLength + 3) / 4 * 4;
  }
}

class MapWalker {
 public:
  MapWalker(const Superblock& sb, const BlockReader& read, uint64_t maxReads, InodeData& data)
      : sb_(sb), read_(read), readsLeft_(maxReads), data_(data) {}

  // An extent tree node (the root in the inode, or a block below it).
  void Node(std::span<const uint8_t> node, std::optional<uint16_t> expectedDepth, bool root) {
    if (ReadLe16(node, 0) != kExtentMagic) {
      Problem(root ? "the extent tree's root has no header (no magic number 0xF30A)"
                   : "an extent tree block has no header (no magic number 0xF30A)");
      return;
    }
    const uint16_t entries = ReadLe16(node, 2);
    const uint16_t max = ReadLe16(node, 4);
    const uint16_t depth = ReadLe16(node, 6);
    if (root) data_.Depth = depth;
    if (depth > kDeepestTree) {
      Problem("the extent tree claims a depth of " + std::to_string(depth) + ", more than 5");
      return;
    }
    if (expectedDepth && depth != *expectedDepth) {
      Problem("an extent tree block of depth " + std::to_string(depth) + " stands where depth " +
              std::to_string(*expectedDepth) + " belongs");
      return;
    }
    const size_t room = (node.size() - kExtentHeaderBytes) / kExtentEntryBytes;
    if (entries > max || max > room) {
      Problem("an extent tree node claims " + std::to_string(entries) + " entries of at most " + std::to_string(max) +
              " where " + std::to_string(room) + " fit");
      if (entries > room) return;
    }
    for (size_t i = 0; i < entries; ++i) {
      const size_t at = kExtentHeaderBytes + i * kExtentEntryBytes;
      if (depth == 0) {
        Extent e;
        e.Logical = ReadLe32(node, at);
        uint16_t length = ReadLe16(node, at + 4);
        if (length > kInitialisedMax) {
          e.Uninitialised = true;
          length = static_cast<uint16_t>(length - kInitialisedMax);
        }
        e.Count = length;
        e.Physical = uint64_t{ReadLe16(node, at + 6)} << 32 | ReadLe32(node, at + 8);
        if (e.Physical >= sb_.BlocksCount || e.Count > sb_.BlocksCount - e.Physical) {
          Problem("the extent at logical block " + std::to_string(e.Logical) + " (block " + std::to_string(e.Physical) +
                  ", " + std::to_string(e.Count) + " blocks) lies outside the volume");
        }
        data_.Extents.push_back(e);
        continue;
      }
      const uint64_t child = uint64_t{ReadLe16(node, at + 8)} << 32 | ReadLe32(node, at + 4);
      if (child >= sb_.BlocksCount) {
        Problem("an extent index points to block " + std::to_string(child) + ", outside the volume");
        continue;
      }
      std::vector<uint8_t> block;
      if (!Visit(child, block, "the extent tree")) continue;
      data_.IndexBlocks.push_back(child);
      Node(block, static_cast<uint16_t>(depth - 1), false);
    }
  }

  // An indirect block of `level` (1 single, 2 double, 3 triple) mapping from `logical` on.
  void Indirect(uint64_t block, int level, uint64_t logical) {
    if (block >= sb_.BlocksCount) {
      Problem("an indirect block pointer names block " + std::to_string(block) + ", outside the volume");
      return;
    }
    std::vector<uint8_t> bytes;
    if (!Visit(block, bytes, "the block map")) return;
    Add(data_.IndirectRuns, 0, block, false);
    const uint64_t pointers = sb_.BlockBytes / 4;
    uint64_t span = 1;
    for (int i = 1; i < level; ++i) span *= pointers;
    for (uint64_t i = 0; i < pointers; ++i) {
      const uint32_t pointer = ReadLe32(bytes, i * 4);
      if (pointer == 0) continue;
      if (level == 1) {
        Data(logical + i, pointer);
      } else {
        Indirect(pointer, level - 1, logical + i * span);
      }
    }
  }

  void Data(uint64_t logical, uint64_t physical) {
    if (physical >= sb_.BlocksCount && !outsideNoted_) {
      outsideNoted_ = true;
      Problem("the block map names block " + std::to_string(physical) + " (logical block " + std::to_string(logical) +
              "), outside the volume");
    }
    Add(data_.Runs, logical, physical, true);
  }

 private:
  void Problem(std::string text) { data_.Problems.push_back(std::move(text)); }

  // Reads a block not read before; a second visit is a loop.
  bool Visit(uint64_t block, std::vector<uint8_t>& bytes, const char* what) {
    if (!seen_.insert(block).second) {
      Problem(std::string(what) + " reaches block " + std::to_string(block) + " a second time (a loop)");
      return false;
    }
    if (readsLeft_ == 0) {
      if (!budgetNoted_) Problem(std::string(what) + " has more blocks than are read for one report");
      budgetNoted_ = true;
      return false;
    }
    --readsLeft_;
    bytes.assign(sb_.BlockBytes, 0);
    if (!read_(block, bytes)) {
      Problem("block " + std::to_string(block) + " of " + what + " cannot be read");
      return false;
    }
    return true;
  }

  static void Add(std::vector<BlockRun>& runs, uint64_t logical, uint64_t physical, bool logicalToo) {
    if (!runs.empty()) {
      BlockRun& last = runs.back();
      if (physical == last.Physical + last.Count && (!logicalToo || logical == last.Logical + last.Count)) {
        ++last.Count;
        return;
      }
    }
    runs.push_back(BlockRun{logical, physical, 1});
  }

  const Superblock& sb_;
  const BlockReader& read_;
  uint64_t readsLeft_;
  InodeData& data_;
  std::set<uint64_t> seen_;
  bool outsideNoted_ = false;
  bool budgetNoted_ = false;
};

}  // namespace

InodeTime ReadInodeTime(std::span<const uint8_t> b, size_t seconds, std::optional<size_t> extra) {
  InodeTime t;
  t.Seconds = static_cast<int32_t>(ReadLe32(b, seconds));
  if (extra) {
    const uint32_t value = ReadLe32(b, *extra);
    // The two low bits widen the seconds past 2038, the rest are nanoseconds.
    t.Seconds += static_cast<int64_t>(value & 3u) << 32;
    t.Nanoseconds = value >> 2;
  }
  return t;
}

std::string InodeTimeIso8601(const InodeTime& t) {
  return UnixTimeIso8601(t.Seconds, t.Nanoseconds ? SecondFraction{*t.Nanoseconds, 9} : SecondFraction{});
}

Inode ParseInode(const Superblock& sb, uint32_t number, std::span<const uint8_t> b) {
  Inode inode;
  inode.Number = number;
  const size_t size = std::min<size_t>(b.size(), sb.InodeBytes);
  b = b.first(size);
  inode.AllZero = std::all_of(b.begin(), b.end(), [](uint8_t x) { return x == 0; });
  inode.Mode = ReadLe16(b, kMode);
  inode.Uid = ReadLe16(b, kUidLo) | uint32_t{ReadLe16(b, kUidHigh)} << 16;
  inode.Gid = ReadLe16(b, kGidLo) | uint32_t{ReadLe16(b, kGidHigh)} << 16;
  inode.Links = ReadLe16(b, kLinks);
  inode.Size = ReadLe32(b, kSizeLo) | uint64_t{ReadLe32(b, kSizeHigh)} << 32;
  inode.Flags = ReadLe32(b, kFlags);
  inode.Blocks = ReadLe32(b, kBlocksLo);
  if ((sb.RoCompat & kRoCompatHugeFile) != 0) inode.Blocks |= uint64_t{ReadLe16(b, kBlocksHigh)} << 32;
  inode.Generation = ReadLe32(b, kGeneration);
  inode.FileAcl = ReadLe32(b, kFileAclLo) | uint64_t{ReadLe16(b, kFileAclHigh)} << 32;
  inode.DeleteTime = ReadLe32(b, kDtime);
  inode.ExtraBytes = size > kGoodOldBytes ? ReadLe16(b, kExtraIsize) : 0;
  // An extra size that runs past the inode is taken as none.
  if (kGoodOldBytes + inode.ExtraBytes > size) inode.ExtraBytes = 0;
  auto extra = [&](size_t offset) -> std::optional<size_t> {
    return HasExtra(inode, size, offset, 4) ? std::optional(offset) : std::nullopt;
  };
  inode.Access = ReadInodeTime(b, kAtime, extra(kAtimeExtra));
  inode.Change = ReadInodeTime(b, kCtime, extra(kCtimeExtra));
  inode.Modify = ReadInodeTime(b, kMtime, extra(kMtimeExtra));
  if (HasExtra(inode, size, kCrtime, 4)) inode.Create = ReadInodeTime(b, kCrtime, extra(kCrtimeExtra));
  if (Fits(b, kBlock, kBlockBytes)) std::copy_n(b.begin() + kBlock, kBlockBytes, inode.BlockArea.begin());
  if ((inode.Flags & kFlagInlineData) != 0) InlineTail(inode, b, size);

  if (sb.HasMetadataCsum() && !inode.AllZero && size >= kGoodOldBytes) {
    // crc32c over the inode number, its generation and the whole inode with the checksum
    // fields as zero; the high half is stored only where the extra part reaches it.
    const bool high = HasExtra(inode, size, kChecksumHi, 2);
    std::vector<uint8_t> copy(b.begin(), b.end());
    copy[kChecksumLo] = copy[kChecksumLo + 1] = 0;
    if (high) copy[kChecksumHi] = copy[kChecksumHi + 1] = 0;
    const uint8_t numberBytes[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                                    static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
    uint32_t crc = Crc32c(sb.ChecksumSeed, numberBytes);
    crc = Crc32c(crc, b.subspan(kGeneration, 4));
    crc = Crc32c(crc, copy);
    uint32_t stored = ReadLe16(b, kChecksumLo);
    if (high) {
      stored |= uint32_t{ReadLe16(b, kChecksumHi)} << 16;
    } else {
      crc &= 0xFFFFu;
    }
    inode.InodeChecksum = Checksum{stored, crc};
  }
  return inode;
}

std::string TypeName(uint16_t mode) {
  switch (mode & kTypeMask) {
    case kTypeFifo: return "fifo";
    case kTypeCharDevice: return "char device";
    case kTypeDirectory: return "directory";
    case kTypeBlockDevice: return "block device";
    case kTypeFile: return "file";
    case kTypeSymlink: return "symlink";
    case kTypeSocket: return "socket";
    default: return "unknown type";
  }
}

std::string ModeText(uint16_t mode) {
  char type = '?';
  switch (mode & kTypeMask) {
    case kTypeFifo: type = 'p'; break;
    case kTypeCharDevice: type = 'c'; break;
    case kTypeDirectory: type = 'd'; break;
    case kTypeBlockDevice: type = 'b'; break;
    case kTypeFile: type = '-'; break;
    case kTypeSymlink: type = 'l'; break;
    case kTypeSocket: type = 's'; break;
    default: break;
  }
  std::string text(1, type);
  const char* letters = "rwxrwxrwx";
  for (int i = 0; i < 9; ++i) text += (mode >> (8 - i) & 1u) != 0 ? letters[i] : '-';
  if ((mode & 0x800) != 0) text[3] = text[3] == 'x' ? 's' : 'S';
  if ((mode & 0x400) != 0) text[6] = text[6] == 'x' ? 's' : 'S';
  if ((mode & 0x200) != 0) text[9] = text[9] == 'x' ? 't' : 'T';
  return text;
}

std::string InodeFlagNames(uint32_t flags) {
  static constexpr const char* kNames[] = {
      "secure_rm", "undelete", "compressed", "sync", "immutable", "append", "nodump", "noatime",
      "", "", "", "encrypted", "index", "imagic", "journal_data", "notail",
      "dirsync", "topdir", "huge_file", "extents", "verity", "ea_inode", "", "",
      "", "dax", "", "", "inline_data", "project_inherit", "casefold", ""};
  std::string text;
  for (uint32_t bit = 0; bit < 32; ++bit) {
    if ((flags >> bit & 1u) == 0) continue;
    if (!text.empty()) text += ' ';
    text += kNames[bit][0] != '\0' ? std::string(kNames[bit]) : "FLAG_" + std::to_string(bit);
  }
  return text;
}

InodeData MapInode(const Superblock& sb, const Inode& inode, const BlockReader& read, uint64_t maxReads) {
  InodeData data;
  MapWalker walker(sb, read, maxReads, data);
  const std::span<const uint8_t> area(inode.BlockArea);
  const uint16_t type = inode.Type();
  if ((inode.Flags & kFlagInlineData) != 0) {
    data.Kind = DataKind::Inline;
    std::string bytes(inode.BlockArea.begin(), inode.BlockArea.end());
    bytes.append(inode.InlineTail.begin(), inode.InlineTail.end());
    if (bytes.size() > inode.Size) bytes.resize(inode.Size);
    data.InlineBytes = std::move(bytes);
    return data;
  }
  if (type == kTypeSymlink && inode.Size > 0 && inode.Size < area.size() && (inode.Flags & kFlagExtents) == 0) {
    data.Kind = DataKind::FastSymlink;
    data.InlineBytes.assign(area.begin(), area.begin() + static_cast<ptrdiff_t>(inode.Size));
    return data;
  }
  if (type == kTypeCharDevice || type == kTypeBlockDevice || type == kTypeFifo || type == kTypeSocket) return data;
  if ((inode.Flags & kFlagExtents) != 0) {
    data.Kind = DataKind::Extents;
    walker.Node(area, std::nullopt, true);
    // Extents of one file may not cover a logical block twice.
    std::vector<Extent> sorted = data.Extents;
    std::sort(sorted.begin(), sorted.end(), [](const Extent& a, const Extent& b) { return a.Logical < b.Logical; });
    for (size_t i = 1; i < sorted.size(); ++i) {
      if (sorted[i].Logical < uint64_t{sorted[i - 1].Logical} + sorted[i - 1].Count) {
        data.Problems.push_back("extents overlap at logical block " + std::to_string(sorted[i].Logical));
        break;
      }
    }
    return data;
  }
  data.Kind = DataKind::BlockMap;
  for (size_t i = 0; i < kDirectPointers; ++i) {
    const uint32_t pointer = ReadLe32(area, i * 4);
    if (pointer != 0) walker.Data(i, pointer);
  }
  const uint64_t pointers = sb.BlockBytes / 4;
  uint64_t logical = kDirectPointers;
  uint64_t span = pointers;
  for (int level = 1; level <= 3; ++level) {
    const uint32_t pointer = ReadLe32(area, (kDirectPointers + static_cast<size_t>(level) - 1) * 4);
    if (pointer != 0) walker.Indirect(pointer, level, logical);
    logical += span;
    span *= pointers;
  }
  return data;
}

bool MapHolds(const InodeData& data, uint64_t block) {
  for (const Extent& e : data.Extents) {
    if (block >= e.Physical && block - e.Physical < e.Count) return true;
  }
  for (const BlockRun& r : data.Runs) {
    if (block >= r.Physical && block - r.Physical < r.Count) return true;
  }
  for (uint64_t b : data.IndexBlocks) {
    if (b == block) return true;
  }
  for (const BlockRun& r : data.IndirectRuns) {
    if (block >= r.Physical && block - r.Physical < r.Count) return true;
  }
  return false;
}

}  // namespace korvalane::ext
