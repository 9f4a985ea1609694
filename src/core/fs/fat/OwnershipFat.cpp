#include "core/fs/fat/OwnershipFat.h"

#include "core/fs/fat/FatEntries.h"

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/AllocationScan.h"
#include "core/fs/fatfamily/DirectoryRecords.h"
#include "core/fs/fatfamily/FatChains.h"
#include "core/text/CodePage.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// The BIOS parameter block.
constexpr size_t kBytesPerSectorOffset = 11;
constexpr size_t kSectorsPerClusterOffset = 13;
constexpr size_t kReservedSectorsOffset = 14;
constexpr size_t kFatCopiesOffset = 16;
constexpr size_t kRootEntriesOffset = 17;
constexpr size_t kTotalSectors16Offset = 19;
constexpr size_t kFatSectors16Offset = 22;
constexpr size_t kTotalSectors32Offset = 32;
constexpr size_t kFatSectors32Offset = 36;
constexpr size_t kRootClusterOffset = 44;
constexpr size_t kFsInfoSectorOffset = 48;
constexpr size_t kBackupBootOffset = 50;

// A directory entry.
constexpr size_t kEntryBytes = 32;
constexpr size_t kAttributesOffset = 11;
constexpr size_t kCaseOffset = 12;
constexpr size_t kCreateTenthsOffset = 13;
constexpr size_t kCreateTimeOffset = 14;
constexpr size_t kCreateDateOffset = 16;
constexpr size_t kAccessDateOffset = 18;
constexpr size_t kClusterHighOffset = 20;
constexpr size_t kWriteTimeOffset = 22;
constexpr size_t kWriteDateOffset = 24;
constexpr size_t kClusterLowOffset = 26;
constexpr size_t kSizeOffset = 28;
constexpr uint8_t kLongName = 0x0F;
constexpr uint8_t kDirectoryBit = 0x10;
constexpr uint8_t kVolumeLabelBit = 0x08;
constexpr uint8_t kDeleted = 0xE5;

// A directory holds at most 65,536 entries (2 MiB); a chain that makes one longer is read
// no further.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{65536} * kEntryBytes;

bool PowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

}  // namespace

std::optional<FatLayout> ReadFatLayout(std::span<const uint8_t> boot, uint64_t volumeSectors, std::string* why) {
  FatLayout l;
  l.BytesPerSector = ReadLe16(boot, kBytesPerSectorOffset);
  l.SectorsPerCluster = ReadU8(boot, kSectorsPerClusterOffset);
  l.ReservedSectors = ReadLe16(boot, kReservedSectorsOffset);
  l.FatCopies = ReadU8(boot, kFatCopiesOffset);
  const uint32_t rootEntries = ReadLe16(boot, kRootEntriesOffset);
  // Clusters past the end of the volume (a boot sector that claims more than there is)
  // hold nothing to walk: the count stops at the volume's end, which bounds the walk.
  const uint64_t total = std::min<uint64_t>(volumeSectors, ReadLe16(boot, kTotalSectors16Offset) != 0
                                                               ? ReadLe16(boot, kTotalSectors16Offset)
                                                               : ReadLe32(boot, kTotalSectors32Offset));
  l.FatSectors = ReadLe16(boot, kFatSectors16Offset) != 0 ? ReadLe16(boot, kFatSectors16Offset)
                                                          : ReadLe32(boot, kFatSectors32Offset);
  if (!PowerOfTwo(l.BytesPerSector) || l.BytesPerSector < 512 || l.BytesPerSector > 4096 ||
      !PowerOfTwo(l.SectorsPerCluster) || l.ReservedSectors == 0 || l.FatCopies == 0 || l.FatSectors == 0) {
    *why = "the boot sector's BIOS parameter block is not a FAT one";
    return std::nullopt;
  }
  l.RootStart = l.ReservedSectors + uint64_t{l.FatCopies} * l.FatSectors;
  l.RootSectors = (uint64_t{rootEntries} * kEntryBytes + l.BytesPerSector - 1) / l.BytesPerSector;
  l.DataStart = l.RootStart + l.RootSectors;
  if (total <= l.DataStart) {
    *why = "the FAT volume has no data area";
    return std::nullopt;
  }
  l.Clusters = (total - l.DataStart) / l.SectorsPerCluster;
  // The cluster count alone decides the width of a FAT's entries.
  const uint64_t declared = (ReadLe16(boot, kTotalSectors16Offset) != 0 ? ReadLe16(boot, kTotalSectors16Offset)
                                                                          : ReadLe32(boot, kTotalSectors32Offset));
  const uint64_t declaredClusters = declared > l.DataStart ? (declared - l.DataStart) / l.SectorsPerCluster : 0;
  l.EntryBits = declaredClusters < 4085 ? 12 : declaredClusters < 65525 ? 16 : 32;
  if (l.EntryBits == 32) l.RootCluster = ReadLe32(boot, kRootClusterOffset);
  return l;
}

