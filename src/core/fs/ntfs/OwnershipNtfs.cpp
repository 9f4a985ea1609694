#include "core/fs/ntfs/OwnershipNtfs.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "core/Bytes.h"
#include "core/fs/AllocationScan.h"
#include "core/fs/ntfs/FileRecordFormat.h"
#include "core/fs/ntfs/RunList.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// The boot sector.
constexpr size_t kBytesPerSectorOffset = 11;
constexpr size_t kSectorsPerClusterOffset = 13;
constexpr size_t kTotalSectorsOffset = 40;
constexpr size_t kMftClusterOffset = 48;
constexpr size_t kRecordSizeOffset = 64;

// A FILE record's header.
constexpr size_t kSequenceOffset = 16;
constexpr size_t kFirstAttributeOffset = 20;
constexpr size_t kFlagsOffset = 22;
constexpr size_t kBaseRecordOffset = 32;
constexpr uint16_t kInUse = 0x0001;
constexpr uint16_t kIsDirectory = 0x0002;

// An attribute's header.
constexpr size_t kAttributeLengthOffset = 4;
constexpr size_t kNonResidentOffset = 8;
constexpr size_t kNameLengthOffset = 9;
constexpr size_t kNameOffsetOffset = 10;
constexpr size_t kValueLengthOffset = 16;   // resident
constexpr size_t kValueOffsetOffset = 20;   // resident
constexpr size_t kStartVcnOffset = 16;      // non-resident
constexpr size_t kRunsOffsetOffset = 32;    // non-resident
constexpr size_t kRealSizeOffset = 48;      // non-resident
constexpr uint32_t kEndMarker = 0xFFFFFFFF;
constexpr uint32_t kAttributeList = 0x20;
constexpr uint32_t kFileName = 0x30;
constexpr uint32_t kData = 0x80;
constexpr uint32_t kIndexRoot = 0x90;
constexpr uint32_t kIndexAllocation = 0xA0;
constexpr uint32_t kBitmap = 0xB0;

// $FILE_NAME's value.
constexpr size_t kFileNameLengthOffset = 64;
constexpr size_t kFileNameSpaceOffset = 65;
constexpr size_t kFileNameOffset = 66;
constexpr size_t kFileNameRealSizeOffset = 0x30;
constexpr size_t kFileNameFlagsOffset = 0x38;
constexpr uint32_t kFileNameDirectoryFlag = 0x10000000;
constexpr uint8_t kDosNameSpace = 2;

// A directory's index: $INDEX_ROOT's value (the block size at 8, the node header at 16),
// the INDX blocks of $INDEX_ALLOCATION (the node header at 0x18, an update sequence like
// a FILE record's), and in a node header the first entry's offset and the end of the
// entries, both from the header. An entry: the file reference, its length, its key's
// length, flags (2: the last entry, which holds no key), then the key: the file's
// $FILE_NAME.
constexpr size_t kIndexBlockSizeOffset = 8;
constexpr size_t kRootNodeOffset = 16;
constexpr size_t kBlockNodeOffset = 0x18;
constexpr size_t kNodeEntriesOffset = 0;
constexpr size_t kNodeEntriesEnd = 4;
constexpr size_t kEntryLengthOffset = 8;
constexpr size_t kEntryKeyLengthOffset = 10;
constexpr size_t kEntryFlagsOffset = 12;
constexpr size_t kEntryKeyOffset = 16;
constexpr uint16_t kLastEntry = 0x2;
// A folder's index is read up to this many bytes when lost records are named from it.
constexpr uint64_t kMaxIndexBytes = uint64_t{256} << 20;

constexpr uint64_t kRootRecord = 5;
constexpr uint64_t kMftRecord = 0;
constexpr uint64_t kBitmapRecord = 6;
constexpr uint64_t kFirstUserRecord = 16;
constexpr uint64_t kRecordMask = 0xFFFFFFFFFFFFull;  // a file reference's record number: 48 bits
// A path deeper than this is taken for a loop of parent references.
constexpr size_t kMaxDepth = 1024;
// An attribute list read from clusters is at most this long.
constexpr uint64_t kMaxAttributeListBytes = 256 * 1024;

struct Layout {
  uint32_t BytesPerSector = 0;
  uint64_t SectorsPerCluster = 0;
  uint64_t TotalSectors = 0;
  uint64_t MftCluster = 0;
  uint32_t RecordBytes = 0;
  uint64_t VolumeSectors = 0;  // what there is to read, whatever the boot sector claims
  uint64_t ClusterBytes() const { return BytesPerSector * SectorsPerCluster; }
};

// Reads as ReadRunStream does, a failing read tried again sector by sector so that one
// bad sector costs no more than itself.
bool ReadNtfsStream(const Layout& l, const std::vector<NtfsRun>& runs, uint64_t position, std::span<uint8_t> bytes) {
  return ReadRunStream(runs, l.ClusterBytes(), l.BytesPerSector, position, bytes, &ReadSectorsForWalk);
}

std::u16string Utf16At(std::span<const uint8_t> bytes, size_t offset, size_t units) {
  std::u16string text;
  for (size_t i = 0; i < units && Fits(bytes, offset + 2 * i, 2); ++i) text += static_cast<char16_t>(ReadLe16(bytes, offset + 2 * i));
  return text;
}

struct Attribute {
  uint32_t Type = 0;
  bool NonResident = false;
  std::span<const uint8_t> Bytes;  // the whole attribute
  bool Named() const { return ReadU8(Bytes, kNameLengthOffset) != 0; }
  std::u16string Name() const { return Utf16At(Bytes, ReadLe16(Bytes, kNameOffsetOffset), ReadU8(Bytes, kNameLengthOffset)); }
};

void Attributes(std::span<const uint8_t> record, std::vector<Attribute>& attributes);

// The attributes of a record whose fixups are applied, each within the record.
std::vector<Attribute> Attributes(std::span<const uint8_t> record) {
  std::vector<Attribute> attributes;
  Attributes(record, attributes);
  return attributes;
}

