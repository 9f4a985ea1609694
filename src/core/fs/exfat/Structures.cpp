#include "core/fs/exfat/Structures.h"

#include <algorithm>
#include <tuple>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/exfat/ExfatGeometry.h"
#include "core/fs/fatfamily/FatFamily.h"
#include "core/model/Structure.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr ValueName kVolumeFlags[] = {
    {0x01, "second FAT active"}, {0x02, "volume dirty"}, {0x04, "media failure"}, {0x08, "clear to zero"}};

constexpr FieldSpec kBootSector[] = {
    {0, 3, "Jump instruction", Show::Bytes},
    {3, 8, "File system name", Show::Ascii},
    {11, 53, "Must be zero", Show::Bytes},
    {64, 8, "Partition offset", Show::Number},
    {72, 8, "Volume length", Show::Number},
    {80, 4, "FAT offset", Show::Number},
    {84, 4, "FAT length", Show::Number},
    {88, 4, "Cluster heap offset", Show::Number},
    {92, 4, "Cluster count", Show::Number},
    {96, 4, "First cluster of root directory", Show::Number},
    {100, 4, "Volume serial number", Show::Hex},
};
constexpr FieldSpec kBootSectorTail[] = {
    {106, 2, "Volume flags", Show::Flags, kVolumeFlags},
};
constexpr FieldSpec kBootSectorEnd[] = {
    {110, 1, "Number of FATs", Show::Number},
    {111, 1, "Drive select", Show::Hex},
    {112, 1, "Percent in use", Show::Number},
    {113, 7, "Reserved", Show::Bytes},
    {120, 390, "Boot code", Show::Bytes},
};

// The boot region: boot sector, 8 extended boot sectors, OEM parameters, a reserved
// sector, then the checksum sector.
constexpr uint64_t kChecksummedSectors = 11;
constexpr size_t kVolumeFlagsOffset = 106;
constexpr size_t kPercentInUseOffset = 112;

// Directory entries.
constexpr size_t kEntrySize = 32;
constexpr uint8_t kInUse = 0x80;
constexpr uint8_t kFile = 0x85;
constexpr uint8_t kStream = 0xC0;
constexpr uint8_t kFileName = 0xC1;
constexpr uint8_t kBitmap = 0x81;
constexpr uint8_t kUpcase = 0x82;
constexpr uint8_t kLabel = 0x83;
constexpr uint8_t kVolumeGuid = 0xA0;

constexpr ValueName kEntryTypes[] = {
    {0x81, "allocation bitmap"}, {0x82, "up-case table"}, {0x83, "volume label"}, {0x85, "file"},
    {0xA0, "volume GUID"},       {0xC0, "stream extension"}, {0xC1, "file name"},
    {0x05, "file, deleted"},     {0x40, "stream extension, deleted"}, {0x41, "file name, deleted"},
    {0x03, "volume label, empty"}};

constexpr ValueName kFileAttributes[] = {{0x01, "read-only"}, {0x02, "hidden"}, {0x04, "system"},
                                         {0x10, "directory"}, {0x20, "archive"}};
constexpr ValueName kSecondaryFlags[] = {{0x01, "allocation possible"}, {0x02, "no FAT chain"}};

