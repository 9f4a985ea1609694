#include "core/disk/PartitionTable.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>
#include <string_view>

#include "core/Bytes.h"
#include "core/disk/Crc32.h"
#include "core/fs/exfat/ExfatBootSector.h"
#include "core/fs/fat/FatBootSector.h"
#include "core/fs/ntfs/NtfsBootSector.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"

namespace korvalane {
namespace {

// Sector 0: boot code, four 16-byte entries at 446, the signature 0x55AA at 510. The
// same layout serves every extended boot record (EBR) of the logical chain.
constexpr size_t kMbrEntriesOffset = 446;
constexpr size_t kMbrEntrySize = 16;
constexpr size_t kMbrEntryCount = 4;
constexpr size_t kMbrBootIndicator = 0;
constexpr size_t kMbrType = 4;
constexpr size_t kMbrFirstSector = 8;
constexpr size_t kMbrSectorCount = 12;
constexpr size_t kSignatureOffset = 510;
constexpr uint16_t kSignature = 0xAA55;
constexpr uint8_t kProtectiveType = 0xEE;

// A chain of EBRs longer than this is not a table any tool made: the walk ends there.
constexpr size_t kLargestEbrChain = 1024;
// A hostile table can name thousands of broken entries; the user is told of the first.
constexpr size_t kMostNotes = 32;

// GPT header (at sector 1, its backup at the disk's last sector) and entry fields.
constexpr char kGptSignature[] = "EFI PART";
constexpr size_t kGptHeaderSize = 12;
constexpr size_t kGptHeaderCrc = 16;
constexpr size_t kGptMyLba = 24;
constexpr size_t kGptEntriesLba = 72;
constexpr size_t kGptEntryCount = 80;
constexpr size_t kGptEntrySize = 84;
constexpr size_t kGptEntriesCrc = 88;
constexpr uint32_t kGptSmallestHeader = 92;
constexpr uint32_t kGptSmallestEntry = 128;
constexpr uint32_t kGptLargestEntry = 4096;
// 128 entries of 128 bytes is what every tool writes; a few MiB is far beyond any real
// table and still cheap to read.
constexpr uint64_t kGptLargestArray = uint64_t{4} << 20;
constexpr size_t kGptEntryType = 0;
constexpr size_t kGptEntryFirst = 32;
constexpr size_t kGptEntryLast = 40;
constexpr size_t kGptEntryName = 56;
constexpr size_t kGptNameUnits = 36;

bool IsExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

bool IsPowerOfTwo(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

bool HasSignature(std::span<const uint8_t> sector) { return ReadLe16(sector, kSignatureOffset) == kSignature; }

bool TextAt(std::span<const uint8_t> bytes, size_t offset, std::string_view text) {
  return Fits(bytes, offset, text.size()) && std::memcmp(bytes.data() + offset, text.data(), text.size()) == 0;
}

std::u16string Number(uint64_t value) { return Decimal(value); }

std::u16string SectorSpan(uint64_t first, uint64_t last) { return u"sectors " + Number(first) + u"-" + Number(last); }

// Collects the notes of one parse, up to kMostNotes.
class Notes {
 public:
  explicit Notes(std::vector<std::u16string>& out) : out_(out) {}
  void Add(std::u16string note) {
    if (out_.size() < kMostNotes) {
      out_.push_back(std::move(note));
    } else if (out_.size() == kMostNotes) {
      out_.emplace_back(u"Further problems of the table are not listed.");
    }
  }

 private:
  std::vector<std::u16string>& out_;
};

// Reads `count` sectors from `first`, refusing anything that reaches past the disk.
bool ReadDiskSectors(const DiskReader& read, uint32_t sectorSize, uint64_t diskSectors, uint64_t first,
                     uint64_t count, std::vector<uint8_t>& out) {
  if (count == 0 || first >= diskSectors || count > diskSectors - first) return false;
  out.assign(static_cast<size_t>(count * sectorSize), 0);
  return read(first, out);
}

// ---- MBR ----------------------------------------------------------------------------

struct MbrEntry {
  uint8_t BootIndicator = 0;
  uint8_t Type = 0;
  uint64_t First = 0;  // relative to the table's base
  uint64_t Count = 0;
};

MbrEntry EntryAt(std::span<const uint8_t> sector, size_t index) {
  const size_t at = kMbrEntriesOffset + index * kMbrEntrySize;
  return MbrEntry{ReadU8(sector, at + kMbrBootIndicator), ReadU8(sector, at + kMbrType),
                  ReadLe32(sector, at + kMbrFirstSector), ReadLe32(sector, at + kMbrSectorCount)};
}

Partition MbrPartition(uint32_t number, uint64_t first, const MbrEntry& entry) {
  Partition p;
  p.Number = number;
  p.FirstSector = first;
  p.SectorCount = entry.Count;
  p.MbrType = entry.Type;
  p.TypeName = MbrTypeName(entry.Type);
  p.Extended = IsExtendedType(entry.Type);
  return p;
}

// True when the partition fits the disk; otherwise the note says why it is left out.
bool Admit(const Partition& p, uint64_t diskSectors, Notes& notes) {
  if (p.SectorCount == 0) {
    notes.Add(u"Partition " + Number(p.Number) + u" has no sectors: it is not shown as a drive.");
    return false;
  }
  if (p.FirstSector >= diskSectors || p.SectorCount > diskSectors - p.FirstSector) {
    const uint64_t last = p.FirstSector + (p.SectorCount - 1);  // may wrap only past any disk
    notes.Add(u"Partition " + Number(p.Number) + u" (" +
              SectorSpan(p.FirstSector, last < p.FirstSector ? UINT64_MAX : last) +
              u") reaches past the disk's last sector, " + Number(diskSectors == 0 ? 0 : diskSectors - 1) +
              u": it is not shown as a drive.");
    return false;
  }
  return true;
}

// The logical partitions in the chain of EBRs that starts at the extended partition's
// first sector. Each EBR's data entries start relative to the EBR itself; its link to the
// next EBR is relative to the extended partition's first sector.
void ReadLogicalChain(const DiskReader& read, const Partition& extended, PartitionTable& table, uint32_t& next,
                      Notes& notes) {
  const uint64_t base = extended.FirstSector;
  const uint64_t end = extended.FirstSector + extended.SectorCount;
  std::set<uint64_t> visited;
  std::vector<uint8_t> ebr;
  uint64_t at = base;
  for (size_t step = 0;; ++step) {
    if (step == kLargestEbrChain) {
      notes.Add(u"The chain of logical partitions is longer than " + Number(kLargestEbrChain) +
                u" links; the rest is not read.");
      return;
    }
    if (!visited.insert(at).second) {
      notes.Add(u"The chain of logical partitions loops back to sector " + Number(at) + u"; it ends there.");
      return;
    }
    if (at < base || at >= end) {
      notes.Add(u"A link of the logical chain points outside the extended partition, to sector " + Number(at) +
                u"; the chain ends there.");
      return;
    }
    if (!ReadDiskSectors(read, table.SectorSize, table.DiskSectors, at, 1, ebr)) {
      notes.Add(u"The extended boot record at sector " + Number(at) + u" cannot be read; the chain ends there.");
      return;
    }
    // An extended partition without logical ones holds no signed record.
    if (!HasSignature(ebr)) return;

    std::optional<uint64_t> link;
    for (size_t i = 0; i < kMbrEntryCount; ++i) {
      const MbrEntry entry = EntryAt(ebr, i);
      if (entry.Type == 0 || entry.Count == 0) continue;
      if (IsExtendedType(entry.Type)) {
        if (!link) link = base + entry.First;
        continue;
      }
      Partition p = MbrPartition(next++, at + entry.First, entry);
      if (Admit(p, table.DiskSectors, notes)) table.Partitions.push_back(std::move(p));
    }
    if (!link) return;
    at = *link;
  }
}

void ReadMbr(const DiskReader& read, std::span<const uint8_t> sector0, PartitionTable& table, Notes& notes) {
  table.Scheme = PartitionScheme::Mbr;
  std::vector<Partition> extended;
  for (size_t i = 0; i < kMbrEntryCount; ++i) {
    const MbrEntry entry = EntryAt(sector0, i);
    if (entry.Type == 0) continue;
    Partition p = MbrPartition(static_cast<uint32_t>(i + 1), entry.First, entry);
    if (!Admit(p, table.DiskSectors, notes)) continue;
    if (p.Extended) extended.push_back(p);
    table.Partitions.push_back(std::move(p));
  }
  uint32_t next = 5;
  for (const Partition& container : extended) ReadLogicalChain(read, container, table, next, notes);
}

// ---- GPT ----------------------------------------------------------------------------

struct GptHeader {
  uint64_t EntriesLba = 0;
  uint32_t EntryCount = 0;
  uint32_t EntrySize = 0;
  std::vector<uint8_t> Entries;  // the checked entry array
};

std::string GuidText(std::span<const uint8_t> bytes) {
  // The first three fields are little-endian, the last two a plain byte string.
  static constexpr char kHex[] = "0123456789ABCDEF";
  static constexpr int kOrder[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
  std::string text;
  for (int i = 0; i < 16; ++i) {
    if (i == 4 || i == 6 || i == 8 || i == 10) text += '-';
    const uint8_t b = bytes[static_cast<size_t>(kOrder[i])];
    text += kHex[b >> 4];
    text += kHex[b & 0xF];
  }
  return text;
}

// The header at `lba` with its entry array, when both are intact: the signature, a
// header size the sector holds, the header's CRC, the header's own position, a sane
// entry size and count, and the array's CRC. Otherwise nothing, and `why` says what.
std::optional<GptHeader> ReadGptHeader(const DiskReader& read, const PartitionTable& table, uint64_t lba,
                                       std::u16string& why) {
  std::vector<uint8_t> sector;
  if (!ReadDiskSectors(read, table.SectorSize, table.DiskSectors, lba, 1, sector)) {
    why = u"cannot be read";
    return std::nullopt;
  }
  const std::span<const uint8_t> bytes(sector);
  if (!TextAt(bytes, 0, std::string_view(kGptSignature, 8))) {
    why = u"has no signature";
    return std::nullopt;
  }
  const uint32_t headerSize = ReadLe32(bytes, kGptHeaderSize);
  if (headerSize < kGptSmallestHeader || headerSize > sector.size()) {
    why = u"gives a header size of " + Number(headerSize);
    return std::nullopt;
  }
  std::vector<uint8_t> header(sector.begin(), sector.begin() + headerSize);
  std::fill_n(header.begin() + kGptHeaderCrc, 4, uint8_t{0});
  if (Crc32(header) != ReadLe32(bytes, kGptHeaderCrc)) {
    why = u"fails its checksum";
    return std::nullopt;
  }
  if (ReadLe64(bytes, kGptMyLba) != lba) {
    why = u"names another sector as its own";
    return std::nullopt;
  }
  GptHeader gpt;
  gpt.EntriesLba = ReadLe64(bytes, kGptEntriesLba);
  gpt.EntryCount = ReadLe32(bytes, kGptEntryCount);
  gpt.EntrySize = ReadLe32(bytes, kGptEntrySize);
  if (gpt.EntrySize < kGptSmallestEntry || gpt.EntrySize > kGptLargestEntry || gpt.EntrySize % 8 != 0) {
    why = u"gives an entry size of " + Number(gpt.EntrySize);
    return std::nullopt;
  }
  const uint64_t arrayBytes = uint64_t{gpt.EntryCount} * gpt.EntrySize;
  if (arrayBytes > kGptLargestArray) {
    why = u"gives " + Number(gpt.EntryCount) + u" entries, more than any table holds";
    return std::nullopt;
  }
  if (arrayBytes != 0) {
    const uint64_t arraySectors = (arrayBytes + table.SectorSize - 1) / table.SectorSize;
    if (!ReadDiskSectors(read, table.SectorSize, table.DiskSectors, gpt.EntriesLba, arraySectors, gpt.Entries)) {
      why = u"points to an entry array that cannot be read";
      return std::nullopt;
    }
    gpt.Entries.resize(static_cast<size_t>(arrayBytes));
  }
  if (Crc32(gpt.Entries) != ReadLe32(bytes, kGptEntriesCrc)) {
    why = u"has an entry array that fails its checksum";
    return std::nullopt;
  }
  return gpt;
}

void AddGptPartitions(const GptHeader& gpt, PartitionTable& table, Notes& notes) {
  const std::span<const uint8_t> entries(gpt.Entries);
  for (uint32_t i = 0; i < gpt.EntryCount; ++i) {
    const std::span<const uint8_t> entry = entries.subspan(size_t{i} * gpt.EntrySize, gpt.EntrySize);
    const std::span<const uint8_t> type = entry.subspan(kGptEntryType, 16);
    if (std::all_of(type.begin(), type.end(), [](uint8_t b) { return b == 0; })) continue;  // unused

    Partition p;
    p.Number = i + 1;
    p.TypeGuid = GuidText(type);
    p.TypeName = GptTypeName(p.TypeGuid);
    for (size_t u = 0; u < kGptNameUnits; ++u) {
      const char16_t unit = ReadLe16(entry, kGptEntryName + 2 * u);
      if (unit == 0) break;
      p.Name += unit;
    }
    const uint64_t first = ReadLe64(entry, kGptEntryFirst);
    const uint64_t last = ReadLe64(entry, kGptEntryLast);
    if (last < first) {
      notes.Add(u"Partition " + Number(p.Number) + u" ends (sector " + Number(last) + u") before it starts (sector " +
                Number(first) + u"): it is not shown as a drive.");
      continue;
    }
    p.FirstSector = first;
    p.SectorCount = last - first + 1;  // 0 only for a partition of all 2^64 sectors
    if (Admit(p, table.DiskSectors, notes)) table.Partitions.push_back(std::move(p));
  }
}

// The GPT of a disk with a protective or hybrid MBR: the primary header at sector 1, or,
// when that is damaged, the backup at the disk's last sector. Nothing when neither holds.
std::optional<PartitionTable> ReadGpt(const DiskReader& read, PartitionTable table, Notes& notes) {
  // The notes go to whichever table is shown in the end, by the caller.
  table.Scheme = PartitionScheme::Gpt;
  const uint64_t lastSector = table.DiskSectors == 0 ? 0 : table.DiskSectors - 1;
  std::u16string primaryWhy;
  std::optional<GptHeader> gpt = ReadGptHeader(read, table, 1, primaryWhy);
  std::u16string backupWhy;
  if (gpt) {
    // Said, not acted on: the primary table is the one in use.
    if (lastSector > 1 && !ReadGptHeader(read, table, lastSector, backupWhy)) {
      notes.Add(u"The backup GPT header at sector " + Number(lastSector) + u" " + backupWhy + u".");
    }
  } else {
    gpt = lastSector > 1 ? ReadGptHeader(read, table, lastSector, backupWhy) : std::nullopt;
    if (!gpt) {
      notes.Add(u"The primary GPT header at sector 1 " + primaryWhy + u", and the backup at sector " +
                Number(lastSector) + u" " + (backupWhy.empty() ? u"is not there" : backupWhy) +
                u": the MBR's entries are shown instead.");
      return std::nullopt;
    }
    notes.Add(u"The primary GPT header at sector 1 " + primaryWhy + u"; the backup at sector " + Number(lastSector) +
              u" is used.");
  }
  AddGptPartitions(*gpt, table, notes);
  return table;
}

void NoteOverlaps(PartitionTable& table, Notes& notes) {
  // An extended partition contains its logical ones by design: only the rest may not meet.
  std::vector<const Partition*> data;
  for (const Partition& p : table.Partitions) {
    if (!p.Extended) data.push_back(&p);
  }
  std::sort(data.begin(), data.end(),
            [](const Partition* a, const Partition* b) { return a->FirstSector < b->FirstSector; });
  for (size_t i = 1; i < data.size(); ++i) {
    if (data[i]->FirstSector <= data[i - 1]->LastSector()) {
      notes.Add(u"Partitions " + Number(data[i - 1]->Number) + u" and " + Number(data[i]->Number) + u" overlap.");
    }
  }
}

struct TypeName {
  uint8_t Code;
  const char* Name;
};

// The names sfdisk gives the common MBR types, shortened where the issue of the day
// (HPFS) is long gone.
constexpr TypeName kMbrTypes[] = {
    {0x01, "FAT12"},
    {0x04, "FAT16 <32M"},
    {0x05, "Extended"},
    {0x06, "FAT16"},
    {0x07, "NTFS/exFAT"},
    {0x0B, "W95 FAT32"},
    {0x0C, "W95 FAT32 (LBA)"},
    {0x0E, "W95 FAT16 (LBA)"},
    {0x0F, "W95 Extended (LBA)"},
    {0x11, "Hidden FAT12"},
    {0x12, "Compaq diagnostics"},
    {0x14, "Hidden FAT16 <32M"},
    {0x16, "Hidden FAT16"},
    {0x17, "Hidden NTFS/exFAT"},
    {0x1B, "Hidden W95 FAT32"},
    {0x1C, "Hidden W95 FAT32 (LBA)"},
    {0x1E, "Hidden W95 FAT16 (LBA)"},
    {0x27, "Hidden NTFS WinRE"},
    {0x42, "SFS"},
    {0x82, "Linux swap / Solaris"},
    {0x83, "Linux"},
    {0x85, "Linux extended"},
    {0x86, "NTFS volume set"},
    {0x87, "NTFS volume set"},
    {0x8E, "Linux LVM"},
    {0xA5, "FreeBSD"},
    {0xA6, "OpenBSD"},
    {0xA8, "Darwin UFS"},
    {0xA9, "NetBSD"},
    {0xAB, "Darwin boot"},
    {0xAF, "HFS / HFS+"},
    {0xBE, "Solaris boot"},
    {0xBF, "Solaris"},
    {0xDA, "Non-FS data"},
    {0xEE, "GPT"},
    {0xEF, "EFI (FAT-12/16/32)"},
    {0xFB, "VMware VMFS"},
    {0xFC, "VMware VMKCORE"},
    {0xFD, "Linux raid autodetect"},
};

struct GuidName {
  const char* Guid;
  const char* Name;
};

constexpr GuidName kGptTypes[] = {
    {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI System"},
    {"024DEE41-33E7-11D3-9D69-0008C781F39F", "MBR partition scheme"},
    {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
    {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
    {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basic data"},
    {"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", "Microsoft LDM metadata"},
    {"AF9B60A0-1431-4F62-BC68-3311714A69AD", "Microsoft LDM data"},
    {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery environment"},
    {"E75CAF8F-F680-4CEE-AFA3-B001E56EFC2D", "Microsoft Storage Spaces"},
    {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
    {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
    {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
    {"A19D880F-05FC-4D3B-A006-743F0F84911E", "Linux RAID"},
    {"CA7D7CCB-63ED-4C53-861C-1742536059CC", "Linux LUKS"},
    {"4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709", "Linux root (x86-64)"},
    {"44479540-F297-41B2-9AF7-D131D5F0458A", "Linux root (x86)"},
    {"B921B045-1DF0-41C3-AF44-4C6F280D3FAE", "Linux root (ARM-64)"},
    {"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", "Linux home"},
    {"3B8F8425-20E0-4F3B-907F-1A25A76F98E8", "Linux server data"},
    {"BC13C2FF-59E6-4262-A352-B275FD6F7172", "Linux extended boot"},
    {"8DA63339-0007-60C0-C436-083AC8230908", "Linux reserved"},
    {"48465300-0000-11AA-AA11-00306543ECAC", "Apple HFS/HFS+"},
    {"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple APFS"},
    {"55465300-0000-11AA-AA11-00306543ECAC", "Apple UFS"},
    {"426F6F74-0000-11AA-AA11-00306543ECAC", "Apple boot"},
    {"516E7CB4-6ECF-11D6-8FF8-00022D09712B", "FreeBSD data"},
    {"516E7CB6-6ECF-11D6-8FF8-00022D09712B", "FreeBSD UFS"},
    {"516E7CBA-6ECF-11D6-8FF8-00022D09712B", "FreeBSD ZFS"},
    {"6A898CC3-1DD2-11B2-99A6-080020736631", "Solaris /usr & Apple ZFS"},
    {"AA31E02A-400F-11DB-9590-000C2911D1B8", "VMware VMFS"},
    {"FE3A2A5D-4F32-41A7-B725-ACCC3285A309", "ChromeOS kernel"},
    {"3CB8E202-3B7E-47DD-8A3C-7FF2A13CFCEC", "ChromeOS root fs"},
};

}  // namespace

bool IsVolumeBootSector(std::span<const uint8_t> sector) {
  if (sector.size() < 512) return false;
  if (exfat::HasName(sector)) return exfat::HasBootSignature(sector);
  if (TextAt(sector, ntfs::kName, "NTFS    ")) {
    const uint32_t bytesPerSector = ntfs::BytesPerSector(sector);
    return IsPowerOfTwo(bytesPerSector) && bytesPerSector >= 256 && bytesPerSector <= 4096 &&
           ntfs::SectorsPerCluster(sector) != 0;
  }
  // FAT: the BIOS parameter block must make sense, as libblkid requires before it calls
  // sector 0 a FAT boot sector rather than a partition table. OS/2 tools leave FAT-like
  // headers on JFS and HPFS volumes: those are not FAT.
  if (TextAt(sector, fat::kFat16TypeLabel, "JFS     ") || TextAt(sector, fat::kFat16TypeLabel, "HPFS    ")) return false;
  const bool marked = sector[0] == 0xEB || sector[0] == 0xE9 || TextAt(sector, fat::kFat16TypeLabel, "FAT") ||
                      TextAt(sector, fat::kFat32TypeLabel, "FAT32   ") || HasSignature(sector);
  const uint32_t bytesPerSector = fat::BytesPerSector(sector);
  const uint8_t sectorsPerCluster = fat::SectorsPerCluster(sector);
  const uint8_t media = fat::MediaDescriptor(sector);
  return marked && fat::FatCopies(sector) != 0 && fat::ReservedSectors(sector) != 0 && (media == 0xF0 || media >= 0xF8) &&
         IsPowerOfTwo(sectorsPerCluster) && IsPowerOfTwo(bytesPerSector) && bytesPerSector >= 512 &&
         bytesPerSector <= 4096;
}

uint32_t DetectImageSectorSize(std::span<const uint8_t> head) {
  for (const uint32_t size : {512u, 1024u, 2048u, 4096u}) {
    if (TextAt(head, size, std::string_view(kGptSignature, 8))) return size;
  }
  if (!IsVolumeBootSector(head)) return 512;
  uint32_t declared = 0;
  if (exfat::HasName(head)) {
    const uint8_t shift = exfat::BytesPerSectorShift(head);
    declared = shift >= exfat::kSmallestSectorShift && shift <= exfat::kLargestSectorShift ? 1u << shift : 0;
  } else {
    declared = fat::BytesPerSector(head);  // where NTFS keeps it too
  }
  return declared == 512 || declared == 1024 || declared == 2048 || declared == 4096 ? declared : 512;
}

PartitionTable ReadPartitionTable(const DiskReader& read, uint32_t sectorSize, uint64_t diskSectors) {
  PartitionTable table;
  table.SectorSize = sectorSize;
  table.DiskSectors = diskSectors;
  if (sectorSize < 512) return table;

  std::vector<uint8_t> sector0;
  if (!ReadDiskSectors(read, sectorSize, diskSectors, 0, 1, sector0)) return table;
  if (IsVolumeBootSector(sector0) || !HasSignature(sector0)) return table;
  // A DOS table's boot indicators are 0x00 or 0x80; anything else is boot code or data.
  bool protective = false;
  for (size_t i = 0; i < kMbrEntryCount; ++i) {
    const MbrEntry entry = EntryAt(sector0, i);
    if (entry.BootIndicator != 0x00 && entry.BootIndicator != 0x80) return table;
    if (entry.Type == kProtectiveType) protective = true;
  }

  // Every note goes to one list, which the table that is shown takes at the end.
  std::vector<std::u16string> said;
  Notes notes(said);
  if (protective) {
    if (std::optional<PartitionTable> gpt = ReadGpt(read, table, notes)) {
      NoteOverlaps(*gpt, notes);
      gpt->Notes = std::move(said);
      return std::move(*gpt);
    }
  }
  ReadMbr(read, sector0, table, notes);
  NoteOverlaps(table, notes);
  table.Notes = std::move(said);
  return table;
}

std::string MbrTypeName(uint8_t type) {
  for (const TypeName& known : kMbrTypes) {
    if (known.Code == type) return known.Name;
  }
  return "Unknown";
}

std::string GptTypeName(const std::string& typeGuid) {
  for (const GuidName& known : kGptTypes) {
    if (typeGuid == known.Guid) return known.Name;
  }
  return typeGuid;
}

std::u16string SchemeName(PartitionScheme scheme) {
  switch (scheme) {
    case PartitionScheme::Mbr:
      return u"MBR";
    case PartitionScheme::Gpt:
      return u"GPT";
    case PartitionScheme::None:
      break;
  }
  return u"none";
}

std::u16string DescribePartition(const Partition& p, PartitionScheme scheme) {
  std::u16string text = SectorSpan(p.FirstSector, p.LastSector()) + u", " + FromUtf8(p.TypeName);
  if (scheme == PartitionScheme::Gpt) {
    if (!p.Name.empty()) text += u", \"" + p.Name + u"\"";
  } else {
    text += u" 0x" + HexUpper(p.MbrType, 2);
  }
  return text;
}

}  // namespace korvalane
