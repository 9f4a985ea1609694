#include "core/fs/fat/Structures.h"

#include <algorithm>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/fat/FatDirectoryChain.h"
#include "core/fs/fat/FatFileSystem.h"
#include "core/fs/fatfamily/FatFamily.h"
#include "core/model/Structure.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr ValueName kMediaDescriptors[] = {{0xF8, "fixed disk"}, {0xF0, "removable"}};
constexpr ValueName kBootSignatures[] = {{0x29, "serial, label and type follow"},
                                         {0x28, "serial follows"}};

// BIOS parameter block, common to FAT12, FAT16 and FAT32.
constexpr FieldSpec kBpb[] = {
    {0, 3, "Jump instruction", Show::Bytes},
    {3, 8, "OEM name", Show::Ascii},
    {11, 2, "Bytes per sector", Show::Number},
    {13, 1, "Sectors per cluster", Show::Number},
    {14, 2, "Reserved sectors", Show::Number},
    {16, 1, "Number of FATs", Show::Number},
    {17, 2, "Root directory entries", Show::Number},
    {19, 2, "Total sectors (16-bit)", Show::Number},
    {21, 1, "Media descriptor", Show::Code, kMediaDescriptors},
    {22, 2, "Sectors per FAT (16-bit)", Show::Number},
    {24, 2, "Sectors per track", Show::Number},
    {26, 2, "Number of heads", Show::Number},
    {28, 4, "Hidden sectors", Show::Number},
    {32, 4, "Total sectors (32-bit)", Show::Number},
};

// FAT12/16's extended BPB.
constexpr FieldSpec kFat16Ebpb[] = {
    {36, 1, "Drive number", Show::Hex},
    {37, 1, "Reserved", Show::Hex},
    {38, 1, "Extended boot signature", Show::Code, kBootSignatures},
    {39, 4, "Volume serial number", Show::Hex},
    {43, 11, "Volume label", Show::Ascii},
    {54, 8, "File system type", Show::Ascii},
    {62, 448, "Boot code", Show::Bytes},
};

constexpr ValueName kFat32Flags[] = {{0x80, "only one FAT active"}};

// FAT32's extended BPB.
constexpr FieldSpec kFat32Ebpb[] = {
    {36, 4, "Sectors per FAT", Show::Number},
    {40, 2, "Mirroring flags", Show::Flags, kFat32Flags},
    {42, 2, "Version", Show::Hex},
    {44, 4, "Root directory cluster", Show::Number},
    {48, 2, "FSInfo sector", Show::Number},
    {50, 2, "Backup boot sector", Show::Number},
    {52, 12, "Reserved", Show::Bytes},
    {64, 1, "Drive number", Show::Hex},
    {65, 1, "Reserved", Show::Hex},
    {66, 1, "Extended boot signature", Show::Code, kBootSignatures},
    {67, 4, "Volume serial number", Show::Hex},
    {71, 11, "Volume label", Show::Ascii},
    {82, 8, "File system type", Show::Ascii},
    {90, 420, "Boot code", Show::Bytes},
};

// FSInfo.
constexpr uint32_t kLeadSignature = 0x41615252;    // "RRaA"
constexpr uint32_t kStructSignature = 0x61417272;  // "rrAa"
constexpr uint32_t kTrailSignature = 0xAA550000;
constexpr FieldSpec kFsInfo[] = {
    {0, 4, "Lead signature", Show::Hex},
    {4, 480, "Reserved", Show::Bytes},
    {484, 4, "Structure signature", Show::Hex},
    {488, 4, "Free cluster count", Show::Number},
    {492, 4, "Next free cluster", Show::Number},
    {496, 12, "Reserved", Show::Bytes},
    {508, 4, "Trail signature", Show::Hex},
};

// Directory entries.
constexpr size_t kEntrySize = 32;
constexpr uint8_t kEndOfDirectory = 0x00;
constexpr uint8_t kDeleted = 0xE5;
constexpr uint8_t kLongNameAttributes = 0x0F;
constexpr uint8_t kAttributeMask = 0x3F;
constexpr uint8_t kLastLongNameEntry = 0x40;
constexpr size_t kLongNameChecksumOffset = 13;

constexpr ValueName kAttributes[] = {{0x01, "read-only"}, {0x02, "hidden"}, {0x04, "system"},
                                     {0x08, "volume label"}, {0x10, "directory"}, {0x20, "archive"}};
