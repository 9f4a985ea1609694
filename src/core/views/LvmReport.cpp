#include "core/views/LvmReport.h"

#include <algorithm>

#include "core/Platform.h"
#include "core/disk/lvm/LvmVolumeGroup.h"
#include "core/model/Structure.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

std::string Hex32(uint32_t value) { return HexText(value, 8); }

std::string Checked(uint32_t stored, uint32_t computed) {
  return Hex32(stored) + (stored == computed ? " (right)" : " (wrong, computed " + Hex32(computed) + ")");
}

// "linear, extents 0-7 on pv0 from extent 0" and the like.
std::string SegmentText(const LvmSegment& segment) {
  std::string text = segment.Kind() + ", extents " + std::to_string(segment.StartExtent) + "-" +
                     std::to_string(segment.StartExtent + segment.ExtentCount - (segment.ExtentCount > 0 ? 1 : 0));
  for (size_t i = 0; i < segment.Stripes.size(); ++i) {
    text += (i == 0 ? " on " : ", ") + segment.Stripes[i].PvName + " from extent " +
            std::to_string(segment.Stripes[i].StartExtent);
  }
  if (segment.Stripes.size() > 1) text += ", stripe size " + std::to_string(segment.StripeSize) + " sectors";
  if (!segment.Unreadable.empty()) text += " (unreadable: " + segment.Unreadable + ")";
  return text;
}

Json SegmentJson(const LvmSegment& segment) {
  Json stripes = Json::Array();
  for (const LvmStripe& stripe : segment.Stripes) {
    stripes.Push(Json::Object().Set("pv", stripe.PvName).Set("startExtent", stripe.StartExtent));
  }
  Json json = Json::Object()
                  .Set("type", segment.Type)
                  .Set("kind", segment.Kind())
                  .Set("startExtent", segment.StartExtent)
                  .Set("extentCount", segment.ExtentCount)
                  .Set("stripes", stripes);
  if (segment.Stripes.size() > 1) json.Set("stripeSize", segment.StripeSize);
  json.Set("unreadable", segment.Unreadable.empty() ? Json() : Json(segment.Unreadable));
  return json;
}

}  // namespace

std::optional<LvmPhysicalVolume> ReadCurrentLvmPhysicalVolume() {
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector < 512 || g.CurrentDrive.empty()) return std::nullopt;
  const auto sectorSize = static_cast<uint64_t>(g.BytesPerSector);
  const int64_t bytes = CurrentPlatform().VolumeTotalBytes(g.CurrentDrive);
  if (bytes <= 0) return std::nullopt;
  // Byte ranges are read as the whole sectors around them.
  const LvmReader read = [&](uint64_t position, std::span<uint8_t> buffer) {
    const uint64_t first = position / sectorSize;
    const uint64_t end = (position + buffer.size() + sectorSize - 1) / sectorSize;
    std::vector<uint8_t> sectors((end - first) * sectorSize);
    if (!ReadSectors(first, sectors)) return false;
    std::copy_n(sectors.begin() + static_cast<std::ptrdiff_t>(position - first * sectorSize), buffer.size(),
                buffer.begin());
    return true;
  };
  return ReadLvmPhysicalVolume(read, static_cast<uint64_t>(bytes));
}

