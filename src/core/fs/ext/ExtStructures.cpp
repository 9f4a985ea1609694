#include "core/fs/ext/ExtStructures.h"

#include <algorithm>
#include <array>
#include <string>

#include "core/Bytes.h"
#include "core/fs/ext/Checksums.h"
#include "core/fs/ext/Directory.h"
#include "core/fs/ext/ExtFileSystem.h"
#include "core/fs/ext/ExtVolume.h"
#include "core/fs/ext/Inode.h"
#include "core/fs/ext/Superblock.h"
#include "core/model/Structure.h"
#include "core/text/IsoTime.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

using ext::Superblock;

constexpr ValueName kStates[] = {{0x1, "cleanly unmounted"}, {0x2, "errors detected"}, {0x4, "orphans being recovered"}};
constexpr ValueName kErrors[] = {{1, "continue"}, {2, "remount read-only"}, {3, "panic"}};
constexpr ValueName kCreatorOs[] = {{0, "Linux"}, {1, "Hurd"}, {2, "Masix"}, {3, "FreeBSD"}, {4, "Lites"}};
constexpr ValueName kRevisions[] = {{0, "original"}, {1, "dynamic"}};
constexpr ValueName kHashVersions[] = {{0, "legacy"},          {1, "half_md4"},          {2, "tea"},
                                       {3, "legacy unsigned"}, {4, "half_md4 unsigned"}, {5, "tea unsigned"}};
constexpr ValueName kSuperblockFlags[] = {{0x1, "signed directory hash"}, {0x2, "unsigned directory hash"},
                                          {0x4, "test file system"}};
constexpr ValueName kChecksumTypes[] = {{1, "crc32c"}};
constexpr ValueName kEncodings[] = {{0, "none"}, {1, "utf8"}};