// Windows NT keeps an all-lower-case base name or extension as a flag instead of a long name.
constexpr ValueName kCaseFlags[] = {{0x08, "base name lower case"}, {0x10, "extension lower case"}};

constexpr FieldSpec kShortEntryRest[] = {
    {11, 1, "Attributes", Show::Flags, kAttributes},
    {12, 1, "NT case flags", Show::Flags, kCaseFlags},
};
constexpr FieldSpec kShortEntryTimes[] = {
    {14, 2, "Creation time", Show::DosTime},
    {16, 2, "Creation date", Show::DosDate},
    {18, 2, "Last access date", Show::DosDate},
    {20, 2, "First cluster (high)", Show::Number},
    {22, 2, "Write time", Show::DosTime},
    {24, 2, "Write date", Show::DosDate},
    {26, 2, "First cluster (low)", Show::Number},
    {28, 4, "File size", Show::Number},
};
constexpr ValueName kLongNameMark[] = {{0x0F, "long name"}};
constexpr FieldSpec kLongEntry[] = {
    {1, 10, "Name characters 1-5", Show::Utf16},
    {11, 1, "Attributes", Show::Code, kLongNameMark},
    {12, 1, "Type", Show::Hex},
    {13, 1, "Checksum", Show::Hex},
    {14, 12, "Name characters 6-11", Show::Utf16},
    {26, 2, "First cluster", Show::Number},
    {28, 4, "Name characters 12-13", Show::Utf16},
};

// A short entry's creation and write stamps for scripts, on both fields of each pair: a
// DOS time and date in local time, the creation time with its 10 ms units.
void AddEntryTimes(FieldWriter& writer, size_t at) {
  const std::span<const uint8_t> bytes = writer.Bytes();
  const std::optional<std::string> created =
      StampIso8601(FatStamp{ReadLe16(bytes, at + 16), ReadLe16(bytes, at + 14), bytes[at + 13], std::nullopt});
  const std::optional<std::string> written =
      StampIso8601(FatStamp{ReadLe16(bytes, at + 24), ReadLe16(bytes, at + 22), std::nullopt, std::nullopt});
  for (const auto& [offset, moment] : {std::pair{size_t{14}, created}, std::pair{size_t{16}, created},
                                       std::pair{size_t{22}, written}, std::pair{size_t{24}, written}}) {
    writer.SetTime(at + offset, moment);
  }
}

std::string ShortName(std::span<const uint8_t> bytes, size_t at) {
  std::string base = AsciiText(bytes, at, 8);
  std::string extension = AsciiText(bytes, at + 8, 3);
  while (!base.empty() && base.back() == ' ') base.pop_back();
  while (!extension.empty() && extension.back() == ' ') extension.pop_back();
  return extension.empty() ? base : base + "." + extension;
}

// A run of in-use long-name entries waiting for the short entry that ends it.
struct LongNameRun {
  size_t FirstOffset = 0;
  std::vector<uint8_t> Checksums;
};

// A FAT directory cluster begins with the "." entry of a directory.
bool StartsFatDirectory(std::span<const uint8_t> bytes) {
  return BeginsWith(bytes, ".          ") && (ReadU8(bytes, 11) & 0x10) != 0;
}

// FAT32's FSInfo and backup boot sectors as the BPB names them (0 and 0xFFFF: none).
constexpr size_t kFsInfoSectorOffset = 48;
constexpr size_t kBackupBootSectorOffset = 50;
constexpr size_t kRootClusterOffset = 44;
bool Names(uint16_t sector) { return sector != 0 && sector != 0xFFFF; }

// FAT32's state byte (bits the system sets while the volume is mounted) and the FSInfo's
// two hints, 0xFFFFFFFF where unknown.
constexpr size_t kStateOffset = 65;
constexpr uint8_t kStateBits = 0x03;
constexpr size_t kFreeCountOffset = 488;
constexpr size_t kNextFreeOffset = 492;
constexpr uint32_t kUnknownHint = 0xFFFFFFFF;

}  // namespace

