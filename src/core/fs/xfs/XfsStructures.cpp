#include "core/fs/xfs/XfsStructures.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

#include "core/Bytes.h"
#include "core/fs/xfs/AgHeaders.h"
#include "core/fs/xfs/Inode.h"
#include "core/fs/xfs/Superblock.h"
#include "core/fs/xfs/XfsFileSystem.h"
#include "core/text/IsoTime.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

using xfs::ReadBe16;
using xfs::ReadBe32;
using xfs::ReadBe64;

// How a big-endian field is shown.
enum class Be : uint8_t { Number, Hex, Ascii, Bytes, Uuid };

struct BeField {
  size_t Offset;
  size_t Size;
  const char* Name;
  Be How;
};

uint64_t ReadBe(std::span<const uint8_t> b, size_t offset, size_t size) {
  switch (size) {
    case 1: return ReadU8(b, offset);
    case 2: return ReadBe16(b, offset);
    case 4: return ReadBe32(b, offset);
    case 8: return ReadBe64(b, offset);
    default: return 0;
  }
}

bool AddBe(FieldWriter& writer, const std::string& group, size_t base, const BeField& f) {
  const size_t at = base + f.Offset;
  switch (f.How) {
    case Be::Ascii: return writer.Add(group, at, f.Size, f.Name, Show::Ascii);
    case Be::Bytes: return writer.Add(group, at, f.Size, f.Name, Show::Bytes);
    case Be::Uuid: {
      if (!writer.Fits(at, 16)) return false;
      std::array<uint8_t, 16> uuid{};
      for (size_t i = 0; i < 16; ++i) uuid[i] = writer.Bytes()[at + i];
      return writer.AddText(group, at, 16, f.Name, xfs::UuidText(uuid));
    }
    case Be::Number:
    case Be::Hex: {
      if (!writer.Fits(at, f.Size)) return false;
      const uint64_t value = ReadBe(writer.Bytes(), at, f.Size);
      const std::string text = f.How == Be::Number ? NumberText(value) : HexText(value, static_cast<int>(f.Size * 2));
      return writer.AddText(group, at, f.Size, f.Name, text, value);
    }
  }
  return false;
}

bool AddBeTable(FieldWriter& writer, const std::string& group, size_t base, std::span<const BeField> table) {
  for (const BeField& f : table) {
    if (!AddBe(writer, group, base, f)) return false;
  }
  return true;
}

constexpr BeField kSuperblock[] = {
    {0, 4, "Magic number", Be::Hex},
    {4, 4, "Block size", Be::Number},
    {8, 8, "Data blocks", Be::Number},
    {16, 8, "Realtime blocks", Be::Number},
    {24, 8, "Realtime extents", Be::Number},
    {32, 16, "UUID", Be::Uuid},
    {48, 8, "Log start block", Be::Number},
    {56, 8, "Root inode", Be::Number},
    {64, 8, "Realtime bitmap inode", Be::Number},
    {72, 8, "Realtime summary inode", Be::Number},
    {80, 4, "Realtime extent size", Be::Number},
    {84, 4, "AG blocks", Be::Number},
    {88, 4, "AG count", Be::Number},
    {92, 4, "Realtime bitmap blocks", Be::Number},
    {96, 4, "Log blocks", Be::Number},
    {100, 2, "Version number", Be::Hex},
    {102, 2, "Sector size", Be::Number},
    {104, 2, "Inode size", Be::Number},
    {106, 2, "Inodes per block", Be::Number},
    {108, 12, "File system name", Be::Ascii},
    {120, 1, "Block size log", Be::Number},
    {121, 1, "Sector size log", Be::Number},
    {122, 1, "Inode size log", Be::Number},
    {123, 1, "Inodes per block log", Be::Number},
    {124, 1, "AG blocks log", Be::Number},
    {125, 1, "Realtime extents log", Be::Number},
    {126, 1, "mkfs in progress", Be::Number},
    {127, 1, "Maximum inode space percent", Be::Number},
    {128, 8, "Inodes allocated", Be::Number},
    {136, 8, "Free inodes", Be::Number},
    {144, 8, "Free data blocks", Be::Number},
    {152, 8, "Free realtime extents", Be::Number},
    {160, 8, "User quota inode", Be::Number},
    {168, 8, "Group quota inode", Be::Number},
    {176, 2, "Quota flags", Be::Hex},
    {178, 1, "Flags", Be::Hex},
    {179, 1, "Shared version", Be::Number},
    {180, 4, "Inode chunk alignment", Be::Number},
    {184, 4, "Stripe unit", Be::Number},
    {188, 4, "Stripe width", Be::Number},
    {192, 1, "Directory block log", Be::Number},
    {193, 1, "Log sector size log", Be::Number},
    {194, 2, "Log sector size", Be::Number},
    {196, 4, "Log stripe unit", Be::Number},
    {200, 4, "Features 2", Be::Hex},
    {204, 4, "Bad features 2", Be::Hex},
};
constexpr BeField kSuperblockV5[] = {
    {208, 4, "Compatible features", Be::Hex},
    {212, 4, "Read-only compatible features", Be::Hex},
    {216, 4, "Incompatible features", Be::Hex},
    {220, 4, "Log incompatible features", Be::Hex},
    {224, 4, "CRC32c", Be::Hex},
    {228, 4, "Sparse inode alignment", Be::Number},
    {232, 8, "Project quota inode", Be::Number},
    {240, 8, "Last write LSN", Be::Hex},
    {248, 16, "Metadata UUID", Be::Uuid},
};