namespace {

// A short name as Windows shows it: the blanks trimmed, the extension after a dot, in
// lower case where the entry's case bits say so.
std::u16string ShortName(std::span<const uint8_t> entry) {
  const uint8_t caseBits = ReadU8(entry, kCaseOffset);
  std::u16string name;
  const auto part = [&](size_t from, size_t length, bool lower) {
    std::u16string text;
    for (size_t i = from; i < from + length; ++i) {
      uint8_t byte = entry[i];
      if (i == 0 && byte == 0x05) byte = kDeleted;  // 0x05 stands for a real first byte 0xE5
      char16_t c = Windows1251ToUtf16(byte);
      if (lower && c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
      text += c;
    }
    while (!text.empty() && text.back() == u' ') text.pop_back();
    return text;
  };
  name = part(0, 8, (caseBits & 0x08) != 0);
  const std::u16string extension = part(8, 3, (caseBits & 0x10) != 0);
  if (!extension.empty()) name += u"." + extension;
  return name;
}

uint8_t ShortNameChecksum(std::span<const uint8_t> entry) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11; ++i) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + entry[i]);
  return sum;
}

// The long name gathered from the entries before a short entry. They stand last part
// first, each with its ordinal (1 to 20) and the short name's checksum.
class LongName {
 public:
  void Add(std::span<const uint8_t> entry) {
    std::u16string part;
    for (const size_t at : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30}) part += static_cast<char16_t>(ReadLe16(entry, at));
    if (entry[0] == kDeleted) {
      // Deleting overwrites the ordinal too: the parts are only known by their order,
      // last part first, and by the checksum they share.
      if (!deleted_.empty() && entry[13] != checksum_) deleted_.clear();
      if (deleted_.empty()) parts_.clear();
      checksum_ = entry[13];
      if (deleted_.size() < 20) deleted_.push_back(part);
      return;
    }
    deleted_.clear();
    const uint8_t ordinal = entry[0] & 0x1F;
    if ((entry[0] & 0x40) != 0) {
      parts_.clear();
      checksum_ = entry[13];
    }
    if (ordinal == 0 || entry[13] != checksum_) {
      parts_.clear();
      return;
    }
    parts_[ordinal] = part;
  }
  // The name for the short entry, when the parts are complete and belong to it.
  std::optional<std::u16string> Take(std::span<const uint8_t> shortEntry) {
    std::optional<std::u16string> name;
    std::u16string whole;
    bool sums = checksum_ == ShortNameChecksum(shortEntry);
    if (shortEntry[0] == kDeleted) {
      // The short name's first byte is gone with the deletion: any byte that makes the
      // checksum fit will do.
      std::array<uint8_t, 11> name{};
      std::copy_n(shortEntry.begin(), name.size(), name.begin());
      for (int first = 0; first < 256 && !sums; ++first) {
        name[0] = static_cast<uint8_t>(first);
        sums = checksum_ == ShortNameChecksum(name);
      }
    }
    if (!deleted_.empty() && sums) {
      for (auto it = deleted_.rbegin(); it != deleted_.rend(); ++it) whole += *it;
    } else if (!parts_.empty() && sums && parts_.begin()->first == 1 && parts_.rbegin()->first == parts_.size()) {
      for (const auto& [ordinal, part] : parts_) whole += part;
    }
    {
      const size_t end = whole.find(u'\0');
      if (end != std::u16string::npos) whole.resize(end);
      if (!whole.empty()) name = whole;
    }
    parts_.clear();
    deleted_.clear();
    return name;
  }

 private:
  std::map<uint8_t, std::u16string> parts_;
  std::vector<std::u16string> deleted_;
  uint8_t checksum_ = 0;
};

}  // namespace

