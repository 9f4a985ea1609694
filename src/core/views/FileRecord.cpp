#include "core/views/FileRecord.h"

#include <optional>
#include <vector>

#include "core/Bytes.h"
#include "core/Platform.h"
#include "core/text/NumberFormat.h"
#include "core/views/DataRuns.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// FILE record header.
constexpr uint32_t kSignature = 0x454C4946;  // "FILE"
constexpr size_t kUpdateSequenceOffset = 4;
constexpr size_t kUpdateSequenceCount = 6;
constexpr size_t kFirstAttributeOffset = 20;
constexpr size_t kRecordNumberOffset = 44;

// Attribute header.
constexpr size_t kAttributeLengthOffset = 4;
constexpr size_t kAttributeHeaderBytes = 6;  // type and the low half of the length
constexpr size_t kNonResidentFlagOffset = 8;
constexpr size_t kResidentValueLengthOffset = 16;
constexpr size_t kRunListOffset = 32;
constexpr size_t kDataSizeOffset = 48;
constexpr uint32_t kEndMarker = 0xFFFFFFFF;

// Attribute contents, at fixed offsets from the attribute's first byte (a resident value
// starts 24 bytes in).
constexpr size_t kCreationTimeOffset = 24;
constexpr size_t kParentRecordOffset = 24;
constexpr size_t kParentRecordWidth = 6;
constexpr size_t kNameLengthOffset = 88;
constexpr size_t kNameOffset = 90;

// Attribute types, by their low byte.
constexpr uint8_t kStandardInformation = 0x10;
constexpr uint8_t kFileName = 0x30;
constexpr uint8_t kData = 0x80;
constexpr uint8_t kIndexRoot = 0x90;
constexpr uint8_t kIndexAllocation = 0xA0;
constexpr uint8_t kFirstTypeAfterWalk = 0xA1;

// The update sequence protects the last two bytes of every 512-byte stride, whatever the
// sector size.
constexpr size_t kStride = 512;

// FILE records are at most 64 KiB.
constexpr int32_t kLargestRecord = 65536;

constexpr char16_t kNotARecord[] = u"This sector does not contain information about a file records";

// The calendar value a missing creation time shows: the zero of the classic date-time type.
constexpr CivilTime kNoTime{1899, 12, 30, 0, 0, 0, 0};

// Fields read from a record, each only when it lies inside it.
class Record {
 public:
  explicit Record(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  bool ok() const { return ok_; }
  uint64_t Read(size_t offset, size_t width) {
    if (!Fits(bytes_, offset, width)) ok_ = false;
    return ReadLe(bytes_, offset, width);
  }

 private:
  std::span<const uint8_t> bytes_;
  bool ok_ = true;
};

void ApplyFixups(std::vector<uint8_t>& record) {
  const std::span<const uint8_t> bytes(record);
  const uint16_t count = ReadLe16(bytes, kUpdateSequenceCount);
  const size_t array = ReadLe16(bytes, kUpdateSequenceOffset);
  for (size_t i = 1; i < count; ++i) {
    const size_t target = kStride * i - 2;
    if (target + 2 > record.size()) break;
    const size_t source = array + 2 * i;
    if (!Fits(bytes, source, 2)) break;
    record[target] = record[source];
    record[target + 1] = record[source + 1];
  }
}

}  // namespace

