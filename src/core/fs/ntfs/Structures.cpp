#include "core/fs/ntfs/Structures.h"

#include <algorithm>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/ntfs/FileRecordFormat.h"
#include "core/fs/ntfs/RunList.h"
#include "core/model/Structure.h"

namespace korvalane {
namespace {

constexpr FieldSpec kBootSector[] = {
    {0, 3, "Jump instruction", Show::Bytes},
    {3, 8, "OEM ID", Show::Ascii},
    {11, 2, "Bytes per sector", Show::Number},
    {13, 1, "Sectors per cluster", Show::Number},
    {14, 2, "Reserved sectors", Show::Number},
    {16, 3, "Unused (zero)", Show::Bytes},
    {19, 2, "Unused", Show::Hex},
    {21, 1, "Media descriptor", Show::Hex},
    {22, 2, "Unused (zero)", Show::Hex},
    {24, 2, "Sectors per track", Show::Number},
    {26, 2, "Number of heads", Show::Number},
    {28, 4, "Hidden sectors", Show::Number},
    {32, 4, "Unused", Show::Hex},
    {36, 4, "Unused", Show::Hex},
    {40, 8, "Total sectors", Show::Number},
    {48, 8, "MFT cluster", Show::Number},
    {56, 8, "MFT mirror cluster", Show::Number},
};
constexpr FieldSpec kBootSectorEnd[] = {
    {72, 8, "Volume serial number", Show::Hex},
    {80, 4, "Checksum", Show::Hex},
    {84, 426, "Boot code", Show::Bytes},
};

// A size of a file record or an index block: a positive count of clusters, or a negative
// n for 2^-n bytes.
std::string ClustersOrBytes(uint8_t stored) {
  const int8_t value = static_cast<int8_t>(stored);
  std::string text = std::to_string(value) + " (";
  if (value >= 0) {
    text += std::to_string(value) + (value == 1 ? " cluster)" : " clusters)");
  } else if (value >= -31) {
    text += std::to_string(uint32_t{1} << -value) + " bytes)";
  } else {
    text += "no size)";
  }
  return text;
}

// FILE record header.
using ntfs::kFirstAttributeOffset;
using ntfs::kStride;
using ntfs::kUpdateSequenceCount;
using ntfs::kUpdateSequenceOffset;
constexpr size_t kUsedSizeOffset = 24;
constexpr char kSignature[] = "FILE";

constexpr ValueName kRecordFlags[] = {
    {0x01, "in use"}, {0x02, "directory"}, {0x04, "extension"}, {0x08, "view index"}};

constexpr FieldSpec kRecordHeader[] = {
    {0, 4, "Signature", Show::Ascii},
    {4, 2, "Update sequence offset", Show::Number},
    {6, 2, "Update sequence size", Show::Number},
    {8, 8, "$LogFile sequence number", Show::Number},
    {16, 2, "Sequence number", Show::Number},
    {18, 2, "Hard link count", Show::Number},
    {20, 2, "First attribute offset", Show::Number},
    {22, 2, "Flags", Show::Flags, kRecordFlags},
    {24, 4, "Used size", Show::Number},
    {28, 4, "Allocated size", Show::Number},
    {32, 8, "Base record", Show::FileReference},
    {40, 2, "Next attribute ID", Show::Number},
    {42, 2, "Reserved", Show::Hex},
    {44, 4, "MFT record number", Show::Number},
};

// Attributes.
constexpr uint32_t kEndMarker = 0xFFFFFFFF;
constexpr uint32_t kStandardInformation = 0x10;
constexpr uint32_t kFileName = 0x30;
constexpr size_t kAttributeHeaderBytes = 16;

constexpr ValueName kAttributeTypes[] = {
    {0x10, "$STANDARD_INFORMATION"}, {0x20, "$ATTRIBUTE_LIST"}, {0x30, "$FILE_NAME"},
    {0x40, "$OBJECT_ID"},            {0x50, "$SECURITY_DESCRIPTOR"}, {0x60, "$VOLUME_NAME"},
    {0x70, "$VOLUME_INFORMATION"},   {0x80, "$DATA"},            {0x90, "$INDEX_ROOT"},
    {0xA0, "$INDEX_ALLOCATION"},     {0xB0, "$BITMAP"},          {0xC0, "$REPARSE_POINT"},
    {0xD0, "$EA_INFORMATION"},       {0xE0, "$EA"},              {0x100, "$LOGGED_UTILITY_STREAM"}};
constexpr ValueName kResidency[] = {{0, "resident"}, {1, "non-resident"}};
constexpr ValueName kAttributeFlags[] = {{0x0001, "compressed"}, {0x4000, "encrypted"}, {0x8000, "sparse"}};

constexpr FieldSpec kAttributeHeader[] = {
    {0, 4, "Type", Show::Code, kAttributeTypes},
    {4, 4, "Length", Show::Number},
    {8, 1, "Residency", Show::Code, kResidency},
    {9, 1, "Name length", Show::Number},
    {10, 2, "Name offset", Show::Number},
    {12, 2, "Flags", Show::Flags, kAttributeFlags},
    {14, 2, "Attribute ID", Show::Number},
};
constexpr FieldSpec kResidentHeader[] = {
    {16, 4, "Value length", Show::Number},
    {20, 2, "Value offset", Show::Number},
    {22, 1, "Indexed", Show::Number},
    {23, 1, "Padding", Show::Hex},
};
constexpr FieldSpec kNonResidentHeader[] = {
    {16, 8, "First VCN", Show::Number},
    {24, 8, "Last VCN", Show::Number},
    {32, 2, "Run list offset", Show::Number},
    {34, 2, "Compression unit", Show::Number},
    {36, 4, "Padding", Show::Hex},
    {40, 8, "Allocated size", Show::Number},
    {48, 8, "Data size", Show::Number},
    {56, 8, "Initialized size", Show::Number},
};

constexpr ValueName kFileAttributes[] = {
    {0x0001, "read-only"}, {0x0002, "hidden"},      {0x0004, "system"},     {0x0020, "archive"},
    {0x0040, "device"},    {0x0080, "normal"},      {0x0100, "temporary"},  {0x0200, "sparse"},
    {0x0400, "reparse point"}, {0x0800, "compressed"}, {0x1000, "offline"}, {0x2000, "not indexed"},
    {0x4000, "encrypted"}, {0x10000000, "directory"}, {0x20000000, "index view"}};

constexpr FieldSpec kStandardInformationValue[] = {
    {0, 8, "Created", Show::FileTime},
    {8, 8, "Modified", Show::FileTime},
    {16, 8, "MFT record changed", Show::FileTime},
    {24, 8, "Accessed", Show::FileTime},
    {32, 4, "File attributes", Show::Flags, kFileAttributes},
    {36, 4, "Maximum versions", Show::Number},
    {40, 4, "Version number", Show::Number},
    {44, 4, "Class ID", Show::Number},
};
// NTFS 3.0 and later add these; the value's length says whether they are there.
constexpr FieldSpec kStandardInformationV3[] = {
    {48, 4, "Owner ID", Show::Number},
    {52, 4, "Security ID", Show::Number},
    {56, 8, "Quota charged", Show::Number},
    {64, 8, "Update sequence number (USN)", Show::Number},
};
constexpr size_t kStandardInformationV3Bytes = 72;

constexpr ValueName kNamespaces[] = {{0, "POSIX"}, {1, "Win32"}, {2, "DOS"}, {3, "Win32 and DOS"}};
constexpr FieldSpec kFileNameValue[] = {
    {0, 8, "Parent directory", Show::FileReference},
    {8, 8, "Created", Show::FileTime},
    {16, 8, "Modified", Show::FileTime},
    {24, 8, "MFT record changed", Show::FileTime},
    {32, 8, "Accessed", Show::FileTime},
    {40, 8, "Allocated size", Show::Number},
    {48, 8, "Real size", Show::Number},
    {56, 4, "File attributes", Show::Flags, kFileAttributes},
    {60, 4, "Reparse tag or EA size", Show::Hex},
    {64, 1, "Name length", Show::Number},
    {65, 1, "Namespace", Show::Code, kNamespaces},
};
constexpr size_t kFileNameNameOffset = 66;

std::string TypeName(uint32_t type) {
  for (const ValueName& known : kAttributeTypes) {
    if (known.Value == type) return known.Name;
  }
  return HexText(type, 2);
}

// The run list, one field per run: its bytes, then what they say. `end` bounds the list
// (the attribute's end, within the record).
void AddRunList(FieldWriter& writer, const std::string& group, size_t at, size_t end) {
  const std::span<const uint8_t> bytes = writer.Bytes();
  RunListReader reader(bytes.first(std::min(end, bytes.size())), at);
  RunListEntry entry;
  size_t run = 1;
  for (; reader.Next(entry); ++run) {
    std::string value = ShowValue(bytes, entry.Offset, entry.Size, Show::Bytes) + ": " + std::to_string(entry.Run.Count) + " clusters";
    if (entry.Run.Sparse) {
      value += ", sparse";
    } else {
      value += " from cluster " + std::to_string(static_cast<int64_t>(entry.Run.Lcn)) + " (" + (entry.Delta >= 0 ? "+" : "") +
               std::to_string(entry.Delta) + ")";
    }
    writer.AddText(group, entry.Offset, entry.Size, "Run " + std::to_string(run), value);
  }
  const size_t last = reader.Position();
  const auto why = [&](const char* what) {
    const uint8_t header = bytes[last];
    writer.AddText(group, last, 1, "Run " + std::to_string(run) + " header", HexText(header, 2) + " (" + what + ")", header);
  };
  switch (reader.End()) {
    case RunListEnd::Marker: writer.AddText(group, last, 1, "End of run list", "0x00", 0); break;
    case RunListEnd::BufferEnd: break;
    case RunListEnd::Cut: why("a run that does not fit its attribute"); break;
    case RunListEnd::NoLength: why("a run without a length, which ends the list"); break;
    case RunListEnd::WideOffset: why("an offset wider than 8 bytes, which ends the list"); break;
  }
}

// FILE records are at most 64 KiB.
constexpr uint64_t kLargestRecord = 65536;
constexpr uint64_t kUsualRecord = 1024;

}  // namespace

std::optional<StructureChoice> NtfsStructureAt(uint64_t sector) {
  if (sector == 0) return StructureChoice{"ntfs-boot"};
  const uint64_t sectors = DriveSectorCount();
  if (sectors > 0 && sector == sectors - 1) return StructureChoice{"ntfs-boot"};
  if (BeginsWith(ReadStructureSector(sector), kSignature)) return StructureChoice{"mft-record"};
  return std::nullopt;
}

std::vector<StructureBackup> NtfsStructureBackups() {
  const uint64_t sectors = DriveSectorCount();
  if (sectors < 2) return {};
  return {{"ntfs-boot", 0, sectors - 1}};
}

uint64_t NtfsRecordBytes() {
  const std::vector<uint8_t> boot = ReadStructureSector(0);
  const int8_t perRecord = static_cast<int8_t>(ReadU8(boot, 64));
  const uint64_t cluster = uint64_t{ReadLe16(boot, 11)} * ReadU8(boot, 13);
  uint64_t length = 0;
  if (perRecord < 0 && perRecord >= -31) {
    length = uint64_t{1} << -perRecord;
  } else if (perRecord > 0) {
    length = cluster * static_cast<uint64_t>(perRecord);
  }
  return length == 0 || length > kLargestRecord ? kUsualRecord : length;
}

uint64_t MftRecordSpan(std::string_view, uint32_t sectorSize, size_t) {
  return std::max<uint64_t>(NtfsRecordBytes(), sectorSize) / sectorSize * sectorSize;
}

Structure DecodeNtfsBootSector(const StructureInput& input) {
  return DecodeBootSector(input, "ntfs-boot", "NTFS boot sector", kBootSector, kBootSectorEnd, [&](FieldWriter& writer) {
    for (const auto& [offset, name] : {std::pair{size_t{64}, "Clusters per file record"},
                                       std::pair{size_t{68}, "Clusters per index block"}}) {
      if (!writer.Fits(offset, 4)) return false;
      writer.AddText({}, offset, 1, name, ClustersOrBytes(input.Bytes[offset]), input.Bytes[offset]);
      writer.Add({}, offset + 1, 3, "Unused", Show::Hex);
    }
    return true;
  });
}

Structure DecodeMftRecord(const StructureInput& input) {
  Structure s;
  s.Id = "mft-record";
  s.Title = "MFT FILE record";
  const std::span<const uint8_t> raw = input.Bytes;
  FieldWriter header(s, raw);
  if (!header.AddTable({}, 0, kRecordHeader)) return s;
  header.AddSignatureCheck("Signature", 0, kSignature);

  // The update sequence: its number, then the two bytes each 512-byte stride of the
  // record had at its end before the number was written there.
  std::vector<uint8_t> fixed(raw.begin(), raw.end());
  const size_t usa = ReadLe16(raw, kUpdateSequenceOffset);
  const size_t count = ReadLe16(raw, kUpdateSequenceCount);
  // A record of N strides has N + 1 entries; a larger count is not followed past them.
  const size_t strides = raw.size() / kStride;
  if (count > strides + 1) {
    header.Note("The update sequence size " + std::to_string(count) + " is more than the record's " +
                std::to_string(strides) + " strides need; only those are checked");
  }
  if (count > 0 && header.Add("Update sequence", usa, 2, "Update sequence number", Show::Hex)) {
    const ntfs::FixupResult fixups = ntfs::ApplyFixups(fixed, [&](const ntfs::FixupStride& stride) {
      const std::string number = std::to_string(stride.Index);
      header.Add("Update sequence", stride.Saved, 2, ("Saved end of stride " + number).c_str(), Show::Hex);
      header.AddCheck("Update sequence at " + HexText(stride.End, 3) + " (end of stride " + number + ")",
                      stride.Found == stride.Sequence, HexText(stride.Found, 4), HexText(stride.Sequence, 4));
    });
    // An array that runs past the record cuts the record at its first entry outside.
    const size_t wanted = std::min(count - 1, strides);
    if (fixups.Strides < wanted && !header.Fits(usa + 2 * (fixups.Strides + 1), 2)) return s;
  }

  // The attributes, read with the update sequence applied.
  FieldWriter writer(s, fixed);
  const std::span<const uint8_t> bytes(fixed);
  const size_t used = ReadLe32(bytes, kUsedSizeOffset);
  const size_t limit = used >= kAttributeHeaderBytes && used < bytes.size() ? used : bytes.size();
  size_t at = ReadLe16(bytes, kFirstAttributeOffset);
  for (size_t n = 1; !writer.Cut(); ++n) {
    if (at >= limit) {
      writer.Note("The attributes reach the record's used size at " + HexText(at, 3) + " without an end marker");
      return s;
    }
    if (Fits(bytes, at, 4) && ReadLe32(bytes, at) == kEndMarker) {
      writer.Add({}, at, 4, "End marker", Show::Hex);
      return s;
    }
    const uint32_t type = ReadLe32(bytes, at);
    const std::string group = "Attribute " + std::to_string(n) + ": " + TypeName(type);
    if (!writer.AddTable(group, at, kAttributeHeader)) return s;
    const uint32_t length = ReadLe32(bytes, at + 4);
    const size_t end = length > limit - at ? limit : at + length;
    const bool nonResident = bytes[at + 8] != 0;
    const size_t nameLength = bytes[at + 9];
    if (nameLength > 0) {
      const size_t nameAt = at + ReadLe16(bytes, at + 10);
      writer.Add(group, nameAt, 2 * nameLength, "Name", Show::Utf16);
    }
    if (nonResident) {
      if (!writer.AddTable(group, at, kNonResidentHeader)) return s;
      AddRunList(writer, group, at + ReadLe16(bytes, at + 32), end);
    } else {
      if (!writer.AddTable(group, at, kResidentHeader)) return s;
      const size_t valueAt = at + ReadLe16(bytes, at + 20);
      const size_t valueLength = ReadLe32(bytes, at + 16);
      if (type == kStandardInformation) {
        writer.AddTable(group, valueAt, kStandardInformationValue);
        if (valueLength >= kStandardInformationV3Bytes) writer.AddTable(group, valueAt, kStandardInformationV3);
      } else if (type == kFileName) {
        if (writer.AddTable(group, valueAt, kFileNameValue)) {
          writer.Add(group, valueAt + kFileNameNameOffset, 2 * size_t{bytes[valueAt + 64]}, "Name", Show::Utf16);
        }
      }
    }
    if (length < kAttributeHeaderBytes) {
      writer.Note("Attribute " + std::to_string(n) + " at " + HexText(at, 3) + " has a length of " +
                  std::to_string(length) + "; the walk stops there");
      return s;
    }
    if (length > limit - at) {
      writer.Note("Attribute " + std::to_string(n) + " at " + HexText(at, 3) +
                  " runs past the record's used size; the walk stops there");
      return s;
    }
    at += length;
  }
  return s;
}

}  // namespace korvalane
