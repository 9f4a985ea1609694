#include "core/fs/xfs/XfsStructures.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/Bytes.h"
#include "core/fs/xfs/AgHeaders.h"
#include "core/fs/xfs/Superblock.h"
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
    default: return std::nullopt;
  }
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