// The entry sets of a directory's bytes, up to its end mark: files, directories and
// deleted entries, without the volume label, "." and "..".
FatShortEntry DecodeFatShortEntry(const FatLayout& l, std::span<const uint8_t> entry) {
  FatShortEntry e;
  e.Attributes = ReadU8(entry, kAttributesOffset);
  e.Directory = (e.Attributes & kDirectoryBit) != 0;
  e.Deleted = ReadU8(entry, 0) == kDeleted;
  e.Cluster = ReadLe16(entry, kClusterLowOffset);
  if (l.EntryBits == 32) e.Cluster |= uint64_t{ReadLe16(entry, kClusterHighOffset)} << 16;
  e.Size = ReadLe32(entry, kSizeOffset);
  return e;
}

std::vector<FatEntry> ListFatEntries(const FatLayout& l, std::span<const uint8_t> bytes, const std::string& parent) {
  std::vector<FatEntry> list;
  LongName longName;
  size_t setStart = 0;  // where the long-name slots before the next short entry begin
  bool inLongName = false;
  for (size_t at = 0; at + kEntryBytes <= bytes.size(); at += kEntryBytes) {
    const std::span<const uint8_t> entry = bytes.subspan(at, kEntryBytes);
    const uint8_t first = entry[0];
    if (first == 0x00) break;  // the end of the directory
    const uint8_t attributes = entry[kAttributesOffset];
    if (attributes == kLongName) {
      if (!inLongName) setStart = at;
      inLongName = true;
      longName.Add(entry);
      continue;
    }
    const bool hadLongName = inLongName;
    inLongName = false;
    const std::optional<std::u16string> longText = longName.Take(entry);
    if ((attributes & kVolumeLabelBit) != 0) continue;
    const std::u16string shortText = ShortName(entry);
    if (shortText == u"." || shortText == u"..") continue;
    FatEntry e;
    e.First = longText && hadLongName ? setStart : at;
    e.End = at + kEntryBytes;
    e.Deleted = first == kDeleted;
    std::u16string name = longText.value_or(shortText);
    if (e.Deleted && !longText && !name.empty()) name[0] = u'_';
    e.Name = ToUtf8(name);
    e.Path = parent + "/" + e.Name;
    e.Attributes = attributes;
    e.CreateTenths = ReadU8(entry, kCreateTenthsOffset);
    e.CreateTime = ReadLe16(entry, kCreateTimeOffset);
    e.CreateDate = ReadLe16(entry, kCreateDateOffset);
    e.AccessDate = ReadLe16(entry, kAccessDateOffset);
    e.WriteTime = ReadLe16(entry, kWriteTimeOffset);
    e.WriteDate = ReadLe16(entry, kWriteDateOffset);
    const FatShortEntry fields = DecodeFatShortEntry(l, entry);
    e.Directory = fields.Directory;
    e.Cluster = fields.Cluster;
    e.Size = fields.Size;
    list.push_back(std::move(e));
  }
  return list;
}