// The same into a list the caller keeps, so that a walk of every record allocates once.
void Attributes(std::span<const uint8_t> record, std::vector<Attribute>& attributes) {
  attributes.clear();
  size_t at = ReadLe16(record, kFirstAttributeOffset);
  while (Fits(record, at, 8)) {
    const uint32_t type = ReadLe32(record, at);
    if (type == kEndMarker) break;
    const uint32_t length = ReadLe32(record, at + kAttributeLengthOffset);
    if (length < 24 || !Fits(record, at, length)) break;
    Attribute attribute;
    attribute.Type = type;
    attribute.Bytes = record.subspan(at, length);
    attribute.NonResident = ReadU8(attribute.Bytes, kNonResidentOffset) != 0;
    attributes.push_back(std::move(attribute));
    at += length;
  }
}

// A resident attribute's value, or empty.
std::span<const uint8_t> ResidentValue(const Attribute& attribute) {
  const size_t offset = ReadLe16(attribute.Bytes, kValueOffsetOffset);
  const size_t length = ReadLe32(attribute.Bytes, kValueLengthOffset);
  if (attribute.NonResident || !Fits(attribute.Bytes, offset, length)) return {};
  return attribute.Bytes.subspan(offset, length);
}

// A non-resident attribute's runs, added to `runs`. A run no volume could hold ends the
// list: one that starts below cluster 0, or whose last virtual cluster lies past 2^64.
void AddRunsOf(const Attribute& attribute, std::vector<NtfsRun>& runs) {
  const size_t first = runs.size();
  DecodeNtfsRuns(attribute.Bytes, ReadLe16(attribute.Bytes, kRunsOffsetOffset), ReadLe64(attribute.Bytes, kStartVcnOffset), runs);
  for (size_t i = first; i < runs.size(); ++i) {
    if ((!runs[i].Sparse && static_cast<int64_t>(runs[i].Lcn) < 0) || runs[i].Count > UINT64_MAX - runs[i].Vcn) {
      runs.resize(i);
      break;
    }
  }
}

std::vector<NtfsRun> RunsOf(const Attribute& attribute) {
  std::vector<NtfsRun> runs;
  AddRunsOf(attribute, runs);
  return runs;
}

// What the walk keeps of each FILE record: a few numbers, the name in a shared list.
struct RecordFacts {
  uint64_t Number = 0;
  uint64_t ParentReference = ~uint64_t{0};  // $FILE_NAME's parent: record (48 bits), sequence (16); none
  uint64_t Base = 0;                        // an extension record's base record
  uint32_t NameOffset = 0;                  // into NtfsTree::Names
  uint16_t NameLength = 0;
  uint16_t Sequence = 0;
  uint8_t NameSpace = 255;
  bool InUse = false;
  bool Directory = false;
  bool Extension = false;  // its base reference is not 0 (record 0's extensions have base record 0)
  bool ResidentData = false;  // the record holds the file's unnamed $DATA, of ResidentSize bytes
  bool IndexRoot = false;     // it holds a folder's $INDEX_ROOT
  uint16_t ResidentSize = 0;
  uint64_t Parent() const { return ParentReference & kRecordMask; }
  uint16_t ParentSequence() const { return static_cast<uint16_t>(ParentReference >> 48); }
};

// What the walk keeps of every FILE record, kept on after it to name files when asked.
struct NtfsTree {
  // Only FILE records are kept, in the order of their numbers (the MFT is read in order),
  // so that an MFT that claims far more records than it holds costs nothing for the
  // empty ones; a record is found at its own number when the records before it are all
  // FILE records, as they mostly are, and otherwise by halving.
  std::vector<RecordFacts> Records;
  std::string Names;  // every record's name, one after another (UTF-8)
  std::unordered_map<uint64_t, std::string> Paths;  // directories' paths, made once each
  std::set<uint64_t> LoopsNamed;
  const RecordFacts* Find(uint64_t record) const {
    if (record < Records.size() && Records[static_cast<size_t>(record)].Number == record) return &Records[static_cast<size_t>(record)];
    const auto it = std::lower_bound(Records.begin(), Records.end(), record,
                                     [](const RecordFacts& facts, uint64_t number) { return facts.Number < number; });
    return it != Records.end() && it->Number == record ? &*it : nullptr;
  }
  bool Valid(uint64_t record) const { return Find(record) != nullptr; }
  const RecordFacts& At(uint64_t record) const { return *Find(record); }
  std::string_view NameOf(const RecordFacts& facts) const {
    return std::string_view(Names).substr(facts.NameOffset, facts.NameLength);
  }
};

// The path of a record from its $FILE_NAME parent references; directories' paths are
// kept, so each is made once. A loop, a parent out of use or reused, or a chain deeper
// than kMaxDepth makes the record an orphan.
std::string TreePath(NtfsTree& tree, uint64_t record, OwnershipIndex* problems) {
  if (record == kRootRecord) return "/";
  if (!tree.Valid(record)) return "/$OrphanFiles/record " + std::to_string(record);
  std::vector<uint64_t> chain;
  uint64_t at = record;
  std::string known;
  bool orphan = false;
  while (true) {
    if (at == kRootRecord) {
      known = "";
      break;
    }
    if (const auto it = tree.Paths.find(at); it != tree.Paths.end() && at != record) {
      known = it->second;
      break;
    }
    if (!tree.Valid(at) || chain.size() == kMaxDepth) {
      orphan = true;
      break;
    }
    if (std::find(chain.begin(), chain.end(), at) != chain.end()) {
      if (tree.LoopsNamed.insert(at).second && problems != nullptr) {
        problems->AddProblem("the parent references of MFT record " + std::to_string(record) + " loop at record " + std::to_string(at));
      }
      orphan = true;
      break;
    }
    chain.push_back(at);
    const RecordFacts& facts = tree.At(at);
    const uint64_t parent = facts.Parent();
    if (parent == kRecordMask || !tree.Valid(parent) || !tree.At(parent).Directory ||
        (facts.InUse && !tree.At(parent).InUse) ||
        (facts.InUse && tree.At(parent).Sequence != facts.ParentSequence() && parent != kRootRecord)) {
      orphan = true;
      break;
    }
    at = parent;
  }
  std::string path = orphan ? "/$OrphanFiles" : known;
  for (auto it = chain.rbegin(); it != chain.rend(); ++it) {
    const RecordFacts& facts = tree.At(*it);
    path += '/';
    if (facts.NameLength == 0) {
      path += "record " + std::to_string(*it);
    } else {
      path += tree.NameOf(facts);
    }
    if (facts.Directory && !orphan && tree.Paths.size() < 1000000) tree.Paths.emplace(*it, path);
  }
  return path;
}