constexpr BeField kAgf[] = {
    {0, 4, "Magic number", Be::Hex},
    {4, 4, "Version", Be::Number},
    {8, 4, "AG number", Be::Number},
    {12, 4, "AG length", Be::Number},
    {16, 4, "Free space by block btree root", Be::Number},
    {20, 4, "Free space by size btree root", Be::Number},
    {24, 4, "Reverse map btree root", Be::Number},
    {28, 4, "Free space by block btree levels", Be::Number},
    {32, 4, "Free space by size btree levels", Be::Number},
    {36, 4, "Reverse map btree levels", Be::Number},
    {40, 4, "Free list first", Be::Number},
    {44, 4, "Free list last", Be::Number},
    {48, 4, "Free list count", Be::Number},
    {52, 4, "Free blocks", Be::Number},
    {56, 4, "Longest free extent", Be::Number},
    {60, 4, "Btree blocks", Be::Number},
};
constexpr BeField kAgfV5[] = {
    {64, 16, "UUID", Be::Uuid},
    {80, 4, "Reverse map blocks", Be::Number},
    {84, 4, "Reference count blocks", Be::Number},
    {88, 4, "Reference count btree root", Be::Number},
    {92, 4, "Reference count btree levels", Be::Number},
    {208, 8, "Last write LSN", Be::Hex},
    {216, 4, "CRC32c", Be::Hex},
};

constexpr BeField kAgi[] = {
    {0, 4, "Magic number", Be::Hex},
    {4, 4, "Version", Be::Number},
    {8, 4, "AG number", Be::Number},
    {12, 4, "AG length", Be::Number},
    {16, 4, "Inodes allocated", Be::Number},
    {20, 4, "Inode btree root", Be::Number},
    {24, 4, "Inode btree levels", Be::Number},
    {28, 4, "Free inodes", Be::Number},
    {32, 4, "Newest inode chunk", Be::Number},
    {36, 4, "Directory inode chunk", Be::Number},
};
constexpr BeField kAgiV5[] = {
    {296, 16, "UUID", Be::Uuid},
    {312, 4, "CRC32c", Be::Hex},
    {320, 8, "Last write LSN", Be::Hex},
    {328, 4, "Free inode btree root", Be::Number},
    {332, 4, "Free inode btree levels", Be::Number},
    {336, 4, "Inode btree blocks", Be::Number},
    {340, 4, "Free inode btree blocks", Be::Number},
};
constexpr size_t kAgiUnlinked = 40;
constexpr size_t kAgiUnlinkedBuckets = 64;
constexpr uint32_t kNullAgBlock = 0xFFFFFFFF;

constexpr BeField kAgflV5[] = {
    {0, 4, "Magic number", Be::Hex},
    {4, 4, "AG number", Be::Number},
    {8, 16, "UUID", Be::Uuid},
    {24, 8, "Last write LSN", Be::Hex},
    {32, 4, "CRC32c", Be::Hex},
};
constexpr size_t kAgflV5Entries = 36;

// The superblock of the volume `input` was read from, through its reader (sector 0).
std::optional<xfs::Superblock> ReadSuperblock(const StructureInput& input) {
  if (!input.Read || input.SectorSize == 0) return std::nullopt;
  std::vector<uint8_t> bytes(input.SectorSize);
  if (!input.Read(0, bytes)) return std::nullopt;
  return xfs::ParseSuperblock(bytes, 0).Value;
}

// Whether the volume keeps CRCs, as its superblock says (none read: a v4 layout).
bool HasCrc(const StructureInput& input) {
  const std::optional<xfs::Superblock> sb = ReadSuperblock(input);
  return sb && sb->HasCrc();
}

void AddCrcCheck(FieldWriter& writer, std::span<const uint8_t> bytes, size_t crcOffset) {
  if (!Fits(bytes, crcOffset, 4)) return;
  const xfs::Checksum crc = xfs::MetadataChecksum(bytes, crcOffset);
  writer.AddCheck("CRC32c", crc.Ok(), HexText(crc.Stored, 8), HexText(crc.Computed, 8));
}

void AddMagicCheck(FieldWriter& writer, const char* magic) { writer.AddSignatureCheck("Magic number", 0, magic); }

// A structure's Length is its sector: the v5 checksum covers all of it.
void CoverSector(Structure& s, const StructureInput& input) {
  s.Length = std::min<size_t>(input.Bytes.size(), input.SectorSize);
}

}  // namespace

Structure DecodeXfsSuperblock(const StructureInput& input) {
  Structure s;
  s.Id = "xfs-superblock";
  s.Title = "XFS superblock";
  FieldWriter writer(s, input.Bytes);
  if (!AddBeTable(writer, {}, 0, kSuperblock)) return s;
  const bool v5 = (ReadBe16(input.Bytes, 100) & xfs::kVersionNumberMask) == 5;
  AddMagicCheck(writer, "XFSB");
  if (!v5) return s;
  if (!AddBeTable(writer, {}, 0, kSuperblockV5)) return s;
  const uint16_t sectorBytes = ReadBe16(input.Bytes, 102);
  const size_t covered = std::min<size_t>(input.Bytes.size(), sectorBytes >= 512 ? sectorBytes : input.SectorSize);
  AddCrcCheck(writer, input.Bytes.first(covered), xfs::kSuperblockCrcOffset);
  s.Length = covered;
  return s;
}

