#include "core/structures/Catalog.h"

#include "core/hash/Digest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <tuple>

#include "core/Bytes.h"
#include "core/Platform.h"
#include "core/disk/PartitionTable.h"
#include "core/disk/lvm/LvmStructures.h"
#include "core/disk/md/MdStructures.h"
#include "core/fs/FileSystem.h"
#include "core/fs/bitlocker/BitlockerStructures.h"
#include "core/fs/exfat/Structures.h"
#include "core/fs/ext/ExtStructures.h"
#include "core/fs/fat/Structures.h"
#include "core/fs/luks/LuksStructures.h"
#include "core/fs/ntfs/Structures.h"
#include "core/fs/xfs/XfsStructures.h"
#include "core/hash/Digest.h"
#include "core/structures/DiskStructures.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr StructureKind kKinds[] = {
    {"mbr", "Master boot record", DecodeMbr},
    {"ebr", "Extended boot record", DecodeEbr},
    {"gpt-header", "GPT header", DecodeGptHeader},
    {"gpt-entries", "GPT partition entries", DecodeGptEntries},
    {"fat-boot", "FAT12/16 boot sector", DecodeFatBootSector},
    {"fat32-boot", "FAT32 boot sector", DecodeFat32BootSector},
    {"fsinfo", "FAT32 FSInfo sector", DecodeFsInfo},
    {"fat-directory", "FAT directory entries", DecodeFatDirectory},
    {"exfat-boot", "exFAT boot sector", DecodeExfatBootSector},
    {"exfat-checksum", "exFAT boot checksum sector", DecodeExfatChecksumSector},
    {"exfat-directory", "exFAT directory entries", DecodeExfatDirectory},
    {"ntfs-boot", "NTFS boot sector", DecodeNtfsBootSector},
    {"mft-record", "MFT FILE record", DecodeMftRecord, MftRecordSpan},
    {"ext-superblock", "ext superblock", DecodeExtSuperblock, ExtStructureSpan},
    {"ext-group-descriptors", "ext group descriptors", DecodeExtGroupDescriptors, ExtStructureSpan},
    {"ext-inode", "ext inodes", DecodeExtInode, ExtStructureSpan},
    {"ext-directory", "ext directory block", DecodeExtDirectory, ExtStructureSpan},
    {"xfs-superblock", "XFS superblock", DecodeXfsSuperblock},
    {"xfs-agf", "XFS free space header (AGF)", DecodeXfsAgf},
    {"xfs-agi", "XFS inode header (AGI)", DecodeXfsAgi},
    {"xfs-agfl", "XFS free list (AGFL)", DecodeXfsAgfl},
    {"xfs-inode", "XFS inodes", DecodeXfsInode, XfsStructureSpan},
    {"xfs-btree", "XFS btree block header", DecodeXfsBtreeBlock, XfsStructureSpan},
    {"xfs-directory-leaf", "XFS directory leaf block header", DecodeXfsDirectoryLeaf, XfsStructureSpan},
    {"xfs-directory-free", "XFS directory free index block header", DecodeXfsDirectoryFree, XfsStructureSpan},
    {"xfs-da-node", "XFS directory or attribute node block header", DecodeXfsDaNode, XfsStructureSpan},
    {"xfs-attribute-leaf", "XFS attribute leaf block header", DecodeXfsAttributeLeaf, XfsStructureSpan},
    {"luks1-header", "LUKS1 header", DecodeLuks1Header, LuksStructureSpan},
    {"luks2-header", "LUKS2 header", DecodeLuks2Header, LuksStructureSpan},
    {"bitlocker-header", "BitLocker volume header", DecodeBitlockerHeader},
    {"fve-metadata", "BitLocker FVE metadata block", DecodeFveMetadataBlock, BitlockerStructureSpan},
    {"lvm-label", "LVM2 label", DecodeLvmLabelStructure},
    {"lvm-pv-header", "LVM2 PV header", DecodeLvmPvHeaderStructure},
    {"lvm-metadata-header", "LVM2 metadata area header", DecodeLvmMetadataHeaderStructure},
    {"lvm-metadata", "LVM2 metadata text", DecodeLvmMetadataTextStructure, LvmStructureSpan},
    {"md-superblock", "md RAID superblock", DecodeMdSuperblock, MdSuperblockSpan},
};