constexpr FieldSpec kSuperblockHead[] = {
    {0x00, 4, "Inodes count", Show::Number},
    {0x04, 4, "Blocks count (low)", Show::Number},
    {0x08, 4, "Reserved blocks count (low)", Show::Number},
    {0x0C, 4, "Free blocks count (low)", Show::Number},
    {0x10, 4, "Free inodes count", Show::Number},
    {0x14, 4, "First data block", Show::Number},
};
constexpr FieldSpec kSuperblockGroups[] = {
    {0x20, 4, "Blocks per group", Show::Number},
    {0x24, 4, "Clusters per group", Show::Number},
    {0x28, 4, "Inodes per group", Show::Number},
};
constexpr FieldSpec kSuperblockState[] = {
    {0x34, 2, "Mount count", Show::Number},
    {0x36, 2, "Maximum mount count", Show::Signed},
    {0x38, 2, "Magic number", Show::Hex},
    {0x3A, 2, "State", Show::Flags, kStates},
    {0x3C, 2, "Errors behaviour", Show::Code, kErrors},
    {0x3E, 2, "Minor revision level", Show::Number},
};
constexpr FieldSpec kSuperblockRevision[] = {
    {0x44, 4, "Check interval", Show::Number},
    {0x48, 4, "Creator OS", Show::Code, kCreatorOs},
    {0x4C, 4, "Revision level", Show::Code, kRevisions},
    {0x50, 2, "Default reserved uid", Show::Number},
    {0x52, 2, "Default reserved gid", Show::Number},
    {0x54, 4, "First inode", Show::Number},
    {0x58, 2, "Inode size", Show::Number},
    {0x5A, 2, "Block group number", Show::Number},
};
constexpr FieldSpec kSuperblockNames[] = {
    {0x78, 16, "Volume name", Show::Ascii},
    {0x88, 64, "Last mounted on", Show::Ascii},
    {0xC8, 4, "Algorithm usage bitmap", Show::Hex},
    {0xCC, 1, "Preallocated blocks", Show::Number},
    {0xCD, 1, "Preallocated directory blocks", Show::Number},
    {0xCE, 2, "Reserved GDT blocks", Show::Number},
};
constexpr FieldSpec kSuperblockJournal[] = {
    {0xE0, 4, "Journal inode", Show::Number},
    {0xE4, 4, "Journal device", Show::Hex},
    {0xE8, 4, "Last orphan", Show::Number},
    {0xEC, 16, "Directory hash seed", Show::Bytes},
    {0xFC, 1, "Default hash version", Show::Code, kHashVersions},
    {0xFD, 1, "Journal backup type", Show::Number},
    {0xFE, 2, "Group descriptor size", Show::Number},
    {0x100, 4, "Default mount options", Show::Hex},
    {0x104, 4, "First meta block group", Show::Number},
};
constexpr FieldSpec kSuperblockLarge[] = {
    {0x10C, 68, "Journal inode backup", Show::Bytes},
    {0x150, 4, "Blocks count (high)", Show::Number},
    {0x154, 4, "Reserved blocks count (high)", Show::Number},
    {0x158, 4, "Free blocks count (high)", Show::Number},
    {0x15C, 2, "Minimum extra inode size", Show::Number},
    {0x15E, 2, "Wanted extra inode size", Show::Number},
    {0x160, 4, "Flags", Show::Flags, kSuperblockFlags},
    {0x164, 2, "RAID stride", Show::Number},
    {0x166, 2, "MMP update interval", Show::Number},
    {0x168, 8, "MMP block", Show::Number},
    {0x170, 4, "RAID stripe width", Show::Number},
    {0x174, 1, "Log groups per flex", Show::Number},
    {0x175, 1, "Checksum type", Show::Code, kChecksumTypes},
    {0x178, 8, "Kilobytes written", Show::Number},
    {0x180, 4, "Snapshot inode", Show::Number},
    {0x184, 4, "Snapshot id", Show::Number},
    {0x188, 8, "Snapshot reserved blocks", Show::Number},
    {0x190, 4, "Snapshot list", Show::Number},
    {0x194, 4, "Error count", Show::Number},
};
constexpr FieldSpec kSuperblockErrors[] = {
    {0x19C, 4, "First error inode", Show::Number},
    {0x1A0, 8, "First error block", Show::Number},
    {0x1A8, 32, "First error function", Show::Ascii},
    {0x1C8, 4, "First error line", Show::Number},
};
constexpr FieldSpec kSuperblockLastError[] = {
    {0x1D0, 4, "Last error inode", Show::Number},
    {0x1D4, 4, "Last error line", Show::Number},
    {0x1D8, 8, "Last error block", Show::Number},
    {0x1E0, 32, "Last error function", Show::Ascii},
    {0x200, 64, "Mount options", Show::Ascii},
    {0x240, 4, "User quota inode", Show::Number},
    {0x244, 4, "Group quota inode", Show::Number},
    {0x248, 4, "Overhead clusters", Show::Number},
    {0x24C, 4, "Backup group 1 (sparse_super2)", Show::Number},
    {0x250, 4, "Backup group 2 (sparse_super2)", Show::Number},
    {0x254, 4, "Encryption algorithms", Show::Bytes},
    {0x258, 16, "Encryption password salt", Show::Bytes},
    {0x268, 4, "lost+found inode", Show::Number},
    {0x26C, 4, "Project quota inode", Show::Number},
    {0x270, 4, "Checksum seed", Show::Hex},
    {0x274, 1, "Write time (high byte)", Show::Number},
    {0x275, 1, "Mount time (high byte)", Show::Number},
    {0x276, 1, "Creation time (high byte)", Show::Number},
    {0x277, 1, "Last check time (high byte)", Show::Number},
    {0x278, 1, "First error time (high byte)", Show::Number},
    {0x279, 1, "Last error time (high byte)", Show::Number},
    {0x27C, 2, "Encoding", Show::Code, kEncodings},
    {0x27E, 2, "Encoding flags", Show::Hex},
    {0x3FC, 4, "Checksum", Show::Hex},
};

constexpr size_t kMagic = 0x38;
constexpr uint16_t kMagicValue = 0xEF53;
constexpr size_t kSuperblockChecksum = 0x3FC;

// The fields only the primary superblock follows after mkfs: the kernel leaves the
// backups' counts, times and state as they were made.
constexpr size_t kKeptByThePrimary[] = {0x0C,  0x10,  0x2C,  0x30,  0x34,  0x3A,  0x40,  0xE8,  0x158,
                                        0x178, 0x194, 0x198, 0x19C, 0x1A0, 0x1A8, 0x1C8, 0x1CC, 0x1D0,
                                        0x1D4, 0x1D8, 0x1E0, 0x274, 0x275, 0x277, 0x278, 0x279};
// Each backup names the group it stands in; the primary is group 0's.
constexpr size_t kGroupNumber = 0x5A;