// One owner of the index: a non-resident attribute of a base record (its type and name),
// whatever number of extents and records hold its runs.
struct AttributeOwner {
  uint64_t Record = 0;  // the base record
  uint64_t Size = 0;    // the real size, from the extent that starts at VCN 0
  uint32_t Type = 0;
  uint32_t NameId = 0;  // into the attribute names; 0: none
  bool HasSize = false;
  bool Deleted = false;  // from a record not in use
};

// What stays with the index after the walk, to make an owner when a question reaches it.
struct NtfsOwners {
  // The tree keeps the paths it makes: owners made and records named at the same time
  // take turns.
  std::mutex Lock;
  NtfsTree Tree;
  std::vector<AttributeOwner> Attributes;  // by lazy owner number
  std::vector<std::string> AttributeNames{std::string()};

  static std::string PartName(uint32_t type, const std::string& name) {
    switch (type) {
      case kData:
        return name.empty() ? "file" : "stream '" + name + "'";
      case kIndexAllocation:
        return "directory index " + name;
      case kBitmap:
        // A folder's index bitmap ($I30), or the MFT's own record bitmap (unnamed).
        return name.empty() ? "bitmap" : "index bitmap " + name;
      case kAttributeList:
        return "attribute list";
      default: {
        std::string text = "attribute 0x";
        static constexpr char kDigits[] = "0123456789ABCDEF";
        for (int shift = 28; shift >= 0; shift -= 4) {
          if ((type >> shift) != 0 || shift < 8) text += kDigits[(type >> shift) & 0xF];
        }
        return name.empty() ? text : text + " " + name;
      }
    }
  }

  // The folder a record lies in, when its parent is a folder; empty otherwise.
  std::string FolderOf(uint64_t record, OwnershipIndex* problems) {
    const RecordFacts* facts = Tree.Find(record);
    const RecordFacts* parent = facts != nullptr ? Tree.Find(facts->Parent()) : nullptr;
    return parent != nullptr && parent->Directory ? TreePath(Tree, parent->Number, problems) : std::string();
  }

  // The system files by their fixed record numbers: $MFT and $MFTMirr, $LogFile,
  // $Bitmap, $Boot; the others ($Volume, $UpCase, $Secure, $Extend's files) are other.
  static MetadataClass SystemFileArea(uint64_t record) {
    switch (record) {
      case 0:
      case 1:
        return MetadataClass::Records;
      case 2:
        return MetadataClass::Journal;
      case 6:
        return MetadataClass::Table;
      case 7:
        return MetadataClass::Boot;
      default:
        return MetadataClass::Other;
    }
  }

  bool IsSystem(uint64_t record, const std::string& folder) const {
    return record < kFirstUserRecord || folder.starts_with("/$Extend");
  }

  Owner Make(uint32_t number) {
    const std::lock_guard<std::mutex> hold(Lock);
    const AttributeOwner& attribute = Attributes[number];
    const std::string folder = FolderOf(attribute.Record, nullptr);
    const bool system = IsSystem(attribute.Record, folder);
    const std::string path = TreePath(Tree, attribute.Record, nullptr);
    Owner owner;
    owner.Kind = attribute.Deleted ? OwnerKind::Deleted
                 : system          ? OwnerKind::Metadata
                 : attribute.Type == kIndexAllocation || attribute.Type == kBitmap ? OwnerKind::Directory
                                                                                    : OwnerKind::File;
    // System files are named without the leading slash ("$MFT"); the root keeps its "/".
    owner.Name = system && !attribute.Deleted && path.size() > 1 ? path.substr(1) : path;
    owner.Part = PartName(attribute.Type, AttributeNames[attribute.NameId]);
    owner.MftRecord = attribute.Record;
    owner.HasMftRecord = true;
    if (owner.Kind == OwnerKind::Metadata) owner.Area = SystemFileArea(attribute.Record);
    owner.Size = attribute.Size;
    owner.HasSize = attribute.HasSize;
    return owner;
  }
};

// Which files' MFT records stand in bytes of the volume: the MFT's runs map the bytes to
// record numbers, and the walk's facts name each record's file. A record that cannot be
// read (a rescued copy holds zeros where the disk failed) but that $MFT's bitmap marks in
// use is named from its folder's index, whose entries hold each file's reference and a
// copy of its $FILE_NAME.
struct NtfsRecordFinder {
  std::shared_ptr<NtfsOwners> Owners;
  Layout L;
  std::vector<NtfsRun> MftRuns;
  uint64_t MftBytes = 0;
  std::vector<NtfsRun> BitmapRuns;  // $MFT's $BITMAP, when non-resident
  uint64_t BitmapBytes = 0;
  std::vector<uint8_t> ResidentBitmap;

  bool Find(uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out) {
    const std::lock_guard<std::mutex> hold(Owners->Lock);
    Prepare();
    const uint64_t cluster = L.ClusterBytes();
    const uint64_t records = MftBytes / L.RecordBytes;
    std::vector<NtfsRun> runs = MftRuns;
    std::sort(runs.begin(), runs.end(), [](const NtfsRun& a, const NtfsRun& b) { return a.Lcn < b.Lcn; });
    std::unordered_map<uint64_t, size_t> unnamed;  // records to name from the folders' indexes
    bool all = true;
    for (const NtfsRun& run : runs) {
      if (run.Sparse || run.Count == 0 || run.Lcn > UINT64_MAX / cluster || run.Count > (UINT64_MAX - run.Lcn * cluster) / cluster ||
          run.Vcn > UINT64_MAX / cluster) {
        continue;
      }
      const uint64_t runFrom = run.Lcn * cluster;
      const uint64_t runTo = runFrom + run.Count * cluster;
      const uint64_t x = std::max(first, runFrom);
      const uint64_t y = std::min(end, runTo);
      if (x >= y) continue;
      // The stream's bytes [x, y) map to, and the records that hold them.
      const uint64_t streamX = run.Vcn * cluster + (x - runFrom);
      const uint64_t streamY = streamX + (y - x);
      for (uint64_t n = streamX / L.RecordBytes; n < records && n * L.RecordBytes < streamY; ++n) {
        if (out.size() >= limit) {
          all = false;
          break;
        }
        const uint64_t recordStart = n * L.RecordBytes;
        const uint64_t byte = recordStart <= streamX ? x : x + (recordStart - streamX);
        std::optional<HeldRecord> record = Describe(n, byte);
        if (!record) continue;
        if (record->Kind == OwnerKind::Lost) unnamed.emplace(n, out.size());
        out.push_back(std::move(*record));
      }
      if (!all) break;
    }
    if (!unnamed.empty()) NameFromIndexes(unnamed, out);
    return all;
  }