// The chain of EBRs is followed at most this far (as the partition table reader does).
constexpr int kLongestEbrChain = 1024;

uint32_t SectorSize() {
  const int32_t size = Geometry().BytesPerSector;
  return size > 0 ? static_cast<uint32_t>(size) : 512;
}

uint64_t DriveSectors() { return DriveSectorCount(); }
std::vector<uint8_t> ReadOne(uint64_t sector) { return ReadStructureSector(sector); }
bool StartsWith(std::span<const uint8_t> bytes, const char* text) { return BeginsWith(bytes, text); }

PartitionTable DriveTable() {
  return ReadPartitionTable([](uint64_t at, std::span<uint8_t> buffer) { return ReadSectors(at, buffer); },
                            SectorSize(), DriveSectors());
}

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

std::optional<StructureChoice> OnDisk(uint64_t sector, const PartitionTable& table) {
  const uint32_t size = SectorSize();
  const std::vector<uint8_t> mbr = ReadOne(0);
  if (sector == 0) return StructureChoice{"mbr"};
  if (table.Scheme == PartitionScheme::Mbr) {
    for (size_t i = 0; i < 4; ++i) {
      const size_t entry = 446 + 16 * i;
      if (!IsExtendedType(ReadU8(mbr, entry + 4))) continue;
      const uint64_t extended = ReadLe32(mbr, entry + 8);
      uint64_t ebr = extended;
      for (int step = 0; step < kLongestEbrChain && ebr != 0; ++step) {
        if (ebr == sector) return StructureChoice{"ebr"};
        const std::vector<uint8_t> record = ReadOne(ebr);
        if (ReadLe16(record, 510) != 0xAA55 || !IsExtendedType(ReadU8(record, 446 + 16 + 4))) break;
        const uint64_t next = extended + ReadLe32(record, 446 + 16 + 8);
        if (next == ebr) break;
        ebr = next;
      }
    }
    return std::nullopt;
  }
  if (table.Scheme != PartitionScheme::Gpt) return std::nullopt;
  const uint64_t last = DriveSectors() > 0 ? DriveSectors() - 1 : 0;
  if (sector == 1 || sector == last) return StructureChoice{"gpt-header"};
  for (const uint64_t at : {uint64_t{1}, last}) {
    const std::vector<uint8_t> header = ReadOne(at);
    if (!StartsWith(header, "EFI PART")) continue;
    const uint64_t lba = ReadLe64(header, 72);
    const uint32_t entrySize = ReadLe32(header, 84);
    const uint64_t arrayBytes = uint64_t{ReadLe32(header, 80)} * entrySize;
    if (entrySize < 128 || arrayBytes == 0 || arrayBytes > kLargestGptEntryArray) continue;
    const uint64_t sectors = (arrayBytes + size - 1) / size;
    if (sector >= lba && sector - lba < sectors) {
      StructureChoice choice{"gpt-entries"};
      choice.EntrySize = entrySize;
      choice.FirstEntryNumber = static_cast<uint32_t>((sector - lba) * size / entrySize + 1);
      return choice;
    }
  }
  return std::nullopt;
}

}  // namespace

std::span<const StructureKind> StructureKinds() { return kKinds; }

const StructureKind* FindStructureKind(std::string_view id) {
  for (const StructureKind& kind : kKinds) {
    if (id == kind.Id) return &kind;
  }
  return nullptr;
}

