#include "core/views/PartitionReport.h"

#include "core/Platform.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

PartitionTable ReadCurrentPartitionTable() {
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector < 512 || g.CurrentDrive.empty()) return {};
  const auto sectorSize = static_cast<uint32_t>(g.BytesPerSector);
  const int64_t bytes = CurrentPlatform().VolumeTotalBytes(g.CurrentDrive);
  const uint64_t sectors = bytes > 0 ? static_cast<uint64_t>(bytes) / sectorSize : 0;
  return ReadPartitionTable([](uint64_t sector, std::span<uint8_t> buffer) { return ReadSectors(sector, buffer); },
                            sectorSize, sectors);
}

namespace {

Json PartitionTableJson(const PartitionTable& table) {
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
  return Json::Object()
      .Set("drive", Geometry().CurrentDrive)
      .Set("scheme", SchemeName(table.Scheme))
      .Set("bytesPerSector", table.SectorSize)
      .Set("sectors", table.DiskSectors)
      .Set("partitions", partitions)
      .Set("notes", notes);
}

void AppendPartitionLines(const PartitionTable& table, ViewText& view, const MessagePump& pump) {
  const std::u16string drive = FromUtf8(Geometry().CurrentDrive);
  view.push_back(u"Drive " + drive + u"\\, " + SchemeName(table.Scheme));
  view.push_back(u"Bytes per sector - " + Decimal(table.SectorSize));
  view.push_back(u"Sectors - " + Decimal(table.DiskSectors));
  view.push_back(u"Partitions - " + Decimal(table.Partitions.size()));
  view.emplace_back();
  view.emplace_back(u"Partition - first sector - last sector - sectors - type:");
  for (const Partition& p : table.Partitions) {
    if (!pump()) return;
    std::u16string line = Decimal(p.Number) + u" - " + Decimal(p.FirstSector) + u" - " + Decimal(p.LastSector()) +
                          u" - " + Decimal(p.SectorCount) + u" - ";
    if (table.Scheme == PartitionScheme::Gpt) {
      line += FromUtf8(p.TypeGuid);
      if (p.TypeName != p.TypeGuid) line += u" " + FromUtf8(p.TypeName);
      if (!p.Name.empty()) line += u", \"" + p.Name + u"\"";
    } else {
      line += u"0x" + HexUpper(p.MbrType, 2) + u" " + FromUtf8(p.TypeName);
    }
    view.push_back(std::move(line));
  }
  if (!table.Notes.empty()) {
    view.emplace_back();
    for (const std::u16string& note : table.Notes) view.push_back(note);
  }
}

}  // namespace

void ReportPartitionTable(ViewText* view, Json* json, const MessagePump& pump) {
  if (CurrentPlatform().DriveIsPartition(Geometry().CurrentDrive)) return;
  const PartitionTable table = ReadCurrentPartitionTable();
  if (table.Scheme == PartitionScheme::None) return;
  if (view) AppendPartitionLines(table, *view, pump);
  if (json) *json = PartitionTableJson(table);
}

void ReportPartitionTable(ViewText& view, const MessagePump& pump) { ReportPartitionTable(&view, nullptr, pump); }

}  // namespace korvalane