constexpr FieldSpec kFileEntry[] = {
    {1, 1, "Secondary count", Show::Number},
    {2, 2, "Set checksum", Show::Hex},
    {4, 2, "File attributes", Show::Flags, kFileAttributes},
    {6, 2, "Reserved", Show::Hex},
    {8, 4, "Created", Show::ExfatTime},
    {12, 4, "Last modified", Show::ExfatTime},
    {16, 4, "Last accessed", Show::ExfatTime},
    {20, 1, "Created, 10 ms units", Show::Number},
    {21, 1, "Last modified, 10 ms units", Show::Number},
    {22, 1, "Created, UTC offset", Show::Hex},
    {23, 1, "Last modified, UTC offset", Show::Hex},
    {24, 1, "Last accessed, UTC offset", Show::Hex},
};
constexpr FieldSpec kStreamEntry[] = {
    {1, 1, "Flags", Show::Flags, kSecondaryFlags},
    {3, 1, "Name length", Show::Number},
    {4, 2, "Name hash", Show::Hex},
    {8, 8, "Valid data length", Show::Number},
    {20, 4, "First cluster", Show::Number},
    {24, 8, "Data length", Show::Number},
};
constexpr FieldSpec kNameEntry[] = {
    {1, 1, "Flags", Show::Flags, kSecondaryFlags},
    {2, 30, "Name characters", Show::Utf16},
};
constexpr FieldSpec kBitmapEntry[] = {
    {1, 1, "Flags", Show::Hex},
    {20, 4, "First cluster", Show::Number},
    {24, 8, "Data length", Show::Number},
};
constexpr FieldSpec kUpcaseEntry[] = {
    {4, 4, "Table checksum", Show::Hex},
    {20, 4, "First cluster", Show::Number},
    {24, 8, "Data length", Show::Number},
};
constexpr FieldSpec kLabelEntry[] = {
    {1, 1, "Character count", Show::Number},
    {2, 22, "Volume label", Show::Utf16},
};
constexpr FieldSpec kGuidEntry[] = {
    {1, 1, "Secondary count", Show::Number},
    {2, 2, "Set checksum", Show::Hex},
    {4, 2, "Flags", Show::Hex},
    {6, 16, "Volume GUID", Show::Guid},
};
constexpr FieldSpec kOtherEntry[] = {
    {1, 31, "Contents", Show::Bytes},
};

// A file entry's three stamps for scripts, each with the 10 ms units (where it has them)
// and the UTC offset kept beside it.
void AddFileTimes(FieldWriter& writer, size_t at) {
  struct Stamp {
    size_t Packed;
    std::optional<size_t> TenMs;
    size_t UtcOffset;
  };
  static constexpr Stamp kStamps[] = {{8, 20, 22}, {12, 21, 23}, {16, std::nullopt, 24}};
  const std::span<const uint8_t> bytes = writer.Bytes();
  for (const Stamp& stamp : kStamps) {
    const std::optional<uint8_t> tenMs = stamp.TenMs ? std::optional<uint8_t>(bytes[at + *stamp.TenMs]) : std::nullopt;
    writer.SetTime(at + stamp.Packed,
                   StampIso8601(ExfatStamp(ReadLe32(bytes, at + stamp.Packed), tenMs, bytes[at + stamp.UtcOffset])));
  }
}

// The backup boot region follows the main one.
constexpr uint64_t kBootRegionSectors = 12;

}  // namespace

std::optional<StructureChoice> ExfatStructureAt(uint64_t sector) {
  if (sector == 0 || sector == kBootRegionSectors) return StructureChoice{"exfat-boot"};
  if (sector == kChecksummedSectors || sector == kBootRegionSectors + kChecksummedSectors) {
    return StructureChoice{"exfat-checksum"};
  }
  const VolumeGeometry& g = Geometry();
  if (g.StartDataSector <= 0 || sector < static_cast<uint32_t>(g.StartDataSector)) return std::nullopt;
  if (const std::optional<int64_t> root = ExfatRootDirectorySector();
      root && *root >= 0 && g.SectorsPerCluster > 0 && sector >= static_cast<uint64_t>(*root) &&
      sector - static_cast<uint64_t>(*root) < static_cast<uint32_t>(g.SectorsPerCluster)) {
    return StructureChoice{"exfat-directory"};
  }
  // Another directory's sector: it opens with a file's entry set, in use or deleted.
  const std::vector<uint8_t> bytes = ReadStructureSector(sector);
  if ((ReadU8(bytes, 0) & ~kInUse) == (kFile & ~kInUse) && (ReadU8(bytes, 32) & ~kInUse) == (kStream & ~kInUse)) {
    return StructureChoice{"exfat-directory"};
  }
  return std::nullopt;
}

