#include "core/fs/fat/FatFiles.h"

#include <algorithm>

#include "core/fs/fat/FatEntries.h"
#include "core/fs/AllocationScan.h"
#include "core/fs/fatfamily/FatChains.h"
#include "core/text/IsoTime.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr size_t kEntryBytes = kFatEntryBytes;
// The root folder has no entry of its own: record 0 stands for it (no entry lies at byte 0,
// the boot sector's).
constexpr uint64_t kRootRecord = 0;

struct Volume {
  FatLayout Layout;
  std::unique_ptr<FatTable> Table;
};

std::optional<Volume> OpenFat(std::string* why) {
  const std::optional<std::vector<uint8_t>> boot = ReadBootSectorForWalk(why);
  if (!boot) return std::nullopt;
  std::optional<FatLayout> layout = ReadFatLayout(*boot, Geometry().TotalSectors, why);
  if (!layout) return std::nullopt;
  if (layout->BytesPerSector != boot->size()) {
    *why = "the boot sector's sector size differs from the volume's";
    return std::nullopt;
  }
  Volume v{*layout, std::make_unique<FatTable>(layout->ReservedSectors, layout->FatSectors, layout->BytesPerSector,
                                               layout->EntryBits, false)};
  return v;
}

uint64_t ClusterLimit(const Volume& v) { return std::min<uint64_t>(v.Layout.Clusters + 2, v.Table->EntryCount()); }

// A DOS date and time as stored: local time of the machine that wrote it, as FAT keeps
// no zone. Nothing for a date of 0 or one that is no date.
std::optional<FileTime> DosTime(uint16_t date, uint16_t time, uint32_t extraMilliseconds = 0) {
  if (date == 0) return std::nullopt;
  CivilTime civil;
  civil.Year = 1980 + (date >> 9);
  civil.Month = (date >> 5) & 0x0F;
  civil.Day = date & 0x1F;
  civil.Hour = (time >> 11) & 0x1F;
  civil.Minute = (time >> 5) & 0x3F;
  civil.Second = (time & 0x1F) * 2;
  const std::optional<int64_t> seconds = LocalTimeSeconds(civil);
  if (!seconds) return std::nullopt;
  return *seconds * 1000000000 + int64_t{extraMilliseconds} * 1000000;
}

std::string AttributeText(uint8_t attributes) {
  static const char* const kNames[] = {"read-only", "hidden", "system", "volume label", "directory", "archive"};
  std::string text;
  for (int bit = 0; bit < 6; ++bit) {
    if ((attributes >> bit & 1) == 0) continue;
    if (!text.empty()) text += ' ';
    text += kNames[bit];
  }
  return text;
}

// The volume byte of the directory's byte `at`, through its runs (none: the fixed root).
uint64_t VolumeByteOf(const FatLayout& l, const std::vector<ClusterRun>& runs, uint64_t at) {
  if (runs.empty()) return l.RootStart * l.BytesPerSector + at;
  for (const ClusterRun& run : runs) {
    const uint64_t bytes = run.Count * l.ClusterBytes();
    if (at < bytes) return l.ClusterSector(run.First) * l.BytesPerSector + at;
    at -= bytes;
  }
  return 0;
}

FileEntry ToFileEntry(const FatEntry& e, uint64_t record) {
  FileEntry f;
  f.Path = e.Path;
  f.Name = e.Name;
  f.Record = record;
  f.RecordText = "directory entry at byte " + std::to_string(record);
  f.Size = e.Directory ? 0 : e.Size;
  f.Folder = e.Directory;
  f.Deleted = e.Deleted;
  f.Attributes = AttributeText(e.Attributes);
  f.Times.Modified = DosTime(e.WriteDate, e.WriteTime);
  f.Times.Accessed = DosTime(e.AccessDate, 0);
  f.Times.Created = DosTime(e.CreateDate, e.CreateTime, e.CreateTenths * 10u);
  return f;
}

FileEntry RootEntry() {
  FileEntry root;
  root.Path = "/";
  root.Record = kRootRecord;
  root.RecordText = "root directory";
  root.Folder = true;
  return root;
}

// The short entry at volume byte `record`: its 32 bytes, or nothing where none can be.
std::optional<std::vector<uint8_t>> ReadShortEntry(const FatLayout& l, uint64_t record) {
  if (record % kEntryBytes != 0 || record / l.BytesPerSector >= Geometry().TotalSectors) return std::nullopt;
  std::vector<uint8_t> sector(l.BytesPerSector);
  if (!ReadSectors(record / l.BytesPerSector, sector)) return std::nullopt;
  const size_t at = static_cast<size_t>(record % l.BytesPerSector);
  return std::vector<uint8_t>(sector.begin() + static_cast<std::ptrdiff_t>(at),
                              sector.begin() + static_cast<std::ptrdiff_t>(at + kEntryBytes));
}

