#include "core/fs/ntfs/MftLayout.h"

#include <algorithm>
#include <optional>
#include <set>
#include <span>
#include <string>

#include "core/Bytes.h"
#include "core/fs/FileSystem.h"
#include "core/fs/ntfs/FileRecordFormat.h"
#include "core/fs/ntfs/RunList.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

using namespace ntfs;

// A non-resident attribute list is read up to this many bytes; its entries are 32 bytes
// or more, so that is some thousands of them.
constexpr uint64_t kLargestAttributeList = 256 * 1024;
// Extension records of $MFT read at most: each holds a hundred runs or more, and an MFT of
// a hundred thousand fragments is beyond any volume seen.
constexpr size_t kMostExtensionRecords = 1024;
// Runs read from them at most, so that hostile records that all map to the same clusters
// cannot grow the list without end.
constexpr size_t kMostMftRuns = 65536;

std::string Number(uint64_t value) { return std::to_string(value); }

// Decodes a run list into `runs`, the pump once before every run and once before the end.
// False when the pump answers false.
bool DecodeRuns(std::span<const uint8_t> bytes, size_t first, uint64_t startVcn, const MessagePump& pump,
                std::vector<NtfsRun>& runs) {
  RunListReader reader(bytes, first, startVcn);
  RunListEntry entry;
  while (true) {
    if (!pump()) return false;
    if (!reader.Next(entry)) return true;
    runs.push_back(entry.Run);
  }
}

// Where the MFT's records are read from: its runs so far, in clusters of the volume.
struct MftReader {
  uint64_t ClusterBytes = 0;
  uint32_t SectorBytes = 0;
  size_t RecordBytes = 0;
  const std::vector<NtfsRun>* Runs = nullptr;

  // MFT record `number` with its update sequence put back, or empty when it cannot be
  // read or is no FILE record.
  std::vector<uint8_t> Record(uint64_t number) const {
    std::vector<uint8_t> record(RecordBytes);
    if (number > UINT64_MAX / RecordBytes ||
        !ReadRunStream(*Runs, ClusterBytes, SectorBytes, number * RecordBytes, record) ||
        ReadLe32(record, 0) != kFileSignature) {
      return {};
    }
    ApplyFixups(record);
    return record;
  }
};

// The value of the attribute list `list` of `record`: resident, or read from its clusters.
std::vector<uint8_t> AttributeListValue(std::span<const uint8_t> record, const AttributeHeader& list,
                                        const MftReader& reader) {
  const std::span<const uint8_t> attribute = record.subspan(list.Offset, std::min<size_t>(list.Length, record.size() - list.Offset));
  if (ReadU8(attribute, kNonResidentFlagOffset) == 0) {
    const size_t offset = ReadLe16(attribute, kResidentValueOffset);
    const size_t length = ReadLe32(attribute, kResidentValueLengthOffset);
    if (!Fits(attribute, offset, length)) return {};
    return std::vector<uint8_t>(attribute.begin() + static_cast<std::ptrdiff_t>(offset),
                                attribute.begin() + static_cast<std::ptrdiff_t>(offset + length));
  }
  const std::vector<NtfsRun> runs = DecodeNtfsRuns(attribute, ReadLe16(attribute, kRunListOffset), 0);
  std::vector<uint8_t> value(static_cast<size_t>(std::min(ReadLe64(attribute, kDataSizeOffset), kLargestAttributeList)));
  if (!ReadRunStream(runs, reader.ClusterBytes, reader.SectorBytes, 0, value)) return {};
  return value;
}

