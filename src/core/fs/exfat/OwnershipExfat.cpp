#include "core/fs/exfat/OwnershipExfat.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/AllocationScan.h"
#include "core/fs/fatfamily/DirectoryRecords.h"
#include "core/fs/fatfamily/FatChains.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// The main boot sector.
constexpr size_t kFatOffsetOffset = 80;
constexpr size_t kFatLengthOffset = 84;
constexpr size_t kClusterHeapOffsetOffset = 88;
constexpr size_t kClusterCountOffset = 92;
constexpr size_t kRootClusterOffset = 96;
constexpr size_t kBytesPerSectorShiftOffset = 108;
constexpr size_t kSectorsPerClusterShiftOffset = 109;
constexpr size_t kNumberOfFatsOffset = 110;
constexpr uint64_t kBootRegionSectors = 12;  // the boot sector, 8 extended ones, OEM, reserved, checksum

// Directory entries: 32 bytes, the type first. Bit 7 of the type says "in use"; a
// deleted entry keeps its other bits (0x85 becomes 0x05).
constexpr size_t kEntryBytes = 32;
constexpr uint8_t kEndOfDirectory = 0x00;
constexpr uint8_t kBitmapEntry = 0x81;
constexpr uint8_t kUpcaseEntry = 0x82;
constexpr uint8_t kFileEntry = 0x85;
constexpr uint8_t kStreamEntry = 0xC0;
constexpr uint8_t kNameEntry = 0xC1;
constexpr uint8_t kInUse = 0x80;
constexpr size_t kSecondaryCountOffset = 1;
constexpr size_t kFileAttributesOffset = 4;
constexpr uint16_t kDirectoryAttribute = 0x10;
constexpr size_t kStreamFlagsOffset = 1;
constexpr uint8_t kNoFatChain = 0x02;
constexpr size_t kNameLengthOffset = 3;
constexpr size_t kFirstClusterOffset = 20;
constexpr size_t kDataLengthOffset = 24;
constexpr size_t kNameCharsPerEntry = 15;

// A directory is at most 256 MiB; one that a chain makes longer is read only so far.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{256} << 20;

struct Layout {
  uint32_t BytesPerSector = 0;
  uint32_t SectorsPerCluster = 0;
  uint64_t FatOffset = 0;
  uint64_t FatLength = 0;
  uint32_t Fats = 1;
  uint64_t HeapOffset = 0;
  uint64_t Clusters = 0;
  uint64_t RootCluster = 0;
  uint64_t ClusterBytes() const { return uint64_t{BytesPerSector} * SectorsPerCluster; }
  uint64_t ClusterSector(uint64_t cluster) const { return HeapOffset + (cluster - 2) * SectorsPerCluster; }
};

// One entry set of a directory as the walk reads it: the allocation bitmap's or the
// up-case table's entry, or a file's entry set.
struct ExfatEntry {
  enum Kind { Bitmap, Upcase, File } Type = File;
  uint64_t First = 0;  // the set's first byte in the directory
  uint64_t End = 0;
  std::string Path;    // a file's; the table's name
  uint64_t FirstCluster = 0;
  uint64_t Length = 0;
  bool NoFatChain = false;
  bool Directory = false;
  bool Deleted = false;
};

