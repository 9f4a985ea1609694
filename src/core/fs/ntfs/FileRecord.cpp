#include "core/fs/ntfs/FileRecord.h"

#include <optional>
#include <vector>

#include "core/Bytes.h"
#include "core/Platform.h"
#include "core/text/IsoTime.h"
#include "core/text/NumberFormat.h"
#include "core/fs/ntfs/FileRecordFormat.h"
#include "core/fs/ntfs/RunList.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

using namespace ntfs;

// Attribute contents, at fixed offsets from the attribute's first byte (a resident value
// starts 24 bytes in).
constexpr size_t kCreationTimeOffset = 24;
constexpr size_t kParentRecordOffset = 24;
constexpr size_t kParentRecordWidth = 6;
constexpr size_t kNameLengthOffset = 88;
constexpr size_t kNameOffset = 90;

// The walk stops after the attributes that the report reads: types past $INDEX_ALLOCATION
// are passed by.
constexpr uint8_t kFirstTypeAfterWalk = kIndexAllocation + 1;

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

}  // namespace

FileRecordView ReadFileRecord(uint64_t sector, const MessagePump& pump) {
  FileRecordView result;
  const VolumeGeometry& g = Geometry();
  // Before record 0 has given the record size: two sectors a record.
  const int32_t length = g.MftRecordBytes != 0 ? g.MftRecordBytes
                                               : static_cast<int32_t>(2u * static_cast<uint32_t>(g.BytesPerSector));
  if (length <= 0 || length > kLargestRecord) return result;
  std::vector<uint8_t> record(static_cast<size_t>(length));
  if (!ReadSectors(sector, record)) return result;

  if (!Fits(record, 0, 4) || ReadLe32(record, 0) != kFileSignature) {
    result.NotARecord = true;
    return result;
  }
  // The attributes are read as the record was before it was written: an attribute header
  // or a run list may cross the end of a 512-byte stride. A stride that does not end in
  // the sequence number (a torn write) is shown all the same.
  ApplyFixups(record);

  // Walk the attributes, remembering the last of each type that matters.
  std::optional<size_t> standardInformation, fileName, data;
  bool folder = false;
  {
    AttributeWalk walk(record);
    while (true) {
      if (!pump()) return result;
      AttributeHeader attribute;
      const AttributeWalk::At at = walk.Here(attribute);
      if (at == AttributeWalk::At::EndMarker) break;
      if (at == AttributeWalk::At::Damaged) return result;
      switch (attribute.Type) {
        case kStandardInformation: standardInformation = attribute.Offset; break;
        case kFileName: fileName = attribute.Offset; break;
        case kData: data = attribute.Offset; break;
        case kIndexRoot:
        case kIndexAllocation: folder = true; break;
        default: break;
      }
      walk.Next(attribute);
      if (attribute.Type >= kFirstTypeAfterWalk) break;
    }
  }
  if (!fileName) return result;

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
  report.CreationTime = creationTime;
  report.Runs = std::move(runs);
  report.InUse = (fields.Read(kRecordFlagsOffset, 2) & kRecordInUse) != 0;
  result.Report = std::move(report);
  return result;
}

void WriteFileRecord(const FileRecordView& read, ViewText* view, Json* json, std::vector<size_t>* deletedLines) {
  if (read.NotARecord) {
    if (view) view->emplace_back(kNotARecord);
    return;
  }
  if (!read.Report) return;
  const FileRecordReport& r = *read.Report;
  if (view) {
    const size_t first = view->size();
    view->reserve(view->size() + 8 + r.Runs.size());
    view->push_back((r.Folder ? u"Folder " : u"File ") + r.Name);
    view->push_back(u"MFT record " + Decimal(r.Record));
    view->push_back(u"Parent MFT record " + Decimal(r.Parent));
    if (r.Resident) view->emplace_back(u"Resident");
    view->push_back(u"File size " + Decimal(r.Size) + u" b");
    view->push_back(u"Date/Time " + r.Created);
    if (!r.Runs.empty()) {
      view->emplace_back();
      view->emplace_back(u"Start cluster - clusters count:");
      for (const DataRun& run : r.Runs) view->push_back(DataRunLine(run));
    }
    if (!r.InUse && deletedLines != nullptr) {
      for (size_t line = first; line < view->size(); ++line) deletedLines->push_back(line);
    }
  }
  if (json) {
    Json runs = Json::Array();
    for (const DataRun& run : r.Runs) runs.Push(DataRunJson(run));
    *json = Json::Object()
                .Set("kind", r.Folder ? "Folder" : "File")
                .Set("name", r.Name)
                .Set("record", r.Record)
                .Set("parent", r.Parent)
                .Set("resident", r.Resident)
                .Set("size", r.Size)
                .Set("deleted", !r.InUse)
                .Set("created", r.CreationTime && *r.CreationTime != 0 ? Json(FileTimeIso8601(*r.CreationTime)) : Json())
                .Set("runs", runs);
  }
}

void ShowFileRecord(uint64_t sector, ViewText& view, const MessagePump& pump) {
  WriteFileRecord(ReadFileRecord(sector, pump), &view, nullptr);
}

}  // namespace korvalane
