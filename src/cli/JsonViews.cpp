#include "cli/JsonViews.h"

#include "core/Platform.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/views/Details.h"
#include "core/views/PartitionReport.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {

Json DriveJson(const std::string& drive) {
  const VolumeLabel label = SelectDriveAndLabel(drive);
  Json json = Json::Object()
                  .Set("drive", drive)
                  .Set("fileSystem", label.Name)
                  .Set("megabytes", label.Megabytes)
                  .Set("sectors", label.Sectors)
                  .Set("bytesPerSector", Geometry().BytesPerSector)
                  .Set("source", CurrentPlatform().DriveSource(drive))
                  .Set("description", CurrentPlatform().DriveDescription(drive))
                  .Set("partition", CurrentPlatform().DriveIsPartition(drive));
  const std::string why = CurrentPlatform().OpenError(drive);
  if (!why.empty()) json.Set("openError", why);
  return json;
}

Json DetailsJson(const ViewText& report) {
  if (report.empty()) return Json::Object();
  const VolumeGeometry& g = Geometry();
  Json json = Json::Object().Set("drive", g.CurrentDrive);
  if (report.front() == u"Access to boot sector denied") return json.Set("error", report.front());

  switch (g.FileSystemKind) {
    case FileSystemKind::Fat:
    case FileSystemKind::Fat32:
      return json.Set("fileSystem", KindName(g.FileSystemKind))
          .Set("fatType", static_cast<int>(g.FileSystemKind))
          .Set("bytesPerSector", g.BytesPerSector)
          .Set("bytesPerCluster", g.BytesPerCluster)
          .Set("sectorsPerCluster", g.SectorsPerCluster)
          .Set("sectors", g.TotalSectors)
          .Set("clusters", g.Clusters)
          .Set("sectorsBeforeFat", g.ReservedSectors)
          .Set("fatCopies", g.FatCopies)
          .Set("fatSectors", g.FatSectors)
          .Set("fatSizeBytes", g.FatSizeBytes)
          .Set("startDataSector", g.StartDataSector)
          .Set("rootSectors", g.RootSectors);
    case FileSystemKind::Ntfs: {
      json.Set("fileSystem", KindName(g.FileSystemKind))
          .Set("bytesPerSector", g.BytesPerSector)
          .Set("bytesPerCluster", g.BytesPerCluster)
          .Set("sectorsPerCluster", g.SectorsPerCluster)
          .Set("sectors", g.TotalSectors)
          .Set("clusters", g.Clusters)
          .Set("startMftCluster", g.MftStartCluster);
      // The MFT's lines follow the seven of the boot sector only when record 0 was read.
      if (report.size() > 7) {
        uint64_t clusters = 0;
        Json extents = Json::Array();
        for (const DataRun& run : MftExtents()) {
          clusters += static_cast<uint64_t>(run.ClusterCount);
          extents.Push(Json::Object().Set("startCluster", run.StartCluster).Set("clusters", run.ClusterCount));
        }
        json.Set("mft", Json::Object()
                            .Set("clusters", clusters)
                            .Set("bytesPerRecord", g.MftRecordBytes)
                            .Set("parts", MftExtents().size())
                            .Set("extents", extents));
      }
      return json;
    }
    case FileSystemKind::Unknown:
      break;
  }

  // A whole disk: its partition table, as the report read it.
  const PartitionTable table = ReadCurrentPartitionTable();
  Json partitions = Json::Array();
  for (const Partition& p : table.Partitions) {
    Json entry = Json::Object()
                     .Set("number", p.Number)
                     .Set("firstSector", p.FirstSector)
                     .Set("lastSector", p.LastSector())
                     .Set("sectors", p.SectorCount);
    if (table.Scheme == PartitionScheme::Gpt) {
      entry.Set("type", p.TypeGuid).Set("typeName", p.TypeName).Set("name", p.Name);
    } else {
      entry.Set("type", u"0x" + HexUpper(p.MbrType, 2)).Set("typeName", p.TypeName).Set("extended", p.Extended);
    }
    partitions.Push(entry);
  }
  Json notes = Json::Array();
  for (const std::u16string& note : table.Notes) notes.Push(note);
  return json.Set("scheme", SchemeName(table.Scheme))
      .Set("bytesPerSector", table.SectorSize)
      .Set("sectors", table.DiskSectors)
      .Set("partitions", partitions)
      .Set("notes", notes);
}

}  // namespace korvalane::cli