std::optional<StructureChoice> KnownStructureAt(uint64_t sector) {
  std::optional<StructureChoice> choice;
  if (const OpenedFileSystem* fileSystem = CurrentFileSystem()) {
    choice = fileSystem->StructureAt(sector);
  } else {
    choice = OnDisk(sector, DriveTable());
    // A disk or partition that is an LVM2 PV: its label, metadata headers and text.
    if (!choice) choice = LvmStructureAt(sector);
  }
  if (choice) return choice;
  const std::vector<uint8_t> bytes = ReadOne(sector);
  if (StartsWith(bytes, "FILE")) return StructureChoice{"mft-record"};
  if (StartsWith(bytes, "EFI PART")) return StructureChoice{"gpt-header"};
  // An md member is no file system: its superblock is known by its magic number, which
  // begins the sector at each of the places the versions keep it.
  if (BeginsWithMdMagic(bytes)) return StructureChoice{"md-superblock"};
  return std::nullopt;
}

namespace {

// A structure as read for a comparison: the sectors read, where in them the structure
// begins, and its decoding.
struct StructureCopy {
  std::vector<uint8_t> Sectors;
  size_t Offset = 0;
  size_t Length = 0;  // of the structure's bytes from Offset on
  Structure Decoded;

  std::span<const uint8_t> Bytes() const { return std::span<const uint8_t>(Sectors).subspan(Offset, Length); }
};

// Reads `length` bytes of the structure from its first byte (0: as many as its kind
// spans) and decodes them.
std::optional<StructureCopy> ReadCopyAt(uint64_t sector, const StructureChoice& asked, uint64_t length) {
  const StructureKind* kind = FindStructureKind(asked.Id);
  if (kind == nullptr) return std::nullopt;
  StructureChoice choice = asked;
  // A sector named by --as takes what the volume knows of it: ext numbers its inodes and
  // groups by where they lie, and its superblock may begin inside the sector.
  if (const OpenedFileSystem* fileSystem = CurrentFileSystem()) {
    if (const std::optional<StructureChoice> known = fileSystem->StructureAt(sector); known && known->Id == choice.Id) {
      choice = *known;
    }
  }
  const uint32_t size = SectorSize();
  // A structure begins inside its sector only where the sector is larger than the
  // structure's place in the volume says (ext's superblock at byte 1024).
  const size_t offset = choice.Offset < size ? choice.Offset : 0;
  uint64_t read = kind->Span != nullptr ? kind->Span(choice.Id, size, offset) : size;
  if (length > 0) read = std::max(read, (offset + length + size - 1) / size * size);
  StructureCopy copy;
  copy.Sectors.resize(static_cast<size_t>(read));
  if (!ReadSectors(sector, copy.Sectors)) return std::nullopt;
  copy.Offset = offset;
  copy.Length = static_cast<size_t>(length > 0 ? std::min<uint64_t>(length, read - offset) : read - offset);
  StructureInput input;
  input.Bytes = copy.Bytes();
  input.Sector = sector;
  input.SectorSize = size;
  input.FirstEntryNumber = choice.FirstEntryNumber;
  input.EntrySize = choice.EntrySize;
  input.Read = [](uint64_t at, std::span<uint8_t> buffer) { return ReadSectors(at, buffer); };
  copy.Decoded = kind->Decode(input);
  copy.Decoded.SectorOffset = offset;
  if (offset > 0) {
    copy.Decoded.Notes.push_back("Begins at byte " + std::to_string(offset) + " of the sector; the offsets count from there");
  }
  return copy;
}

constexpr char kOutsideTheFields[] = "Bytes outside the fields";

// How many bytes of a differing run are shown in hex.
constexpr size_t kRunBytesShown = 8;

std::string HexBytes(std::span<const uint8_t> bytes, size_t offset, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && i < kRunBytesShown; ++i) {
    char hex[4];
    std::snprintf(hex, sizeof hex, "%02X", ReadU8(bytes, offset + i));
    if (!text.empty()) text += ' ';
    text += hex;
  }
  if (size > kRunBytesShown) text += " ...";
  return text;
}

// Every byte of a run, lowercase and unspaced; a byte the copy does not hold ends it.
std::string RunBytes(std::span<const uint8_t> bytes, size_t offset, size_t size) {
  if (offset >= bytes.size()) return {};
  return korvalane::HexBytes(bytes.subspan(offset, std::min(size, bytes.size() - offset)));
}

