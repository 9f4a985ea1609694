#include "core/fs/fat/FatDirectoryChain.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/fat/FatFileSystem.h"
#include "core/fs/fatfamily/FatChains.h"
#include "core/model/Structure.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr uint64_t kFirstDataCluster = 2;
constexpr uint8_t kDot = 0x2E;
constexpr size_t kEntryBytes = 32;
// A directory holds at most 65,536 entries; a chain longer than that is no directory's.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{65536} * kEntryBytes;
// FAT32's BPB names the root directory's first cluster here.
constexpr size_t kRootClusterOffset = 44;
// Fewer clusters than this make a FAT12 volume (the count alone decides the entry width).
constexpr uint64_t kFat16Clusters = 4085;
// The links that do not go on to the next cluster, gathered to find a fragmented
// chain's earlier part, take 8 bytes each; past this many (a table broken into millions
// of pieces) the chain is not followed back.
constexpr size_t kMostJumps = size_t{8} << 20;

struct DataArea {
  uint64_t FirstSector = 0;  // of cluster 2
  uint64_t SectorsPerCluster = 0;
  uint64_t Clusters = 0;          // on the drive
  uint64_t DeclaredClusters = 0;  // as the boot sector counts them, which decides the FAT's width
};

std::optional<DataArea> CurrentDataArea() {
  const VolumeGeometry& g = Geometry();
  if (g.SectorsPerCluster <= 0 || g.BytesPerSector <= 0) return std::nullopt;
  const Location clusterTwo = LocateFatCluster(kFirstDataCluster);
  if (!clusterTwo.Sector) return std::nullopt;
  // The boot sector's count, but no cluster past the drive's end: a damaged count must not
  // make the walk read millions of entries that are not there.
  uint64_t sectors = g.TotalSectors;
  if (const uint64_t drive = DriveSectorCount(); drive > 0) sectors = std::min(sectors, drive);
  if (sectors <= *clusterTwo.Sector) return std::nullopt;
  DataArea area;
  area.FirstSector = *clusterTwo.Sector;
  area.SectorsPerCluster = static_cast<uint32_t>(g.SectorsPerCluster);
  area.Clusters = (sectors - area.FirstSector) / area.SectorsPerCluster;
  area.DeclaredClusters = (g.TotalSectors - area.FirstSector) / area.SectorsPerCluster;
  return area;
}

// The walk back through one copy of the table. The link into a cluster is nearly always
// from the cluster before it; the other links (where a chain jumps) are gathered in one
// pass over the table the first time one is needed, so that a fragmented chain costs one
// reading of the table, not one per fragment.
class BackwardWalk {
 public:
  BackwardWalk(FatTable& table, uint64_t limit) : table_(table), limit_(limit) {}

  bool Valid(uint64_t cluster) const { return cluster >= kFirstDataCluster && cluster < limit_; }

  // The cluster before `cluster` when its entry leads to `cluster`, as a chain written
  // in one piece has it.
  std::optional<uint64_t> Adjacent(uint64_t cluster) {
    if (cluster > kFirstDataCluster && table_.Entry(cluster - 1) == cluster) return cluster - 1;
    return std::nullopt;
  }

  // Any other cluster whose entry leads to `cluster` (the first, on a table that is
  // cross-linked there). Nothing too where the links are too many to gather.
  std::optional<uint64_t> Jump(uint64_t cluster) {
    if (!Gathered()) return std::nullopt;
    const auto at = std::lower_bound(jumps_.begin(), jumps_.end(),
                                     std::pair<uint32_t, uint32_t>{static_cast<uint32_t>(cluster), 0});
    if (at == jumps_.end() || at->first != cluster) return std::nullopt;
    return at->second;
  }

 private:
  bool Gathered() {
    if (gathered_) return !tooMany_;
    gathered_ = true;
    for (uint64_t from = kFirstDataCluster; from < limit_; ++from) {
      const std::optional<uint32_t> to = table_.Entry(from);
      if (!to || !Valid(*to) || *to == from + 1) continue;
      if (jumps_.size() >= kMostJumps) {
        tooMany_ = true;
        jumps_.clear();
        return false;
      }
      jumps_.emplace_back(*to, static_cast<uint32_t>(from));
    }
    std::sort(jumps_.begin(), jumps_.end());
    return true;
  }