std::vector<StructureBackup> ExfatStructureBackups() {
  // The volume flags and the percentage in use change while the volume is used; only the
  // main boot sector follows them, and the boot region's checksum leaves them out so that
  // neither copy's checksum goes stale.
  const char* const stale = "stale in the backup: only the main boot sector follows it, and the boot checksum leaves it out";
  return {{"exfat-boot", 0, kBootRegionSectors,
           {KeptByThePrimary(kVolumeFlagsOffset, stale), KeptByThePrimary(kPercentInUseOffset, stale)}},
          {"exfat-checksum", kChecksummedSectors, kBootRegionSectors + kChecksummedSectors}};
}

uint32_t ExfatBootChecksum(std::span<const uint8_t> region, uint32_t sectorSize) {
  uint32_t sum = 0;
  const size_t length = std::min<size_t>(region.size(), size_t{kChecksummedSectors} * sectorSize);
  for (size_t i = 0; i < length; ++i) {
    if (i == kVolumeFlagsOffset || i == kVolumeFlagsOffset + 1 || i == kPercentInUseOffset) continue;
    sum = ((sum & 1u) != 0 ? 0x80000000u : 0u) + (sum >> 1) + region[i];
  }
  return sum;
}

uint16_t ExfatSetChecksum(std::span<const uint8_t> set) {
  uint16_t sum = 0;
  for (size_t i = 0; i < set.size(); ++i) {
    if (i == 2 || i == 3) continue;
    sum = static_cast<uint16_t>(((sum & 1u) != 0 ? 0x8000u : 0u) + (sum >> 1) + set[i]);
  }
  return sum;
}

Structure DecodeExfatBootSector(const StructureInput& input) {
  // The revision and the two shifts are shown as what they mean.
  return DecodeBootSector(input, "exfat-boot", "exFAT boot sector", kBootSector, kBootSectorEnd, [&](FieldWriter& writer) {
    const uint16_t revision = ReadLe16(input.Bytes, 104);
    writer.AddText({}, 104, 2, "File system revision",
                   std::to_string(revision >> 8) + "." + (((revision & 0xFFu) < 10) ? "0" : "") +
                       std::to_string(revision & 0xFFu) + " (" + HexText(revision, 4) + ")",
                   revision);
    if (!writer.AddTable({}, 0, kBootSectorTail)) return false;
    for (const auto& [offset, name, unit] : {std::tuple{size_t{108}, "Bytes per sector shift", " bytes"},
                                             std::tuple{size_t{109}, "Sectors per cluster shift", " sectors"}}) {
      if (!writer.Fits(offset, 1)) return false;
      const uint8_t shift = input.Bytes[offset];
      writer.AddText({}, offset, 1, name,
                     std::to_string(shift) + (shift < 32 ? " (" + std::to_string(uint32_t{1} << shift) + unit + ")" : ""),
                     shift);
    }
    return true;
  });
}