std::vector<uint8_t> ReadFatDirectoryBytes(const FatLayout& l, const std::vector<ClusterRun>& runs) {
  std::vector<uint8_t> bytes;
  const auto read = [&](uint64_t sector, uint64_t sectors) {
    const uint64_t room = kMaxDirectoryBytes - bytes.size();
    const uint64_t length = std::min<uint64_t>(sectors * l.BytesPerSector, room);
    const size_t at = bytes.size();
    bytes.resize(at + static_cast<size_t>(length));
    // An unreadable sector reads as zeros: an end of the listing, not a crash.
    ReadSectorsForWalk(sector, std::span<uint8_t>(bytes).subspan(at));
  };
  if (runs.empty()) {
    read(l.RootStart, l.RootSectors);
  } else {
    for (const ClusterRun& run : runs) {
      if (bytes.size() >= kMaxDirectoryBytes) break;
      read(l.ClusterSector(run.First), run.Count * l.SectorsPerCluster);
    }
  }
  return bytes;
}

namespace {

// The entry sets as records of their files.
std::vector<DirectoryEntrySet> FatEntrySets(const FatLayout& l, std::span<const uint8_t> bytes, const std::string& parent) {
  std::vector<DirectoryEntrySet> sets;
  for (FatEntry& e : ListFatEntries(l, bytes, parent)) {
    DirectoryEntrySet set;
    set.First = e.First;
    set.End = e.End;
    set.Kind = e.Deleted ? OwnerKind::Deleted : e.Directory ? OwnerKind::Directory : OwnerKind::File;
    set.Name = std::move(e.Path);
    if (!e.Directory) set.Size = e.Size;
    set.Data = e.Cluster == 0 ? RecordData::None : RecordData::Elsewhere;
    sets.push_back(std::move(set));
  }
  return sets;
}

class FatWalk {
 public:
  FatWalk(const FatLayout& layout, OwnershipIndex& index, const WalkHooks& hooks)
      : l_(layout),
        index_(index),
        hooks_(hooks),
        table_(layout.ReservedSectors, layout.FatSectors, layout.BytesPerSector, layout.EntryBits, false),
        claims_(std::min<uint64_t>(layout.Clusters + 2, table_.EntryCount())) {}

  bool Run() {
    AddMetadata();
    struct Pending {
      std::vector<ClusterRun> Runs;  // empty: the fixed root directory of FAT12/16
      std::string Path;
    };
    std::vector<Pending> directories;
    if (l_.EntryBits == 32) {
      const Chain root = FollowChain(table_, claims_, l_.RootCluster, UINT64_MAX);
      const uint32_t id = index_.AddOwner(DirectoryOwner("/", l_.RootCluster, true));
      AddChain(root, id, "/");
      finder_->Add(id, root.Runs, "");
      directories.push_back({root.Runs, ""});
    } else {
      Owner root;
      root.Kind = OwnerKind::Directory;
      root.Name = "/";
      root.Where = "root directory";
      root.Part = "directory";
      const uint32_t id = index_.AddOwner(root);
      index_.AddRun(l_.RootStart, l_.RootSectors, id, 0);
      finder_->Add(id, {}, "", l_.RootStart, l_.RootSectors);
      directories.push_back({{}, ""});
    }
    while (!directories.empty()) {
      const Pending directory = std::move(directories.back());
      directories.pop_back();
      if (Stopped()) return false;
      std::vector<uint8_t> bytes = ReadFatDirectoryBytes(l_, directory.Runs);
      ListDirectory(bytes, directory.Path, [&](std::vector<ClusterRun> runs, std::string path) {
        directories.push_back({std::move(runs), std::move(path)});
      });
    }
    DirectoryRecordFinder::Install(index_, finder_);
    return ScanTable();
  }

 private:
  bool Stopped() {
    const uint64_t done = ++steps_;
    if (!hooks_.Progress || done % 64 != 0) return false;
    return hooks_.Progress(static_cast<int32_t>(std::min<uint64_t>(49, claimed_ * 50 / std::max<uint64_t>(1, l_.Clusters))));
  }