// The runs of $MFT's $DATA that its attribute list places in extension records: the
// unnamed $DATA extents of records whose base reference is record 0's, added to `runs`
// (each record is found through the runs known before it). False when the pump answers
// false.
bool AddExtensionRuns(const std::vector<AttributeListEntry>& list, const MftReader& reader, const MessagePump& pump,
                      std::vector<NtfsRun>& runs) {
  // In the list's order, which is that of the extents' first virtual clusters.
  std::vector<uint64_t> records;
  std::set<uint64_t> seen;
  for (const AttributeListEntry& entry : list) {
    if (entry.Type != kData || entry.NameLength != 0 || entry.Record() == 0) continue;
    if (records.size() < kMostExtensionRecords && seen.insert(entry.Record()).second) records.push_back(entry.Record());
  }
  for (const uint64_t number : records) {
    if (!pump()) return false;
    if (runs.size() >= kMostMftRuns) break;
    const std::vector<uint8_t> record = reader.Record(number);
    if (record.empty()) continue;
    // An extension of record 0 has a base reference whose record number is 0 and whose
    // sequence number is not: the whole reference is not 0, as a base record's is.
    const uint64_t base = ReadLe64(record, kBaseReferenceOffset);
    if (base == 0 || (base & kRecordNumberMask) != 0) continue;
    AttributeWalk walk(record);
    AttributeHeader attribute;
    while (walk.Here(attribute) == AttributeWalk::At::Attribute) {
      const size_t at = attribute.Offset;
      if (attribute.Type == kData && ReadU8(record, at + kNonResidentFlagOffset) != 0 &&
          ReadU8(record, at + kAttributeNameLengthOffset) == 0 &&
          !DecodeRuns(record, at + ReadLe16(record, at + kRunListOffset), ReadLe64(record, at + kLowestVcnOffset), pump, runs)) {
        return false;
      }
      walk.Next(attribute);
    }
  }
  return true;
}

// Reads MFT record 0 as ReadMftLayout does and gives $MFT's runs in their order in the
// MFT, sparse ones included: record 0's own $DATA, and the extents that its attribute list
// places in extension records.
bool ReadMftRuns(const MessagePump& pump, std::vector<NtfsRun>& runs, std::vector<DataRun>* extents) {
  VolumeGeometry& g = Geometry();
  if (extents) extents->clear();
  g.MftRecordBytes = g.BytesPerSector;

  // The MFT's first sector, in 64 bits; a cluster number whose sector 64 bits cannot
  // hold lies beyond any disk.
  if (g.SectorsPerCluster < 0) return false;
  const uint64_t sectorsPerCluster = static_cast<uint32_t>(g.SectorsPerCluster);
  if (sectorsPerCluster != 0 && g.MftStartCluster > UINT64_MAX / sectorsPerCluster) return false;
  const uint64_t sector = g.MftStartCluster * sectorsPerCluster;

  if (g.BytesPerSector <= 0 || g.BytesPerSector > kLargestRecord) return false;
  std::vector<uint8_t> record(static_cast<size_t>(g.BytesPerSector));
  if (!ReadSectors(sector, record)) return false;
  // Only "FI" is asked of record 0: the rest of the signature is not needed to find $DATA.
  if (ReadU8(record, 0) != 'F' || ReadU8(record, 1) != 'I') return false;

  const uint16_t entries = ReadLe16(record, kUpdateSequenceCount);
  if (entries < kFewestSequenceEntries) return false;
  const int32_t recordBytes = (entries - 1) * static_cast<int32_t>(kStride);
  if (recordBytes > kLargestRecord) return false;
  g.MftRecordBytes = recordBytes;
  record.assign(static_cast<size_t>(recordBytes), 0);
  if (!ReadSectors(sector, record)) return false;
  // A run list long enough to cross the end of a 512-byte stride has the sequence number
  // there on disk, not its own bytes.
  ApplyFixups(record);

  // Step over the attributes before $DATA ($STANDARD_INFORMATION, $ATTRIBUTE_LIST,
  // $FILE_NAME ...). One of a later type, or the end marker, means record 0 has none.
  const std::span<const uint8_t> bytes(record);
  AttributeWalk walk(bytes);
  AttributeHeader attribute;
  std::optional<AttributeHeader> list;
  while (true) {
    if (walk.Here(attribute) != AttributeWalk::At::Attribute) return false;
    if (attribute.Type >= kData) break;
    if (attribute.Type == kAttributeList && !list) list = attribute;
    if (!pump()) return false;
    walk.Next(attribute);
  }
  if (attribute.Type > kData) return false;
  const size_t pos = attribute.Offset;
  if (!Fits(bytes, pos + kRunListOffset, 2)) return false;
  if (!DecodeRuns(bytes, pos + ReadLe16(bytes, pos + kRunListOffset), 0, pump, runs)) return false;

  if (list) {
    const uint64_t clusterBytes = sectorsPerCluster * static_cast<uint32_t>(g.BytesPerSector);
    const MftReader reader{clusterBytes, static_cast<uint32_t>(g.BytesPerSector), record.size(), &runs};
    if (clusterBytes != 0 && !AddExtensionRuns(AttributeListEntries(AttributeListValue(bytes, *list, reader)), reader, pump, runs)) {
      return false;
    }
    std::stable_sort(runs.begin(), runs.end(), [](const NtfsRun& a, const NtfsRun& b) { return a.Vcn < b.Vcn; });
  }
  for (const NtfsRun& run : runs) {
    const DataRun extent = ToDataRun(run);
    if (extents && !run.Sparse && extent.ClusterCount > 0) extents->push_back(extent);
  }
  return true;
}

}  // namespace