// The clusters of a folder: its chain when live, its first cluster when deleted (the
// chain is gone with the delete).
std::vector<ClusterRun> FolderRuns(Volume& v, uint64_t record) {
  if (record == kRootRecord) {
    if (v.Layout.EntryBits != 32) return {};
    ClusterClaims claims(ClusterLimit(v));
    return FollowChain(*v.Table, claims, v.Layout.RootCluster, UINT64_MAX).Runs;
  }
  const std::optional<std::vector<uint8_t>> bytes = ReadShortEntry(v.Layout, record);
  if (!bytes) return {};
  const FatShortEntry entry = DecodeFatShortEntry(v.Layout, *bytes);
  const uint64_t cluster = entry.Cluster;
  if (!entry.Directory || cluster < 2 || cluster >= ClusterLimit(v)) return {};
  if (entry.Deleted) return {ClusterRun{cluster, 1}};
  ClusterClaims claims(ClusterLimit(v));
  return FollowChain(*v.Table, claims, cluster, UINT64_MAX).Runs;
}

// The entries of the folder `record` at `path`.
std::vector<FileEntry> ListFolder(Volume& v, uint64_t record, const std::string& path, bool deleted) {
  std::vector<ClusterRun> runs = FolderRuns(v, record);
  // A folder that is not the fixed root but has no clusters lists nothing.
  if (runs.empty() && !(record == kRootRecord && v.Layout.EntryBits != 32)) return {};
  const std::vector<uint8_t> bytes = ReadFatDirectoryBytes(v.Layout, runs);
  std::vector<FileEntry> entries;
  for (FatEntry& e : ListFatEntries(v.Layout, bytes, path == "/" ? "" : path)) {
    if (e.Deleted && !deleted) continue;
    entries.push_back(ToFileEntry(e, VolumeByteOf(v.Layout, runs, e.End - kEntryBytes)));
  }
  return entries;
}

bool SameName(const std::string& a, const std::string& b, bool ignoreCase) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (ignoreCase) {
      if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
      if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    }
    if (x != y) return false;
  }
  return true;
}

// The entries of `entries` named `name`: the exact spelling first, else (FAT ignores
// the case of names) any case; live ones before deleted ones.
std::vector<FileEntry> Named(const std::vector<FileEntry>& entries, const std::string& name) {
  std::vector<FileEntry> found;
  for (const bool ignoreCase : {false, true}) {
    for (const FileEntry& e : entries) {
      if (SameName(e.Name, name, ignoreCase)) found.push_back(e);
    }
    if (!found.empty()) break;
  }
  std::stable_partition(found.begin(), found.end(), [](const FileEntry& e) { return !e.Deleted; });
  return found;
}

}  // namespace

FileLookup FindFatFiles(const FileQuery& query) {
  FileLookup lookup;
  std::optional<Volume> v = OpenFat(&lookup.Why);
  if (!v) return lookup;
  switch (query.Kind) {
    case FileQuery::By::Children:
      lookup.Entries = ListFolder(*v, query.Record, query.Path.empty() ? "/" : query.Path, query.Deleted);
      return lookup;
    case FileQuery::By::Record: {
      if (query.Record == kRootRecord) {
        lookup.Entries.push_back(RootEntry());
        return lookup;
      }
      // The entry set is read from the cluster (or root sector run) that holds its short
      // entry, so that a long name before it in the same cluster is found too.
      const uint64_t sector = query.Record / v->Layout.BytesPerSector;
      uint64_t first = sector;
      uint64_t count = 1;
      if (sector >= v->Layout.DataStart) {
        first = v->Layout.DataStart + (sector - v->Layout.DataStart) / v->Layout.SectorsPerCluster * v->Layout.SectorsPerCluster;
        count = v->Layout.SectorsPerCluster;
      } else if (sector >= v->Layout.RootStart) {
        first = v->Layout.RootStart;
        count = v->Layout.RootSectors;
      }
      if (query.Record % kEntryBytes != 0 || first + count > Geometry().TotalSectors) {
        lookup.Why = "no directory entry starts at byte " + std::to_string(query.Record);
        return lookup;
      }
      std::vector<uint8_t> bytes(static_cast<size_t>(count * v->Layout.BytesPerSector));
      ReadSectorsForWalk(first, bytes);
      const uint64_t base = first * v->Layout.BytesPerSector;
      for (FatEntry& e : ListFatEntries(v->Layout, bytes, "")) {
        if (base + e.End - kEntryBytes != query.Record) continue;
        if (e.Deleted && !query.Deleted) {
          lookup.Why = "the entry at byte " + std::to_string(query.Record) + " is deleted (use --deleted)";
          return lookup;
        }
        lookup.Entries.push_back(ToFileEntry(e, query.Record));
        return lookup;
      }
      lookup.Why = "no directory entry starts at byte " + std::to_string(query.Record);
      return lookup;
    }
    case FileQuery::By::Path:
      break;
  }
  std::vector<FileEntry> current{RootEntry()};
  std::string path;
  for (const std::string& part : PathParts(query.Path)) {
    // Each folder on the way is the first of its name: live before deleted.
    const FileEntry folder = current.front();
    if (!folder.Folder) {
      lookup.Why = "'" + folder.Path + "' is not a folder";
      return lookup;
    }
    current = Named(ListFolder(*v, folder.Record, folder.Path, query.Deleted), part);
    if (current.empty()) {
      lookup.Why = "no '" + part + "' in '" + folder.Path + "'";
      return lookup;
    }
  }
  lookup.Entries = std::move(current);
  // The same name twice is one live file and the deleted ones before it, all given.
  if (!lookup.Entries.empty() && !lookup.Entries.front().Deleted) lookup.Entries.resize(1);
  return lookup;
}

