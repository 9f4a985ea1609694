#include "core/fs/ntfs/NtfsFiles.h"

#include <algorithm>

#include "core/Bytes.h"
#include "core/fs/ntfs/FileRecordFormat.h"
#include "core/fs/ntfs/MftLayout.h"
#include "core/fs/ntfs/OwnershipNtfs.h"
#include "core/hash/Digest.h"
#include "core/text/Utf.h"
#include "core/fs/ntfs/DataRuns.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// A FILE record's header.
constexpr size_t kFlagsOffset = 22;
constexpr size_t kBaseRecordOffset = 32;
constexpr uint16_t kInUse = 0x0001;
constexpr uint16_t kIsDirectory = 0x0002;

constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kAttributeList = 0x20;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;
// A non-resident attribute's flags: compressed (LZNT1) and encrypted.
constexpr size_t kAttributeFlagsOffset = 12;
constexpr uint16_t kCompressed = 0x0001;
constexpr uint16_t kEncrypted = 0x4000;

// $STANDARD_INFORMATION's times (FILETIMEs) and $FILE_NAME's parent, name and name space.
constexpr size_t kCreatedOffset = 0;
constexpr size_t kModifiedOffset = 8;
constexpr size_t kRecordChangedOffset = 16;
constexpr size_t kAccessedOffset = 24;
constexpr size_t kFileAttributesOffset = 32;
constexpr size_t kFileNameLengthOffset = 64;
constexpr size_t kFileNameSpaceOffset = 65;
constexpr size_t kFileNameOffset = 66;
constexpr uint8_t kDosNameSpace = 2;
constexpr uint64_t kRecordMask = 0xFFFFFFFFFFFFull;
constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kFirstUserRecord = 16;
// Days from 1601-01-01 to 1970-01-01, in 100 ns ticks.
constexpr uint64_t kUnixEpochTicks = 116444736000000000ull;

std::optional<FileTime> FromFileTime(uint64_t ticks) {
  // 100 ns ticks as nanoseconds fit 64 bits until the year 2262.
  if (ticks == 0 || ticks > kUnixEpochTicks + static_cast<uint64_t>(INT64_MAX) / 100) return std::nullopt;
  return (static_cast<int64_t>(ticks) - static_cast<int64_t>(kUnixEpochTicks)) * 100;
}

struct Record {
  uint64_t Number = 0;
  bool InUse = false;
  bool Folder = false;
  bool Base = true;
  std::vector<uint8_t> Bytes;
};

class Mft {
 public:
  bool Open() {
    if (!ReadMftLayout(NoPump, extents_)) return false;
    recordBytes_ = Geometry().MftRecordBytes > 0 ? static_cast<uint32_t>(Geometry().MftRecordBytes) : 1024;
    clusterBytes_ = Geometry().BytesPerCluster > 0 ? static_cast<uint32_t>(Geometry().BytesPerCluster) : 4096;
    sectorBytes_ = Geometry().BytesPerSector > 0 ? static_cast<uint32_t>(Geometry().BytesPerSector) : 512;
    for (const DataRun& run : extents_) {
      if (run.ClusterCount > 0) records_ += static_cast<uint64_t>(run.ClusterCount) * clusterBytes_ / recordBytes_;
    }
    return records_ != 0;
  }

  uint64_t Records() const { return records_; }
  uint32_t SectorsPerCluster() const { return clusterBytes_ / sectorBytes_; }
  uint32_t ClusterBytes() const { return clusterBytes_; }

  std::optional<Record> Read(uint64_t number) const {
    if (number >= records_) return std::nullopt;
    uint64_t byte = number * recordBytes_;
    for (const DataRun& run : extents_) {
      const uint64_t bytes = static_cast<uint64_t>(std::max<int64_t>(run.ClusterCount, 0)) * clusterBytes_;
      if (byte >= bytes) {
        byte -= bytes;
        continue;
      }
      Record record;
      record.Number = number;
      record.Bytes.resize(recordBytes_);
      const uint64_t sector = static_cast<uint64_t>(run.StartCluster) * SectorsPerCluster() + byte / sectorBytes_;
      if (!ReadSectors(sector, record.Bytes) || !std::equal(record.Bytes.begin(), record.Bytes.begin() + 4, "FILE") ||
          !ntfs::ApplyFixups(record.Bytes).Sound()) {
        return std::nullopt;
      }
      const uint16_t flags = ReadLe16(record.Bytes, kFlagsOffset);
      record.InUse = (flags & kInUse) != 0;
      record.Folder = (flags & kIsDirectory) != 0;
      record.Base = ReadLe64(record.Bytes, kBaseRecordOffset) == 0;
      return record;
    }
    return std::nullopt;
  }