 private:
  // What is known of each base record's attributes beyond its facts: the unnamed $DATA's
  // size when it is non-resident, whether any attribute is (a named stream, a folder's
  // $INDEX_ALLOCATION), and whether a folder has an $INDEX_ALLOCATION.
  struct AttributeFacts {
    std::optional<uint64_t> DataSize;
    bool NonResident = false;
    bool IndexAllocation = false;
  };
  std::unordered_map<uint64_t, AttributeFacts> attributes_;
  std::optional<std::vector<uint8_t>> bitmap_;

  void Prepare() {
    if (bitmap_) return;
    for (const AttributeOwner& attribute : Owners->Attributes) {
      AttributeFacts& facts = attributes_[attribute.Record];
      facts.NonResident = true;
      if (attribute.Type == kData && attribute.NameId == 0 && attribute.HasSize) facts.DataSize = attribute.Size;
      if (attribute.Type == kIndexAllocation) facts.IndexAllocation = true;
    }
    // A bit a record, as far as the MFT reaches.
    const uint64_t bytes = (MftBytes / L.RecordBytes + 7) / 8;
    if (!ResidentBitmap.empty()) {
      bitmap_ = ResidentBitmap;
    } else if (!BitmapRuns.empty()) {
      bitmap_.emplace(static_cast<size_t>(std::min(bytes, BitmapBytes)), uint8_t{0});
      ReadNtfsStream(L, BitmapRuns, 0, *bitmap_);
    } else {
      bitmap_.emplace();
    }
  }

  bool MarkedInUse(uint64_t record) const {
    return record / 8 < bitmap_->size() && ((*bitmap_)[static_cast<size_t>(record / 8)] >> (record % 8) & 1u) != 0;
  }

  std::optional<HeldRecord> Describe(uint64_t number, uint64_t byte) {
    HeldRecord record;
    record.Byte = byte;
    record.Record = "MFT record " + std::to_string(number);
    record.NumberKey = "mftRecord";
    record.Number = number;
    NtfsTree& tree = Owners->Tree;
    const RecordFacts* facts = tree.Find(number);
    if (facts == nullptr) {
      // Not a FILE record now: never used, or lost (unreadable, zeros, torn).
      if (!MarkedInUse(number)) return std::nullopt;
      record.Kind = OwnerKind::Lost;
      record.Data = RecordData::Unknown;
      return record;
    }
    const uint64_t base = facts->Base != 0 ? facts->Base : number;
    if (facts->Base != 0) record.Record += " (an extension of record " + std::to_string(base) + ")";
    // A record that names no file held nothing to lose: one out of use, or one of the
    // records the system keeps in reserve (12 to 15).
    if ((!facts->InUse || number < kFirstUserRecord) && facts->NameLength == 0 && facts->Base == 0) return std::nullopt;
    const RecordFacts* baseFacts = tree.Find(base);
    const bool directory = baseFacts != nullptr && baseFacts->Directory;
    const std::string folder = Owners->FolderOf(base, nullptr);
    const bool system = Owners->IsSystem(base, folder);
    const std::string path = TreePath(tree, base, nullptr);
    record.Kind = !facts->InUse ? OwnerKind::Deleted : system ? OwnerKind::Metadata : directory ? OwnerKind::Directory : OwnerKind::File;
    record.Name = system && facts->InUse && path.size() > 1 ? path.substr(1) : path;
    const auto known = attributes_.find(base);
    const AttributeFacts attributes = known != attributes_.end() ? known->second : AttributeFacts{};
    if (!directory) {
      if (attributes.DataSize) {
        record.Size = attributes.DataSize;
      } else if (baseFacts != nullptr && baseFacts->ResidentData) {
        record.Size = baseFacts->ResidentSize;
      }
    }
    if (facts->ResidentData) {
      record.Data = facts->ResidentSize == 0 ? RecordData::None : RecordData::InRecord;
    } else if (directory) {
      // A small folder's entries stand in its $INDEX_ROOT alone.
      record.Data = facts->IndexRoot && !attributes.IndexAllocation ? RecordData::InRecord
                    : attributes.NonResident                         ? RecordData::Elsewhere
                                                                     : RecordData::None;
    } else {
      record.Data = attributes.NonResident || facts->Base != 0 ? RecordData::Elsewhere : RecordData::None;
    }
    return record;
  }