std::vector<ExfatEntry> ListExfatEntries(std::span<const uint8_t> bytes, const std::string& parent) {
  std::vector<ExfatEntry> list;
  const size_t entries = bytes.size() / kEntryBytes;
  for (size_t i = 0; i < entries; ++i) {
    const std::span<const uint8_t> entry = bytes.subspan(i * kEntryBytes, kEntryBytes);
    const uint8_t type = entry[0];
    if (type == kEndOfDirectory) break;
    ExfatEntry e;
    e.First = i * kEntryBytes;
    if (type == kBitmapEntry || type == kUpcaseEntry) {
      e.Type = type == kBitmapEntry ? ExfatEntry::Bitmap : ExfatEntry::Upcase;
      e.End = e.First + kEntryBytes;
      e.Path = type == kBitmapEntry ? "allocation bitmap" : "up-case table";
      e.FirstCluster = ReadLe32(entry, kFirstClusterOffset);
      e.Length = ReadLe64(entry, kDataLengthOffset);
      list.push_back(std::move(e));
      continue;
    }
    if ((type & 0x7F) != (kFileEntry & 0x7F)) continue;
    // A file entry set: the file entry, its stream extension, then its name entries.
    e.Deleted = (type & kInUse) == 0;
    const size_t secondaries = ReadU8(entry, kSecondaryCountOffset);
    if (secondaries < 2 || i + secondaries >= entries) continue;
    const std::span<const uint8_t> stream = bytes.subspan((i + 1) * kEntryBytes, kEntryBytes);
    if ((stream[0] & 0x7F) != (kStreamEntry & 0x7F)) continue;
    const size_t nameLength = ReadU8(stream, kNameLengthOffset);
    std::u16string name;
    for (size_t k = 2; k <= secondaries && name.size() < nameLength; ++k) {
      const std::span<const uint8_t> part = bytes.subspan((i + k) * kEntryBytes, kEntryBytes);
      if ((part[0] & 0x7F) != (kNameEntry & 0x7F)) break;
      for (size_t c = 0; c < kNameCharsPerEntry && name.size() < nameLength; ++c) {
        name += static_cast<char16_t>(ReadLe16(part, 2 + 2 * c));
      }
    }
    i += secondaries;
    e.End = (i + 1) * kEntryBytes;
    e.Path = parent + "/" + ToUtf8(name);
    e.Directory = (ReadLe16(entry, kFileAttributesOffset) & kDirectoryAttribute) != 0;
    e.FirstCluster = ReadLe32(stream, kFirstClusterOffset);
    e.Length = ReadLe64(stream, kDataLengthOffset);
    e.NoFatChain = (ReadU8(stream, kStreamFlagsOffset) & kNoFatChain) != 0;
    list.push_back(std::move(e));
  }
  return list;
}

// The entry sets as records of their files and tables.
std::vector<DirectoryEntrySet> ExfatEntrySets(std::span<const uint8_t> bytes, const std::string& parent) {
  std::vector<DirectoryEntrySet> sets;
  for (ExfatEntry& e : ListExfatEntries(bytes, parent)) {
    DirectoryEntrySet set;
    set.First = e.First;
    set.End = e.End;
    set.Kind = e.Type != ExfatEntry::File ? OwnerKind::Metadata
               : e.Deleted               ? OwnerKind::Deleted
               : e.Directory             ? OwnerKind::Directory
                                         : OwnerKind::File;
    set.Name = std::move(e.Path);
    if (e.Type == ExfatEntry::File && !e.Directory) set.Size = e.Length;
    set.Data = e.FirstCluster == 0 ? RecordData::None : RecordData::Elsewhere;
    sets.push_back(std::move(set));
  }
  return sets;
}

class ExfatWalk {
 public:
  ExfatWalk(const Layout& layout, OwnershipIndex& index, const WalkHooks& hooks)
      : l_(layout),
        index_(index),
        hooks_(hooks),
        table_(layout.FatOffset, layout.FatLength, layout.BytesPerSector, 32, true),
        claims_(std::min<uint64_t>(layout.Clusters + 2, table_.EntryCount())) {}