namespace {

// An AG header: its fields, what `middle` adds after them, its magic and, on v5, the
// fields after those and the CRC32c over its sector.
Structure DecodeAgHeader(const StructureInput& input, const char* id, const char* title, std::span<const BeField> head,
                         const char* magic, std::span<const BeField> v5, size_t crcOffset,
                         void (*middle)(FieldWriter&) = nullptr) {
  Structure s;
  s.Id = id;
  s.Title = title;
  FieldWriter writer(s, input.Bytes);
  if (!AddBeTable(writer, {}, 0, head)) return s;
  if (middle != nullptr) middle(writer);
  if (writer.Cut()) return s;
  AddMagicCheck(writer, magic);
  if (!HasCrc(input)) return s;
  if (!AddBeTable(writer, {}, 0, v5)) return s;
  AddCrcCheck(writer, input.Bytes.first(std::min<size_t>(input.Bytes.size(), input.SectorSize)), crcOffset);
  CoverSector(s, input);
  return s;
}

// The unlinked buckets: only those that hold an inode are shown.
void AddUnlinkedBuckets(FieldWriter& writer) {
  for (size_t i = 0; i < kAgiUnlinkedBuckets; ++i) {
    const size_t at = kAgiUnlinked + 4 * i;
    if (!writer.Fits(at, 4)) return;
    const uint32_t head = ReadBe32(writer.Bytes(), at);
    if (head != kNullAgBlock) writer.AddText({}, at, 4, "Unlinked bucket " + std::to_string(i), NumberText(head), head);
  }
}

}  // namespace

Structure DecodeXfsAgf(const StructureInput& input) {
  return DecodeAgHeader(input, "xfs-agf", "XFS free space header (AGF)", kAgf, "XAGF", kAgfV5, xfs::kAgfCrcOffset);
}

Structure DecodeXfsAgi(const StructureInput& input) {
  return DecodeAgHeader(input, "xfs-agi", "XFS inode header (AGI)", kAgi, "XAGI", kAgiV5, xfs::kAgiCrcOffset,
                        AddUnlinkedBuckets);
}

Structure DecodeXfsAgfl(const StructureInput& input) {
  Structure s;
  s.Id = "xfs-agfl";
  s.Title = "XFS free list (AGFL)";
  FieldWriter writer(s, input.Bytes);
  const bool v5 = HasCrc(input);
  size_t first = 0;
  if (v5) {
    if (!AddBeTable(writer, {}, 0, kAgflV5)) return s;
    AddMagicCheck(writer, "XAFL");
    first = kAgflV5Entries;
  }
  // The list is a ring of AG block numbers; unused slots hold 0xFFFFFFFF.
  const size_t end = std::min<size_t>(input.Bytes.size(), input.SectorSize);
  for (size_t at = first, slot = 0; at + 4 <= end; at += 4, ++slot) {
    const uint32_t block = ReadBe32(input.Bytes, at);
    if (block != kNullAgBlock) writer.AddText({}, at, 4, "Slot " + std::to_string(slot), NumberText(block), block);
  }
  if (v5) AddCrcCheck(writer, input.Bytes.first(end), xfs::kAgflCrcOffset);
  CoverSector(s, input);
  return s;
}

