#include "core/fs/ext/ExtVolume.h"

#include "core/Bytes.h"
#include "core/Platform.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::ext {
namespace {

constexpr size_t kMagicOffset = 0x38;
constexpr uint16_t kMagic = 0xEF53;
constexpr int64_t kUnixToFileTimeSeconds = 11644473600;
constexpr uint64_t kTicksPerSecond = 10000000;

// The superblock's 1024 bytes from the sectors that hold them, whatever the sector size.
std::optional<std::vector<uint8_t>> ReadSuperblockBytes() {
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0) return std::nullopt;
  const auto sectorBytes = static_cast<uint64_t>(g.BytesPerSector);
  const uint64_t first = kSuperblockOffset / sectorBytes;
  const uint64_t end = (kSuperblockOffset + kSuperblockBytes + sectorBytes - 1) / sectorBytes;
  std::vector<uint8_t> sectors((end - first) * sectorBytes);
  if (!ReadSectors(first, sectors)) return std::nullopt;
  const size_t offset = kSuperblockOffset - first * sectorBytes;
  return std::vector<uint8_t>(sectors.begin() + static_cast<ptrdiff_t>(offset),
                              sectors.begin() + static_cast<ptrdiff_t>(offset + kSuperblockBytes));
}

}  // namespace

bool HasExtMagic() {
  const std::optional<std::vector<uint8_t>> bytes = ReadSuperblockBytes();
  return bytes && ReadLe16(*bytes, kMagicOffset) == kMagic;
}

bool ReadExtGeometry(VolumeState& state) {
  VolumeGeometry& g = Geometry();
  g.BytesPerCluster = 0;
  g.SectorsPerCluster = 0;
  g.TotalSectors = 0;
  state = VolumeState{};
  std::vector<uint8_t> bootSector;
  if (!ProbeBootSector(bootSector)) {
    state.Problem = "the volume cannot be read";
    return false;
  }
  const std::optional<std::vector<uint8_t>> bytes = ReadSuperblockBytes();
  if (!bytes) {
    state.Problem = "the superblock cannot be read";
    return false;
  }
  const int64_t volumeBytes = g.CurrentDrive.empty() ? -1 : CurrentPlatform().VolumeTotalBytes(g.CurrentDrive);
  SuperblockParse parse = ParseSuperblock(*bytes, volumeBytes > 0 ? static_cast<uint64_t>(volumeBytes) : 0,
                                          static_cast<uint32_t>(g.BytesPerSector));
  if (!parse.Value) {
    state.Problem = parse.Problem;
    return false;
  }
  const Superblock& sb = *parse.Value;
  const uint32_t sectorsPerBlock = sb.BlockBytes / static_cast<uint32_t>(g.BytesPerSector);
  g.BytesPerCluster = static_cast<int32_t>(sb.BlockBytes);
  g.SectorsPerCluster = static_cast<int32_t>(sectorsPerBlock);
  g.Clusters = sb.BlocksCount;
  // The block count times the block size fits 64 bits (checked by the parser).
  g.TotalSectors = sb.BlocksCount * sectorsPerBlock;
  state.Sb = std::move(parse.Value);
  state.Label = VersionLabel(state);
  return true;
}

std::u16string VersionLabel(const VolumeState& state) {
  return state.Sb ? Ascii(VersionName(*state.Sb)) : u"ext";
}

bool ReadBlocks(const Superblock& sb, uint64_t block, std::span<uint8_t> out) {
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0) return false;
  const uint64_t sectorsPerBlock = sb.BlockBytes / static_cast<uint32_t>(g.BytesPerSector);
  if (sectorsPerBlock == 0 || block >= sb.BlocksCount) return false;
  if ((out.size() + sb.BlockBytes - 1) / sb.BlockBytes > sb.BlocksCount - block) return false;
  return ReadSectors(block * sectorsPerBlock, out);
}

BlockReader CurrentBlockReader(const Superblock& sb) {
  return [&sb](uint64_t block, std::span<uint8_t> out) { return ReadBlocks(sb, block, out); };
}

DescriptorTable ReadCurrentDescriptors(const Superblock& sb) { return ReadGroupDescriptors(sb, CurrentBlockReader(sb)); }

InodePlace LocateInodeByte(const Superblock& sb, const std::vector<GroupDescriptor>& groups, uint64_t number) {
  if (number == 0 || number > sb.InodesCount) {
    return InodePlace{std::nullopt, "inode " + std::to_string(number) + " is outside the volume (its inodes are 1 to " +
                                        std::to_string(sb.InodesCount) + ")"};
  }
  const uint64_t group = (number - 1) / sb.InodesPerGroup;
  const uint64_t index = (number - 1) % sb.InodesPerGroup;
  if (group >= groups.size()) {
    return InodePlace{std::nullopt, "the group descriptor of group " + std::to_string(group) + " cannot be read"};
  }
  const uint64_t table = groups[group].InodeTable;
  if (table >= sb.BlocksCount || sb.InodeTableBlocks() > sb.BlocksCount - table) {
    return InodePlace{std::nullopt, "the inode table of group " + std::to_string(group) + " (block " +
                                        std::to_string(table) + ") lies outside the volume"};
  }
  return InodePlace{table * sb.BlockBytes + index * sb.InodeBytes, {}};
}

std::optional<Inode> ReadInode(const Superblock& sb, const std::vector<GroupDescriptor>& groups, uint32_t number) {
  const InodePlace place = LocateInodeByte(sb, groups, number);
  const VolumeGeometry& g = Geometry();
  if (!place.Byte || g.BytesPerSector <= 0) return std::nullopt;
  const auto sectorBytes = static_cast<uint64_t>(g.BytesPerSector);
  // An inode never crosses a sector: both are powers of two and the inode is the smaller,
  // or it spans whole sectors from a sector's start.
  const uint64_t first = *place.Byte / sectorBytes;
  const uint64_t end = (*place.Byte + sb.InodeBytes + sectorBytes - 1) / sectorBytes;
  std::vector<uint8_t> bytes((end - first) * sectorBytes);
  if (!ReadSectors(first, bytes)) return std::nullopt;
  const size_t offset = *place.Byte - first * sectorBytes;
  return ParseInode(sb, number, std::span<const uint8_t>(bytes).subspan(offset, sb.InodeBytes));
}

std::u16string LocalTime(int64_t seconds, std::optional<uint32_t> nanoseconds) {
  if (seconds < -kUnixToFileTimeSeconds) return u"?";
  const uint64_t ticks = static_cast<uint64_t>(seconds + kUnixToFileTimeSeconds) * kTicksPerSecond +
                         (nanoseconds ? *nanoseconds % 1000000000u / 100 : 0);
  const std::optional<CivilTime> local = CurrentPlatform().FileTimeToLocal(ticks);
  if (!local) return u"?";
  std::u16string text = CurrentPlatform().FormatDateTime(*local);
  if (nanoseconds) text += u", " + Decimal(*nanoseconds) + u" ns";
  return text;
}

}  // namespace korvalane::ext