// The runs of bytes from `offset` on for `size` bytes in which the copies differ; a byte
// one copy does not hold differs.
void FindRuns(std::span<const uint8_t> primary, std::span<const uint8_t> backup, size_t offset, size_t size,
              const std::vector<bool>* covered, FieldDifference& difference) {
  const auto differs = [&](size_t at) {
    if (covered != nullptr && at < covered->size() && (*covered)[at]) return false;
    const bool inPrimary = at < primary.size();
    const bool inBackup = at < backup.size();
    return inPrimary != inBackup || (inPrimary && primary[at] != backup[at]);
  };
  for (size_t at = offset; at < offset + size;) {
    if (!differs(at)) {
      ++at;
      continue;
    }
    size_t end = at + 1;
    while (end < offset + size && differs(end)) ++end;
    if (difference.Runs.size() < kRunsKept) {
      difference.Runs.push_back({at, end - at, HexBytes(primary, at, end - at), HexBytes(backup, at, end - at),
                                 RunBytes(primary, at, end - at), RunBytes(backup, at, end - at)});
    }
    ++difference.RunCount;
    difference.DifferingBytes += end - at;
    at = end;
  }
}

std::string ValueOf(const Field* field, std::span<const uint8_t> bytes, size_t offset, size_t size) {
  if (field != nullptr) return field->Value;
  if (!korvalane::Fits(bytes, offset, size)) return "(not there)";
  return "(not decoded) " + ShowValue(bytes, offset, size, Show::Bytes);
}

}  // namespace

std::optional<Structure> ReadStructureAt(uint64_t sector, const StructureChoice& asked) {
  std::optional<StructureCopy> copy = ReadCopyAt(sector, asked, 0);
  if (!copy) return std::nullopt;
  return std::move(copy->Decoded);
}

std::vector<FieldDifference> DifferingFields(const Structure& primary, std::span<const uint8_t> primaryBytes,
                                             const Structure& backup, std::span<const uint8_t> backupBytes) {
  using Key = std::tuple<std::string, size_t, std::string>;
  std::map<Key, const Field*> backups;
  for (const Field& field : backup.Fields) backups.emplace(Key{field.Group, field.Offset, field.Name}, &field);
  std::vector<FieldDifference> differences;
  const auto compare = [&](const Field* inPrimary, const Field* inBackup) {
    const Field& field = inPrimary != nullptr ? *inPrimary : *inBackup;
    FieldDifference difference;
    difference.Offset = field.Offset;
    difference.Size = field.Size;
    difference.Group = field.Group;
    difference.Name = field.Name;
    difference.Primary = ValueOf(inPrimary, primaryBytes, field.Offset, field.Size);
    difference.Backup = ValueOf(inBackup, backupBytes, field.Offset, field.Size);
    if (inPrimary != nullptr) difference.PrimaryText = ScriptValue(*inPrimary);
    if (inBackup != nullptr) difference.BackupText = ScriptValue(*inBackup);
    FindRuns(primaryBytes, backupBytes, field.Offset, field.Size, nullptr, difference);
    if (difference.DifferingBytes > 0) differences.push_back(std::move(difference));
  };
  for (const Field& field : primary.Fields) {
    const auto found = backups.find(Key{field.Group, field.Offset, field.Name});
    compare(&field, found == backups.end() ? nullptr : found->second);
    if (found != backups.end()) backups.erase(found);
  }
  for (const Field& field : backup.Fields) {
    if (backups.contains(Key{field.Group, field.Offset, field.Name})) compare(nullptr, &field);
  }

  // Bytes that no field of either decoding shows (a GPT header's reserved rest of its
  // sector) must agree as well.
  const size_t length = std::min(primaryBytes.size(), backupBytes.size());
  std::vector<bool> covered(length, false);
  for (const Structure* s : {&primary, &backup}) {
    for (const Field& field : s->Fields) {
      for (size_t at = field.Offset; at < length && at - field.Offset < field.Size; ++at) covered[at] = true;
    }
  }
  FieldDifference outside;
  outside.Name = kOutsideTheFields;
  FindRuns(primaryBytes, backupBytes, 0, length, &covered, outside);
  if (outside.DifferingBytes > 0) {
    outside.Offset = outside.Runs.front().Offset;
    outside.Size = outside.Runs.back().Offset + outside.Runs.back().Size - outside.Offset;
    outside.Primary = ShowValue(primaryBytes, outside.Offset, outside.Size, Show::Bytes);
    outside.Backup = ShowValue(backupBytes, outside.Offset, outside.Size, Show::Bytes);
    differences.push_back(std::move(outside));
  }
  std::ranges::stable_sort(differences, {}, &FieldDifference::Offset);
  return differences;
}

