#include "core/structures/DiskStructures.h"

#include <algorithm>
#include <vector>

#include "core/Bytes.h"
#include "core/disk/Crc32.h"

namespace korvalane {
namespace {

// MBR and EBR.
constexpr size_t kBootCodeBytes = 440;
constexpr size_t kDiskSignatureOffset = 440;
constexpr size_t kEntriesOffset = 446;
constexpr size_t kEntryBytes = 16;
constexpr uint8_t kGptProtective = 0xEE;

constexpr ValueName kBootFlags[] = {{0x80, "active"}, {0x00, "inactive"}};

constexpr FieldSpec kMbrEntry[] = {
    {0, 1, "Boot flag", Show::Code, kBootFlags},
    {1, 3, "CHS start", Show::Chs},
    {4, 1, "Type", Show::MbrType},
    {5, 3, "CHS end", Show::Chs},
    {8, 4, "LBA start", Show::Number},
    {12, 4, "Sector count", Show::Number},
};

// GPT header.
constexpr char kGptSignature[] = "EFI PART";
constexpr size_t kHeaderSizeOffset = 12;
constexpr size_t kHeaderCrcOffset = 16;
constexpr size_t kEntriesLbaOffset = 72;
constexpr size_t kEntryCountOffset = 80;
constexpr size_t kEntrySizeOffset = 84;
constexpr size_t kArrayCrcOffset = 88;
constexpr size_t kSmallestHeader = 92;

constexpr FieldSpec kGptHeader[] = {
    {0, 8, "Signature", Show::Ascii},
    {8, 4, "Revision", Show::Hex},
    {12, 4, "Header size", Show::Number},
    {16, 4, "Header CRC32", Show::Hex},
    {20, 4, "Reserved", Show::Hex},
    {24, 8, "Current LBA", Show::Number},
    {32, 8, "Backup LBA", Show::Number},
    {40, 8, "First usable LBA", Show::Number},
    {48, 8, "Last usable LBA", Show::Number},
    {56, 16, "Disk GUID", Show::Guid},
    {72, 8, "Partition entries LBA", Show::Number},
    {80, 4, "Number of partition entries", Show::Number},
    {84, 4, "Size of a partition entry", Show::Number},
    {88, 4, "Partition entry array CRC32", Show::Hex},
};

constexpr ValueName kGptAttributes[] = {
    {uint64_t{1} << 0, "required"},
    {uint64_t{1} << 1, "no block I/O protocol"},
    {uint64_t{1} << 2, "legacy BIOS bootable"},
    {uint64_t{1} << 60, "read-only"},
    {uint64_t{1} << 61, "shadow copy"},
    {uint64_t{1} << 62, "hidden"},
    {uint64_t{1} << 63, "no drive letter"},
};

constexpr FieldSpec kGptEntry[] = {
    {0, 16, "Type GUID", Show::GptType},
    {16, 16, "Unique GUID", Show::Guid},
    {32, 8, "First LBA", Show::Number},
    {40, 8, "Last LBA", Show::Number},
    {48, 8, "Attributes", Show::Flags, kGptAttributes},
    {56, 72, "Name", Show::Utf16},
};
constexpr size_t kGptEntryBytes = 128;

void AddPartitionTable(FieldWriter& writer, const char* const groups[4]) {
  writer.Add({}, 0, kBootCodeBytes, "Boot code", Show::Bytes);
  writer.Add({}, kDiskSignatureOffset, 4, "Disk signature", Show::Hex);
  writer.Add({}, kDiskSignatureOffset + 4, 2, "Reserved", Show::Hex);
  for (size_t i = 0; i < 4; ++i) writer.AddTable(groups[i], kEntriesOffset + i * kEntryBytes, kMbrEntry);
  AddBootSignature(writer);
}

}  // namespace

Structure DecodeMbr(const StructureInput& input) {
  Structure s;
  s.Id = "mbr";
  s.Title = "Master boot record";
  bool protective = false;
  for (size_t i = 0; i < 4; ++i) {
    protective |= ReadU8(input.Bytes, kEntriesOffset + i * kEntryBytes + 4) == kGptProtective;
  }
  if (protective) s.Title = "Protective MBR";
  FieldWriter writer(s, input.Bytes);
  static const char* const kGroups[4] = {"Entry 1", "Entry 2", "Entry 3", "Entry 4"};
  AddPartitionTable(writer, kGroups);
  return s;
}

Structure DecodeEbr(const StructureInput& input) {
  Structure s;
  s.Id = "ebr";
  s.Title = "Extended boot record";
  FieldWriter writer(s, input.Bytes);
  // Entry 1 is the logical partition, its start counted from this record; entry 2 the next
  // record, its start counted from the extended partition's first sector. Entries 3 and 4
  // are unused.
  static const char* const kGroups[4] = {"Entry 1 (logical partition)", "Entry 2 (next EBR)",
                                         "Entry 3 (unused)", "Entry 4 (unused)"};
  AddPartitionTable(writer, kGroups);
  return s;
}

Structure DecodeGptHeader(const StructureInput& input) {
  Structure s;
  s.Id = "gpt-header";
  s.Title = "GPT header";
  FieldWriter writer(s, input.Bytes);
  if (!writer.AddTable({}, 0, kGptHeader)) return s;
  const std::span<const uint8_t> bytes = input.Bytes;

  writer.AddSignatureCheck("Signature", 0, kGptSignature);

  // The header CRC32 covers the header's declared size with the CRC field taken as zero.
  const uint32_t headerSize = ReadLe32(bytes, kHeaderSizeOffset);
  const uint32_t storedHeaderCrc = ReadLe32(bytes, kHeaderCrcOffset);
  if (headerSize < kSmallestHeader || headerSize > bytes.size() || headerSize > input.SectorSize) {
    writer.AddCheck("Header CRC32", false, HexText(storedHeaderCrc, 8),
                    "not computed: header size " + std::to_string(headerSize) + " is not 92 to " +
                        std::to_string(std::min<size_t>(bytes.size(), input.SectorSize)));
  } else {
    std::vector<uint8_t> header(bytes.begin(), bytes.begin() + headerSize);
    std::fill_n(header.begin() + kHeaderCrcOffset, 4, 0);
    const uint32_t computed = Crc32(header);
    writer.AddCheck("Header CRC32", computed == storedHeaderCrc, HexText(storedHeaderCrc, 8), HexText(computed, 8));
  }

  // The entry array's CRC32 needs the array, read from the sectors the header names.
  const uint32_t storedArrayCrc = ReadLe32(bytes, kArrayCrcOffset);
  const uint64_t arrayBytes = uint64_t{ReadLe32(bytes, kEntryCountOffset)} * ReadLe32(bytes, kEntrySizeOffset);
  const uint64_t arrayLba = ReadLe64(bytes, kEntriesLbaOffset);
  if (!input.Read) return s;
  if (arrayBytes == 0 || arrayBytes > kLargestGptEntryArray || input.SectorSize == 0) {
    writer.AddCheck("Partition entry array CRC32", false, HexText(storedArrayCrc, 8),
                    "not computed: an array of " + std::to_string(arrayBytes) + " bytes");
    return s;
  }
  const uint64_t sectors = (arrayBytes + input.SectorSize - 1) / input.SectorSize;
  std::vector<uint8_t> array(static_cast<size_t>(sectors * input.SectorSize));
  if (!input.Read(arrayLba, array)) {
    writer.AddCheck("Partition entry array CRC32", false, HexText(storedArrayCrc, 8),
                    "not computed: sectors " + std::to_string(arrayLba) + " on cannot be read");
    return s;
  }
  const uint32_t computed = Crc32(std::span<const uint8_t>(array).first(static_cast<size_t>(arrayBytes)));
  writer.AddCheck("Partition entry array CRC32", computed == storedArrayCrc, HexText(storedArrayCrc, 8),
                  HexText(computed, 8));
  return s;
}

Structure DecodeGptEntries(const StructureInput& input) {
  Structure s;
  s.Id = "gpt-entries";
  s.Title = "GPT partition entries";
  FieldWriter writer(s, input.Bytes);
  const size_t entrySize = input.EntrySize >= kGptEntryBytes ? input.EntrySize : kGptEntryBytes;
  // One sector of the array, or the whole array where it was read whole.
  const size_t span = input.Bytes.size();
  for (size_t at = 0, n = 0; at < span && !writer.Cut(); at += entrySize, ++n) {
    const std::string group = "Entry " + std::to_string(uint64_t{input.FirstEntryNumber} + n);
    const bool unused = Fits(input.Bytes, at, 16) &&
                        std::all_of(input.Bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                    input.Bytes.begin() + static_cast<std::ptrdiff_t>(at + 16),
                                    [](uint8_t b) { return b == 0; });
    if (unused) {
      writer.Add(group, at, 16, "Type GUID", Show::GptType);
    } else {
      writer.AddTable(group, at, kGptEntry);
    }
  }
  return s;
}

}  // namespace korvalane