namespace {

// The inode core: its fields up to the v2 end (100 bytes), then those v3 adds (to 176).
constexpr BeField kInodeOwner[] = {
    {8, 4, "Owner (UID)", Be::Number},
    {12, 4, "Group (GID)", Be::Number},
    {16, 4, "Links", Be::Number},
    {20, 2, "Project ID (low)", Be::Number},
    {22, 2, "Project ID (high)", Be::Number},
};
constexpr BeField kInodeSizes[] = {
    {56, 8, "Size", Be::Number},
    {64, 8, "Blocks", Be::Number},
    {72, 4, "Extent size hint", Be::Number},
};
constexpr BeField kInodeExtentCounts[] = {
    {76, 4, "Data extents", Be::Number},
    {80, 2, "Attribute extents", Be::Number},
};
constexpr BeField kInodeLargeExtentCounts[] = {
    {24, 8, "Data extents", Be::Number},
    {76, 4, "Attribute extents", Be::Number},
};
constexpr BeField kInodeTail[] = {
    {82, 1, "Attribute fork offset (8-byte units)", Be::Number},
    {83, 1, "Attribute fork format", Be::Number},
    {84, 4, "DMAPI event mask", Be::Hex},
    {88, 2, "DMAPI state", Be::Hex},
    {90, 2, "Flags", Be::Hex},
    {92, 4, "Generation", Be::Number},
    {96, 4, "Next unlinked inode", Be::Number},
};
constexpr BeField kInodeV3[] = {
    {100, 4, "CRC32c", Be::Hex},
    {104, 8, "Change count", Be::Number},
    {112, 8, "Last write LSN", Be::Hex},
    {120, 8, "Flags 2", Be::Hex},
    {128, 4, "CoW extent size hint", Be::Number},
};
constexpr BeField kInodeV3Tail[] = {
    {152, 8, "Inode number", Be::Number},
    {160, 16, "UUID", Be::Uuid},
};
constexpr size_t kV2CoreBytes = 100;
constexpr size_t kV3CoreBytes = 176;
constexpr uint64_t kFlags2BigTime = 0x8;
constexpr uint64_t kFlags2LargeExtentCounts = 0x10;
constexpr int64_t kBigTimeEpochOffset = int64_t{1} << 31;

// A timestamp: seconds and nanoseconds, or with big timestamps nanoseconds from 1901.
bool AddInodeTime(FieldWriter& writer, const std::string& group, size_t at, const char* name, bool big) {
  if (!writer.Fits(at, 8)) return false;
  const uint64_t raw = ReadBe64(writer.Bytes(), at);
  int64_t seconds = static_cast<int32_t>(raw >> 32);
  uint32_t nanoseconds = static_cast<uint32_t>(raw);
  if (big) {
    seconds = static_cast<int64_t>(raw / 1000000000u) - kBigTimeEpochOffset;
    nanoseconds = static_cast<uint32_t>(raw % 1000000000u);
  }
  const std::string iso = UnixTimeIso8601(seconds, SecondFraction{nanoseconds, 9});
  if (!writer.AddText(group, at, 8, name, iso + " (" + HexText(raw, 16) + ")", raw)) return false;
  writer.SetTime(at, iso);
  return true;
}

// A fork's extents, as the record view shows them: "logical -> AG/block, length".
void AddExtents(FieldWriter& writer, const xfs::Superblock* sb, const std::string& group, size_t at, size_t bytes,
                uint64_t count, const char* which) {
  const std::vector<xfs::Extent> extents = xfs::ParseExtents(writer.Bytes().subspan(std::min(at, writer.Bytes().size())), std::min<uint64_t>(count, bytes / 16));
  for (size_t i = 0; i < extents.size(); ++i) {
    const xfs::Extent& e = extents[i];
    const std::string place = sb ? std::to_string(sb->AgOf(e.StartBlock)) + "/" + std::to_string(sb->AgBlockOf(e.StartBlock))
                                 : std::to_string(e.StartBlock);
    writer.AddText(group, at + 16 * i, 16, std::string(which) + " extent " + std::to_string(i),
                   std::to_string(e.Offset) + " -> " + place + ", " + std::to_string(e.Count) + (e.Unwritten ? " (unwritten)" : ""));
  }
  if (count > extents.size()) writer.Note(group + ": the " + which + " fork counts " + std::to_string(count) + " extents; " +
                                          std::to_string(extents.size()) + " fit it");
}

// A fork's btree root: level, record count, then as many keys and pointers as fit.
void AddBtreeRoot(FieldWriter& writer, const xfs::Superblock* sb, const std::string& group, size_t at, size_t bytes, const char* which) {
  const std::string name = std::string(which) + " btree root ";
  if (!writer.Add(group, at, 2, (name + "level").c_str(), Show::Number)) return;
  if (!writer.Add(group, at + 2, 2, (name + "records").c_str(), Show::Number)) return;
  const uint16_t records = ReadBe16(writer.Bytes(), at + 2);
  const size_t slots = bytes >= 4 ? (bytes - 4) / 16 : 0;
  for (size_t i = 0; i < records && i < slots; ++i) {
    const size_t key = at + 4 + 8 * i;
    const size_t pointer = at + 4 + 8 * slots + 8 * i;
    if (!writer.Fits(pointer, 8)) return;
    const uint64_t block = ReadBe64(writer.Bytes(), pointer);
    writer.AddText(group, key, 8, name + "key " + std::to_string(i), std::to_string(ReadBe64(writer.Bytes(), key)));
    writer.AddText(group, pointer, 8, name + "pointer " + std::to_string(i),
                   sb ? std::to_string(sb->AgOf(block)) + "/" + std::to_string(sb->AgBlockOf(block)) : std::to_string(block), block);
  }
}

void AddFork(FieldWriter& writer, const xfs::Superblock* sb, const std::string& group, size_t at, size_t bytes, uint8_t format,
             uint64_t extents, const char* which) {
  switch (static_cast<xfs::ForkFormat>(format)) {
    case xfs::ForkFormat::Extents: AddExtents(writer, sb, group, at, bytes, extents, which); break;
    case xfs::ForkFormat::Btree: AddBtreeRoot(writer, sb, group, at, bytes, which); break;
    case xfs::ForkFormat::Local:
      if (bytes > 0) writer.Add(group, at, bytes, (std::string(which) + " fork (local)").c_str(), Show::Bytes);
      break;
    default: break;
  }
}

// The inode number of byte `at` of a structure read at `sector`, by the volume's layout.
std::optional<uint64_t> InodeAt(const xfs::Superblock& sb, uint64_t sector, uint32_t sectorSize, size_t at) {
  const uint64_t byte = sector * sectorSize + at;
  const uint64_t linear = byte / sb.BlockBytes;
  if (linear >= sb.DataBlocks) return std::nullopt;
  const uint32_t ag = static_cast<uint32_t>(linear / sb.AgBlocks);
  return xfs::InodeNumber(sb, ag, static_cast<uint32_t>(linear % sb.AgBlocks), static_cast<uint32_t>(byte % sb.BlockBytes / sb.InodeBytes));
}

}  // namespace

