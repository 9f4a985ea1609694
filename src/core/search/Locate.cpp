#include "core/search/Locate.h"

#include <vector>

#include "core/Bytes.h"
#include "core/fs/ext/Locate.h"
#include "core/views/Details.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr size_t kFatRootEntries = 17;
constexpr uint64_t kFirstDataCluster = 2;

std::string Number(uint64_t value) { return std::to_string(value); }

Location Refuse(std::string why) { return Location{std::nullopt, std::move(why)}; }

// The data area's first sector and its cluster count, or nothing when the boot sector
// cannot be read again.
struct DataArea {
  uint64_t FirstSector = 0;
  uint64_t Clusters = 0;
};

std::optional<DataArea> FatDataArea(const VolumeGeometry& g) {
  const auto sectorBytes = static_cast<uint32_t>(g.BytesPerSector);
  const auto sectorsPerCluster = static_cast<uint32_t>(g.SectorsPerCluster);
  uint64_t rootSectors = 0;
  if (g.FileSystemKind == FileSystemKind::Fat) {
    // The root directory's whole sectors: its entries of 32 bytes, rounded up.
    std::vector<uint8_t> boot(sectorBytes);
    if (!ReadSectors(0, boot)) return std::nullopt;
    rootSectors = (uint64_t{ReadLe16(boot, kFatRootEntries)} * 32 + sectorBytes - 1) / sectorBytes;
  }
  DataArea area;
  area.FirstSector = uint64_t{static_cast<uint32_t>(g.StartDataSector)} + rootSectors;
  area.Clusters = g.TotalSectors > area.FirstSector ? (g.TotalSectors - area.FirstSector) / sectorsPerCluster : 0;
  return area;
}

}  // namespace

Location LocateCluster(uint64_t cluster) {
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0 || g.SectorsPerCluster <= 0) {
    return Refuse("the volume's clusters are not known (no FAT, exFAT or NTFS boot sector gives them)");
  }
  const auto sectorsPerCluster = static_cast<uint32_t>(g.SectorsPerCluster);
  switch (g.FileSystemKind) {
    case FileSystemKind::Fat:
    case FileSystemKind::Fat32: {
      const std::optional<DataArea> area = FatDataArea(g);
      if (!area) return Refuse("the boot sector cannot be read");
      if (cluster < kFirstDataCluster || cluster - kFirstDataCluster >= area->Clusters) {
        return Refuse("cluster " + Number(cluster) + " is outside the volume (its clusters are 2 to " +
                      Number(area->Clusters + 1) + ")");
      }
      return Location{area->FirstSector + (cluster - kFirstDataCluster) * sectorsPerCluster, {}};
    }
    case FileSystemKind::Exfat:
      // The cluster heap starts with cluster 2 and holds ClusterCount clusters.
      if (cluster < kFirstDataCluster || cluster - kFirstDataCluster >= g.Clusters) {
        return Refuse("cluster " + Number(cluster) + " is outside the volume (its clusters are 2 to " +
                      Number(g.Clusters + 1) + ")");
      }
      return Location{uint64_t{static_cast<uint32_t>(g.StartDataSector)} + (cluster - kFirstDataCluster) * sectorsPerCluster,
                      {}};
    case FileSystemKind::Ntfs:
      if (cluster >= g.Clusters) {
        return Refuse("cluster " + Number(cluster) + " is outside the volume (its clusters are 0 to " +
                      Number(g.Clusters == 0 ? 0 : g.Clusters - 1) + ")");
      }
      return Location{cluster * sectorsPerCluster, {}};
    case FileSystemKind::Ext:
      // An ext volume's clusters are its blocks, block 0 at sector 0.
      return ext::LocateBlock(cluster);
    case FileSystemKind::Unknown:
      break;
  }
  return Refuse("the volume's clusters are not known (no FAT, exFAT or NTFS boot sector gives them)");
}

Location LocateMftRecord(uint64_t record, const MessagePump& pump) {
  VolumeGeometry& g = Geometry();
  if (g.FileSystemKind != FileSystemKind::Ntfs) return Refuse("the volume is not NTFS: it has no MFT");
  if (g.BytesPerSector <= 0 || g.SectorsPerCluster <= 0) return Refuse("the NTFS boot sector cannot be used");
  if (!ReadMftLayout(pump)) return Refuse("MFT record 0 cannot be read, so where the MFT lies is not known");
  const auto sectorBytes = static_cast<uint32_t>(g.BytesPerSector);
  const uint64_t clusterBytes = uint64_t{static_cast<uint32_t>(g.SectorsPerCluster)} * sectorBytes;
  const auto recordBytes = static_cast<uint32_t>(g.MftRecordBytes);
  if (recordBytes == 0) return Refuse("MFT record 0 gives no record size");
  if (record > UINT64_MAX / recordBytes) return Refuse("MFT record " + Number(record) + " lies beyond the MFT");

  // The record's byte in the MFT, then the run (in virtual cluster order) that holds it.
  const uint64_t offset = record * recordBytes;
  const uint64_t virtualCluster = offset / clusterBytes;
  uint64_t runFirst = 0;  // the first virtual cluster of the run
  for (const DataRun& run : MftExtents()) {
    if (run.StartCluster < 0 || run.ClusterCount <= 0) {
      return Refuse("the MFT's data runs are corrupt (a run starts at cluster " + std::to_string(run.StartCluster) + ")");
    }
    const auto count = static_cast<uint64_t>(run.ClusterCount);
    if (virtualCluster < runFirst + count) {
      const uint64_t cluster = static_cast<uint64_t>(run.StartCluster) + (virtualCluster - runFirst);
      if (cluster >= g.Clusters) {
        return Refuse("the MFT's data runs are corrupt (cluster " + Number(cluster) + " lies outside the volume)");
      }
      return Location{cluster * static_cast<uint32_t>(g.SectorsPerCluster) + offset % clusterBytes / sectorBytes, {}};
    }
    runFirst += count;
  }
  return Refuse("MFT record " + Number(record) + " lies beyond the MFT (it holds " +
                Number(runFirst * clusterBytes / recordBytes) + " records)");
}

Location LocateTarget(const JumpTarget& target, const MessagePump& pump) {
  switch (target.Kind) {
    case JumpKind::Cluster:
      return LocateCluster(target.Number);
    case JumpKind::MftRecord:
      return LocateMftRecord(target.Number, pump);
    case JumpKind::Inode:
      if (Geometry().FileSystemKind != FileSystemKind::Ext) return Refuse("the volume is not ext2, ext3 or ext4: it has no inodes");
      return ext::LocateInode(target.Number);
    case JumpKind::Sector:
      break;
  }
  const uint64_t last = Geometry().TotalSectors;
  if (target.Number > last) {
    return Refuse("sector " + Number(target.Number) + " is outside the volume (its sectors are 0 to " + Number(last) + ")");
  }
  return Location{target.Number, {}};
}

}  // namespace korvalane