constexpr ValueName kGroupFlags[] = {{0x1, "INODE_UNINIT"}, {0x2, "BLOCK_UNINIT"}, {0x4, "ITABLE_ZEROED"}};
constexpr FieldSpec kDescriptor[] = {
    {0x00, 4, "Block bitmap (low)", Show::Number},
    {0x04, 4, "Inode bitmap (low)", Show::Number},
    {0x08, 4, "Inode table (low)", Show::Number},
    {0x0C, 2, "Free blocks (low)", Show::Number},
    {0x0E, 2, "Free inodes (low)", Show::Number},
    {0x10, 2, "Used directories (low)", Show::Number},
    {0x12, 2, "Flags", Show::Flags, kGroupFlags},
    {0x14, 4, "Snapshot exclude bitmap (low)", Show::Number},
    {0x18, 2, "Block bitmap checksum (low)", Show::Hex},
    {0x1A, 2, "Inode bitmap checksum (low)", Show::Hex},
    {0x1C, 2, "Unused inodes (low)", Show::Number},
    {0x1E, 2, "Checksum", Show::Hex},
};
constexpr FieldSpec kDescriptorHigh[] = {
    {0x20, 4, "Block bitmap (high)", Show::Number},
    {0x24, 4, "Inode bitmap (high)", Show::Number},
    {0x28, 4, "Inode table (high)", Show::Number},
    {0x2C, 2, "Free blocks (high)", Show::Number},
    {0x2E, 2, "Free inodes (high)", Show::Number},
    {0x30, 2, "Used directories (high)", Show::Number},
    {0x32, 2, "Unused inodes (high)", Show::Number},
    {0x34, 4, "Snapshot exclude bitmap (high)", Show::Number},
    {0x38, 2, "Block bitmap checksum (high)", Show::Hex},
    {0x3A, 2, "Inode bitmap checksum (high)", Show::Hex},
};

constexpr FieldSpec kInodeOwner[] = {
    {0x02, 2, "Owner uid (low)", Show::Number},
    {0x04, 4, "Size (low)", Show::Number},
};
constexpr FieldSpec kInodeLinks[] = {
    {0x18, 2, "Group id (low)", Show::Number},
    {0x1A, 2, "Links count", Show::Number},
    {0x1C, 4, "Blocks (low)", Show::Number},
};
constexpr FieldSpec kInodeMiddle[] = {
    {0x24, 4, "Version (low)", Show::Number},
    {0x28, 60, "Block map, extent tree or inline data", Show::Bytes},
    {0x64, 4, "Generation", Show::Number},
    {0x68, 4, "Extended attribute block (low)", Show::Number},
    {0x6C, 4, "Size (high)", Show::Number},
    {0x70, 4, "Fragment address", Show::Number},
    {0x74, 2, "Blocks (high)", Show::Number},
    {0x76, 2, "Extended attribute block (high)", Show::Number},
    {0x78, 2, "Owner uid (high)", Show::Number},
    {0x7A, 2, "Group id (high)", Show::Number},
    {0x7C, 2, "Checksum (low)", Show::Hex},
    {0x7E, 2, "Reserved", Show::Hex},
};
// The fields past the first 128 bytes, each present where the extra size covers it.
constexpr FieldSpec kInodeExtra[] = {
    {0x82, 2, "Checksum (high)", Show::Hex},
    {0x84, 4, "Change time, extra", Show::Hex},
    {0x88, 4, "Modification time, extra", Show::Hex},
    {0x8C, 4, "Access time, extra", Show::Hex},
    {0x90, 4, "Creation time", Show::Number},
    {0x94, 4, "Creation time, extra", Show::Hex},
    {0x98, 4, "Version (high)", Show::Number},
    {0x9C, 4, "Project id", Show::Number},
};

constexpr ValueName kEntryTypes[] = {{0, "unknown"},      {1, "file"},   {2, "directory"}, {3, "char device"},
                                     {4, "block device"}, {5, "fifo"},   {6, "socket"},    {7, "symlink"},
                                     {0xDE, "checksum tail"}};
constexpr size_t kSmallestRecord = 12;
constexpr uint8_t kTailType = 0xDE;

constexpr int64_t kUnixToFileTime = 11644473600;
constexpr size_t kCreationTime = 0x90;  // its extra field follows it

// A time in seconds since 1970, as the NTFS report shows times, and as stored.
std::string UnixTimeText(uint32_t seconds) {
  if (seconds == 0) return "not set (0x00000000)";
  const uint64_t ticks = (uint64_t{seconds} + kUnixToFileTime) * 10000000u;
  return FileTimeText(ticks) + " (" + HexText(seconds, 8) + ")";
}