  // Reads the index of every folder in use (its $INDEX_ROOT and the INDX blocks of its
  // $INDEX_ALLOCATION that its $BITMAP marks in use) until each unnamed record is named.
  void NameFromIndexes(std::unordered_map<uint64_t, size_t>& unnamed, std::vector<HeldRecord>& out) {
    std::unordered_set<uint64_t> longNamed;  // records named by a name other than a DOS one
    std::vector<uint8_t> recordBytes(L.RecordBytes);
    std::vector<uint8_t> block;
    NtfsTree& tree = Owners->Tree;
    for (size_t i = 0; i < tree.Records.size() && longNamed.size() < unnamed.size(); ++i) {
      const RecordFacts folder = tree.Records[i];
      if (!folder.Directory || !folder.InUse || folder.Base != 0 || folder.Number > UINT64_MAX / L.RecordBytes) continue;
      if (!ReadNtfsStream(L, MftRuns, folder.Number * L.RecordBytes, recordBytes) ||
          !std::equal(recordBytes.begin(), recordBytes.begin() + 4, "FILE") || !ntfs::ApplyFixups(recordBytes).Sound()) {
        continue;
      }
      const std::string path = TreePath(tree, folder.Number, nullptr);
      const auto entries = [&](std::span<const uint8_t> node) {
        NameEntries(node, path == "/" ? "" : path, unnamed, longNamed, out);
      };
      uint32_t blockBytes = 0;
      const Attribute* allocation = nullptr;
      std::span<const uint8_t> inUse;
      const std::vector<Attribute> attributes = Attributes(recordBytes);
      for (const Attribute& attribute : attributes) {
        if (attribute.Name() != u"$I30") continue;
        if (attribute.Type == kIndexRoot && !attribute.NonResident) {
          const std::span<const uint8_t> value = ResidentValue(attribute);
          blockBytes = ReadLe32(value, kIndexBlockSizeOffset);
          if (value.size() > kRootNodeOffset) entries(value.subspan(kRootNodeOffset));
        } else if (attribute.Type == kIndexAllocation && attribute.NonResident) {
          allocation = &attribute;
        } else if (attribute.Type == kBitmap && !attribute.NonResident) {
          inUse = ResidentValue(attribute);
        }
      }
      if (allocation == nullptr || blockBytes < 512 || blockBytes > 65536 || (blockBytes & (blockBytes - 1)) != 0) continue;
      const std::vector<NtfsRun> runs = RunsOf(*allocation);
      // As far as the runs map it, within the volume: a size that claims more reads nothing.
      uint64_t mapped = 0;
      for (const NtfsRun& run : runs) {
        if (run.Vcn <= L.VolumeSectors && run.Count <= L.VolumeSectors) mapped = std::max(mapped, (run.Vcn + run.Count) * L.ClusterBytes());
      }
      const uint64_t size = std::min({ReadLe64(allocation->Bytes, kRealSizeOffset), mapped, L.VolumeSectors * L.BytesPerSector, kMaxIndexBytes});
      block.resize(blockBytes);
      for (uint64_t k = 0; (k + 1) * blockBytes <= size && longNamed.size() < unnamed.size(); ++k) {
        // A block out of use may keep the entries of files since moved or deleted.
        if (!inUse.empty() && (k / 8 >= inUse.size() || (inUse[static_cast<size_t>(k / 8)] >> (k % 8) & 1u) == 0)) continue;
        if (!ReadNtfsStream(L, runs, k * blockBytes, block) || !std::equal(block.begin(), block.begin() + 4, "INDX") ||
            !ntfs::ApplyFixups(block).Sound()) {
          continue;
        }
        entries(std::span<const uint8_t>(block).subspan(kBlockNodeOffset));
      }
    }
  }

  // The entries of one index node (from its header on) that name unnamed records.
  static void NameEntries(std::span<const uint8_t> node, const std::string& folder, const std::unordered_map<uint64_t, size_t>& unnamed,
                          std::unordered_set<uint64_t>& longNamed, std::vector<HeldRecord>& out) {
    const uint64_t stop = std::min<uint64_t>(ReadLe32(node, kNodeEntriesEnd), node.size());
    for (uint64_t at = ReadLe32(node, kNodeEntriesOffset); at + kEntryKeyOffset <= stop;) {
      const size_t entry = static_cast<size_t>(at);
      const uint16_t length = ReadLe16(node, entry + kEntryLengthOffset);
      const uint16_t keyLength = ReadLe16(node, entry + kEntryKeyLengthOffset);
      if ((ReadLe16(node, entry + kEntryFlagsOffset) & kLastEntry) != 0 || length < kEntryKeyOffset || at + length > stop) break;
      at += length;
      const auto it = unnamed.find(ReadLe64(node, entry) & kRecordMask);
      if (it == unnamed.end() || keyLength < kFileNameOffset || !Fits(node, entry + kEntryKeyOffset, keyLength)) continue;
      const std::span<const uint8_t> key = node.subspan(entry + kEntryKeyOffset, keyLength);
      const bool dos = ReadU8(key, kFileNameSpaceOffset) == kDosNameSpace;
      if (longNamed.contains(it->first) || (dos && out[it->second].Kind != OwnerKind::Lost)) continue;
      if (!dos) longNamed.insert(it->first);
      HeldRecord& record = out[it->second];
      const bool directory = (ReadLe32(key, kFileNameFlagsOffset) & kFileNameDirectoryFlag) != 0;
      const std::string path = folder + "/" + ToUtf8(Utf16At(key, kFileNameOffset, ReadU8(key, kFileNameLengthOffset)));
      // System files are named without the leading slash, as their owners are.
      const bool system = it->first < kFirstUserRecord || folder.starts_with("/$Extend");
      record.Kind = system ? OwnerKind::Metadata : directory ? OwnerKind::Directory : OwnerKind::File;
      record.Name = system ? path.substr(1) : path;
      record.Size = directory ? std::nullopt : std::optional<uint64_t>(ReadLe64(key, kFileNameRealSizeOffset));
      record.Note = "named by its folder's index";
    }
  }
};

class NtfsWalk {
 public:
  NtfsWalk(const Layout& layout, OwnershipIndex& index, const WalkHooks& hooks) : l_(layout), index_(index), hooks_(hooks) {}

  bool Run(std::string* why) {
    if (!ReadMftRuns(why)) return false;
    if (!ReadRecords()) {
      *why = "stopped";
      return false;
    }
    CheckAttributeLists();
    NameFolders();
    index_.SetOwnerMaker([owners = owners_](uint32_t number) { return owners->Make(number); });
    finder_->Owners = owners_;
    finder_->L = l_;
    finder_->MftRuns = mftRuns_;
    finder_->MftBytes = mftBytes_;
    index_.SetRecordFinder([finder = finder_](const OwnershipIndex&, uint64_t first, uint64_t end, size_t limit,
                                              std::vector<HeldRecord>& out) { return finder->Find(first, end, limit, out); });
    AddBackupBootSector();
    return ScanBitmap();
  }

 private:
  uint64_t ClusterSector(uint64_t cluster) const { return cluster * l_.SectorsPerCluster; }

  bool ReadStream(const std::vector<NtfsRun>& runs, uint64_t position, std::span<uint8_t> bytes) {
    return ReadNtfsStream(l_, runs, position, bytes);
  }