Structure DecodeXfsInode(const StructureInput& input) {
  Structure s;
  s.Id = "xfs-inode";
  s.Title = "XFS inodes";
  FieldWriter writer(s, input.Bytes);
  const std::optional<xfs::Superblock> sb = ReadSuperblock(input);
  const size_t size = sb ? sb->InodeBytes : 512;
  if (!sb) writer.Note("The superblock cannot be read: inodes of 512 bytes");
  const std::span<const uint8_t> b = input.Bytes;
  for (size_t at = 0; at < b.size() && !writer.Cut(); at += size) {
    const std::optional<uint64_t> number = sb ? InodeAt(*sb, input.Sector, input.SectorSize, at) : std::nullopt;
    const std::string group = number ? "Inode " + std::to_string(*number) : "Inode at byte " + std::to_string(at);
    if (!AddBe(writer, group, at, {0, 2, "Magic number", Be::Hex})) break;
    if (!writer.Fits(at + 2, 4)) break;
    const uint16_t mode = ReadBe16(b, at + 2);
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", mode & 07777);
    writer.AddText(group, at + 2, 2, "Mode", HexText(mode, 4) + " (" + xfs::FileTypeName(mode) + ", " + octal + ")", mode);
    const uint8_t version = ReadU8(b, at + 4);
    const uint8_t format = ReadU8(b, at + 5);
    writer.AddText(group, at + 4, 1, "Version", NumberText(version), version);
    writer.AddText(group, at + 5, 1, "Data fork format", std::to_string(format) + " (" + xfs::ForkFormatName(format) + ")", format);
    if (!AddBe(writer, group, at, {6, 2, "Links (v1)", Be::Number}) || !AddBeTable(writer, group, at, kInodeOwner)) break;
    const bool v3 = version == 3;
    if (!writer.Fits(at + 120, 8)) break;
    const uint64_t flags2 = v3 ? ReadBe64(b, at + 120) : 0;
    const bool big = (flags2 & kFlags2BigTime) != 0;
    const bool large = (flags2 & kFlags2LargeExtentCounts) != 0;
    if (!large && !AddBe(writer, group, at, {30, 2, "Flush counter", Be::Number})) break;
    if (!AddInodeTime(writer, group, at + 32, "Access time", big) || !AddInodeTime(writer, group, at + 40, "Modification time", big) ||
        !AddInodeTime(writer, group, at + 48, "Change time", big) || !AddBeTable(writer, group, at, kInodeSizes) ||
        !AddBeTable(writer, group, at, large ? std::span<const BeField>(kInodeLargeExtentCounts) : std::span<const BeField>(kInodeExtentCounts)) ||
        !AddBeTable(writer, group, at, kInodeTail)) {
      break;
    }
    if (v3 && (!AddBeTable(writer, group, at, kInodeV3) || !AddInodeTime(writer, group, at + 144, "Creation time", big) ||
               !AddBeTable(writer, group, at, kInodeV3Tail))) {
      break;
    }
    // The forks: the data fork from the core's end, the attribute fork from its offset.
    const size_t core = v3 ? kV3CoreBytes : kV2CoreBytes;
    const size_t end = std::min(at + size, b.size());
    if (at + core < end && ReadBe16(b, at) == xfs::kInodeMagic) {
      const size_t literal = end - at - core;
      const size_t forkOffset = size_t{ReadU8(b, at + 82)} * 8;
      const size_t dataBytes = forkOffset != 0 && forkOffset < literal ? forkOffset : literal;
      const uint64_t dataExtents = large ? ReadBe64(b, at + 24) : ReadBe32(b, at + 76);
      const uint64_t attrExtents = large ? ReadBe32(b, at + 76) : ReadBe16(b, at + 80);
      const uint64_t sizeField = ReadBe64(b, at + 56);
      const bool local = format == static_cast<uint8_t>(xfs::ForkFormat::Local);
      AddFork(writer, sb ? &*sb : nullptr, group, at + core, local ? std::min<uint64_t>(dataBytes, sizeField) : dataBytes, format,
              dataExtents, "Data");
      if (forkOffset != 0 && forkOffset < literal) {
        AddFork(writer, sb ? &*sb : nullptr, group, at + core + forkOffset, literal - forkOffset, ReadU8(b, at + 83), attrExtents,
                "Attribute");
      }
    }
    if (v3 && Fits(b, at, size) && size >= kV3CoreBytes) {
      const xfs::Checksum crc = xfs::MetadataChecksum(b.subspan(at, size), xfs::kInodeCrcOffset);
      writer.AddCheck(group + " CRC32c", crc.Ok(), HexText(crc.Stored, 8), HexText(crc.Computed, 8));
    }
    s.Length = end;
  }
  return s;
}