Structure DecodeExfatChecksumSector(const StructureInput& input) {
  Structure s;
  s.Id = "exfat-checksum";
  s.Title = "exFAT boot checksum sector";
  FieldWriter writer(s, input.Bytes);
  if (!writer.Add({}, 0, 4, "Checksum", Show::Hex)) return s;
  const uint32_t stored = ReadLe32(input.Bytes, 0);
  const size_t length = std::min<size_t>(input.Bytes.size(), input.SectorSize) / 4 * 4;
  if (length > 4) {
    writer.AddText({}, 4, length - 4, "Copies of the checksum", std::to_string(length / 4 - 1) + " copies");
    size_t differing = 0;
    std::optional<size_t> firstDiffering;
    for (size_t at = 4; at < length; at += 4) {
      if (ReadLe32(input.Bytes, at) != stored) {
        ++differing;
        if (!firstDiffering) firstDiffering = at;
      }
    }
    writer.AddCheck("Copies of the checksum", differing == 0,
                    differing == 0 ? "all " + HexText(stored, 8)
                                   : std::to_string(differing) + " differ, the first at " + HexText(*firstDiffering, 3) +
                                         ": " + HexText(ReadLe32(input.Bytes, *firstDiffering), 8),
                    HexText(stored, 8));
  }
  if (!input.Read) return s;
  if (input.Sector < kChecksummedSectors || input.SectorSize == 0) {
    writer.AddCheck("Boot region checksum", false, HexText(stored, 8),
                    "not computed: the region would start before sector 0");
    return s;
  }
  std::vector<uint8_t> region(static_cast<size_t>(kChecksummedSectors * input.SectorSize));
  const uint64_t first = input.Sector - kChecksummedSectors;
  if (!input.Read(first, region)) {
    writer.AddCheck("Boot region checksum", false, HexText(stored, 8),
                    "not computed: sectors " + std::to_string(first) + "-" + std::to_string(input.Sector - 1) +
                        " cannot be read");
    return s;
  }
  const uint32_t computed = ExfatBootChecksum(region, input.SectorSize);
  writer.AddCheck("Boot region checksum (sectors " + std::to_string(first) + "-" + std::to_string(input.Sector - 1) +
                      ")",
                  computed == stored, HexText(stored, 8), HexText(computed, 8));
  return s;
}

Structure DecodeExfatDirectory(const StructureInput& input) {
  Structure s;
  s.Id = "exfat-directory";
  s.Title = "exFAT directory entries";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> bytes = input.Bytes;
  for (size_t at = 0; Fits(bytes, at, kEntrySize); at += kEntrySize) {
    const uint8_t type = bytes[at];
    if (type == 0) {
      writer.Note("End of directory at " + HexText(at, 3));
      return s;
    }
    const std::string group = "Entry " + std::to_string(at / kEntrySize + 1);
    writer.Add(group, at, 1, "Entry type", Show::Code, kEntryTypes);
    switch (type) {
      case kFile:
      case kFile & ~kInUse:
        if (writer.AddTable(group, at, kFileEntry)) AddFileTimes(writer, at);
        break;
      case kStream:
      case kStream & ~kInUse: writer.AddTable(group, at, kStreamEntry); break;
      case kFileName:
      case kFileName & ~kInUse: writer.AddTable(group, at, kNameEntry); break;
      case kBitmap: writer.AddTable(group, at, kBitmapEntry); break;
      case kUpcase: writer.AddTable(group, at, kUpcaseEntry); break;
      case kLabel:
      case kLabel & ~kInUse: writer.AddTable(group, at, kLabelEntry); break;
      case kVolumeGuid: writer.AddTable(group, at, kGuidEntry); break;
      default: writer.AddTable(group, at, kOtherEntry); break;
    }
    // A file's entry set: the file entry and its secondary entries, checksummed together.
    if (type == kFile || type == kVolumeGuid) {
      const size_t setBytes = (size_t{bytes[at + 1]} + 1) * kEntrySize;
      const uint16_t stored = ReadLe16(bytes, at + 2);
      if (!Fits(bytes, at, setBytes)) {
        writer.Note("The entry set at " + HexText(at, 3) + " (" + std::to_string(setBytes / kEntrySize) +
                    " entries) runs past the end of the sector; its checksum is not checked");
      } else {
        const uint16_t computed = ExfatSetChecksum(bytes.subspan(at, setBytes));
        writer.AddCheck("Set checksum of the entries at " + HexText(at, 3) + "-" +
                            HexText(at + setBytes - kEntrySize, 3),
                        computed == stored, HexText(stored, 4), HexText(computed, 4));
      }
    }
  }
  return s;
}

}  // namespace korvalane