  bool Run() {
    AddMetadata();
    struct Pending {
      std::vector<ClusterRun> Runs;
      std::string Path;
    };
    std::vector<Pending> directories;
    const Chain root = FollowChain(table_, claims_, l_.RootCluster, UINT64_MAX);
    Owner owner;
    owner.Kind = OwnerKind::Directory;
    owner.Name = "/";
    owner.Where = "root directory, first cluster " + std::to_string(l_.RootCluster);
    owner.Part = "directory";
    owner.FirstCluster = l_.RootCluster;
    owner.HasFirstCluster = true;
    const uint32_t rootId = index_.AddOwner(owner);
    AddChain(root, rootId, "/", false);
    finder_->Add(rootId, root.Runs, "");
    directories.push_back({root.Runs, ""});
    while (!directories.empty()) {
      const Pending directory = std::move(directories.back());
      directories.pop_back();
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(std::min<uint64_t>(49, claimed_ * 50 / std::max<uint64_t>(1, l_.Clusters))))) {
        return false;
      }
      const std::vector<uint8_t> bytes = ReadRuns(directory.Runs, kMaxDirectoryBytes);
      ListDirectory(bytes, directory.Path, [&](std::vector<ClusterRun> runs, std::string path) {
        directories.push_back({std::move(runs), std::move(path)});
      });
    }
    DirectoryRecordFinder::Install(index_, finder_);
    return ScanBitmap();
  }

 private:
  void Area(const std::string& name, uint64_t first, uint64_t sectors, MetadataClass what = MetadataClass::Boot) {
    Owner owner;
    owner.Kind = OwnerKind::Metadata;
    owner.Name = name;
    owner.Area = what;
    index_.AddRun(first, sectors, index_.AddOwner(owner));
  }

  void AddMetadata() {
    Area("main boot region", 0, kBootRegionSectors);
    Area("backup boot region", kBootRegionSectors, kBootRegionSectors);
    uint64_t next = 2 * kBootRegionSectors;
    for (uint32_t i = 0; i < l_.Fats; ++i) {
      const uint64_t first = l_.FatOffset + i * l_.FatLength;
      if (first > next) Area("reserved sectors", next, first - next);
      Area("FAT " + std::to_string(i + 1), first, l_.FatLength, MetadataClass::Table);
      next = std::max(next, first + l_.FatLength);
    }
    if (l_.HeapOffset > next) Area("reserved sectors", next, l_.HeapOffset - next);
  }

  void AddChain(const Chain& chain, uint32_t owner, const std::string& path, bool contiguous) {
    claimed_ += AddChainRuns(index_, chain, owner, l_.HeapOffset, l_.SectorsPerCluster);
    if (chain.End != ChainEnd::EndMark) {
      index_.AddProblem((contiguous ? "the clusters of " : "the FAT chain of ") + path + " " + ChainFault(chain));
    }
  }

  std::vector<uint8_t> ReadRuns(const std::vector<ClusterRun>& runs, uint64_t limit) {
    std::vector<uint8_t> bytes;
    for (const ClusterRun& run : runs) {
      if (bytes.size() >= limit) break;
      const uint64_t length = std::min<uint64_t>(run.Count * l_.ClusterBytes(), limit - bytes.size());
      const size_t at = bytes.size();
      bytes.resize(at + static_cast<size_t>(length));
      ReadSectorsForWalk(l_.ClusterSector(run.First), std::span<uint8_t>(bytes).subspan(at));
    }
    return bytes;
  }

  // The clusters of a stream: contiguous when it has no FAT chain, otherwise its chain,
  // as far as its length reaches.
  Chain Clusters(uint64_t first, uint64_t length, bool noFatChain) {
    const uint64_t count = (length + l_.ClusterBytes() - 1) / l_.ClusterBytes();
    if (noFatChain) return ClaimContiguous(claims_, first, count);
    return FollowChain(table_, claims_, first, count == 0 ? 1 : count);
  }

  template <typename Descend>
  void ListDirectory(std::span<const uint8_t> bytes, const std::string& parent, Descend descend) {
    for (const ExfatEntry& e : ListExfatEntries(bytes, parent)) {
      if (e.Type != ExfatEntry::File) {
        const Chain chain = Clusters(e.FirstCluster, e.Length, true);
        Owner owner;
        owner.Kind = OwnerKind::Metadata;
        owner.Name = e.Path;
        owner.Where = "first cluster " + std::to_string(e.FirstCluster);
        owner.Part = "table";
        owner.Area = e.Type == ExfatEntry::Bitmap ? MetadataClass::Table : MetadataClass::Other;
        owner.FirstCluster = e.FirstCluster;
        owner.HasFirstCluster = true;
        AddChain(chain, index_.AddOwner(owner), owner.Name, true);
        if (e.Type == ExfatEntry::Bitmap && bitmap_.empty()) bitmap_ = chain.Runs;
        continue;
      }
      if (e.FirstCluster == 0) continue;  // nothing allocated
      if (e.Deleted) {
        AddGuess(e.Path, e.FirstCluster, e.Length, e.Directory);
        continue;
      }
      Owner owner;
      owner.Kind = e.Directory ? OwnerKind::Directory : OwnerKind::File;
      owner.Name = e.Path;
      owner.Where = (e.Directory ? "directory, first cluster " : "first cluster ") + std::to_string(e.FirstCluster);
      owner.Part = e.Directory ? "directory" : "file";
      owner.Size = e.Length;
      owner.HasSize = !e.Directory;
      owner.FirstCluster = e.FirstCluster;
      owner.HasFirstCluster = true;
      const Chain chain = Clusters(e.FirstCluster, e.Length, e.NoFatChain);
      const uint32_t id = index_.AddOwner(std::move(owner));
      AddChain(chain, id, e.Path, e.NoFatChain);
      // A directory whose first cluster was already taken (a cycle, a cross-link) is not
      // listed again.
      if (e.Directory && !chain.Runs.empty() && chain.Runs.front().First == e.FirstCluster) {
        finder_->Add(id, chain.Runs, e.Path);
        descend(chain.Runs, e.Path);
      }
    }
  }

  void AddGuess(const std::string& path, uint64_t first, uint64_t length, bool directory) {
    if (first < 2 || first >= claims_.Limit()) return;
    uint64_t count = std::max<uint64_t>(1, (length + l_.ClusterBytes() - 1) / l_.ClusterBytes());
    count = std::min(count, claims_.Limit() - first);
    index_.AddRun(l_.ClusterSector(first), count * l_.SectorsPerCluster,
                  index_.AddOwner(DeletedGuessOwner(path, first, length, directory)), 0);
  }

  // The clusters no stream took: free or in use (lost) as the allocation bitmap says.
  bool ScanBitmap() {
    AllocationScan scan(index_, claims_.Runs(), FreeWhere::Unreached, 2, l_.HeapOffset, l_.SectorsPerCluster);
    const uint64_t limit = claims_.Limit();
    uint64_t cluster = 2;
    // The bitmap's bit n is cluster n + 2; it is read a run of its clusters at a time.
    const uint64_t chunkBytes = std::max<uint64_t>(l_.ClusterBytes(), uint64_t{1} << 20) / l_.ClusterBytes() * l_.ClusterBytes();
    std::vector<uint8_t> bits;
    for (const ClusterRun& run : bitmap_) {
      for (uint64_t done = 0; done < run.Count * l_.ClusterBytes() && cluster < limit; done += chunkBytes) {
        if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(50 + cluster * 50 / limit))) return false;
        bits.assign(static_cast<size_t>(std::min(chunkBytes, run.Count * l_.ClusterBytes() - done)), 0);
        ReadSectors(l_.ClusterSector(run.First) + done / l_.BytesPerSector, bits);
        const uint64_t count = std::min<uint64_t>(uint64_t{bits.size()} * 8, limit - cluster);
        scan.AddBitmap(cluster, count, bits);
        cluster += count;
      }
    }
    scan.Finish();
    return true;
  }

  const Layout& l_;
  OwnershipIndex& index_;
  const WalkHooks& hooks_;
  FatTable table_;
  ClusterClaims claims_;
  std::vector<ClusterRun> bitmap_;
  uint64_t claimed_ = 0;
  std::shared_ptr<DirectoryRecordFinder> finder_ = std::make_shared<DirectoryRecordFinder>(
      l_.BytesPerSector, l_.SectorsPerCluster, l_.HeapOffset, kMaxDirectoryBytes, ExfatEntrySets);
};

}  // namespace