// Where the bits that widen a time past its 32 are kept: the superblock's high byte of
// each of its times, an inode's extra field (two epoch bits and the nanoseconds).
enum class Widening : uint8_t { HighByte, InodeExtra };

// The moment for scripts of the time at `at`, with its widening at `widenedAt` where the
// bytes (and the inode) hold it; none where all of it is 0, as the view's "not set".
std::optional<std::string> TimeMoment(std::span<const uint8_t> b, size_t at, std::optional<size_t> widenedAt, Widening how) {
  const size_t width = how == Widening::HighByte ? 1 : 4;
  if (widenedAt && !Fits(b, *widenedAt, width)) widenedAt.reset();
  if (ReadLe32(b, at) == 0 && (!widenedAt || ReadLe(b, *widenedAt, width) == 0)) return std::nullopt;
  if (how == Widening::InodeExtra) return ext::InodeTimeIso8601(ext::ReadInodeTime(b, at, widenedAt));
  return UnixTimeIso8601(widenedAt ? ext::ReadSuperblockTime(b, at, *widenedAt) : int64_t{ReadLe32(b, at)});
}

// A time field: shown as its 32 bits, with the moment for scripts (its widening at
// `widenedBy` from `base`).
void AddTime(FieldWriter& writer, const std::string& group, size_t base, size_t offset, const char* name,
             std::optional<size_t> widenedBy = std::nullopt, Widening how = Widening::HighByte) {
  if (!writer.Fits(base + offset, 4)) return;
  const uint32_t seconds = ReadLe32(writer.Bytes(), base + offset);
  writer.AddText(group, base + offset, 4, name, UnixTimeText(seconds), seconds);
  const std::optional<size_t> widenedAt = widenedBy ? std::optional<size_t>(base + *widenedBy) : std::nullopt;
  writer.SetTime(base + offset, TimeMoment(writer.Bytes(), base + offset, widenedAt, how));
}

std::string CheckText(uint32_t value, int digits) { return HexText(value, digits); }

// The superblock of the volume `input` was read from, through its reader: bytes 1024-2047.
std::optional<Superblock> ReadSuperblock(const StructureInput& input) {
  if (!input.Read || input.SectorSize == 0) return std::nullopt;
  const uint64_t first = ext::kSuperblockOffset / input.SectorSize;
  const size_t skip = ext::kSuperblockOffset % input.SectorSize;
  const size_t sectors = (skip + ext::kSuperblockBytes + input.SectorSize - 1) / input.SectorSize;
  std::vector<uint8_t> bytes(sectors * input.SectorSize);
  if (!input.Read(first, bytes)) return std::nullopt;
  return ext::ParseSuperblock(std::span<const uint8_t>(bytes).subspan(skip, ext::kSuperblockBytes), 0, 0).Value;
}

// Reads `out.size()` bytes from byte `byte` of the volume through the input's reader.
bool ReadVolumeBytes(const StructureInput& input, uint64_t byte, std::span<uint8_t> out) {
  if (!input.Read || input.SectorSize == 0) return false;
  const uint64_t first = byte / input.SectorSize;
  const size_t skip = byte % input.SectorSize;
  std::vector<uint8_t> bytes((skip + out.size() + input.SectorSize - 1) / input.SectorSize * input.SectorSize);
  if (!input.Read(first, bytes)) return false;
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(skip), out.size(), out.begin());
  return true;
}

// Inode `number` of the volume, found through its group's one descriptor.
std::optional<ext::Inode> ReadOneInode(const StructureInput& input, const Superblock& sb, uint32_t number) {
  if (number == 0 || number > sb.InodesCount) return std::nullopt;
  const uint32_t group = (number - 1) / sb.InodesPerGroup;
  const ext::DescriptorPlace place = ext::DescriptorLocation(sb, group);
  std::vector<uint8_t> descriptor(sb.DescriptorBytes);
  if (!ReadVolumeBytes(input, place.Block * sb.BlockBytes + place.Offset, descriptor)) return std::nullopt;
  // Only this group's descriptor is read: a list of every group up to it could be millions.
  const uint64_t table = ext::ParseGroupDescriptor(sb, group, descriptor).InodeTable;
  if (table >= sb.BlocksCount || sb.InodeTableBlocks() > sb.BlocksCount - table) return std::nullopt;
  const uint64_t byte = table * sb.BlockBytes + uint64_t{(number - 1) % sb.InodesPerGroup} * sb.InodeBytes;
  std::vector<uint8_t> bytes(sb.InodeBytes);
  if (!ReadVolumeBytes(input, byte, bytes)) return std::nullopt;
  return ext::ParseInode(sb, number, bytes);
}

}  // namespace