 private:
  std::vector<DataRun> extents_;
  uint32_t recordBytes_ = 1024;
  uint32_t clusterBytes_ = 4096;
  uint32_t sectorBytes_ = 512;
  uint64_t records_ = 0;
};

// The long name (or the only one) of a record and its parent.
struct Named {
  std::string Name;
  uint64_t Parent = 0;
  bool Found = false;
};

Named NameOf(const std::vector<NtfsAttributeView>& attributes) {
  Named named;
  uint8_t space = 255;
  for (const NtfsAttributeView& a : attributes) {
    if (a.Type != kFileName || a.NonResident || a.Value.size() < kFileNameOffset) continue;
    const uint8_t thisSpace = ReadU8(a.Value, kFileNameSpaceOffset);
    if (named.Found && (thisSpace == kDosNameSpace || space != kDosNameSpace)) continue;
    std::u16string name;
    const size_t units = ReadU8(a.Value, kFileNameLengthOffset);
    for (size_t i = 0; i < units && Fits(a.Value, kFileNameOffset + 2 * i, 2); ++i) {
      name += static_cast<char16_t>(ReadLe16(a.Value, kFileNameOffset + 2 * i));
    }
    named.Name = ToUtf8(name);
    named.Parent = ReadLe64(a.Value, 0) & kRecordMask;
    named.Found = true;
    space = thisSpace;
  }
  return named;
}

FileEntry ToFileEntry(const Record& record, const std::vector<NtfsAttributeView>& attributes, const std::string& path,
                      const std::string& name) {
  FileEntry f;
  f.Path = path;
  f.Name = name;
  f.Record = record.Number;
  f.RecordText = "MFT record " + std::to_string(record.Number);
  f.Folder = record.Folder;
  f.Deleted = !record.InUse;
  for (const NtfsAttributeView& a : attributes) {
    if (a.Type == kStandardInformation && !a.NonResident && a.Value.size() >= 36) {
      f.Times.Created = FromFileTime(ReadLe64(a.Value, kCreatedOffset));
      f.Times.Modified = FromFileTime(ReadLe64(a.Value, kModifiedOffset));
      f.Times.Changed = FromFileTime(ReadLe64(a.Value, kRecordChangedOffset));
      f.Times.Accessed = FromFileTime(ReadLe64(a.Value, kAccessedOffset));
      f.Attributes = "file attributes 0x" + HexBytes({a.Value.data() + kFileAttributesOffset, 4});
    }
    if (a.Type == kData && a.Name.empty() && !f.Folder) {
      if (!a.NonResident || a.StartVcn == 0) f.Size = a.RealSize;
    }
  }
  return f;
}

std::vector<FileEntry> Children(const Mft& mft, uint64_t folder, const std::string& path, bool deleted) {
  std::vector<FileEntry> entries;
  // Every record is asked whose name its parent gives: the folder's own index is not read.
  for (uint64_t n = 0; n < mft.Records(); ++n) {
    // The system files ($MFT, $LogFile, ...) are the volume's own, not files to give back.
    if (n == folder || n < kFirstUserRecord) continue;
    const std::optional<Record> record = mft.Read(n);
    if (!record || !record->Base || (!record->InUse && !deleted)) continue;
    const std::vector<NtfsAttributeView> attributes = NtfsRecordAttributes(record->Bytes);
    const Named named = NameOf(attributes);
    if (!named.Found || named.Parent != folder) continue;
    entries.push_back(ToFileEntry(*record, attributes, JoinPath(path, named.Name), named.Name));
  }
  return entries;
}

}  // namespace

