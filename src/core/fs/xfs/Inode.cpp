#include "core/fs/xfs/Inode.h"

#include "core/Bytes.h"

namespace korvalane::xfs {
namespace {

constexpr size_t kV2CoreBytes = 100;
constexpr size_t kV3CoreBytes = 176;
constexpr size_t kExtentBytes = 16;
constexpr uint64_t kFlags2BigTime = 0x8;
constexpr uint64_t kFlags2LargeExtentCounts = 0x10;
// Big timestamps count nanoseconds from 1901-12-13, the least a 32-bit second reaches.
constexpr int64_t kBigTimeEpochOffset = int64_t{1} << 31;

Timestamp ReadTime(std::span<const uint8_t> b, size_t offset, bool big) {
  if (big) {
    const uint64_t ns = ReadBe64(b, offset);
    return Timestamp{static_cast<int64_t>(ns / 1000000000u) - kBigTimeEpochOffset, static_cast<uint32_t>(ns % 1000000000u)};
  }
  return Timestamp{static_cast<int32_t>(ReadBe32(b, offset)), ReadBe32(b, offset + 4)};
}

// A shortform directory: a count of entries, whether their inode numbers take 8 bytes,
// the parent, then each entry's name length, offset, name, file type and number.
void ParseShortform(const Superblock& sb, std::span<const uint8_t> fork, Inode& inode) {
  if (fork.size() < 6) {
    inode.Problems.push_back("the shortform directory's header does not fit the fork");
    return;
  }
  const uint8_t count = fork[0];
  const uint8_t wide = fork[1];
  const size_t numberBytes = wide != 0 ? 8 : 4;
  const bool ftype = (sb.IncompatFeatures & 0x1) != 0 || (sb.Features2 & kVersion2FtypeBit) != 0;
  size_t at = 2;
  if (at + numberBytes > fork.size()) return;
  inode.Parent = numberBytes == 8 ? ReadBe64(fork, at) : ReadBe32(fork, at);
  at += numberBytes;
  const size_t entries = wide != 0 ? wide : count;
  for (size_t i = 0; i < entries; ++i) {
    if (at + 3 > fork.size()) {
      inode.Problems.push_back("the shortform directory counts " + std::to_string(entries) + " entries; " +
                               std::to_string(i) + " fit the fork");
      return;
    }
    const uint8_t length = fork[at];
    const size_t size = 3 + size_t{length} + (ftype ? 1 : 0) + numberBytes;
    if (length == 0 || at + size > fork.size()) {
      inode.Problems.push_back("shortform entry " + std::to_string(i) + " runs past the fork");
      return;
    }
    ShortformEntry e;
    e.Offset = ReadBe16(fork, at + 1);
    e.Name.assign(reinterpret_cast<const char*>(fork.data() + at + 3), length);
    size_t next = at + 3 + length;
    if (ftype) e.FileType = fork[next++];
    e.Inode = numberBytes == 8 ? ReadBe64(fork, next) : ReadBe32(fork, next);
    inode.Entries.push_back(std::move(e));
    at += size;
  }
}

// A btree fork's root: level and record count, then as many keys as the fork could hold,
// then as many pointers.
void ParseBtreeRoot(std::span<const uint8_t> fork, const std::string& which, std::vector<BtreePointer>& out,
                    std::vector<std::string>& problems) {
  const uint16_t records = ReadBe16(fork, 2);
  const size_t slots = fork.size() >= 4 ? (fork.size() - 4) / 16 : 0;
  if (records > slots) {
    problems.push_back("the " + which + "btree root counts " + std::to_string(records) + " records; " + std::to_string(slots) +
                       " fit the fork");
  }
  for (size_t i = 0; i < records && i < slots; ++i) {
    out.push_back(BtreePointer{ReadBe64(fork, 4 + 8 * i), ReadBe64(fork, 4 + 8 * slots + 8 * i)});
  }
}

}  // namespace

std::vector<Extent> ParseExtents(std::span<const uint8_t> bytes, uint64_t count) {
  std::vector<Extent> extents;
  const uint64_t fit = bytes.size() / kExtentBytes;
  if (count > fit) count = fit;
  extents.reserve(static_cast<size_t>(count));
  for (uint64_t i = 0; i < count; ++i) {
    const uint64_t l0 = ReadBe64(bytes, i * kExtentBytes);
    const uint64_t l1 = ReadBe64(bytes, i * kExtentBytes + 8);
    Extent e;
    e.Unwritten = (l0 >> 63) != 0;
    e.Offset = (l0 & ((uint64_t{1} << 63) - 1)) >> 9;
    e.StartBlock = (l0 & 0x1FF) << 43 | l1 >> 21;
    e.Count = static_cast<uint32_t>(l1 & ((uint64_t{1} << 21) - 1));
    extents.push_back(e);
  }
  return extents;
}

Inode ParseInode(const Superblock& sb, uint64_t number, std::span<const uint8_t> b) {
  Inode inode;
  inode.Number = number;
  inode.Magic = ReadBe16(b, 0);
  inode.Mode = ReadBe16(b, 2);
  inode.Version = ReadU8(b, 4);
  inode.Format = ReadU8(b, 5);
  inode.Uid = ReadBe32(b, 8);
  inode.Gid = ReadBe32(b, 12);
  inode.Links = inode.Version == 1 ? ReadBe16(b, 6) : ReadBe32(b, 16);
  const bool v3 = inode.Version == 3;
  if (v3) inode.Flags2 = ReadBe64(b, 120);
  const bool big = v3 && (inode.Flags2 & kFlags2BigTime) != 0;
  inode.Access = ReadTime(b, 32, big);
  inode.Modify = ReadTime(b, 40, big);
  inode.Change = ReadTime(b, 48, big);
  inode.Size = ReadBe64(b, 56);
  inode.Blocks = ReadBe64(b, 64);
  inode.DataExtents = ReadBe32(b, 76);
  inode.AttrExtents = ReadBe16(b, 80);
  if (v3 && (inode.Flags2 & kFlags2LargeExtentCounts) != 0) {
    inode.DataExtents = ReadBe64(b, 24);
    // With large extent counts the data count moves to 24 and 76 holds the attribute count.
    inode.AttrExtents = ReadBe32(b, 76);
  }
  inode.ForkOffset = ReadU8(b, 82);
  inode.AttrFormat = ReadU8(b, 83);
  inode.Flags = ReadBe16(b, 90);
  inode.Generation = ReadBe32(b, 92);
  inode.NextUnlinked = ReadBe32(b, 96);
  if (v3) {
    inode.Creation = ReadTime(b, 144, big);
    inode.StoredNumber = ReadBe64(b, 152);
    if (b.size() >= kV3CoreBytes) inode.Crc = MetadataChecksum(b, kInodeCrcOffset);
  }
  if (!inode.InUse()) return inode;

  const size_t core = v3 ? kV3CoreBytes : kV2CoreBytes;
  if (b.size() <= core) return inode;
  const size_t literal = b.size() - core;
  size_t dataBytes = literal;
  if (inode.ForkOffset != 0) {
    if (size_t{inode.ForkOffset} * 8 >= literal) {
      inode.Problems.push_back("the attribute fork offset " + std::to_string(inode.ForkOffset * 8) +
                               " lies past the inode's " + std::to_string(literal) + " bytes of forks");
      dataBytes = literal;
    } else {
      dataBytes = size_t{inode.ForkOffset} * 8;
    }
  }
  const std::span<const uint8_t> data = b.subspan(core, dataBytes);
  const auto format = static_cast<ForkFormat>(inode.Format);
  if (format == ForkFormat::Extents) {
    if (inode.DataExtents > data.size() / kExtentBytes) {
      inode.Problems.push_back("the data fork counts " + std::to_string(inode.DataExtents) + " extents; " +
                               std::to_string(data.size() / kExtentBytes) + " fit it");
    }
    inode.DataFork = ParseExtents(data, inode.DataExtents);
  } else if (format == ForkFormat::Btree) {
    inode.BtreeLevel = ReadBe16(data, 0);
    ParseBtreeRoot(data, "", inode.BtreeRoot, inode.Problems);
  } else if (format == ForkFormat::Local) {
    if (inode.IsDirectory()) {
      ParseShortform(sb, data, inode);
    } else {
      const size_t length = inode.Size < data.size() ? static_cast<size_t>(inode.Size) : data.size();
      inode.Local.assign(reinterpret_cast<const char*>(data.data()), length);
    }
  }
  if (inode.ForkOffset != 0 && dataBytes < literal && inode.AttrFormat == static_cast<uint8_t>(ForkFormat::Extents)) {
    const std::span<const uint8_t> attr = b.subspan(core + dataBytes);
    inode.AttrFork = ParseExtents(attr, inode.AttrExtents);
  }
  if (inode.ForkOffset != 0 && dataBytes < literal && inode.AttrFormat == static_cast<uint8_t>(ForkFormat::Btree)) {
    const std::span<const uint8_t> attr = b.subspan(core + dataBytes);
    inode.AttrBtreeLevel = ReadBe16(attr, 0);
    ParseBtreeRoot(attr, "attribute ", inode.AttrBtreeRoot, inode.Problems);
  }
  return inode;
}

InodeAddress AddressOfInode(const Superblock& sb, uint64_t number) {
  const uint32_t slotBits = sb.InodesPerBlockLog;
  const uint32_t agBits = sb.AgBlockLog + slotBits;
  InodeAddress a;
  a.Ag = agBits >= 64 ? 0 : static_cast<uint32_t>(number >> agBits);
  a.AgBlock = static_cast<uint32_t>((number >> slotBits) & ((uint64_t{1} << sb.AgBlockLog) - 1));
  a.Slot = static_cast<uint32_t>(number & ((uint64_t{1} << slotBits) - 1));
  return a;
}

uint64_t InodeNumber(const Superblock& sb, uint32_t ag, uint32_t agBlock, uint32_t slot) {
  return uint64_t{ag} << (sb.AgBlockLog + sb.InodesPerBlockLog) | uint64_t{agBlock} << sb.InodesPerBlockLog | slot;
}

const char* FileTypeName(uint16_t mode) {
  switch (mode & 0170000) {
    case 0100000: return "regular file";
    case 0040000: return "directory";
    case 0120000: return "symbolic link";
    case 0020000: return "character device";
    case 0060000: return "block device";
    case 0010000: return "FIFO";
    case 0140000: return "socket";
    default: return "unknown type";
  }
}

const char* ForkFormatName(uint8_t format) {
  switch (static_cast<ForkFormat>(format)) {
    case ForkFormat::Device: return "device";
    case ForkFormat::Local: return "local";
    case ForkFormat::Extents: return "extents";
    case ForkFormat::Btree: return "btree";
    case ForkFormat::Uuid: return "uuid";
  }
  return "unknown";
}

}  // namespace korvalane::xfs