  // $MFT's own $DATA: from record 0, and from the extension records its attribute list
  // names, read through the runs known so far.
  bool ReadMftRuns(std::string* why) {
    std::vector<uint8_t> record(l_.RecordBytes);
    if (!ReadSectors(ClusterSector(l_.MftCluster), record) || !std::equal(record.begin(), record.begin() + 4, "FILE") ||
        !ntfs::ApplyFixups(record).Sound()) {
      *why = "MFT record 0 cannot be read";
      return false;
    }
    std::vector<uint64_t> extensions;
    for (const Attribute& attribute : Attributes(record)) {
      // Which records are in use: $MFT's own $BITMAP, a bit a record.
      if (attribute.Type == kBitmap && !attribute.Named()) {
        if (attribute.NonResident) {
          finder_->BitmapRuns = RunsOf(attribute);
          finder_->BitmapBytes = ReadLe64(attribute.Bytes, kRealSizeOffset);
        } else {
          const std::span<const uint8_t> value = ResidentValue(attribute);
          finder_->ResidentBitmap.assign(value.begin(), value.end());
        }
      }
      if (attribute.Type == kData && attribute.NonResident && !attribute.Named()) {
        if (ReadLe64(attribute.Bytes, kStartVcnOffset) == 0) mftBytes_ = ReadLe64(attribute.Bytes, kRealSizeOffset);
        const std::vector<NtfsRun> runs = RunsOf(attribute);
        mftRuns_.insert(mftRuns_.end(), runs.begin(), runs.end());
      }
      if (attribute.Type == kAttributeList && !attribute.NonResident) {
        for (const auto& [type, target] : ListEntries(ResidentValue(attribute))) {
          if (type == kData && target != kMftRecord) extensions.push_back(target);
        }
      }
    }
    for (const uint64_t extension : extensions) {
      std::vector<uint8_t> more(l_.RecordBytes);
      if (extension > UINT64_MAX / l_.RecordBytes || !ReadStream(mftRuns_, extension * l_.RecordBytes, more) ||
          !std::equal(more.begin(), more.begin() + 4, "FILE") || !ntfs::ApplyFixups(more).Sound()) {
        index_.AddProblem("the MFT's attribute list names record " + std::to_string(extension) + ", which cannot be read");
        continue;
      }
      // Only an extension of record 0 holds the MFT's runs; the check of the attribute
      // lists names any other record the list names.
      const uint64_t base = ReadLe64(more, kBaseRecordOffset);
      if (base == 0 || (base & kRecordMask) != kMftRecord) continue;
      for (const Attribute& attribute : Attributes(more)) {
        if (attribute.Type != kData || !attribute.NonResident || attribute.Named()) continue;
        const std::vector<NtfsRun> runs = RunsOf(attribute);
        mftRuns_.insert(mftRuns_.end(), runs.begin(), runs.end());
      }
    }
    std::sort(mftRuns_.begin(), mftRuns_.end(), [](const NtfsRun& a, const NtfsRun& b) { return a.Vcn < b.Vcn; });
    uint64_t mapped = 0;
    for (const NtfsRun& run : mftRuns_) mapped = std::max(mapped, (run.Vcn + run.Count) * l_.ClusterBytes());
    if (mftBytes_ == 0 || mftBytes_ > mapped) mftBytes_ = mapped;
    // The MFT lies within the volume: runs that claim more describe nothing there is.
    mftBytes_ = std::min(mftBytes_, l_.VolumeSectors * l_.BytesPerSector);
    if (mftBytes_ < l_.RecordBytes) {
      *why = "the MFT's data runs cannot be read";
      return false;
    }
    return true;
  }

  // An attribute list's entries: (type, record number), bounded by the list.
  static std::vector<std::pair<uint32_t, uint64_t>> ListEntries(std::span<const uint8_t> list) {
    std::vector<std::pair<uint32_t, uint64_t>> entries;
    for (const ntfs::AttributeListEntry& entry : ntfs::AttributeListEntries(list)) entries.emplace_back(entry.Type, entry.Record());
    return entries;
  }