FileLookup FindNtfsFiles(const FileQuery& query) {
  FileLookup lookup;
  Mft mft;
  if (!mft.Open()) {
    lookup.Why = "the MFT cannot be read";
    return lookup;
  }
  if (query.Kind == FileQuery::By::Children) {
    lookup.Entries = Children(mft, query.Record, query.Path, query.Deleted);
    return lookup;
  }
  if (query.Kind == FileQuery::By::Record) {
    const std::optional<Record> record = mft.Read(query.Record);
    if (!record || !record->Base) {
      lookup.Why = "MFT record " + std::to_string(query.Record) + " is no file's record";
      return lookup;
    }
    if (!record->InUse && !query.Deleted) {
      lookup.Why = "MFT record " + std::to_string(query.Record) + " is deleted (use --deleted)";
      return lookup;
    }
    const std::vector<NtfsAttributeView> attributes = NtfsRecordAttributes(record->Bytes);
    const bool root = query.Record == kRootRecord;
    const std::string name = root ? "" : NameOf(attributes).Name;
    lookup.Entries.push_back(ToFileEntry(*record, attributes, root ? "/" : "/" + name, name));
    return lookup;
  }
  const std::optional<Record> root = mft.Read(kRootRecord);
  if (!root) {
    lookup.Why = "the root folder (MFT record 5) cannot be read";
    return lookup;
  }
  std::vector<FileEntry> current{ToFileEntry(*root, NtfsRecordAttributes(root->Bytes), "/", "")};
  for (const std::string& part : PathParts(query.Path)) {
    const FileEntry folder = current.front();
    if (!folder.Folder) {
      lookup.Why = "'" + folder.Path + "' is not a folder";
      return lookup;
    }
    std::vector<FileEntry> named;
    for (FileEntry& e : Children(mft, folder.Record, folder.Path, query.Deleted)) {
      if (e.Name == part) named.push_back(std::move(e));
    }
    std::stable_partition(named.begin(), named.end(), [](const FileEntry& e) { return !e.Deleted; });
    if (named.empty()) {
      lookup.Why = "no '" + part + "' in '" + folder.Path + "'";
      return lookup;
    }
    current = std::move(named);
  }
  if (!current.front().Deleted) current.resize(1);
  lookup.Entries = std::move(current);
  return lookup;
}

FileData ReadNtfsFileData(const FileEntry& file) {
  FileData data;
  if (file.Folder) return data;
  Mft mft;
  const std::optional<Record> record = mft.Open() ? mft.Read(file.Record) : std::nullopt;
  if (!record) {
    data.Grade = DataGrade::Partial;
    data.Problems.push_back("MFT record " + std::to_string(file.Record) + " cannot be read");
    return data;
  }
  const std::vector<NtfsAttributeView> attributes = NtfsRecordAttributes(record->Bytes);
  const uint64_t sectorsPerCluster = mft.SectorsPerCluster();
  const uint64_t clusterBytes = mft.ClusterBytes();
  bool found = false;
  for (const NtfsAttributeView& a : attributes) {
    if (a.Type == kAttributeList) {
      data.Problems.push_back("its attributes go on in other records ($ATTRIBUTE_LIST), which are not followed");
      data.Grade = DataGrade::Partial;
    }
    if (a.Type != kData || !a.Name.empty()) continue;
    found = true;
    if (!a.NonResident) {
      DataPiece piece;
      piece.Type = DataPiece::Kind::Bytes;
      piece.Bytes.assign(a.Value.begin(), a.Value.end());
      piece.Length = piece.Bytes.size();
      if (piece.Length != 0) data.Pieces.push_back(std::move(piece));
      continue;
    }
    const uint16_t flags = ReadLe16(a.Bytes, kAttributeFlagsOffset);
    if ((flags & (kCompressed | kEncrypted)) != 0 || a.StartVcn != 0) {
      data.Problems.push_back((flags & kCompressed) != 0 ? "its data is compressed (LZNT1), which is not read"
                              : (flags & kEncrypted) != 0 ? "its data is encrypted"
                                                          : "its data begins in another record");
      data.Grade = DataGrade::Partial;
      return data;
    }
    // Sparse runs and the gaps between runs are holes.
    std::vector<MappedRun> runs;
    for (const NtfsRun& run : a.Runs) {
      if (run.Vcn > UINT64_MAX / clusterBytes / 2 || run.Count > UINT64_MAX / clusterBytes / 2) continue;
      runs.push_back({run.Vcn * clusterBytes, run.Count * clusterBytes, run.Lcn * sectorsPerCluster, run.Sparse});
    }
    AddMappedPieces(std::move(runs), a.RealSize, data);
  }
  if (!found) data.Problems.push_back("it has no unnamed $DATA attribute");
  if (!record->InUse && data.Grade == DataGrade::Exact) data.Grade = DataGrade::ChainIntact;
  return data;
}

}  // namespace korvalane