std::optional<StructureChoice> FatStructureAt(uint64_t sector) {
  const VolumeGeometry& g = Geometry();
  const bool fat32 = g.FileSystemKind == FileSystemKind::Fat32;
  if (sector == 0) return StructureChoice{fat32 ? "fat32-boot" : "fat-boot"};
  const std::vector<uint8_t> boot = ReadStructureSector(0);
  if (fat32) {
    const uint16_t fsinfo = ReadLe16(boot, kFsInfoSectorOffset);
    const uint16_t backup = ReadLe16(boot, kBackupBootSectorOffset);
    if (Names(backup) && sector == backup) return StructureChoice{"fat32-boot"};
    if (Names(fsinfo) && (sector == fsinfo || (Names(backup) && sector == uint64_t{backup} + fsinfo))) {
      return StructureChoice{"fsinfo"};
    }
  }
  // FAT12/16's root directory sits between the FATs and cluster 2.
  const Location clusterTwo = LocateFatCluster(2);
  if (!clusterTwo.Sector || g.StartDataSector < 0 || g.SectorsPerCluster <= 0) return std::nullopt;
  const uint64_t data = *clusterTwo.Sector;
  if (!fat32 && sector < data && sector >= static_cast<uint32_t>(g.StartDataSector)) {
    return StructureChoice{"fat-directory"};
  }
  if (sector < data) return std::nullopt;
  const uint64_t perCluster = static_cast<uint32_t>(g.SectorsPerCluster);
  const uint64_t cluster = (sector - data) / perCluster + 2;
  if (fat32 && cluster == ReadLe32(boot, kRootClusterOffset)) return StructureChoice{"fat-directory"};
  if (StartsFatDirectory(ReadStructureSector(data + (cluster - 2) * perCluster))) {
    return StructureChoice{"fat-directory"};
  }
  // A directory's later clusters open with no "." entry; its FAT chain leads to them.
  if (FindInDirectoryChain(cluster)) return StructureChoice{"fat-directory"};
  return std::nullopt;
}

std::vector<StructureBackup> FatStructureBackups() {
  const VolumeGeometry& g = Geometry();
  if (g.FileSystemKind != FileSystemKind::Fat32) return {};
  const std::vector<uint8_t> boot = ReadStructureSector(0);
  const uint16_t backup = ReadLe16(boot, kBackupBootSectorOffset);
  if (!Names(backup)) return {};
  // Windows and Linux mark a mounted volume in the primary's state byte only (bit 0: not
  // cleanly unmounted, bit 1: a disk error was met), and keep the FSInfo's counts, hints
  // both, current in the primary only.
  std::vector<StructureBackup> pairs;
  pairs.push_back({"fat32-boot", 0, backup,
                   {{kStateOffset, "the two differ only in the dirty and disk-error bits (0x01, 0x02)",
                     [](const BackupCopies& c) {
                       return ((ReadU8(c.PrimaryBytes, kStateOffset) ^ ReadU8(c.BackupBytes, kStateOffset)) &
                               ~kStateBits) == 0;
                     }}}});
  const uint16_t fsinfo = ReadLe16(boot, kFsInfoSectorOffset);
  if (Names(fsinfo) && fsinfo < backup && uint64_t{backup} + fsinfo < static_cast<uint32_t>(std::max(g.ReservedSectors, 0))) {
    const uint64_t clusters = g.Clusters;
    const auto hint = [](size_t offset, uint64_t largest) {
      return [offset, largest](const BackupCopies& c) {
        const uint32_t value = ReadLe32(c.BackupBytes, offset);
        return value == kUnknownHint || value <= largest;
      };
    };
    pairs.push_back({"fsinfo", fsinfo, uint64_t{backup} + fsinfo,
                     {{kFreeCountOffset, "the backup's is a stale hint: 0xFFFFFFFF or at most the volume's clusters",
                       hint(kFreeCountOffset, clusters)},
                      {kNextFreeOffset, "the backup's is a stale hint: 0xFFFFFFFF or at most the last cluster",
                       hint(kNextFreeOffset, clusters + 1)}}});
  }
  return pairs;
}

uint8_t ShortNameChecksum(std::span<const uint8_t> name11) {
  uint8_t sum = 0;
  for (size_t i = 0; i < 11 && i < name11.size(); ++i) {
    sum = static_cast<uint8_t>(((sum & 1u) << 7) + (sum >> 1) + name11[i]);
  }
  return sum;
}

Structure DecodeFatBootSector(const StructureInput& input) {
  return DecodeBootSector(input, "fat-boot", "FAT12/16 boot sector", kBpb, kFat16Ebpb);
}

Structure DecodeFat32BootSector(const StructureInput& input) {
  return DecodeBootSector(input, "fat32-boot", "FAT32 boot sector", kBpb, kFat32Ebpb);
}

