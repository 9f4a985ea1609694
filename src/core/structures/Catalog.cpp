#include "core/structures/Catalog.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <tuple>

#include "core/Bytes.h"
#include "core/Platform.h"
#include "core/disk/PartitionTable.h"
#include "core/fs/exfat/Structures.h"
#include "core/fs/fat/Structures.h"
#include "core/fs/ntfs/Structures.h"
#include "core/search/Locate.h"
#include "core/structures/DiskStructures.h"
#include "core/volume/BootSector.h"
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
    {"mft-record", "MFT FILE record", DecodeMftRecord},
};

// The chain of EBRs is followed at most this far (as the partition table reader does).
constexpr int kLongestEbrChain = 1024;
// FILE records are at most 64 KiB.
constexpr uint64_t kLargestRecord = 65536;

uint32_t SectorSize() {
  const int32_t size = Geometry().BytesPerSector;
  return size > 0 ? static_cast<uint32_t>(size) : 512;
}

// The drive's sectors, as its size in bytes gives them.
uint64_t DriveSectors() {
  const int64_t bytes = CurrentPlatform().VolumeTotalBytes(Geometry().CurrentDrive);
  return bytes > 0 ? static_cast<uint64_t>(bytes) / SectorSize() : 0;
}

std::vector<uint8_t> ReadOne(uint64_t sector, bool* ok = nullptr) {
  std::vector<uint8_t> buffer(SectorSize());
  const bool read = ReadSectors(sector, buffer);
  if (ok != nullptr) *ok = read;
  return buffer;
}

