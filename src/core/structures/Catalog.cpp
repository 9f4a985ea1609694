#include "core/structures/Catalog.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "core/Bytes.h"
#include "core/Platform.h"
#include "core/disk/PartitionTable.h"
#include "core/fs/exfat/Structures.h"
#include "core/fs/ext/Structures.h"
#include "core/fs/fat/Structures.h"
#include "core/fs/ntfs/Structures.h"
#include "core/fs/FileSystem.h"
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

std::vector<uint8_t> ReadStructureSector(uint64_t sector) {
  std::vector<uint8_t> buffer(SectorSize());
  ReadSectors(sector, buffer);
  return buffer;
}

bool BeginsWith(std::span<const uint8_t> bytes, const char* text) {
  const size_t length = std::strlen(text);
  return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
}

uint64_t DriveSectorCount() {
  const int64_t bytes = CurrentPlatform().VolumeTotalBytes(Geometry().CurrentDrive);
  return bytes > 0 ? static_cast<uint64_t>(bytes) / SectorSize() : 0;
}

std::span<const StructureKind> StructureKinds() { return kKinds; }

const StructureKind* FindStructureKind(std::string_view id) {
  for (const StructureKind& kind : kKinds) {
    if (id == kind.Id) return &kind;
  }
  return nullptr;
}

std::optional<StructureChoice> KnownStructureAt(uint64_t sector) {
  std::optional<StructureChoice> choice;
  if (const FileSystem* fileSystem = CurrentFileSystem()) {
    choice = fileSystem->StructureAt(sector);
  } else {
    choice = OnDisk(sector, DriveTable());
  }
  if (choice) return choice;
  const std::vector<uint8_t> bytes = ReadOne(sector);
  if (StartsWith(bytes, "FILE")) return StructureChoice{"mft-record"};
  if (StartsWith(bytes, "EFI PART")) return StructureChoice{"gpt-header"};
  return std::nullopt;
}

std::optional<Structure> ReadStructureAt(uint64_t sector, const StructureChoice& asked) {
  const StructureKind* kind = FindStructureKind(asked.Id);
  if (kind == nullptr) return std::nullopt;
  StructureChoice choice = asked;
  // A sector named by --as takes what the volume knows of it: ext numbers its inodes and
  // groups by where they lie, and its superblock may begin inside the sector.
  if (const FileSystem* fileSystem = CurrentFileSystem()) {
    if (const std::optional<StructureChoice> known = fileSystem->StructureAt(sector); known && known->Id == choice.Id) {
      choice = *known;
    }
  }
  const uint32_t size = SectorSize();
  // A structure begins inside its sector only where the sector is larger than the
  // structure's place in the volume says (ext's superblock at byte 1024).
  const size_t offset = choice.Offset < size ? choice.Offset : 0;
  const uint64_t length = kind->Span != nullptr ? kind->Span(choice.Id, size, offset) : size;
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!ReadSectors(sector, bytes)) return std::nullopt;
  StructureInput input;
  input.Bytes = std::span<const uint8_t>(bytes).subspan(offset);
  input.Sector = sector;
  input.SectorSize = size;
  input.FirstEntryNumber = choice.FirstEntryNumber;
  input.EntrySize = choice.EntrySize;
  input.Read = [](uint64_t at, std::span<uint8_t> buffer) { return ReadSectors(at, buffer); };
  Structure structure = kind->Decode(input);
  structure.SectorOffset = offset;
  if (offset > 0) structure.Notes.push_back("Begins at byte " + std::to_string(offset) + " of the sector; the offsets count from there");
  return structure;
}

std::vector<FieldDifference> DifferingFields(const Structure& primary, const Structure& backup) {
  std::map<std::tuple<std::string, size_t, std::string>, const Field*> backups;
  for (const Field& field : backup.Fields) backups.emplace(std::tuple{field.Group, field.Offset, field.Name}, &field);
  std::vector<FieldDifference> differences;
  for (const Field& field : primary.Fields) {
    const auto found = backups.find(std::tuple{field.Group, field.Offset, field.Name});
    const std::string other = found == backups.end() ? "(not there)" : found->second->Value;
    if (other != field.Value) {
      differences.push_back({field.Offset, field.Size, field.Group, field.Name, field.Value, other});
    }
    if (found != backups.end()) backups.erase(found);
  }
  for (const Field& field : backup.Fields) {
    if (backups.contains(std::tuple{field.Group, field.Offset, field.Name})) {
      differences.push_back({field.Offset, field.Size, field.Group, field.Name, "(not there)", field.Value});
    }
  }
  return differences;
}

std::vector<BackupComparison> CompareBackups() {
  std::vector<StructureBackup> pairs;
  if (const FileSystem* fileSystem = CurrentFileSystem()) {
    pairs = fileSystem->StructureBackups();
  } else if (const uint64_t sectors = DriveSectors(); sectors >= 2 && DriveTable().Scheme == PartitionScheme::Gpt) {
    // The primary header names its backup; a damaged primary leaves the disk's last sector.
    const std::vector<uint8_t> primary = ReadOne(1);
    uint64_t backup = sectors - 1;
    if (StartsWith(primary, "EFI PART") && ReadLe64(primary, 32) > 1 && ReadLe64(primary, 32) < sectors) {
      backup = ReadLe64(primary, 32);
    }
    pairs.push_back({"gpt-header", 1, backup});
  }

  std::vector<BackupComparison> comparisons;
  for (const StructureBackup& pair : pairs) {
    BackupComparison comparison;
    comparison.Id = pair.Id;
    comparison.Title = FindStructureKind(pair.Id)->Title;
    comparison.PrimarySector = pair.Primary;
    comparison.BackupSector = pair.Backup;
    const std::optional<Structure> primary = ReadStructureAt(pair.Primary, StructureChoice{pair.Id});
    const std::optional<Structure> backup = ReadStructureAt(pair.Backup, StructureChoice{pair.Id});
    if (!primary || !backup) {
      comparison.Error = "sector " + std::to_string(primary ? pair.Backup : pair.Primary) + " cannot be read";
    } else {
      comparison.Differences = DifferingFields(*primary, *backup);
      std::erase_if(comparison.Differences, [&](const FieldDifference& difference) {
        return std::ranges::find(pair.Ignored, difference.Offset) != pair.Ignored.end();
      });
    }
    comparisons.push_back(std::move(comparison));
  }
  return comparisons;
}

}  // namespace korvalane