FileData ReadFatFileData(const FileEntry& file) {
  FileData data;
  std::string why;
  std::optional<Volume> v = OpenFat(&why);
  if (!v) {
    data.Grade = DataGrade::Partial;
    data.Problems.push_back(why);
    return data;
  }
  if (file.Folder || file.Record == kRootRecord) return data;
  const FatLayout& l = v->Layout;
  const std::optional<std::vector<uint8_t>> bytes = ReadShortEntry(l, file.Record);
  if (!bytes) {
    data.Grade = DataGrade::Partial;
    data.Problems.push_back("the directory entry at byte " + std::to_string(file.Record) + " cannot be read");
    return data;
  }
  const FatShortEntry entry = DecodeFatShortEntry(l, *bytes);
  const uint64_t size = entry.Size;
  const uint64_t first = entry.Cluster;
  const bool deleted = entry.Deleted;
  const uint64_t clusterBytes = l.ClusterBytes();
  const uint64_t wanted = (size + clusterBytes - 1) / clusterBytes;
  if (size == 0) return data;
  const uint64_t limit = ClusterLimit(*v);
  if (first < 2 || first >= limit) {
    data.Grade = DataGrade::Partial;
    data.Problems.push_back("its first cluster " + std::to_string(first) + " is not one of the volume's");
    return data;
  }

  std::vector<ClusterRun> runs;
  if (!deleted) {
    ClusterClaims claims(limit);
    const Chain chain = FollowChain(*v->Table, claims, first, wanted);
    runs = chain.Runs;
    if (chain.End != ChainEnd::EndMark && chain.End != ChainEnd::LimitReached) {
      data.Problems.push_back("its FAT chain " + ChainFault(chain));
    }
  } else {
    // The chain went with the delete; the first cluster and the size remain. Its clusters
    // are taken as an allocator would have handed them out: free ones in order from the
    // first, those in use now skipped. Where one was skipped, or the file needs more than
    // its first cluster, another order was possible.
    const std::optional<uint32_t> firstEntry = v->Table->Entry(first);
    const bool firstFree = firstEntry && *firstEntry == 0;
    uint64_t taken = 0;
    bool skipped = false;
    for (uint64_t c = first; c < limit && taken < wanted; ++c) {
      const std::optional<uint32_t> value = v->Table->Entry(c);
      // The first cluster is the file's whatever the table says now; others only when free.
      if (c != first && (!value || *value != 0)) {
        skipped = true;
        continue;
      }
      if (!runs.empty() && runs.back().First + runs.back().Count == c) {
        ++runs.back().Count;
      } else {
        runs.push_back(ClusterRun{c, 1});
      }
      ++taken;
    }
    if (!firstFree) {
      data.Overwritten.push_back(FileByteRange{0, std::min(size, clusterBytes)});
      data.Problems.push_back("its first cluster " + std::to_string(first) + " is in use again");
    }
    data.Grade = wanted == 1 && firstFree ? DataGrade::Exact : DataGrade::Guessed;
    if (skipped) data.Problems.push_back("clusters in use were skipped after its first; their order is a guess");
  }

  uint64_t left = size;
  for (const ClusterRun& run : runs) {
    if (left == 0) break;
    DataPiece piece;
    piece.Type = DataPiece::Kind::Sectors;
    piece.Sector = l.ClusterSector(run.First);
    piece.Length = std::min(left, run.Count * clusterBytes);
    left -= piece.Length;
    data.Pieces.push_back(std::move(piece));
  }
  if (left != 0) {
    data.Grade = DataGrade::Partial;
    data.Problems.push_back("its clusters hold " + std::to_string(size - left) + " of its " + std::to_string(size) +
                            " bytes");
  }
  return data;
}

}  // namespace korvalane