  FatTable& table_;
  uint64_t limit_;
  bool gathered_ = false;
  bool tooMany_ = false;
  std::vector<std::pair<uint32_t, uint32_t>> jumps_;  // (to, from), sorted
};

}  // namespace

bool OpensFatDirectory(std::span<const uint8_t> bytes) {
  return ReadU8(bytes, 0) == kDot && ReadU8(bytes, kEntryBytes) == kDot && ReadU8(bytes, kEntryBytes + 1) == kDot;
}

std::optional<uint64_t> ClusterStartingAt(uint64_t sector) {
  const std::optional<DataArea> area = CurrentDataArea();
  if (!area || sector < area->FirstSector || (sector - area->FirstSector) % area->SectorsPerCluster != 0) {
    return std::nullopt;
  }
  const uint64_t index = (sector - area->FirstSector) / area->SectorsPerCluster;
  if (index >= area->Clusters) return std::nullopt;
  return index + kFirstDataCluster;
}

std::optional<DirectoryChainPlace> FindInDirectoryChain(uint64_t cluster) {
  const VolumeGeometry& g = Geometry();
  const std::optional<DataArea> area = CurrentDataArea();
  if (!area || g.ReservedSectors < 0 || g.FatSectors <= 0) return std::nullopt;
  const auto sectorBytes = static_cast<uint32_t>(g.BytesPerSector);
  const bool fat32 = g.FileSystemKind == FileSystemKind::Fat32;
  const int entryBits = fat32 ? 32 : area->DeclaredClusters < kFat16Clusters ? 12 : 16;
  FatTable table(static_cast<uint32_t>(g.ReservedSectors), static_cast<uint32_t>(g.FatSectors), sectorBytes, entryBits,
                 false);
  const uint64_t limit = std::min(area->Clusters + kFirstDataCluster, table.EntryCount());
  BackwardWalk walk(table, limit);
  if (!walk.Valid(cluster)) return std::nullopt;
  // A free or bad cluster is in no chain.
  const std::optional<uint32_t> own = table.Entry(cluster);
  if (!own || *own == 0 || table.IsBad(*own)) return std::nullopt;

  std::optional<uint64_t> rootCluster;
  if (fat32) {
    std::vector<uint8_t> boot(sectorBytes);
    if (ReadSectors(0, boot)) rootCluster = ReadLe32(boot, kRootClusterOffset);
  }
  std::vector<uint8_t> first(sectorBytes);
  const auto opensDirectory = [&](uint64_t at) {
    if (rootCluster && at == *rootCluster) return true;
    return ReadSectors(area->FirstSector + (at - kFirstDataCluster) * area->SectorsPerCluster, first) &&
           OpensFatDirectory(first);
  };
  if (opensDirectory(cluster)) return std::nullopt;

  // Each step goes one cluster back, and no directory is longer than `mostClusters`, so
  // a loop in the table ends there. Where the chain comes from elsewhere than the
  // cluster before, the directory may start: only there is a sector read, and only
  // where it does not is the jump looked for.
  const uint64_t clusterBytes = uint64_t{sectorBytes} * area->SectorsPerCluster;
  const uint64_t mostClusters = std::max<uint64_t>(kMaxDirectoryBytes / clusterBytes, 1);
  DirectoryChainPlace place;
  uint64_t at = cluster;
  while (true) {
    std::optional<uint64_t> previous = walk.Adjacent(at);
    if (!previous) {
      if (at != cluster && opensDirectory(at)) break;
      previous = walk.Jump(at);
    }
    if (!previous || place.Index + 1 >= mostClusters) return std::nullopt;
    if (place.Index == 0) place.Previous = *previous;
    at = *previous;
    ++place.Index;
  }
  place.FirstCluster = at;
  return place;
}

}  // namespace korvalane