bool BackupComparison::Agrees() const {
  return Error.empty() && FailedRelations.empty() &&
         std::ranges::all_of(Differences, [](const FieldDifference& d) { return d.AsDesigned(); });
}

namespace {

// A GPT header's own account of its entry array.
struct GptHeaderFacts {
  bool Sound = false;
  uint64_t Current = 0;
  uint64_t Backup = 0;
  uint64_t FirstUsable = 0;
  uint64_t LastUsable = 0;
  uint64_t EntriesLba = 0;
  uint64_t ArrayBytes = 0;
  uint32_t EntrySize = 0;
};

GptHeaderFacts ReadGptHeaderFacts(std::span<const uint8_t> header) {
  GptHeaderFacts facts;
  facts.Current = ReadLe64(header, 24);
  facts.Backup = ReadLe64(header, 32);
  facts.FirstUsable = ReadLe64(header, 40);
  facts.LastUsable = ReadLe64(header, 48);
  facts.EntriesLba = ReadLe64(header, 72);
  facts.EntrySize = ReadLe32(header, 84);
  facts.ArrayBytes = uint64_t{ReadLe32(header, 80)} * facts.EntrySize;
  facts.Sound = StartsWith(header, "EFI PART") && facts.EntrySize >= 128 && facts.ArrayBytes > 0 &&
                facts.ArrayBytes <= kLargestGptEntryArray;
  return facts;
}

uint64_t ArraySectors(const GptHeaderFacts& facts) { return (facts.ArrayBytes + SectorSize() - 1) / SectorSize(); }

// The four fields by which a sound backup GPT header differs from its primary: its own
// CRC32, its place and its partner's swapped, and its entry array after the usable
// sectors where the primary's lies before them.
std::vector<ExpectedDifference> GptHeaderExpected() {
  const auto facts = [](std::span<const uint8_t> bytes) { return ReadGptHeaderFacts(bytes); };
  return {
      OwnCheckHolds(16, "Header CRC32"),
      {24, "the backup's Current LBA is the primary's Backup LBA",
       [=](const BackupCopies& c) { return facts(c.BackupBytes).Current == facts(c.PrimaryBytes).Backup; }},
      {32, "the backup's Backup LBA is the primary's Current LBA",
       [=](const BackupCopies& c) { return facts(c.BackupBytes).Backup == facts(c.PrimaryBytes).Current; }},
      {72, "the primary's entry array lies between its header and its first usable LBA, the backup's between its "
           "last usable LBA and its header",
       [=](const BackupCopies& c) {
         const GptHeaderFacts p = facts(c.PrimaryBytes);
         const GptHeaderFacts b = facts(c.BackupBytes);
         const uint64_t pSectors = ArraySectors(p);
         const uint64_t bSectors = ArraySectors(b);
         return p.EntriesLba > p.Current && pSectors <= p.FirstUsable && p.EntriesLba <= p.FirstUsable - pSectors &&
                b.EntriesLba > b.LastUsable && bSectors <= b.Current && b.EntriesLba <= b.Current - bSectors;
       }},
  };
}

// A disk's GPT: the primary header with its backup (the one it names, or the disk's last
// sector when it is damaged), and the two entry arrays, each where its header says (the
// primary's at sector 2 and the backup's right before its header where that header is
// damaged).
std::vector<StructureBackup> GptBackups() {
  const uint64_t sectors = DriveSectors();
  if (sectors < 2 || DriveTable().Scheme != PartitionScheme::Gpt) return {};
  const std::vector<uint8_t> primaryHeader = ReadOne(1);
  const GptHeaderFacts primary = ReadGptHeaderFacts(primaryHeader);
  uint64_t backupAt = sectors - 1;
  if (StartsWith(primaryHeader, "EFI PART") && primary.Backup > 1 && primary.Backup < sectors) backupAt = primary.Backup;
  std::vector<StructureBackup> pairs;
  pairs.push_back({"gpt-header", 1, backupAt, GptHeaderExpected()});

  const GptHeaderFacts backup = ReadGptHeaderFacts(ReadOne(backupAt));
  const GptHeaderFacts& sized = primary.Sound ? primary : backup;
  if (!sized.Sound) return pairs;
  const uint64_t arraySectors = ArraySectors(sized);
  const uint64_t primaryArray = primary.Sound ? primary.EntriesLba : 2;
  const uint64_t backupArray = backup.Sound ? backup.EntriesLba : backupAt - std::min(backupAt, arraySectors);
  const auto within = [&](uint64_t lba) { return lba > 0 && lba < sectors && arraySectors <= sectors - lba; };
  if (within(primaryArray) && within(backupArray) && primaryArray != backupArray) {
    StructureBackup arrays{"gpt-entries", primaryArray, backupArray};
    arrays.Length = sized.ArrayBytes;
    arrays.EntrySize = sized.EntrySize;
    pairs.push_back(std::move(arrays));
  }
  return pairs;
}

}  // namespace

