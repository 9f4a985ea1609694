#include "cli/JsonViews.h"

#include "core/Platform.h"
#include "core/fs/ext/Details.h"
#include "core/fs/ext/Record.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/views/Details.h"
#include "core/views/ExfatDirectory.h"
#include "core/volume/BootSector.h"
#include "core/views/FatDirectory.h"
#include "core/views/FileRecord.h"
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

namespace {

Json ListingJson(const std::optional<Listing>& listing) {
  if (!listing) return Json::Object();
  Json entries = Json::Array();
  for (const ListingEntry& e : listing->Entries) {
    Json entry = Json::Object().Set("name", e.Name);
    if (!e.Note.empty()) {
      entries.Push(entry.Set("note", e.Note));
      continue;
    }
    entries.Push(entry.Set("year", e.Year)
                     .Set("month", e.Month)
                     .Set("day", e.Day)
                     .Set("hour", e.Hour)
                     .Set("minute", e.Minute)
                     .Set("size", e.Size)
                     .Set("cluster", e.Cluster));
  }
  return Json::Object().Set("directory", listing->IsDirectory).Set("entries", entries);
}

// The fields FAT and exFAT details share, as the lines from "Bytes per sector" to "Start
// data sector" give them.
Json& SetFatFamilyFields(Json& json, const VolumeGeometry& g) {
  return json.Set("bytesPerSector", g.BytesPerSector)
      .Set("bytesPerCluster", g.BytesPerCluster)
      .Set("sectorsPerCluster", g.SectorsPerCluster)
      .Set("sectors", g.TotalSectors)
      .Set("clusters", g.Clusters)
      .Set("sectorsBeforeFat", g.ReservedSectors)
      .Set("fatCopies", g.FatCopies)
      .Set("fatSectors", g.FatSectors)
      .Set("fatSizeBytes", g.FatSizeBytes)
      .Set("startDataSector", g.StartDataSector);
}

}  // namespace

Json RecordJson(uint64_t sector) {
  switch (Geometry().FileSystemKind) {
    case FileSystemKind::Fat:
    case FileSystemKind::Fat32:
      return ListingJson(ReadFatDirectory(sector, NoPump));
    case FileSystemKind::Exfat:
      return ListingJson(ReadExfatDirectory(sector, NoPump));
    case FileSystemKind::Ntfs: {
      const FileRecordView read = ReadFileRecord(sector, NoPump);
      if (read.NotARecord) return Json::Object().Set("fileRecord", false);
      if (!read.Report) return Json::Object();
      const FileRecordReport& r = *read.Report;
      Json runs = Json::Array();
      for (const DataRun& run : r.Runs) runs.Push(Json::Object().Set("startCluster", run.StartCluster).Set("clusters", run.ClusterCount));
      return Json::Object()
          .Set("fileRecord", true)
          .Set("kind", r.Folder ? "Folder" : "File")
          .Set("name", r.Name)
          .Set("record", r.Record)
          .Set("parent", r.Parent)
          .Set("resident", r.Resident)
          .Set("size", r.Size)
          .Set("created", r.Created)
          .Set("runs", runs);
    }
    case FileSystemKind::Ext:
      return ext::RecordJson(sector);
    case FileSystemKind::Unknown:
      break;
  }
  return Json::Object();
}

Json DetailsJson(const ViewText& report) {
  if (report.empty()) return Json::Object();
  const VolumeGeometry& g = Geometry();
  if (g.FileSystemKind == FileSystemKind::Ext) return ext::DetailsJson(g.CurrentDrive);
  Json json = Json::Object().Set("drive", g.CurrentDrive);
  if (report.front() == u"Access to boot sector denied") return json.Set("error", report.front());

  switch (g.FileSystemKind) {
    case FileSystemKind::Fat:
    case FileSystemKind::Fat32:
      json.Set("fileSystem", KindName(g.FileSystemKind)).Set("fatType", static_cast<int>(g.FileSystemKind));
      return SetFatFamilyFields(json, g).Set("rootSectors", g.RootSectors);
    case FileSystemKind::Exfat:
      json.Set("fileSystem", KindName(g.FileSystemKind));
      return SetFatFamilyFields(json, g)
          .Set("rootDirectoryCluster", g.RootCluster)
          .Set("rootDirectorySector", ExfatRootDirectorySector().value_or(0));
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
    case FileSystemKind::Ext:
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