Structure DecodeExtSuperblock(const StructureInput& input) {
  Structure s;
  s.Id = "ext-superblock";
  s.Title = "ext superblock";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> b = input.Bytes;
  if (!writer.AddTable({}, 0, kSuperblockHead)) return s;
  for (const auto& [offset, name] : {std::pair{size_t{0x18}, "Log block size"}, std::pair{size_t{0x1C}, "Log cluster size"}}) {
    if (!writer.Fits(offset, 4)) return s;
    const uint32_t shift = ReadLe32(b, offset);
    writer.AddText({}, offset, 4, name,
                   std::to_string(shift) + (shift <= 21 ? " (" + std::to_string(1024u << shift) + " bytes)" : ""), shift);
  }
  if (!writer.AddTable({}, 0, kSuperblockGroups)) return s;
  AddTime(writer, {}, 0, 0x2C, "Mount time", 0x275);
  AddTime(writer, {}, 0, 0x30, "Write time", 0x274);
  if (!writer.AddTable({}, 0, kSuperblockState)) return s;
  AddTime(writer, {}, 0, 0x40, "Last check time", 0x277);
  if (!writer.AddTable({}, 0, kSuperblockRevision)) return s;
  for (const auto& [offset, name, names] :
       {std::tuple{size_t{0x5C}, "Compatible features", &ext::CompatNames},
        std::tuple{size_t{0x60}, "Incompatible features", &ext::IncompatNames},
        std::tuple{size_t{0x64}, "Read-only compatible features", &ext::RoCompatNames}}) {
    if (!writer.Fits(offset, 4)) return s;
    const uint32_t bits = ReadLe32(b, offset);
    writer.AddText({}, offset, 4, name, HexText(bits, 8) + " (" + (*names)(bits) + ")", bits);
  }
  for (const auto& [offset, name] : {std::pair{size_t{0x68}, "UUID"}, std::pair{size_t{0xD0}, "Journal UUID"}}) {
    if (offset == 0xD0 && !writer.AddTable({}, 0, kSuperblockNames)) return s;
    if (!writer.Fits(offset, 16)) return s;
    std::array<uint8_t, 16> uuid{};
    std::copy_n(b.begin() + static_cast<std::ptrdiff_t>(offset), 16, uuid.begin());
    writer.AddText({}, offset, 16, name, ext::UuidText(uuid));
  }
  if (!writer.AddTable({}, 0, kSuperblockJournal)) return s;
  AddTime(writer, {}, 0, 0x108, "Creation time", 0x276);
  if (!writer.AddTable({}, 0, kSuperblockLarge)) return s;
  AddTime(writer, {}, 0, 0x198, "First error time", 0x278);
  if (!writer.AddTable({}, 0, kSuperblockErrors)) return s;
  AddTime(writer, {}, 0, 0x1CC, "Last error time", 0x279);
  if (!writer.AddTable({}, 0, kSuperblockLastError)) return s;
  s.Length = ext::kSuperblockBytes;

  const uint16_t magic = ReadLe16(b, kMagic);
  writer.AddCheck("Magic number", magic == kMagicValue, HexText(magic, 4), HexText(kMagicValue, 4));
  if ((ReadLe32(b, 0x64) & ext::kRoCompatMetadataCsum) != 0) {
    const uint32_t stored = ReadLe32(b, kSuperblockChecksum);
    const uint32_t computed = ext::Crc32c(~0u, b.first(kSuperblockChecksum));
    writer.AddCheck("Superblock checksum (crc32c)", stored == computed, CheckText(stored, 8), CheckText(computed, 8));
  }
  return s;
}