  void AddMetadata() {
    const auto area = [&](const std::string& name, uint64_t first, uint64_t sectors, MetadataClass what = MetadataClass::Boot) {
      Owner owner;
      owner.Kind = OwnerKind::Metadata;
      owner.Name = name;
      owner.Area = what;
      index_.AddRun(first, sectors, index_.AddOwner(owner));
    };
    area("boot sector", 0, 1);
    // FAT32 keeps an FS information sector and a backup of the boot sectors among its
    // reserved sectors; the rest are only reserved.
    std::vector<std::pair<uint64_t, std::string>> special;
    if (l_.EntryBits == 32) {
      std::vector<uint8_t> boot(l_.BytesPerSector);
      ReadSectors(0, boot);
      const uint32_t info = ReadLe16(boot, kFsInfoSectorOffset);
      const uint32_t backup = ReadLe16(boot, kBackupBootOffset);
      if (info != 0 && info < l_.ReservedSectors) special.emplace_back(info, "FS information sector");
      for (uint32_t i = 0; i < 3 && backup != 0 && backup + i < l_.ReservedSectors; ++i) {
        special.emplace_back(backup + i, "backup boot sector");
      }
      std::sort(special.begin(), special.end());
    }
    uint64_t next = 1;
    for (const auto& [sector, name] : special) {
      if (sector < next) continue;
      if (sector > next) area("reserved sectors", next, sector - next);
      area(name, sector, 1);
      next = sector + 1;
    }
    if (next < l_.ReservedSectors) area("reserved sectors", next, l_.ReservedSectors - next);
    for (uint32_t copy = 0; copy < l_.FatCopies; ++copy) {
      area("FAT " + std::to_string(copy + 1), l_.ReservedSectors + uint64_t{copy} * l_.FatSectors, l_.FatSectors,
           MetadataClass::Table);
    }
  }

  Owner DirectoryOwner(const std::string& path, uint64_t cluster, bool root) {
    Owner owner;
    owner.Kind = OwnerKind::Directory;
    owner.Name = path;
    owner.Where = (root ? "root directory, first cluster " : "directory, first cluster ") + std::to_string(cluster);
    owner.Part = "directory";
    owner.FirstCluster = cluster;
    owner.HasFirstCluster = true;
    return owner;
  }

  void AddChain(const Chain& chain, uint32_t owner, const std::string& path) {
    claimed_ += AddChainRuns(index_, chain, owner, l_.DataStart, l_.SectorsPerCluster);
    if (chain.End != ChainEnd::EndMark) index_.AddProblem("the FAT chain of " + path + " " + ChainFault(chain));
  }


  template <typename Descend>
  void ListDirectory(std::span<const uint8_t> bytes, const std::string& parent, Descend descend) {
    for (const FatEntry& e : ListFatEntries(l_, bytes, parent)) {
      if (e.Deleted) {
        AddGuess(e.Path, e.Cluster, e.Size, e.Directory);
        continue;
      }
      if (e.Cluster == 0) continue;  // an empty file has no cluster
      Owner owner = e.Directory ? DirectoryOwner(e.Path, e.Cluster, false) : Owner{};
      if (!e.Directory) {
        owner.Kind = OwnerKind::File;
        owner.Name = e.Path;
        owner.Where = "first cluster " + std::to_string(e.Cluster);
        owner.Part = "file";
        owner.Size = e.Size;
        owner.HasSize = true;
        owner.FirstCluster = e.Cluster;
        owner.HasFirstCluster = true;
      }
      // A file's chain is taken as far as its size reaches; a directory has no size.
      const uint64_t limit = e.Directory ? UINT64_MAX : (e.Size + l_.ClusterBytes() - 1) / l_.ClusterBytes();
      const Chain chain = FollowChain(table_, claims_, e.Cluster, limit == 0 ? 1 : limit);
      const uint32_t id = index_.AddOwner(std::move(owner));
      AddChain(chain, id, e.Path);
      // A directory whose first cluster another chain already has (a directory that
      // holds its own parent, or a cross-link) is not listed a second time.
      if (e.Directory && !chain.Runs.empty() && chain.Runs.front().First == e.Cluster) {
        finder_->Add(id, chain.Runs, e.Path);
        descend(chain.Runs, e.Path);
      }
    }
  }