namespace {

// The btrees' magics, what they index and whether their blocks have the long form (a
// fork's: 8-byte siblings and owner).
struct BtreeMagic {
  uint32_t Magic;
  const char* Name;
  bool Long;
  bool V5;
};
constexpr BtreeMagic kBtreeMagics[] = {
    {0x41425442, "free space by block (bnobt)", false, false}, {0x41423342, "free space by block (bnobt)", false, true},
    {0x41425443, "free space by size (cntbt)", false, false},  {0x41423343, "free space by size (cntbt)", false, true},
    {0x49414254, "inodes (inobt)", false, false},              {0x49414233, "inodes (inobt)", false, true},
    {0x46494254, "free inodes (finobt)", false, false},        {0x46494233, "free inodes (finobt)", false, true},
    {0x524D4233, "reverse mapping (rmapbt)", false, true},     {0x52334643, "reference counts (refcountbt)", false, true},
    {0x424D4150, "a fork's extents (bmbt)", true, false},      {0x424D4133, "a fork's extents (bmbt)", true, true},
};

const BtreeMagic* FindBtreeMagic(uint32_t magic) {
  for (const BtreeMagic& m : kBtreeMagics) {
    if (m.Magic == magic) return &m;
  }
  return nullptr;
}

constexpr BeField kShortBtree[] = {
    {0, 4, "Magic number", Be::Ascii}, {4, 2, "Level", Be::Number}, {6, 2, "Records", Be::Number},
    {8, 4, "Left sibling", Be::Number}, {12, 4, "Right sibling", Be::Number},
};
constexpr BeField kShortBtreeV5[] = {
    {16, 8, "Block number (sectors)", Be::Number}, {24, 8, "Last write LSN", Be::Hex}, {32, 16, "UUID", Be::Uuid},
    {48, 4, "Owner AG", Be::Number},               {52, 4, "CRC32c", Be::Hex},
};
constexpr BeField kLongBtree[] = {
    {0, 4, "Magic number", Be::Ascii}, {4, 2, "Level", Be::Number}, {6, 2, "Records", Be::Number},
    {8, 8, "Left sibling", Be::Number}, {16, 8, "Right sibling", Be::Number},
};
constexpr BeField kLongBtreeV5[] = {
    {24, 8, "Block number (sectors)", Be::Number}, {32, 8, "Last write LSN", Be::Hex}, {40, 16, "UUID", Be::Uuid},
    {56, 8, "Owner inode", Be::Number},            {64, 4, "CRC32c", Be::Hex},
};

// The CRC32c of a v5 block over its first `bytes` (the block's size), where they were read.
void AddBlockCrc(FieldWriter& writer, size_t bytes, size_t crcOffset) {
  if (bytes == 0 || writer.Bytes().size() < bytes) return;
  AddCrcCheck(writer, writer.Bytes().first(bytes), crcOffset);
}

size_t BlockBytesOf(const StructureInput& input) {
  const std::optional<xfs::Superblock> sb = ReadSuperblock(input);
  return sb ? sb->BlockBytes : 0;
}
size_t DirectoryBlockBytesOf(const StructureInput& input) {
  const std::optional<xfs::Superblock> sb = ReadSuperblock(input);
  return sb ? sb->DirectoryBlockBytes() : 0;
}

// The header every directory leaf and node block and attribute block opens with: its
// siblings and a 16-bit magic; v5 adds the CRC, its own place, LSN, UUID and owner.
constexpr BeField kDaInfo[] = {
    {0, 4, "Next block", Be::Number}, {4, 4, "Previous block", Be::Number}, {8, 2, "Magic number", Be::Hex}, {10, 2, "Pad", Be::Hex},
};
constexpr BeField kDaInfoV5[] = {
    {12, 4, "CRC32c", Be::Hex}, {16, 8, "Block number (sectors)", Be::Number}, {24, 8, "Last write LSN", Be::Hex},
    {32, 16, "UUID", Be::Uuid}, {48, 8, "Owner inode", Be::Number},
};
constexpr size_t kDaCrcOffset = 12;
constexpr uint16_t kDaNodeMagicV4 = 0xFEBE, kDaNodeMagicV5 = 0x3EBE;
constexpr uint16_t kLeaf1MagicV4 = 0xD2F1, kLeaf1MagicV5 = 0x3DF1;
constexpr uint16_t kLeafNMagicV4 = 0xD2FF, kLeafNMagicV5 = 0x3DFF;
constexpr uint16_t kAttrLeafMagicV4 = 0xFBEE, kAttrLeafMagicV5 = 0x3BEE;
constexpr uint32_t kFreeMagicV4 = 0x58443246;  // "XD2F"
constexpr uint32_t kFreeMagicV5 = 0x58444633;  // "XDF3"

bool IsV5DaMagic(uint16_t magic) {
  return magic == kDaNodeMagicV5 || magic == kLeaf1MagicV5 || magic == kLeafNMagicV5 || magic == kAttrLeafMagicV5;
}

// The da header, then `v4` fields after its 12 bytes or `v5` after its 56, and the CRC
// over `crcBytes`.
Structure DecodeDaBlock(const StructureInput& input, const char* id, const char* title, std::span<const BeField> v4,
                        std::span<const BeField> v5, size_t crcBytes) {
  Structure s;
  s.Id = id;
  s.Title = title;
  FieldWriter writer(s, input.Bytes);
  if (!AddBeTable(writer, {}, 0, kDaInfo)) return s;
  const bool isV5 = IsV5DaMagic(ReadBe16(input.Bytes, 8));
  if (isV5) {
    if (!AddBeTable(writer, {}, 0, kDaInfoV5) || !AddBeTable(writer, {}, 0, v5)) return s;
    AddBlockCrc(writer, crcBytes, kDaCrcOffset);
  } else if (!AddBeTable(writer, {}, 0, v4)) {
    return s;
  }
  s.Length = std::min(input.Bytes.size(), std::max<size_t>(crcBytes, 1));
  return s;
}

constexpr BeField kLeafV4[] = {{12, 2, "Entries", Be::Number}, {14, 2, "Stale entries", Be::Number}};
constexpr BeField kLeafV5[] = {{56, 2, "Entries", Be::Number}, {58, 2, "Stale entries", Be::Number}, {60, 4, "Pad", Be::Hex}};
constexpr BeField kNodeV4[] = {{12, 2, "Entries", Be::Number}, {14, 2, "Level", Be::Number}};
constexpr BeField kNodeV5[] = {{56, 2, "Entries", Be::Number}, {58, 2, "Level", Be::Number}, {60, 4, "Pad", Be::Hex}};
constexpr BeField kAttrLeafV4[] = {
    {12, 2, "Entries", Be::Number}, {14, 2, "Bytes used", Be::Number}, {16, 2, "First used byte", Be::Number},
    {18, 1, "Holes", Be::Number},   {19, 1, "Pad", Be::Hex},
    {20, 2, "Free region 0 start", Be::Number}, {22, 2, "Free region 0 size", Be::Number},
    {24, 2, "Free region 1 start", Be::Number}, {26, 2, "Free region 1 size", Be::Number},
    {28, 2, "Free region 2 start", Be::Number}, {30, 2, "Free region 2 size", Be::Number},
};
constexpr BeField kAttrLeafV5[] = {
    {56, 2, "Entries", Be::Number}, {58, 2, "Bytes used", Be::Number}, {60, 2, "First used byte", Be::Number},
    {62, 1, "Holes", Be::Number},   {63, 1, "Pad", Be::Hex},
    {64, 2, "Free region 0 start", Be::Number}, {66, 2, "Free region 0 size", Be::Number},
    {68, 2, "Free region 1 start", Be::Number}, {70, 2, "Free region 1 size", Be::Number},
    {72, 2, "Free region 2 start", Be::Number}, {74, 2, "Free region 2 size", Be::Number},
    {76, 4, "Pad", Be::Hex},
};
constexpr BeField kFreeV4[] = {
    {0, 4, "Magic number", Be::Ascii}, {4, 4, "First data block", Be::Number}, {8, 4, "Valid entries", Be::Number},
    {12, 4, "Used entries", Be::Number},
};
constexpr BeField kFreeV5[] = {
    {0, 4, "Magic number", Be::Ascii},   {4, 4, "CRC32c", Be::Hex},         {8, 8, "Block number (sectors)", Be::Number},
    {16, 8, "Last write LSN", Be::Hex},  {24, 16, "UUID", Be::Uuid},         {40, 8, "Owner inode", Be::Number},
    {48, 4, "First data block", Be::Number}, {52, 4, "Valid entries", Be::Number}, {56, 4, "Used entries", Be::Number},
    {60, 4, "Pad", Be::Hex},
};
constexpr size_t kFreeCrcOffset = 4;

}  // namespace