Structure DecodeExtGroupDescriptors(const StructureInput& input) {
  Structure s;
  s.Id = "ext-group-descriptors";
  s.Title = "ext group descriptors";
  FieldWriter writer(s, input.Bytes);
  const std::optional<Superblock> sb = ReadSuperblock(input);
  const size_t size = sb ? sb->DescriptorBytes : (input.EntrySize == 64 ? 64 : 32);
  if (!sb) writer.Note("The superblock cannot be read: descriptors of " + std::to_string(size) + " bytes, checksums not checked");
  const uint32_t firstGroup = input.FirstEntryNumber > 0 ? input.FirstEntryNumber - 1 : 0;
  for (size_t at = 0; Fits(input.Bytes, at, size); at += size) {
    const uint64_t group = uint64_t{firstGroup} + at / size;
    if (sb && group >= sb->Groups) {
      writer.Note("The table ends at " + HexText(at, 3) + " after group " + std::to_string(sb->Groups - 1));
      break;
    }
    const std::string name = "Group " + std::to_string(group);
    if (!writer.AddTable(name, at, kDescriptor)) break;
    if (size >= 64 && !writer.AddTable(name, at, kDescriptorHigh)) break;
    if (!sb) continue;
    const ext::GroupDescriptor gd = ext::ParseGroupDescriptor(*sb, static_cast<uint32_t>(group), input.Bytes.subspan(at, size));
    if (gd.DescriptorChecksum) {
      writer.AddCheck(name + " checksum (" + std::string(sb->HasMetadataCsum() ? "crc32c" : "CRC-16") + ")",
                      gd.DescriptorChecksum->Ok(), CheckText(gd.DescriptorChecksum->Stored, 4),
                      CheckText(gd.DescriptorChecksum->Computed, 4));
    }
  }
  s.Length = input.Bytes.size() / size * size;
  return s;
}

Structure DecodeExtInode(const StructureInput& input) {
  Structure s;
  s.Id = "ext-inode";
  s.Title = "ext inodes";
  FieldWriter writer(s, input.Bytes);
  const std::optional<Superblock> sb = ReadSuperblock(input);
  const size_t size = sb ? sb->InodeBytes : std::max<size_t>(128, input.EntrySize);
  if (!sb) writer.Note("The superblock cannot be read: inodes of " + std::to_string(size) + " bytes, checksums not checked");
  const std::span<const uint8_t> b = input.Bytes;
  for (size_t at = 0; at < b.size(); at += size) {
    const uint64_t number = uint64_t{input.FirstEntryNumber} + at / size;
    const std::string group = "Inode " + std::to_string(number);
    if (!writer.Fits(at, 2)) break;
    const uint16_t mode = ReadLe16(b, at);
    writer.AddText(group, at, 2, "Mode",
                   HexText(mode, 4) + " (" + ext::TypeName(mode) + ", " + ext::ModeText(mode) + ")", mode);
    if (!writer.AddTable(group, at, kInodeOwner)) break;
    // The extra fields the inode's extra size covers (past its first 128 bytes).
    const size_t extraEnd = size > 128 && Fits(b, at + 0x80, 2) ? std::min<size_t>(128 + size_t{ReadLe16(b, at + 0x80)}, size) : 0;
    const auto extra = [&](size_t offset) { return offset + 4 <= extraEnd ? std::optional<size_t>(offset) : std::nullopt; };
    AddTime(writer, group, at, 0x08, "Access time", extra(0x8C), Widening::InodeExtra);
    AddTime(writer, group, at, 0x0C, "Change time", extra(0x84), Widening::InodeExtra);
    AddTime(writer, group, at, 0x10, "Modification time", extra(0x88), Widening::InodeExtra);
    AddTime(writer, group, at, 0x14, "Deletion time");
    if (!writer.AddTable(group, at, kInodeLinks)) break;
    if (!writer.Fits(at + 0x20, 4)) break;
    const uint32_t flags = ReadLe32(b, at + 0x20);
    writer.AddText(group, at + 0x20, 4, "Flags", HexText(flags, 8) + " (" + ext::InodeFlagNames(flags) + ")", flags);
    if (!writer.AddTable(group, at, kInodeMiddle)) break;
    if (size > 128) {
      if (!writer.Add(group, at + 0x80, 2, "Extra inode size", Show::Number)) break;
      for (const FieldSpec& field : kInodeExtra) {
        if (field.Offset + field.Size > extraEnd) break;
        if (!writer.Add(group, at + field.Offset, field.Size, field.Name, field.How)) break;
      }
      if (writer.Cut()) break;
      if (extra(kCreationTime)) {
        const std::optional<size_t> widening = extra(kCreationTime + 4);
        writer.SetTime(at + kCreationTime, TimeMoment(b, at + kCreationTime,
                                                      widening ? std::optional<size_t>(at + *widening) : std::nullopt,
                                                      Widening::InodeExtra));
      }
    }
    if (sb && number <= UINT32_MAX && Fits(b, at, size)) {
      const ext::Inode inode = ext::ParseInode(*sb, static_cast<uint32_t>(number), b.subspan(at, size));
      if (inode.InodeChecksum) {
        writer.AddCheck(group + " checksum (crc32c)", inode.InodeChecksum->Ok(), CheckText(inode.InodeChecksum->Stored, 8),
                        CheckText(inode.InodeChecksum->Computed, 8));
      }
    }
    s.Length = std::min(at + size, b.size());
  }
  return s;
}