FileRecordView ReadFileRecord(uint64_t sector, const MessagePump& pump) {
  FileRecordView result;
  VolumeGeometry& g = Geometry();
  if (g.MftRecordBytes == 0) g.MftRecordBytes = static_cast<int32_t>(2u * static_cast<uint32_t>(g.BytesPerSector));
  const int32_t length = g.MftRecordBytes;
  if (length <= 0 || length > kLargestRecord) return result;
  std::vector<uint8_t> record(static_cast<size_t>(length));
  if (!ReadSectors(sector, record)) return result;

  if (!Fits(record, 0, 4) || ReadLe32(record, 0) != kSignature) {
    result.NotARecord = true;
    return result;
  }

  // Walk the attributes, remembering the last of each type that matters.
  std::optional<size_t> standardInformation, fileName, data;
  bool folder = false;
  {
    const std::span<const uint8_t> bytes(record);
    size_t pos = ReadLe16(bytes, kFirstAttributeOffset);
    while (true) {
      if (!pump()) return result;
      // The end marker's four bytes end the walk whatever follows them: ntfs-3g leaves
      // zeros there, where Windows leaves a length.
      if (Fits(bytes, pos, 4) && ReadLe32(bytes, pos) == kEndMarker) break;
      if (!Fits(bytes, pos, kAttributeHeaderBytes)) return result;
      const uint8_t type = bytes[pos];
      const uint16_t attributeLength = ReadLe16(bytes, pos + kAttributeLengthOffset);
      if (attributeLength == 0) return result;
      switch (type) {
        case kStandardInformation: standardInformation = pos; break;
        case kFileName: fileName = pos; break;
        case kData: data = pos; break;
        case kIndexRoot:
        case kIndexAllocation: folder = true; break;
        default: break;
      }
      pos += attributeLength;
      if (type >= kFirstTypeAfterWalk) break;
    }
  }
  if (!fileName) return result;

  ApplyFixups(record);
  const std::span<const uint8_t> bytes(record);
  Record fields(bytes);

  const size_t nameLength = static_cast<size_t>(fields.Read(*fileName + kNameLengthOffset, 1));
  std::u16string name;
  name.reserve(nameLength);
  for (size_t i = 0; i < nameLength; ++i) {
    name += static_cast<char16_t>(fields.Read(*fileName + kNameOffset + 2 * i, 2));
  }
  if (!fields.ok() || name.empty()) return result;

  const uint64_t parent = fields.Read(*fileName + kParentRecordOffset, kParentRecordWidth);
  const uint32_t recordNumber = static_cast<uint32_t>(fields.Read(kRecordNumberOffset, 4));
  const std::optional<uint64_t> creationTime =
      standardInformation ? std::optional(fields.Read(*standardInformation + kCreationTimeOffset, 8)) : std::nullopt;

  bool resident = false;
  int64_t size = 0;
  std::vector<DataRun> runs;
  if (data) {
    resident = fields.Read(*data + kNonResidentFlagOffset, 1) == 0;
    if (resident) {
      size = static_cast<int64_t>(fields.Read(*data + kResidentValueLengthOffset, 2));
    } else {
      size = static_cast<int64_t>(fields.Read(*data + kDataSizeOffset, 8));
      const size_t runList = *data + static_cast<size_t>(fields.Read(*data + kRunListOffset, 2));
      bool superseded = false;
      runs = DecodeDataRuns(bytes, runList, [&] { return pump() || (superseded = true, false); });
      if (superseded) return result;
    }
  }
  if (!fields.ok()) return result;

  std::u16string when;
  if (!creationTime) {
    when = CurrentPlatform().FormatDateTime(kNoTime);
  } else if (const std::optional<CivilTime> local = CurrentPlatform().FileTimeToLocal(*creationTime)) {
    when = CurrentPlatform().FormatDateTime(*local);
  } else {
    when = u"?";
  }

  FileRecordReport report;
  report.Folder = folder;
  report.Name = std::move(name);
  report.Record = recordNumber;
  report.Parent = parent;
  report.Resident = resident;
  report.Size = size;
  report.Created = std::move(when);
  report.Runs = std::move(runs);
  result.Report = std::move(report);
  return result;
}

void ShowFileRecord(uint64_t sector, ViewText& view, const MessagePump& pump) {
  const FileRecordView read = ReadFileRecord(sector, pump);
  if (read.NotARecord) {
    view.emplace_back(kNotARecord);
    return;
  }
  if (!read.Report) return;
  const FileRecordReport& r = *read.Report;
  view.reserve(view.size() + 8 + r.Runs.size());
  view.push_back((r.Folder ? u"Folder " : u"File ") + r.Name);
  view.push_back(u"MFT record " + Decimal(r.Record));
  view.push_back(u"Parent MFT record " + Decimal(r.Parent));
  if (r.Resident) view.emplace_back(u"Resident");
  view.push_back(u"File size " + Decimal(r.Size) + u" b");
  view.push_back(u"Date/Time " + r.Created);
  if (!r.Runs.empty()) {
    view.emplace_back();
    view.emplace_back(u"Start cluster - clusters count:");
    for (const DataRun& run : r.Runs) view.push_back(Decimal(run.StartCluster) + u" - " + Decimal(run.ClusterCount));
  }
}

}  // namespace korvalane