Structure DecodeXfsBtreeBlock(const StructureInput& input) {
  Structure s;
  s.Id = "xfs-btree";
  s.Title = "XFS btree block header";
  FieldWriter writer(s, input.Bytes);
  const BtreeMagic* magic = FindBtreeMagic(ReadBe32(input.Bytes, 0));
  const bool isLong = magic && magic->Long;
  if (!AddBeTable(writer, {}, 0, isLong ? std::span<const BeField>(kLongBtree) : std::span<const BeField>(kShortBtree))) return s;
  if (!magic) {
    writer.AddCheck("Magic number", false, AsciiText(input.Bytes, 0, 4), "a btree's");
    return s;
  }
  writer.Note(std::string("A btree of ") + magic->Name);
  if (!magic->V5) return s;
  if (!AddBeTable(writer, {}, 0, isLong ? std::span<const BeField>(kLongBtreeV5) : std::span<const BeField>(kShortBtreeV5))) return s;
  const size_t block = BlockBytesOf(input);
  AddBlockCrc(writer, block, isLong ? 64 : 52);
  s.Length = std::min(input.Bytes.size(), std::max<size_t>(block, 1));
  return s;
}

Structure DecodeXfsDirectoryLeaf(const StructureInput& input) {
  return DecodeDaBlock(input, "xfs-directory-leaf", "XFS directory leaf block header", kLeafV4, kLeafV5, DirectoryBlockBytesOf(input));
}

// A node block of a directory spans a directory block, one of an attribute fork a block:
// the CRC is checked over whichever of the two it holds for.
Structure DecodeXfsDaNode(const StructureInput& input) {
  const size_t dir = DirectoryBlockBytesOf(input);
  const size_t block = BlockBytesOf(input);
  size_t covered = dir;
  if (block != dir && input.Bytes.size() >= block && xfs::MetadataChecksum(input.Bytes.first(block), kDaCrcOffset).Ok()) covered = block;
  return DecodeDaBlock(input, "xfs-da-node", "XFS directory or attribute node block header", kNodeV4, kNodeV5, covered);
}

Structure DecodeXfsAttributeLeaf(const StructureInput& input) {
  return DecodeDaBlock(input, "xfs-attribute-leaf", "XFS attribute leaf block header", kAttrLeafV4, kAttrLeafV5, BlockBytesOf(input));
}

Structure DecodeXfsDirectoryFree(const StructureInput& input) {
  Structure s;
  s.Id = "xfs-directory-free";
  s.Title = "XFS directory free index block header";
  FieldWriter writer(s, input.Bytes);
  const uint32_t magic = ReadBe32(input.Bytes, 0);
  if (magic == kFreeMagicV5) {
    if (!AddBeTable(writer, {}, 0, kFreeV5)) return s;
    AddMagicCheck(writer, "XDF3");
    AddBlockCrc(writer, DirectoryBlockBytesOf(input), kFreeCrcOffset);
  } else {
    if (!AddBeTable(writer, {}, 0, kFreeV4)) return s;
    AddMagicCheck(writer, "XD2F");
  }
  s.Length = std::min(input.Bytes.size(), std::max<size_t>(DirectoryBlockBytesOf(input), 1));
  return s;
}