bool StartsWith(std::span<const uint8_t> bytes, const char* text) {
  const size_t length = std::strlen(text);
  return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
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

// A FAT directory cluster begins with the "." entry of a directory.
bool StartsFatDirectory(std::span<const uint8_t> bytes) {
  return StartsWith(bytes, ".          ") && (ReadU8(bytes, 11) & 0x10) != 0;
}

std::optional<StructureChoice> OnFat(uint64_t sector, bool fat32) {
  const VolumeGeometry& g = Geometry();
  if (sector == 0) return StructureChoice{fat32 ? "fat32-boot" : "fat-boot"};
  const std::vector<uint8_t> boot = ReadOne(0);
  if (fat32) {
    const uint16_t fsinfo = ReadLe16(boot, 48);
    const uint16_t backup = ReadLe16(boot, 50);
    if (backup != 0 && backup != 0xFFFF && sector == backup) return StructureChoice{"fat32-boot"};
    if (fsinfo != 0 && fsinfo != 0xFFFF &&
        (sector == fsinfo || (backup != 0 && backup != 0xFFFF && sector == uint64_t{backup} + fsinfo))) {
      return StructureChoice{"fsinfo"};
    }
  }
  // FAT12/16's root directory sits between the FATs and cluster 2.
  const Location clusterTwo = LocateCluster(2);
  if (!clusterTwo.Sector || g.StartDataSector < 0 || g.SectorsPerCluster <= 0) return std::nullopt;
  const uint64_t data = *clusterTwo.Sector;
  if (!fat32 && sector < data && sector >= static_cast<uint32_t>(g.StartDataSector)) {
    return StructureChoice{"fat-directory"};
  }
  if (sector < data) return std::nullopt;
  const uint64_t perCluster = static_cast<uint32_t>(g.SectorsPerCluster);
  const uint64_t cluster = (sector - data) / perCluster + 2;
  if (fat32 && cluster == ReadLe32(boot, 44)) return StructureChoice{"fat-directory"};
  const std::vector<uint8_t> first = ReadOne(data + (cluster - 2) * perCluster);
  if (StartsFatDirectory(first)) return StructureChoice{"fat-directory"};
  return std::nullopt;
}

std::optional<StructureChoice> OnExfat(uint64_t sector) {
  if (sector == 0 || sector == 12) return StructureChoice{"exfat-boot"};
  if (sector == 11 || sector == 23) return StructureChoice{"exfat-checksum"};
  const VolumeGeometry& g = Geometry();
  if (g.StartDataSector <= 0 || sector < static_cast<uint32_t>(g.StartDataSector)) return std::nullopt;
  if (const std::optional<int64_t> root = ExfatRootDirectorySector();
      root && *root >= 0 && g.SectorsPerCluster > 0 && sector >= static_cast<uint64_t>(*root) &&
      sector - static_cast<uint64_t>(*root) < static_cast<uint32_t>(g.SectorsPerCluster)) {
    return StructureChoice{"exfat-directory"};
  }
  // Another directory's sector: it opens with a file's entry set.
  const std::vector<uint8_t> bytes = ReadOne(sector);
  if ((ReadU8(bytes, 0) & 0x7Fu) == 0x05 && (ReadU8(bytes, 32) & 0x7Fu) == 0x40) {
    return StructureChoice{"exfat-directory"};
  }
  return std::nullopt;
}

std::optional<StructureChoice> OnNtfs(uint64_t sector) {
  if (sector == 0) return StructureChoice{"ntfs-boot"};
  const uint64_t sectors = DriveSectors();
  if (sectors > 0 && sector == sectors - 1) return StructureChoice{"ntfs-boot"};
  if (StartsWith(ReadOne(sector), "FILE")) return StructureChoice{"mft-record"};
  return std::nullopt;
}

// The bytes of an MFT record on the current volume, from its boot sector's clusters per
// file record (a negative n meaning 2^-n bytes).
uint64_t MftRecordLength() {
  const std::vector<uint8_t> boot = ReadOne(0);
  const int8_t perRecord = static_cast<int8_t>(ReadU8(boot, 64));
  const uint64_t cluster = uint64_t{ReadLe16(boot, 11)} * ReadU8(boot, 13);
  uint64_t length = 0;
  if (perRecord < 0 && perRecord >= -31) {
    length = uint64_t{1} << -perRecord;
  } else if (perRecord > 0) {
    length = cluster * static_cast<uint64_t>(perRecord);
  }
  if (length == 0 || length > kLargestRecord) length = 1024;
  return length;
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
  const VolumeGeometry& g = Geometry();
  std::optional<StructureChoice> choice;
  switch (g.FileSystemKind) {
    case FileSystemKind::Fat: choice = OnFat(sector, false); break;
    case FileSystemKind::Fat32: choice = OnFat(sector, true); break;
    case FileSystemKind::Exfat: choice = OnExfat(sector); break;
    case FileSystemKind::Ntfs: choice = OnNtfs(sector); break;
    case FileSystemKind::Unknown: {
      const uint32_t size = SectorSize();
      const PartitionTable table = ReadPartitionTable(
          [](uint64_t at, std::span<uint8_t> buffer) { return ReadSectors(at, buffer); }, size, DriveSectors());
      choice = OnDisk(sector, table);
      break;
    }
  }
  if (choice) return choice;
  const std::vector<uint8_t> bytes = ReadOne(sector);
  if (StartsWith(bytes, "FILE")) return StructureChoice{"mft-record"};
  if (StartsWith(bytes, "EFI PART")) return StructureChoice{"gpt-header"};
  return std::nullopt;
}

std::optional<Structure> ReadStructureAt(uint64_t sector, const StructureChoice& choice) {
  const StructureKind* kind = FindStructureKind(choice.Id);
  if (kind == nullptr) return std::nullopt;
  const uint32_t size = SectorSize();
  uint64_t length = size;
  if (choice.Id == "mft-record") length = std::max<uint64_t>(MftRecordLength(), size) / size * size;
  std::vector<uint8_t> bytes(static_cast<size_t>(length));
  if (!ReadSectors(sector, bytes)) return std::nullopt;
  StructureInput input;
  input.Bytes = bytes;
  input.Sector = sector;
  input.SectorSize = size;
  input.FirstEntryNumber = choice.FirstEntryNumber;
  input.EntrySize = choice.EntrySize;
  input.Read = [](uint64_t at, std::span<uint8_t> buffer) { return ReadSectors(at, buffer); };
  Structure structure = kind->Decode(input);
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
  struct Pair {
    const char* Id;
    uint64_t Primary;
    uint64_t Backup;
  };
  std::vector<Pair> pairs;
  const VolumeGeometry& g = Geometry();
  const uint64_t sectors = DriveSectors();
  switch (g.FileSystemKind) {
    case FileSystemKind::Fat32: {
      const uint16_t backup = ReadLe16(ReadOne(0), 50);
      if (backup != 0 && backup != 0xFFFF) pairs.push_back({"fat32-boot", 0, backup});
      break;
    }
    case FileSystemKind::Exfat:
      pairs.push_back({"exfat-boot", 0, 12});
      pairs.push_back({"exfat-checksum", 11, 23});
      break;
    case FileSystemKind::Ntfs:
      if (sectors > 0) pairs.push_back({"ntfs-boot", 0, sectors - 1});
      break;
    case FileSystemKind::Unknown: {
      const PartitionTable table = ReadPartitionTable(
          [](uint64_t at, std::span<uint8_t> buffer) { return ReadSectors(at, buffer); }, SectorSize(), sectors);
      if (table.Scheme != PartitionScheme::Gpt || sectors < 2) break;
      // The primary header names its backup; a damaged primary leaves the disk's last sector.
      const std::vector<uint8_t> primary = ReadOne(1);
      uint64_t backup = sectors - 1;
      if (StartsWith(primary, "EFI PART") && ReadLe64(primary, 32) > 1 && ReadLe64(primary, 32) < sectors) {
        backup = ReadLe64(primary, 32);
      }
      pairs.push_back({"gpt-header", 1, backup});
      break;
    }
    case FileSystemKind::Fat: break;
  }

  std::vector<BackupComparison> comparisons;
  for (const Pair& pair : pairs) {
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
    }
    comparisons.push_back(std::move(comparison));
  }
  return comparisons;
}

}  // namespace korvalane