Structure DecodeFsInfo(const StructureInput& input) {
  Structure s;
  s.Id = "fsinfo";
  s.Title = "FAT32 FSInfo sector";
  FieldWriter writer(s, input.Bytes);
  if (!writer.AddTable({}, 0, kFsInfo)) return s;
  const auto check = [&](const char* name, size_t offset, uint32_t expected) {
    const uint32_t stored = ReadLe32(input.Bytes, offset);
    writer.AddCheck(name, stored == expected, HexText(stored, 8), HexText(expected, 8));
  };
  check("Lead signature", 0, kLeadSignature);
  check("Structure signature", 484, kStructSignature);
  check("Trail signature", 508, kTrailSignature);
  return s;
}

Structure DecodeFatDirectory(const StructureInput& input) {
  Structure s;
  s.Id = "fat-directory";
  s.Title = "FAT directory entries";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> bytes = input.Bytes;
  std::optional<LongNameRun> run;
  const auto unfinished = [&](const char* why) {
    if (run) {
      writer.Note("The long name starting at " + HexText(run->FirstOffset, 3) + " " + why +
                  "; its checksum is not checked");
    }
    run.reset();
  };
  for (size_t at = 0; Fits(bytes, at, kEntrySize); at += kEntrySize) {
    const uint8_t first = bytes[at];
    if (first == kEndOfDirectory) {
      unfinished("has no short entry");
      writer.Note("End of directory at " + HexText(at, 3));
      return s;
    }
    const std::string index = std::to_string(at / kEntrySize + 1);
    const bool deleted = first == kDeleted;
    if ((bytes[at + 11] & kAttributeMask) == kLongNameAttributes) {
      const uint8_t order = first;
      std::string orderText = HexText(order, 2);
      if (deleted) {
        orderText += " (deleted)";
      } else {
        orderText += " (part " + std::to_string(order & 0x1Fu) +
                     ((order & kLastLongNameEntry) != 0 ? ", the last" : "") + ")";
      }
      const std::string group = "Entry " + index + " (long name)";
      writer.AddText(group, at, 1, "Order", orderText, order);
      writer.AddTable(group, at, kLongEntry);
      if (deleted) {
        unfinished("is interrupted by a deleted entry");
      } else {
        // The entry with the last-part flag comes first on disk and starts a run.
        if ((order & kLastLongNameEntry) != 0 || !run) {
          unfinished("is interrupted by another long name");
          run = LongNameRun{at, {}};
        }
        run->Checksums.push_back(bytes[at + kLongNameChecksumOffset]);
      }
      continue;
    }

    const std::string group = "Entry " + index + (deleted ? " (deleted)" : "");
    // A volume label is 11 characters of one piece; a file's name is 8 and 3.
    const bool label = (bytes[at + 11] & 0x18) == 0x08;
    std::string name = "\"" + AsciiText(bytes, at, 11) + "\"";
    if (!label) name += std::string(" (") + (deleted ? "deleted " : "") + ShortName(bytes, at) + ")";
    writer.AddText(group, at, 11, "Name", name);
    writer.SetTextFromBytes(at);
    writer.AddTable(group, at, kShortEntryRest);
    const uint8_t tenths = bytes[at + 13];
    writer.AddText(group, at + 13, 1, "Creation time, 10 ms units",
                   std::to_string(tenths) + " (" + std::to_string(tenths / 100) + "." +
                       (tenths % 100 < 10 ? "0" : "") + std::to_string(tenths % 100) + " s)",
                   tenths);
    if (writer.AddTable(group, at, kShortEntryTimes)) AddEntryTimes(writer, at);
    if (run && !deleted) {
      const uint8_t computed = ShortNameChecksum(bytes.subspan(at, 11));
      std::string stored;
      bool holds = true;
      for (const uint8_t sum : run->Checksums) {
        if (sum != computed) holds = false;
        if (stored.find(HexText(sum, 2)) == std::string::npos) stored += (stored.empty() ? "" : ", ") + HexText(sum, 2);
      }
      writer.AddCheck("Long name checksum, entries at " + HexText(run->FirstOffset, 3) + "-" +
                          HexText(at - kEntrySize, 3) + " against entry " + index,
                      holds, stored, HexText(computed, 2));
    }
    run.reset();
  }
  unfinished("runs past the end of the sector");
  return s;
}

}  // namespace korvalane