  bool ReadRecords() {
    const uint64_t count = mftBytes_ / l_.RecordBytes;
    const size_t expected = static_cast<size_t>(std::min<uint64_t>(count, 1u << 24));
    // About one non-resident attribute of one run a record: the lists grow once, not by copies.
    tree().Records.reserve(expected);
    owners_->Attributes.reserve(expected);
    used_.reserve(expected);
    index_.ReserveRuns(expected);
    // Many records at a time: 1 MiB, or one record when records are larger.
    const uint64_t perRead = std::max<uint64_t>(1, (uint64_t{1} << 20) / l_.RecordBytes);
    std::vector<uint8_t> block;
    for (uint64_t first = 0; first < count; first += perRead) {
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(first * 80 / count))) return false;
      const uint64_t n = std::min(perRead, count - first);
      block.resize(static_cast<size_t>(n * l_.RecordBytes));
      ReadStream(mftRuns_, first * l_.RecordBytes, block);
      for (uint64_t i = 0; i < n; ++i) {
        ReadRecord(first + i, std::span<uint8_t>(block).subspan(static_cast<size_t>(i * l_.RecordBytes), l_.RecordBytes));
      }
    }
    return true;
  }

  // One extent of a non-resident attribute: the runs one record holds of it.
  struct Extent {
    uint32_t Type;
    uint32_t NameId;
    uint64_t Size;
    bool HasSize;
    size_t FirstRun;  // into recordRuns_
    size_t RunCount;
  };

  void ReadRecord(uint64_t number, std::span<uint8_t> record) {
    if (!std::equal(record.begin(), record.begin() + 4, "FILE")) return;
    if (!ntfs::ApplyFixups(record).Sound()) {
      index_.AddProblem("MFT record " + std::to_string(number) + " is torn (its update sequence does not match)");
      return;
    }
    NtfsTree& tree = this->tree();
    RecordFacts& facts = tree.Records.emplace_back();
    const uint16_t flags = ReadLe16(record, kFlagsOffset);
    facts.Number = number;
    facts.InUse = (flags & kInUse) != 0;
    facts.Directory = (flags & kIsDirectory) != 0;
    facts.Sequence = ReadLe16(record, kSequenceOffset);
    // The whole reference tells an extension record: one of record 0 ($MFT's own, which
    // hold the runs of a fragmented MFT) has base record 0 and a sequence number.
    const uint64_t baseReference = ReadLe64(record, kBaseRecordOffset);
    facts.Base = baseReference & kRecordMask;
    facts.Extension = baseReference != 0;
    bool listed = facts.Extension;  // its attributes may stand in other records too
    extents_.clear();
    recordRuns_.clear();
    Attributes(record, attributes_);
    for (const Attribute& attribute : attributes_) {
      if (attribute.Type == kIndexRoot) facts.IndexRoot = true;
      if (attribute.Type == kData && !attribute.NonResident && !attribute.Named()) {
        facts.ResidentData = true;
        facts.ResidentSize = static_cast<uint16_t>(std::min<size_t>(ResidentValue(attribute).size(), UINT16_MAX));
      }
      if (attribute.Type == kFileName && !attribute.NonResident) {
        const std::span<const uint8_t> value = ResidentValue(attribute);
        const uint8_t space = ReadU8(value, kFileNameSpaceOffset);
        // The long name wins over the DOS one; among the rest, the first.
        if (value.size() < kFileNameOffset || (facts.NameSpace != 255 && (space == kDosNameSpace || facts.NameSpace != kDosNameSpace))) continue;
        const std::string name = ToUtf8(Utf16At(value, kFileNameOffset, ReadU8(value, kFileNameLengthOffset)));
        // A name is at most 255 UTF-16 units; the list of names stays within 32-bit offsets.
        if (tree.Names.size() + name.size() <= UINT32_MAX) {
          facts.NameOffset = static_cast<uint32_t>(tree.Names.size());
          facts.NameLength = static_cast<uint16_t>(name.size());
          tree.Names += name;
        }
        facts.NameSpace = space;
        facts.ParentReference = ReadLe64(value, 0);
        continue;
      }
      if (attribute.Type == kAttributeList) {
        listed = true;
        std::vector<uint8_t> list;
        if (attribute.NonResident) {
          const uint64_t size = std::min(ReadLe64(attribute.Bytes, kRealSizeOffset), kMaxAttributeListBytes);
          list.resize(static_cast<size_t>(size));
          ReadStream(RunsOf(attribute), 0, list);
        } else {
          const std::span<const uint8_t> value = ResidentValue(attribute);
          list.assign(value.begin(), value.end());
        }
        for (const auto& [type, target] : ListEntries(list)) {
          if (target != number) listTargets_.emplace_back(number, target);
        }
      }
      if (!attribute.NonResident) continue;
      const size_t firstRun = recordRuns_.size();
      AddRunsOf(attribute, recordRuns_);
      extents_.push_back(Extent{attribute.Type, attribute.Named() ? NameId(attribute.Name()) : 0, ReadLe64(attribute.Bytes, kRealSizeOffset),
                                ReadLe64(attribute.Bytes, kStartVcnOffset) == 0, firstRun, recordRuns_.size() - firstRun});
    }
    if (extents_.empty()) return;
    if (facts.Extension && facts.InUse) extensionsOf_.emplace_back(number, facts.Base);
    const uint64_t base = facts.Extension ? facts.Base : number;
    const bool deleted = !facts.InUse;
    const size_t recordOwners = owners_->Attributes.size();
    for (const Extent& extent : extents_) {
      const uint32_t id = OwnerOf(base, extent.Type, extent.NameId, deleted, listed, recordOwners);
      AttributeOwner& owner = owners_->Attributes[OwnershipIndex::LazyNumber(id)];
      if (extent.HasSize && extent.Type == kData) {
        owner.Size = extent.Size;
        owner.HasSize = true;
      }
      const bool bitmap = base == kBitmapRecord && extent.Type == kData && !deleted && extent.NameId == 0;
      for (size_t r = extent.FirstRun; r < extent.FirstRun + extent.RunCount; ++r) {
        const NtfsRun& run = recordRuns_[r];
        if (bitmap) bitmapRuns_.push_back(run);
        if (run.Sparse || run.Count == 0) continue;
        index_.AddRun(ClusterSector(run.Lcn), run.Count * l_.SectorsPerCluster, id, run.Vcn * l_.ClusterBytes());
        if (!deleted) used_.push_back({run.Lcn, run.Count});
      }
    }
  }

  // The owner of an attribute: one for each attribute of a record (its type and name),
  // however many extents. The extents of one record are matched among themselves; those
  // of records that have an attribute list or are extensions, through a map, since they
  // meet across records.
  uint32_t OwnerOf(uint64_t base, uint32_t type, uint32_t nameId, bool deleted, bool listed, size_t recordOwners) {
    std::vector<AttributeOwner>& attributes = owners_->Attributes;
    if (listed) {
      const auto [it, added] = listedOwners_.emplace(std::make_tuple(base, type, nameId, deleted), 0);
      if (!added) return it->second;
      it->second = NewOwner(base, type, nameId, deleted);
      return it->second;
    }
    for (size_t i = recordOwners; i < attributes.size(); ++i) {
      if (attributes[i].Type == type && attributes[i].NameId == nameId) return OwnershipIndex::LazyId(static_cast<uint32_t>(i));
    }
    return NewOwner(base, type, nameId, deleted);
  }

  uint32_t NewOwner(uint64_t base, uint32_t type, uint32_t nameId, bool deleted) {
    const uint32_t id = index_.AddLazyOwner();
    AttributeOwner owner;
    owner.Record = base;
    owner.Type = type;
    owner.NameId = nameId;
    owner.Deleted = deleted;
    owners_->Attributes.push_back(owner);
    return id;
  }

  uint32_t NameId(const std::u16string& name) {
    std::vector<std::string>& list = owners_->AttributeNames;
    const auto [it, added] = names_.emplace(ToUtf8(name), static_cast<uint32_t>(list.size()));
    if (added) list.push_back(it->first);
    return it->second;
  }

  NtfsTree& tree() { return owners_->Tree; }
  bool Valid(uint64_t record) const { return owners_->Tree.Valid(record); }
  const RecordFacts& At(uint64_t record) const { return owners_->Tree.At(record); }

  // Extension records must belong to a base record in use; the records an attribute list
  // names must be its own extensions.
  void CheckAttributeLists() {
    for (const auto& [extension, base] : extensionsOf_) {
      if (!Valid(base) || !At(base).InUse) {
        index_.AddProblem("MFT record " + std::to_string(extension) + " is an extension of record " + std::to_string(base) +
                          ", which is not in use");
      }
    }
    std::sort(listTargets_.begin(), listTargets_.end());
    listTargets_.erase(std::unique(listTargets_.begin(), listTargets_.end()), listTargets_.end());
    for (const auto& [base, target] : listTargets_) {
      const bool sound = Valid(target) && At(target).InUse && At(target).Extension && At(target).Base == base;
      if (!sound) {
        index_.AddProblem("the attribute list of MFT record " + std::to_string(base) + " names record " + std::to_string(target) +
                          ", which is not one of its extension records");
      }
    }
  }

  // The paths of the folders the owners lie in (and of folders and system files that own
  // clusters themselves) are made now, once each, so that a loop of parent references is
  // named by the walk; a file's own path is made when a question names it.
  void NameFolders() {
    NtfsOwners& owners = *owners_;
    std::set<uint64_t> orphans;  // folders whose path is no real one: not kept, so asked once
    const auto name = [&](uint64_t record) {
      if (owners.Tree.Paths.count(record) != 0 || orphans.count(record) != 0) return std::string();
      std::string path = TreePath(owners.Tree, record, &index_);
      if (owners.Tree.Paths.count(record) == 0) orphans.insert(record);
      return path;
    };
    for (const AttributeOwner& attribute : owners.Attributes) {
      const RecordFacts* facts = owners.Tree.Find(attribute.Record);
      const RecordFacts* parent = facts != nullptr ? owners.Tree.Find(facts->Parent()) : nullptr;
      std::string folder;
      if (parent != nullptr && parent->Directory) {
        const auto known = owners.Tree.Paths.find(parent->Number);
        folder = known != owners.Tree.Paths.end() ? known->second : name(parent->Number);
      }
      if (owners.IsSystem(attribute.Record, folder) || (facts != nullptr && facts->Directory)) name(attribute.Record);
    }
  }

  void AddBackupBootSector() {
    // The boot sector's copy lies in the last sector of the partition, just past the
    // sectors the boot sector counts.
    Owner owner;
    owner.Kind = OwnerKind::Metadata;
    owner.Name = "backup boot sector";
    owner.Area = MetadataClass::Boot;
    index_.AddRun(l_.TotalSectors, 1, index_.AddOwner(owner));
  }

  // Free clusters are those $Bitmap marks free; those it marks in use that no attribute
  // holds are lost.
  bool ScanBitmap() {
    const uint64_t clusters = std::min(l_.TotalSectors, l_.VolumeSectors) / l_.SectorsPerCluster;
    if (bitmapRuns_.empty()) {
      index_.AddProblem("$Bitmap has no data runs: free clusters are not known");
      return true;
    }
    AllocationScan scan(index_, std::move(used_), FreeWhere::Anywhere, 0, 0, l_.SectorsPerCluster);
    std::vector<uint8_t> bits;
    constexpr uint64_t kChunk = uint64_t{1} << 20;
    for (uint64_t byte = 0; byte * 8 < clusters; byte += kChunk) {
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(80 + byte * 8 * 20 / clusters))) return false;
      bits.assign(static_cast<size_t>(std::min(kChunk, (clusters + 7) / 8 - byte)), 0);
      ReadStream(bitmapRuns_, byte, bits);
      scan.AddBitmap(byte * 8, clusters - byte * 8, bits);
    }
    scan.Finish();
    return true;
  }

  const Layout& l_;
  OwnershipIndex& index_;
  const WalkHooks& hooks_;
  std::vector<NtfsRun> mftRuns_;
  uint64_t mftBytes_ = 0;
  std::shared_ptr<NtfsOwners> owners_ = std::make_shared<NtfsOwners>();
  std::shared_ptr<NtfsRecordFinder> finder_ = std::make_shared<NtfsRecordFinder>();
  std::vector<Attribute> attributes_;  // the record being read
  std::vector<Extent> extents_;        // its non-resident attributes
  std::vector<NtfsRun> recordRuns_;    // their runs, one after another
  std::map<std::tuple<uint64_t, uint32_t, uint32_t, bool>, uint32_t> listedOwners_;
  std::map<std::string, uint32_t> names_{{std::string(), 0}};
  std::vector<NtfsRun> bitmapRuns_;  // $Bitmap's own $DATA
  std::vector<std::pair<uint64_t, uint64_t>> extensionsOf_;  // extension, base
  std::vector<std::pair<uint64_t, uint64_t>> listTargets_;   // base, record its list names
  std::vector<ClusterRun> used_;  // the clusters of attributes in use
};

}  // namespace

