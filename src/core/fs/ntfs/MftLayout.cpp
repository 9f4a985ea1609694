#include "core/fs/ntfs/MftLayout.h"

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

std::string Number(uint64_t value) { return std::to_string(value); }

}  // namespace

std::vector<DataRun>& MftExtents() {
  static std::vector<DataRun> extents;
  return extents;
}

bool ReadMftLayout(const MessagePump& pump) {
  VolumeGeometry& g = Geometry();
  MftExtents().clear();
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

  // Step over the attributes before $DATA ($STANDARD_INFORMATION, $ATTRIBUTE_LIST,
  // $FILE_NAME ...). One of a later type, or the end marker, means record 0 has none.
  const std::span<const uint8_t> bytes(record);
  AttributeWalk walk(bytes);
  AttributeHeader attribute;
  while (true) {
    if (walk.Here(attribute) != AttributeWalk::At::Attribute) return false;
    if (attribute.Type >= kData) break;
    if (!pump()) return false;
    walk.Next(attribute);
  }
  if (attribute.Type > kData) return false;
  const size_t pos = attribute.Offset;
  if (!Fits(bytes, pos + kRunListOffset, 2)) return false;

  bool superseded = false;
  const std::vector<DataRun> runs = DecodeDataRuns(bytes, pos + ReadLe16(bytes, pos + kRunListOffset),
                                                   [&] { return pump() || (superseded = true, false); });
  if (superseded) return false;
  for (const DataRun& run : runs) {
    if (run.ClusterCount > 0) MftExtents().push_back(run);
  }
  return true;
}

Location LocateNtfsMftRecord(uint64_t record, const MessagePump& pump) {
  VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0 || g.SectorsPerCluster <= 0) return Refuse("the NTFS boot sector cannot be used");
  if (!ReadMftLayout(pump)) return Refuse("MFT record 0 cannot be read, so where the MFT lies is not known");
  const auto sectorBytes = static_cast<uint32_t>(g.BytesPerSector);
  const uint64_t clusterBytes = uint64_t{static_cast<uint32_t>(g.SectorsPerCluster)} * sectorBytes;
  const auto recordBytes = static_cast<uint32_t>(g.MftRecordBytes);
  if (recordBytes == 0) return Refuse("MFT record 0 gives no record size");
  if (record > UINT64_MAX / recordBytes) return Refuse("MFT record " + Number(record) + " lies beyond the MFT");

  // The record's byte in the MFT, then the run (in virtual cluster order) that holds it.
  const uint64_t offset = record * recordBytes;
  const uint64_t virtualCluster = offset / clusterBytes;
  uint64_t runFirst = 0;  // the first virtual cluster of the run
  for (const DataRun& run : MftExtents()) {
    if (run.StartCluster < 0 || run.ClusterCount <= 0) {
      return Refuse("the MFT's data runs are corrupt (a run starts at cluster " + std::to_string(run.StartCluster) + ")");
    }
    const auto count = static_cast<uint64_t>(run.ClusterCount);
    if (virtualCluster < runFirst + count) {
      const uint64_t cluster = static_cast<uint64_t>(run.StartCluster) + (virtualCluster - runFirst);
      if (cluster >= g.Clusters) {
        return Refuse("the MFT's data runs are corrupt (cluster " + Number(cluster) + " lies outside the volume)");
      }
      return Location{cluster * static_cast<uint32_t>(g.SectorsPerCluster) + offset % clusterBytes / sectorBytes, {}};
    }
    runFirst += count;
  }
  return Refuse("MFT record " + Number(record) + " lies beyond the MFT (it holds " +
                Number(runFirst * clusterBytes / recordBytes) + " records)");
}

}  // namespace korvalane