uint64_t XfsStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset) {
  uint64_t bytes = 0;
  const xfs::VolumeState* state = XfsStateOf(CurrentFileSystem());
  if (state && state->Sb) {
    const xfs::Superblock& sb = *state->Sb;
    if (id == "xfs-inode") bytes = sb.InodeBytes;
    if (id == "xfs-btree" || id == "xfs-attribute-leaf") bytes = sb.BlockBytes;
    if (id == "xfs-directory-leaf" || id == "xfs-directory-free" || id == "xfs-da-node") bytes = sb.DirectoryBlockBytes();
  }
  return (std::max<uint64_t>(offset + bytes, sectorSize) + sectorSize - 1) / sectorSize * sectorSize;
}

std::optional<StructureChoice> XfsStructureAt(const xfs::VolumeState& state, uint64_t sector) {
  if (!state.Sb) return std::nullopt;
  const xfs::Superblock& sb = *state.Sb;
  const uint64_t agSectors = uint64_t{sb.AgBlocks} * sb.SectorsPerBlock();
  const uint64_t ag = sector / agSectors;
  if (ag >= sb.AgCount) return std::nullopt;
  switch (sector % agSectors) {
    case 0: return StructureChoice{"xfs-superblock"};
    case 1: return StructureChoice{"xfs-agf"};
    case 2: return StructureChoice{"xfs-agi"};
    case 3: return StructureChoice{"xfs-agfl"};
    default: break;
  }
  // Other metadata by its magic: inodes wherever one may begin, btree, directory and
  // attribute blocks at a block's start.
  const std::optional<std::vector<uint8_t>> bytes = xfs::ReadVolumeSector(sector);
  if (!bytes) return std::nullopt;
  const uint64_t byte = sector * sb.SectorBytes;
  const uint8_t version = ReadU8(*bytes, 4);
  if (ReadBe16(*bytes, 0) == xfs::kInodeMagic && version >= 1 && version <= 3 && byte % sb.InodeBytes == 0) {
    return StructureChoice{"xfs-inode"};
  }
  if (byte % sb.BlockBytes != 0) return std::nullopt;
  const uint32_t magic = ReadBe32(*bytes, 0);
  if (const BtreeMagic* m = FindBtreeMagic(magic); m && m->V5 == sb.HasCrc()) return StructureChoice{"xfs-btree"};
  if (magic == (sb.HasCrc() ? kFreeMagicV5 : kFreeMagicV4)) return StructureChoice{"xfs-directory-free"};
  const uint16_t da = ReadBe16(*bytes, 8);
  if (da == kLeaf1MagicV4 || da == kLeaf1MagicV5 || da == kLeafNMagicV4 || da == kLeafNMagicV5) {
    if (IsV5DaMagic(da) == sb.HasCrc()) return StructureChoice{"xfs-directory-leaf"};
  }
  if ((da == kDaNodeMagicV4 || da == kDaNodeMagicV5) && IsV5DaMagic(da) == sb.HasCrc()) return StructureChoice{"xfs-da-node"};
  if ((da == kAttrLeafMagicV4 || da == kAttrLeafMagicV5) && IsV5DaMagic(da) == sb.HasCrc()) return StructureChoice{"xfs-attribute-leaf"};
  return std::nullopt;
}

std::vector<StructureBackup> XfsStructureBackups(const xfs::VolumeState& state) {
  if (!state.Sb || state.Sb->AgCount < 2) return {};
  const xfs::Superblock& sb = *state.Sb;
  // The counters are kept in AG 0's superblock only (and with lazy counters summed from
  // the AG headers at mount); a secondary keeps what mkfs or growfs wrote.
  struct Kept {
    size_t Offset;
    const char* Why;
  };
  static const Kept kKeptByThePrimary[] = {
      {126, "mkfs clears its in-progress flag in the primary only"},
      {128, "only the primary counts the inodes allocated"},
      {136, "only the primary counts the free inodes"},
      {144, "only the primary counts the free blocks"},
      {152, "only the primary counts the free realtime extents"},
      {240, "only the primary records its last write"},
  };
  std::vector<ExpectedDifference> expected;
  for (const Kept& k : kKeptByThePrimary) expected.push_back({k.Offset, k.Why});
  // mkfs writes the secondaries before it makes the root and realtime inodes: a secondary
  // holds the primary's number or none (all ones).
  for (const size_t inode : {size_t{56}, size_t{64}, size_t{72}}) {
    expected.push_back({inode, "the secondary names the primary's inode or none (0xFFFFFFFFFFFFFFFF)",
                        [inode](const BackupCopies& c) {
                          const uint64_t backup = ReadBe64(c.BackupBytes, inode);
                          return backup == ReadBe64(c.PrimaryBytes, inode) || backup == UINT64_MAX;
                        }});
  }
  if (sb.HasCrc()) {
    expected.push_back({xfs::kSuperblockCrcOffset, "each copy's CRC32c covers its own sector and holds",
                        [](const BackupCopies& c) {
                          return xfs::MetadataChecksum(c.PrimaryBytes, xfs::kSuperblockCrcOffset).Ok() &&
                                 xfs::MetadataChecksum(c.BackupBytes, xfs::kSuperblockCrcOffset).Ok();
                        }});
  }
  StructureBackup pair{"xfs-superblock", 0, xfs::AgHeaderSector(sb, 1, xfs::AgSector::Superblock), std::move(expected)};
  return {std::move(pair)};
}

}  // namespace korvalane