std::vector<NtfsAttributeView> NtfsRecordAttributes(std::span<const uint8_t> record) {
  std::vector<NtfsAttributeView> views;
  for (const Attribute& attribute : Attributes(record)) {
    NtfsAttributeView view;
    view.Type = attribute.Type;
    view.NonResident = attribute.NonResident;
    view.Bytes = attribute.Bytes;
    view.Name = attribute.Named() ? ToUtf8(attribute.Name()) : std::string();
    if (attribute.NonResident) {
      view.Runs = RunsOf(attribute);
      view.RealSize = ReadLe64(attribute.Bytes, kRealSizeOffset);
      view.StartVcn = ReadLe64(attribute.Bytes, kStartVcnOffset);
    } else {
      view.Value = ResidentValue(attribute);
      view.RealSize = view.Value.size();
    }
    views.push_back(std::move(view));
  }
  return views;
}

bool WalkNtfsOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) {
  const std::optional<std::vector<uint8_t>> read = ReadBootSectorForWalk(why);
  if (!read) return false;
  const std::vector<uint8_t>& boot = *read;
  const uint32_t sectorBytes = static_cast<uint32_t>(boot.size());
  Layout l;
  l.BytesPerSector = ReadLe16(boot, kBytesPerSectorOffset);
  const uint8_t perCluster = ReadU8(boot, kSectorsPerClusterOffset);
  // Above 0x80 the field is a negative power of two: 0xF4 (-12) is 4096 sectors.
  l.SectorsPerCluster = perCluster <= 0x80 ? perCluster : (256u - perCluster <= 20 ? uint64_t{1} << (256u - perCluster) : 0);
  l.TotalSectors = ReadLe64(boot, kTotalSectorsOffset);
  l.MftCluster = ReadLe64(boot, kMftClusterOffset);
  const int8_t recordField = static_cast<int8_t>(ReadU8(boot, kRecordSizeOffset));
  const uint64_t recordBytes = recordField < 0 ? (-recordField <= 16 ? uint64_t{1} << -recordField : 0)
                                               : static_cast<uint64_t>(recordField) * l.SectorsPerCluster * l.BytesPerSector;
  if (l.BytesPerSector != sectorBytes || l.SectorsPerCluster == 0 || recordBytes < 512 || recordBytes > 65536 ||
      l.MftCluster > l.TotalSectors / l.SectorsPerCluster) {
    *why = "the boot sector is not an NTFS volume's";
    return false;
  }
  l.RecordBytes = static_cast<uint32_t>(recordBytes);
  l.VolumeSectors = Geometry().TotalSectors;
  index.Begin(Geometry().TotalSectors, sectorBytes);
  NtfsWalk walk(l, index, hooks);
  return walk.Run(why);
}

}  // namespace korvalane