  // A deleted entry keeps its first cluster and size; where its clusters were is guessed
  // as the contiguous run from the first, as recovery tools guess it.
  void AddGuess(const std::string& path, uint64_t cluster, uint64_t size, bool directory) {
    if (cluster < 2 || cluster >= claims_.Limit()) return;
    uint64_t count = (size + l_.ClusterBytes() - 1) / l_.ClusterBytes();
    if (directory || count == 0) count = 1;
    count = std::min(count, claims_.Limit() - cluster);
    index_.AddRun(l_.ClusterSector(cluster), count * l_.SectorsPerCluster,
                  index_.AddOwner(DeletedGuessOwner(path, cluster, size, directory)), 0);
  }

  // Every cluster's entry once, in order: free, bad, and taken by no chain (lost) runs.
  bool ScanTable() {
    AllocationScan scan(index_, claims_.Runs(), FreeWhere::Unreached, 2, l_.DataStart, l_.SectorsPerCluster);
    Owner bad;
    bad.Kind = OwnerKind::Metadata;
    bad.Name = "bad cluster (marked in the FAT)";
    const uint32_t badId = index_.AddOwner(bad);
    const auto ownerOf = [&](uint64_t cluster) {
      const std::optional<uint32_t> entry = table_.Entry(cluster);
      return !entry ? scan.LostOwner() : *entry == 0 ? scan.FreeOwner() : table_.IsBad(*entry) ? badId : scan.LostOwner();
    };
    constexpr uint64_t kStep = 65536;
    for (uint64_t cluster = 2; cluster < claims_.Limit();) {
      if (cluster % kStep == 0 && hooks_.Progress &&
          hooks_.Progress(static_cast<int32_t>(50 + cluster * 50 / claims_.Limit()))) {
        return false;
      }
      const uint64_t end = std::min(claims_.Limit(), (cluster / kStep + 1) * kStep);
      scan.AddEach(cluster, end, ownerOf);
      cluster = end;
    }
    scan.Finish();
    return true;
  }

  const FatLayout& l_;
  OwnershipIndex& index_;
  const WalkHooks& hooks_;
  FatTable table_;
  ClusterClaims claims_;
  uint64_t steps_ = 0;
  uint64_t claimed_ = 0;
  std::shared_ptr<DirectoryRecordFinder> finder_ = std::make_shared<DirectoryRecordFinder>(
      l_.BytesPerSector, l_.SectorsPerCluster, l_.DataStart, kMaxDirectoryBytes,
      [layout = l_](std::span<const uint8_t> bytes, const std::string& prefix) { return FatEntrySets(layout, bytes, prefix); });
};

}  // namespace

bool WalkFatOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) {
  const std::optional<std::vector<uint8_t>> boot = ReadBootSectorForWalk(why);
  if (!boot) return false;
  const uint32_t sectorBytes = static_cast<uint32_t>(boot->size());
  const std::optional<FatLayout> layout = ReadFatLayout(*boot, Geometry().TotalSectors, why);
  if (!layout) return false;
  if (layout->BytesPerSector != sectorBytes) {
    *why = "the boot sector's sector size differs from the volume's";
    return false;
  }
  index.Begin(Geometry().TotalSectors, sectorBytes);
  FatWalk walk(*layout, index, hooks);
  if (!walk.Run()) {
    *why = "stopped";
    return false;
  }
  return true;
}

}  // namespace korvalane
