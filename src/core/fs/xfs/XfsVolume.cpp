#include "core/fs/xfs/XfsVolume.h"

#include "core/Platform.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::xfs {

bool ReadXfsGeometry(VolumeState& state) {
  VolumeGeometry& g = Geometry();
  g.BytesPerCluster = 0;
  g.SectorsPerCluster = 0;
  g.TotalSectors = 0;
  state = VolumeState{};
  std::vector<uint8_t> first;
  if (!ProbeBootSector(first)) {
    state.Problem = "the volume cannot be read";
    return false;
  }
  const auto probed = static_cast<uint32_t>(g.BytesPerSector);
  // The superblock names its sector size; its checksum covers that whole sector.
  const uint16_t sectorBytes = ReadBe16(first, 102);
  if (sectorBytes > probed && sectorBytes % probed == 0) {
    first.assign(sectorBytes, 0);
    if (!ReadSectors(0, first)) {
      state.Problem = "the superblock cannot be read";
      return false;
    }
  }
  const int64_t volumeBytes = g.CurrentDrive.empty() ? -1 : CurrentPlatform().VolumeTotalBytes(g.CurrentDrive);
  SuperblockParse parse = ParseSuperblock(first, volumeBytes > 0 ? static_cast<uint64_t>(volumeBytes) : 0);
  if (!parse.Value) {
    state.Problem = parse.Problem;
    return false;
  }
  const Superblock& sb = *parse.Value;
  if (sb.SectorBytes < probed || sb.SectorBytes % probed != 0) {
    state.Problem = "the superblock's sectors of " + std::to_string(sb.SectorBytes) +
                    " bytes cannot be read from a volume whose sectors are " + std::to_string(probed) + " bytes";
    return false;
  }
  g.BytesPerSector = sb.SectorBytes;
  g.BytesPerCluster = static_cast<int32_t>(sb.BlockBytes);
  g.SectorsPerCluster = static_cast<int32_t>(sb.SectorsPerBlock());
  g.Clusters = sb.DataBlocks;
  // The data blocks fit the volume (checked by the parser), so the product fits 64 bits.
  g.TotalSectors = sb.DataBlocks * sb.SectorsPerBlock();
  state.Sb = std::move(parse.Value);
  return true;
}

std::optional<std::vector<uint8_t>> ReadVolumeSector(uint64_t sector) {
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0) return std::nullopt;
  std::vector<uint8_t> bytes(static_cast<size_t>(g.BytesPerSector));
  if (!ReadSectors(sector, bytes)) return std::nullopt;
  return bytes;
}

bool ReadBlocks(const Superblock& sb, uint64_t block, std::span<uint8_t> out) {
  if (block >= sb.DataBlocks) return false;
  if ((out.size() + sb.BlockBytes - 1) / sb.BlockBytes > sb.DataBlocks - block) return false;
  return ReadSectors(block * sb.SectorsPerBlock(), out);
}

std::optional<Agf> ReadAgf(const Superblock& sb, uint32_t ag) {
  const std::optional<std::vector<uint8_t>> bytes = ReadVolumeSector(AgHeaderSector(sb, ag, AgSector::FreeSpace));
  if (!bytes) return std::nullopt;
  return ParseAgf(sb, *bytes);
}

std::optional<Agi> ReadAgi(const Superblock& sb, uint32_t ag) {
  const std::optional<std::vector<uint8_t>> bytes = ReadVolumeSector(AgHeaderSector(sb, ag, AgSector::Inodes));
  if (!bytes) return std::nullopt;
  return ParseAgi(sb, *bytes);
}

}  // namespace korvalane::xfs