bool ReadMftLayout(const MessagePump& pump, std::vector<DataRun>& extents) {
  std::vector<NtfsRun> runs;
  return ReadMftRuns(pump, runs, &extents);
}

Location LocateNtfsMftRecord(uint64_t record, const MessagePump& pump) {
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0 || g.SectorsPerCluster <= 0) return Refuse("the NTFS boot sector cannot be used");
  std::vector<NtfsRun> runs;
  if (!ReadMftRuns(pump, runs, nullptr)) return Refuse("MFT record 0 cannot be read, so where the MFT lies is not known");
  const auto sectorBytes = static_cast<uint32_t>(g.BytesPerSector);
  const uint64_t clusterBytes = uint64_t{static_cast<uint32_t>(g.SectorsPerCluster)} * sectorBytes;
  const auto recordBytes = static_cast<uint32_t>(g.MftRecordBytes);
  if (recordBytes == 0) return Refuse("MFT record 0 gives no record size");
  if (record > UINT64_MAX / recordBytes) return Refuse("MFT record " + Number(record) + " lies beyond the MFT");

  // The record's byte in the MFT, then the run that maps its virtual cluster.
  const uint64_t offset = record * recordBytes;
  const uint64_t virtualCluster = offset / clusterBytes;
  uint64_t mapped = 0;  // the virtual clusters up to the end of the last run
  for (const NtfsRun& run : runs) {
    mapped = std::max(mapped, run.Count > UINT64_MAX - run.Vcn ? UINT64_MAX : run.Vcn + run.Count);
    if (virtualCluster < run.Vcn || virtualCluster - run.Vcn >= run.Count) continue;
    if (run.Sparse) {
      return Refuse("MFT record " + Number(record) + " lies in a sparse run of the MFT, which has no clusters on the volume");
    }
    const auto start = static_cast<int64_t>(run.Lcn);
    if (start < 0) return Refuse("the MFT's data runs are corrupt (a run starts at cluster " + std::to_string(start) + ")");
    const uint64_t cluster = run.Lcn + (virtualCluster - run.Vcn);
    if (cluster < run.Lcn || cluster >= g.Clusters) {
      return Refuse("the MFT's data runs are corrupt (cluster " + Number(cluster) + " lies outside the volume)");
    }
    return Location{cluster * static_cast<uint32_t>(g.SectorsPerCluster) + offset % clusterBytes / sectorBytes, {}};
  }
  if (virtualCluster < mapped) {
    return Refuse("MFT record " + Number(record) + " lies where the MFT's data runs map no clusters");
  }
  const uint64_t records = mapped > UINT64_MAX / clusterBytes ? UINT64_MAX / recordBytes : mapped * clusterBytes / recordBytes;
  return Refuse("MFT record " + Number(record) + " lies beyond the MFT (it holds " + Number(records) + " records)");
}

}  // namespace korvalane