std::vector<BackupComparison> CompareBackups() {
  std::vector<StructureBackup> pairs;
  if (const OpenedFileSystem* fileSystem = CurrentFileSystem()) {
    pairs = fileSystem->StructureBackups();
  } else {
    pairs = GptBackups();
  }

  std::vector<BackupComparison> comparisons;
  for (const StructureBackup& pair : pairs) {
    BackupComparison comparison;
    comparison.Id = pair.Id;
    comparison.Title = FindStructureKind(pair.Id)->Title;
    comparison.PrimarySector = pair.Primary;
    comparison.BackupSector = pair.Backup;
    // A structure its kind reads from one sector, compared over many (a GPT entry array).
    if (FindStructureKind(pair.Id)->Span == nullptr && pair.Length > SectorSize()) comparison.Sectors = (pair.Length + SectorSize() - 1) / SectorSize();
    StructureChoice choice{pair.Id};
    choice.EntrySize = pair.EntrySize;
    const std::optional<StructureCopy> primary = ReadCopyAt(pair.Primary, choice, pair.Length);
    const std::optional<StructureCopy> backup = primary ? ReadCopyAt(pair.Backup, choice, pair.Length) : std::nullopt;
    if (!primary || !backup) {
      comparison.Error = "sector " + std::to_string(primary ? pair.Backup : pair.Primary) + " cannot be read";
      comparisons.push_back(std::move(comparison));
      continue;
    }
    comparison.Differences = DifferingFields(primary->Decoded, primary->Bytes(), backup->Decoded, backup->Bytes());
    const BackupCopies copies{primary->Decoded, backup->Decoded, primary->Bytes(), backup->Bytes(), pair.Primary,
                              pair.Backup};
    for (const ExpectedDifference& expected : pair.Expected) {
      const bool holds = !expected.Holds || expected.Holds(copies);
      const auto field = std::ranges::find_if(comparison.Differences, [&](const FieldDifference& d) {
        return d.Group.empty() && d.Offset == expected.Offset && d.Name != kOutsideTheFields;
      });
      if (field == comparison.Differences.end()) {
        if (!holds) comparison.FailedRelations.push_back(expected.Relation);
        continue;
      }
      field->Expected = true;
      field->Relation = expected.Relation;
      field->RelationHolds = holds;
    }
    comparisons.push_back(std::move(comparison));
  }
  return comparisons;
}

}  // namespace korvalane