Structure DecodeExtDirectory(const StructureInput& input) {
  Structure s;
  s.Id = "ext-directory";
  s.Title = "ext directory block";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> b = input.Bytes;
  std::optional<size_t> tail;
  std::optional<uint32_t> dotInode;
  size_t at = 0;
  for (size_t index = 1; at < b.size(); ++index) {
    if (!Fits(b, at, 8)) {
      writer.Note("A record at " + HexText(at, 3) + " would run past the end of the bytes");
      break;
    }
    const uint32_t inode = ReadLe32(b, at);
    const uint16_t length = ReadLe16(b, at + 4);
    const uint8_t nameLength = b[at + 6];
    const uint8_t type = b[at + 7];
    const bool isTail = inode == 0 && length == kSmallestRecord && nameLength == 0 && type == kTailType;
    const std::string group = isTail ? "Checksum tail" : "Entry " + std::to_string(index);
    writer.Add(group, at, 4, "Inode", Show::Number);
    writer.Add(group, at + 4, 2, "Record length", Show::Number);
    writer.Add(group, at + 6, 1, isTail ? "Reserved (name length)" : "Name length", Show::Number);
    writer.Add(group, at + 7, 1, "File type", Show::Code, kEntryTypes);
    if (isTail) {
      writer.Add(group, at + 8, 4, "Checksum", Show::Hex);
      tail = at;
    } else if (nameLength > 0) {
      writer.Add(group, at + 8, nameLength, "Name", Show::Ascii);
      if (index == 1 && nameLength == 1 && Fits(b, at + 8, 1) && b[at + 8] == '.') dotInode = inode;
    }
    if (length < kSmallestRecord || length % 4 != 0 || length > b.size() - at || size_t{nameLength} + 8 > length) {
      writer.Note("The record at " + HexText(at, 3) + " has a length of " + std::to_string(length) +
                  " that does not hold it in the block: the records after it are not read");
      at = b.size();
      break;
    }
    at += length;
  }
  s.Length = std::min(at, b.size());
  if (!tail) return s;
  const uint32_t stored = ReadLe32(b, *tail + 8);
  const std::optional<Superblock> sb = ReadSuperblock(input);
  if (!sb || !sb->HasMetadataCsum()) return s;
  const std::optional<ext::Inode> owner = dotInode ? ReadOneInode(input, *sb, *dotInode) : std::nullopt;
  if (!owner) {
    writer.Note("The checksum " + HexText(stored, 8) + " is not verified: the directory's inode is not known");
    return s;
  }
  const ext::DirectoryBlock dir = ext::ParseDirectoryBlock(*sb, b);
  if (!dir.StoredChecksum) return s;
  const uint32_t computed = ext::DirectoryChecksum(*sb, dir, b, owner->Number, owner->Generation);
  writer.AddCheck("Directory block checksum (crc32c, inode " + std::to_string(owner->Number) + ")", computed == stored,
                  CheckText(stored, 8), CheckText(computed, 8));
  return s;
}