bool WalkExfatOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) {
  const std::optional<std::vector<uint8_t>> bootSector = ReadBootSectorForWalk(why);
  if (!bootSector) return false;
  const std::vector<uint8_t>& boot = *bootSector;
  const uint32_t sectorBytes = static_cast<uint32_t>(boot.size());
  Layout l;
  const uint8_t sectorShift = ReadU8(boot, kBytesPerSectorShiftOffset);
  const uint8_t clusterShift = ReadU8(boot, kSectorsPerClusterShiftOffset);
  if (sectorShift < 9 || sectorShift > 12 || clusterShift > 25 - sectorShift || (1u << sectorShift) != sectorBytes) {
    *why = "the boot sector's sizes are not an exFAT volume's";
    return false;
  }
  l.BytesPerSector = sectorBytes;
  l.SectorsPerCluster = 1u << clusterShift;
  l.FatOffset = ReadLe32(boot, kFatOffsetOffset);
  l.FatLength = ReadLe32(boot, kFatLengthOffset);
  l.HeapOffset = ReadLe32(boot, kClusterHeapOffsetOffset);
  l.Clusters = ReadLe32(boot, kClusterCountOffset);
  l.RootCluster = ReadLe32(boot, kRootClusterOffset);
  l.Fats = ReadU8(boot, kNumberOfFatsOffset) == 2 ? 2 : 1;
  if (l.FatOffset < 2 * kBootRegionSectors || l.FatLength == 0 || l.HeapOffset < l.FatOffset + l.FatLength) {
    *why = "the boot sector's FAT and cluster heap are not an exFAT volume's";
    return false;
  }
  // Clusters past the end of the volume hold nothing to walk; the count stops there.
  const uint64_t volumeSectors = Geometry().TotalSectors;
  l.Clusters = std::min<uint64_t>(l.Clusters, volumeSectors > l.HeapOffset ? (volumeSectors - l.HeapOffset) / l.SectorsPerCluster : 0);
  index.Begin(volumeSectors, sectorBytes);
  ExfatWalk walk(l, index, hooks);
  if (!walk.Run()) {
    *why = "stopped";
    return false;
  }
  return true;
}

}  // namespace korvalane
