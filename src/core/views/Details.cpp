#include "core/views/Details.h"

#include <cstdint>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/ext/Details.h"
#include "core/text/NumberFormat.h"
#include "core/views/PartitionReport.h"
#include "core/volume/BootSector.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"
#include "core/fs/ext/Volume.h"

namespace korvalane {
namespace {

// FILE record header and attribute header fields used to find the MFT's own $DATA.
constexpr size_t kUpdateSequenceCount = 6;
constexpr size_t kFirstAttributeOffset = 20;
constexpr size_t kAttributeLengthOffset = 4;
constexpr size_t kAttributeHeaderBytes = 6;
constexpr size_t kRunListOffset = 32;
constexpr uint8_t kData = 0x80;

// The update sequence array has one entry per 512-byte stride of the record, plus the
// sequence number itself, whatever the sector size.
constexpr int32_t kStride = 512;
constexpr uint16_t kFewestSequenceEntries = 2;  // the number and one stride
constexpr int32_t kLargestRecord = 65536;

constexpr char16_t kBootSectorDenied[] = u"Access to boot sector denied";

// The lines FAT and exFAT reports share, from "Bytes per sector" to "Start data sector".
void AppendFatFamilyLines(ViewText& view, const VolumeGeometry& g) {
  view.push_back(u"Bytes per sector - " + Decimal(g.BytesPerSector));
  view.push_back(u"Bytes per cluster - " + Decimal(g.BytesPerCluster));
  view.push_back(u"Sectors per cluster - " + Decimal(g.SectorsPerCluster));
  view.push_back(u"Sectors - " + Decimal(g.TotalSectors));
  view.push_back(u"Clusters - " + Decimal(g.Clusters));
  view.push_back(u"Sectors before FAT - " + Decimal(g.ReservedSectors));
  view.push_back(u"FAT copies - " + Decimal(g.FatCopies));
  view.push_back(u"FAT sectors - " + Decimal(g.FatSectors));
  view.push_back(u"FAT size - " + Decimal(g.FatSizeBytes));
  view.push_back(u"Start data sector - " + Decimal(g.StartDataSector));
}

void ReportExfatDetails(ViewText& view, const std::u16string& drive) {
  const VolumeGeometry& g = Geometry();
  view.push_back(u"Drive " + drive + u"\\, exFAT");
  AppendFatFamilyLines(view, g);
  view.push_back(u"Root directory cluster - " + Decimal(g.RootCluster));
  // A successful parse leaves a 32-bit root cluster and at most 65536 sectors a cluster.
  view.push_back(u"Root directory sector - " + Decimal(ExfatRootDirectorySector().value_or(0)));
}

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
  if (ReadU8(record, 0) != 'F' || ReadU8(record, 1) != 'I') return false;

  const uint16_t entries = ReadLe16(record, kUpdateSequenceCount);
  if (entries < kFewestSequenceEntries) return false;
  const int32_t recordBytes = (entries - 1) * kStride;
  if (recordBytes > kLargestRecord) return false;
  g.MftRecordBytes = recordBytes;
  record.assign(static_cast<size_t>(recordBytes), 0);
  if (!ReadSectors(sector, record)) return false;

  // Step over attributes until one of type $DATA or later. The first attribute is
  // stepped over untested: in record 0 it is $STANDARD_INFORMATION.
  const std::span<const uint8_t> bytes(record);
  size_t pos = ReadLe16(bytes, kFirstAttributeOffset);
  uint8_t type = 0;
  do {
    if (!pump()) return false;
    if (!Fits(bytes, pos, kAttributeHeaderBytes)) return false;
    const uint16_t attributeLength = ReadLe16(bytes, pos + kAttributeLengthOffset);
    if (attributeLength == 0) return false;
    pos += attributeLength;
    if (!Fits(bytes, pos, 1)) return false;
    type = bytes[pos];
  } while (type < kData);
  if (type > kData) return false;
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

void ReportVolumeDetails(ViewText& view, const MessagePump& pump) {
  VolumeGeometry& g = Geometry();
  const std::u16string drive(g.CurrentDrive.begin(), g.CurrentDrive.end());

  if (g.FileSystemKind == FileSystemKind::Unknown) {
    ReportPartitionTable(view, pump);
    return;
  }
  if (g.FileSystemKind == FileSystemKind::Ext) {
    ext::ReportDetails(drive, view, pump);
    if (!ext::State().Sb) MakeBrowsableToEnd();
    return;
  }
  // The boot sector is parsed again, as it is on disk now; a refused one still leaves the
  // volume browsable to its end.
  if (!ParseVolumeGeometry()) {
    view.emplace_back(kBootSectorDenied);
    return;
  }

  if (g.FileSystemKind == FileSystemKind::Fat || g.FileSystemKind == FileSystemKind::Fat32) {
    view.push_back(u"Drive " + drive + u"\\, FAT Type - " + Decimal(static_cast<int64_t>(g.FileSystemKind)));
    AppendFatFamilyLines(view, g);
    view.push_back(u"Root sectors - " + Decimal(g.RootSectors));
    return;
  }
  if (g.FileSystemKind == FileSystemKind::Exfat) {
    ReportExfatDetails(view, drive);
    return;
  }
  view.push_back(u"Drive " + drive + u"\\, NTFS");
  view.push_back(u"Bytes per sector - " + Decimal(g.BytesPerSector));
  view.push_back(u"Bytes per cluster - " + Decimal(g.BytesPerCluster));
  view.push_back(u"Sectors per cluster - " + Decimal(g.SectorsPerCluster));
  view.push_back(u"Sectors - " + Decimal(g.TotalSectors));
  view.push_back(u"Clusters - " + Decimal(g.Clusters));
  view.push_back(u"Start MFT cluster - " + Decimal(g.MftStartCluster));
  if (!ReadMftLayout(pump)) return;

  // Counts are below 2^32 each, so their sum fits 64 bits whatever the number of runs.
  uint64_t clusters = 0;
  for (const DataRun& run : MftExtents()) clusters += static_cast<uint64_t>(run.ClusterCount);
  view.push_back(u"MFT clusters - " + Decimal(clusters));
  view.push_back(u"Bytes per record MFT - " + Decimal(g.MftRecordBytes));
  view.push_back(u"MFT parts - " + Decimal(MftExtents().size()));
  view.emplace_back();
  view.emplace_back(u"MFT cluster - clusters count:");
  for (const DataRun& run : MftExtents()) view.push_back(Decimal(run.StartCluster) + u" - " + Decimal(run.ClusterCount));
}

}  // namespace korvalane