std::optional<StructureChoice> ExtStructureAt(const ext::VolumeState& state, uint64_t sector) {
  const std::optional<Superblock>& sb = state.Sb;
  const VolumeGeometry& g = Geometry();
  if (!sb || g.BytesPerSector <= 0) return std::nullopt;
  const auto sectorBytes = static_cast<uint64_t>(g.BytesPerSector);
  if (sector > UINT64_MAX / sectorBytes) return std::nullopt;
  const uint64_t byte = sector * sectorBytes;
  // The superblock lies at byte 1024: a sector of its own, or inside sector 0 where
  // sectors are larger than 1024 bytes.
  if (byte <= ext::kSuperblockOffset && ext::kSuperblockOffset - byte < sectorBytes) {
    StructureChoice choice{"ext-superblock"};
    choice.Offset = static_cast<size_t>(ext::kSuperblockOffset - byte);
    return choice;
  }
  const uint64_t block = byte / sb->BlockBytes;
  const uint64_t inBlock = byte % sb->BlockBytes;
  if (block >= sb->BlocksCount) return std::nullopt;

  // A backup superblock opens its group; the group's copy of the descriptor table follows.
  const uint64_t descriptorBlocks =
      (uint64_t{sb->Groups} * sb->DescriptorBytes + sb->BlockBytes - 1) / sb->BlockBytes;
  if (block >= sb->FirstDataBlock) {
    const uint64_t group = (block - sb->FirstDataBlock) / sb->BlocksPerGroup;
    const uint64_t groupStart = sb->GroupFirstBlock(static_cast<uint32_t>(group));
    if (group < sb->Groups && sb->GroupHasSuperblock(static_cast<uint32_t>(group))) {
      if (group > 0 && block == groupStart && inBlock == 0) return StructureChoice{"ext-superblock"};
      if ((sb->Incompat & ext::kIncompatMetaBg) == 0 && block > groupStart && block - groupStart - 1 < descriptorBlocks) {
        StructureChoice choice{"ext-group-descriptors"};
        choice.EntrySize = sb->DescriptorBytes;
        choice.FirstEntryNumber = static_cast<uint32_t>(((block - groupStart - 1) * sb->BlockBytes + inBlock) / sb->DescriptorBytes + 1);
        return choice;
      }
    }
  }

  // An inode table of one of the groups.
  const ext::DescriptorTable table = ext::ReadCurrentDescriptors(*sb);
  const uint64_t tableBlocks = sb->InodeTableBlocks();
  for (uint32_t group = 0; group < table.Groups.size(); ++group) {
    const uint64_t first = table.Groups[group].InodeTable;
    if (block >= first && block - first < tableBlocks) {
      StructureChoice choice{"ext-inode"};
      choice.EntrySize = sb->InodeBytes;
      choice.FirstEntryNumber = static_cast<uint32_t>(uint64_t{group} * sb->InodesPerGroup +
                                                      ((block - first) * sb->BlockBytes + inBlock) / sb->InodeBytes + 1);
      return choice;
    }
  }

  // A directory block, at its first sector: a sound first record.
  if (inBlock == 0) {
    std::vector<uint8_t> bytes(sb->BlockBytes);
    if (ext::ReadBlocks(*sb, block, bytes)) {
      const ext::DirectoryBlock dir = ext::ParseDirectoryBlock(*sb, bytes);
      if (dir.Kind != ext::DirectoryKind::NotADirectory && !dir.Entries.empty() && dir.Entries[0].Inode != 0 &&
          dir.Entries[0].Inode <= sb->InodesCount) {
        return StructureChoice{"ext-directory"};
      }
    }
  }
  return std::nullopt;
}

std::vector<StructureBackup> ExtStructureBackups(const ext::VolumeState& state) {
  const std::optional<Superblock>& sb = state.Sb;
  const VolumeGeometry& g = Geometry();
  if (!sb || g.BytesPerSector <= 0) return {};
  const auto sectorBytes = static_cast<uint64_t>(g.BytesPerSector);
  for (uint32_t group = 1; group < sb->Groups; ++group) {
    if (!sb->GroupHasSuperblock(group)) continue;
    const uint64_t byte = sb->GroupFirstBlock(group) * sb->BlockBytes;
    std::vector<ExpectedDifference> expected;
    for (const size_t offset : kKeptByThePrimary) {
      expected.push_back(KeptByThePrimary(offset, "only the primary is kept current; a backup keeps what mkfs wrote"));
    }
    // Revision 0 keeps no group number in either copy.
    expected.push_back({kGroupNumber, "the backup's is its group's number, " + std::to_string(group),
                        [group](const BackupCopies& c) {
                          const uint16_t primary = ReadLe16(c.PrimaryBytes, kGroupNumber);
                          const uint16_t backup = ReadLe16(c.BackupBytes, kGroupNumber);
                          return primary == 0 && (backup == group || backup == 0);
                        }});
    expected.push_back(OwnCheckHolds(kSuperblockChecksum, "Superblock checksum"));
    StructureBackup pair{"ext-superblock", ext::kSuperblockOffset / sectorBytes, byte / sectorBytes, std::move(expected)};
    pair.Length = ext::kSuperblockBytes;
    return {std::move(pair)};
  }
  return {};
}

uint64_t ExtStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset) {
  uint64_t bytes = 0;
  if (id == "ext-superblock") bytes = ext::kSuperblockBytes;
  const ext::VolumeState* state = ExtStateOf(CurrentFileSystem());
  if (id == "ext-directory" && state && state->Sb) bytes = state->Sb->BlockBytes;
  return (std::max<uint64_t>(offset + bytes, sectorSize) + sectorSize - 1) / sectorSize * sectorSize;
}

}  // namespace korvalane