bool ReportLvmPhysicalVolume(ViewText* view, Json* json) {
  const std::optional<LvmPhysicalVolume> pv = ReadCurrentLvmPhysicalVolume();
  if (!pv) return false;
  std::vector<std::string> lines;
  Json report = Json::Object();
  lines.push_back("LVM2 physical volume " + pv->Header.Uuid);
  lines.push_back("Label - sector " + std::to_string(pv->Label.Sector) + ", " + pv->Label.Type + ", checksum " +
                  Checked(pv->Label.Crc, pv->Label.ComputedCrc));
  lines.push_back("Device size - " + std::to_string(pv->Header.DeviceSize) + " bytes");
  report.Set("pvUuid", pv->Header.Uuid)
      .Set("labelSector", pv->Label.Sector)
      .Set("labelChecksumRight", pv->Label.Crc == pv->Label.ComputedCrc)
      .Set("deviceSize", pv->Header.DeviceSize);
  Json areas = Json::Array();
  for (const LvmDiskArea& area : pv->Header.DataAreas) {
    lines.push_back("Data area - byte " + std::to_string(area.Offset) +
                    (area.Size == 0 ? std::string(", to the end") : ", " + std::to_string(area.Size) + " bytes"));
  }
  for (const LvmMetadataHeader& area : pv->Areas) {
    lines.push_back("Metadata area - byte " + std::to_string(area.At) + ", " + std::to_string(area.Size) +
                    " bytes, version " + std::to_string(area.Version) + ", checksum " +
                    Checked(area.Checksum, area.ComputedChecksum));
    Json locations = Json::Array();
    for (const LvmRawLocation& location : area.Locations) {
      lines.push_back("Metadata copy - at byte " + std::to_string(location.Offset) + " of the area, " +
                      std::to_string(location.Size) + " bytes, checksum " + Hex32(location.Checksum) +
                      ((location.Flags & 1u) != 0 ? ", ignored" : ""));
      locations.Push(Json::Object()
                         .Set("offset", location.Offset)
                         .Set("size", location.Size)
                         .Set("checksum", location.Checksum)
                         .Set("flags", location.Flags));
    }
    areas.Push(Json::Object()
                   .Set("at", area.At)
                   .Set("size", area.Size)
                   .Set("version", area.Version)
                   .Set("checksumRight", area.Checksum == area.ComputedChecksum)
                   .Set("copies", locations));
  }
  report.Set("metadataAreas", areas);
  std::vector<std::string> problems = pv->Problems;
  std::optional<LvmVolumeGroup> vg;
  if (pv->Metadata) {
    if (!pv->Metadata->Note.empty()) problems.push_back(pv->Metadata->Note);
    std::string error;
    vg = ParseVolumeGroup(pv->Metadata->Text, &error);
    if (!vg) problems.push_back(error);
  }
  if (vg) {
    lines.push_back("Volume group - " + vg->Name + ", " + vg->Uuid + ", seqno " + std::to_string(vg->Seqno));
    lines.push_back("Extent size - " + std::to_string(vg->ExtentSize) + " sectors");
    lines.push_back("Physical volumes - " + std::to_string(vg->Pvs.size()));
    Json pvs = Json::Array();
    for (const LvmVgPhysicalVolume& member : vg->Pvs) {
      lines.push_back(member.Name + " - " + member.Uuid + " - first extent at sector " +
                      std::to_string(member.PeStart) + " - " + std::to_string(member.PeCount) + " extents" +
                      (member.Uuid == pv->Header.Uuid ? " - this one" : ""));
      pvs.Push(Json::Object()
                   .Set("name", member.Name)
                   .Set("uuid", member.Uuid)
                   .Set("peStart", member.PeStart)
                   .Set("peCount", member.PeCount)
                   .Set("thisOne", member.Uuid == pv->Header.Uuid));
    }
    lines.push_back("Logical volumes - " + std::to_string(vg->Lvs.size()));
    Json lvs = Json::Array();
    for (const LvmLogicalVolume& lv : vg->Lvs) {
      lines.push_back(vg->Name + "/" + lv.Name + " - " + lv.Uuid + " - " + std::to_string(lv.ExtentCount) +
                      " extents" + (lv.Visible ? "" : " - hidden"));
      Json segments = Json::Array();
      for (const LvmSegment& segment : lv.Segments) {
        lines.push_back("  " + SegmentText(segment));
        segments.Push(SegmentJson(segment));
      }
      lvs.Push(Json::Object()
                   .Set("name", lv.Name)
                   .Set("uuid", lv.Uuid)
                   .Set("visible", lv.Visible)
                   .Set("extentCount", lv.ExtentCount)
                   .Set("segments", segments));
    }
    problems.insert(problems.end(), vg->Problems.begin(), vg->Problems.end());
    report.Set("volumeGroup", Json::Object()
                                  .Set("name", vg->Name)
                                  .Set("uuid", vg->Uuid)
                                  .Set("seqno", vg->Seqno)
                                  .Set("extentSize", vg->ExtentSize)
                                  .Set("physicalVolumes", pvs)
                                  .Set("logicalVolumes", lvs));
  }
  Json notes = Json::Array();
  for (const std::string& problem : problems) {
    lines.push_back("Problem - " + problem);
    notes.Push(problem);
  }
  report.Set("problems", notes);
  if (view) {
    if (!view->empty()) view->push_back(u"");
    for (const std::string& line : lines) view->push_back(FromUtf8(line));
  }
  if (json) {
    if (json->Empty()) *json = Json::Object().Set("drive", Geometry().CurrentDrive);
    json->Set("lvm", report);
  }
  return true;
}

}  // namespace korvalane
