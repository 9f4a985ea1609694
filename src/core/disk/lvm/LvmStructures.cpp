#include "core/disk/lvm/LvmStructures.h"

#include <algorithm>

#include <cstring>

#include "core/Bytes.h"
#include "core/disk/lvm/LvmPhysicalVolume.h"
#include "core/views/LvmReport.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr size_t kTextBytes = 16384;  // of metadata text decoded from its first sector

std::string ChecksumText(uint32_t value) { return HexText(value, 8); }

void AddAreas(FieldWriter& writer, size_t at, const char* kind, size_t& next) {
  for (int i = 0; i < 8; ++i, at += 16) {
    if (!writer.Fits(at, 16)) {
      next = at;
      return;
    }
    const uint64_t offset = ReadLe64(writer.Bytes(), at);
    const uint64_t size = ReadLe64(writer.Bytes(), at + 8);
    const std::string group = offset == 0 && size == 0 ? std::string(kind) + " list end" : std::string(kind) + " " + std::to_string(i);
    writer.AddText(group, at, 8, "Offset", NumberText(offset), offset);
    writer.AddText(group, at + 8, 8, "Size", NumberText(size), size);
    if (offset == 0 && size == 0) {
      next = at + 16;
      return;
    }
  }
  next = at;
}

}  // namespace

Structure DecodeLvmLabelStructure(const StructureInput& input) {
  Structure s;
  s.Id = "lvm-label";
  s.Title = "LVM2 label";
  FieldWriter writer(s, input.Bytes);
  static constexpr FieldSpec kLabel[] = {
      {0, 8, "Signature", Show::Ascii},
      {8, 8, "Sector", Show::Number},
      {16, 4, "Checksum (of bytes 20-511)", Show::Hex},
      {20, 4, "PV header offset", Show::Number},
      {24, 8, "Type", Show::Ascii},
  };
  if (!writer.AddTable({}, 0, kLabel)) return s;
  writer.AddSignatureCheck("Signature", 0, "LABELONE");
  if (input.Bytes.size() >= 512) {
    const uint32_t stored = ReadLe32(input.Bytes, 16);
    const uint32_t computed = LvmCrc(input.Bytes.subspan(20, 512 - 20));
    writer.AddCheck("Checksum", stored == computed, ChecksumText(stored), ChecksumText(computed));
  }
  const uint64_t sectorField = ReadLe64(input.Bytes, 8);
  const uint64_t at = input.Sector * input.SectorSize / 512;
  writer.AddCheck("Sector field names the label's own sector", sectorField == at, std::to_string(sectorField),
                  std::to_string(at));
  s.Length = std::min<size_t>(32, input.Bytes.size());
  return s;
}

Structure DecodeLvmPvHeaderStructure(const StructureInput& input) {
  Structure s;
  s.Id = "lvm-pv-header";
  s.Title = "LVM2 PV header";
  // The header follows the label in its sector, where the label says.
  uint32_t offset = ReadLe32(input.Bytes, 20);
  if (input.Bytes.size() < 8 || std::memcmp(input.Bytes.data(), "LABELONE", 8) != 0 || offset < 32 || offset >= 512) {
    offset = 32;
    s.Notes.push_back("No LVM2 label in the sector: the header is read at byte 32");
  }
  FieldWriter writer(s, input.Bytes);
  if (!writer.Fits(offset, 40)) return s;
  writer.AddText({}, offset, 32, "PV UUID", std::string(reinterpret_cast<const char*>(input.Bytes.data() + offset), 32));
  const uint64_t deviceSize = ReadLe64(input.Bytes, offset + 32);
  writer.AddText({}, offset + 32, 8, "Device size", NumberText(deviceSize) + " bytes", deviceSize);
  size_t next = offset + 40;
  AddAreas(writer, next, "Data area", next);
  AddAreas(writer, next, "Metadata area", next);
  // The extension newer LVM2 writes: its version, flags and the bootloader areas.
  if (writer.Fits(next, 8) && ReadLe32(input.Bytes, next) != 0) {
    writer.AddText("Extension", next, 4, "Version", std::to_string(ReadLe32(input.Bytes, next)),
                   ReadLe32(input.Bytes, next));
    writer.AddText("Extension", next + 4, 4, "Flags",
                   HexText(ReadLe32(input.Bytes, next + 4), 8) +
                       ((ReadLe32(input.Bytes, next + 4) & 1u) != 0 ? " (in use)" : ""),
                   ReadLe32(input.Bytes, next + 4));
    AddAreas(writer, next + 8, "Bootloader area", next);
  }
  s.Length = next;
  return s;
}

Structure DecodeLvmMetadataHeaderStructure(const StructureInput& input) {
  Structure s;
  s.Id = "lvm-metadata-header";
  s.Title = "LVM2 metadata area header";
  FieldWriter writer(s, input.Bytes);
  static constexpr FieldSpec kHeader[] = {
      {0, 4, "Checksum (of bytes 4-511)", Show::Hex},
      {4, 16, "Magic", Show::Ascii},
      {20, 4, "Version", Show::Number},
      {24, 8, "Start", Show::Number},
      {32, 8, "Size", Show::Number},
  };
  if (!writer.AddTable({}, 0, kHeader)) return s;
  writer.AddSignatureCheck("Magic", 4, kLvmMetadataMagic);
  if (input.Bytes.size() >= 512) {
    const uint32_t stored = ReadLe32(input.Bytes, 0);
    const uint32_t computed = LvmCrc(input.Bytes.subspan(4, 512 - 4));
    writer.AddCheck("Checksum", stored == computed, ChecksumText(stored), ChecksumText(computed));
  }
  size_t at = 40;
  for (int i = 0; at + 24 <= 512; ++i, at += 24) {
    if (!writer.Fits(at, 24)) break;
    const uint64_t offset = ReadLe64(input.Bytes, at);
    const uint64_t size = ReadLe64(input.Bytes, at + 8);
    const bool end = offset == 0 && size == 0;
    const std::string group = end ? "Location list end" : (i == 0 ? "Committed copy" : "Copy " + std::to_string(i));
    writer.AddText(group, at, 8, "Offset", NumberText(offset), offset);
    writer.AddText(group, at + 8, 8, "Size", NumberText(size), size);
    writer.AddText(group, at + 16, 4, "Checksum", ChecksumText(ReadLe32(input.Bytes, at + 16)), ReadLe32(input.Bytes, at + 16));
    writer.AddText(group, at + 20, 4, "Flags", HexText(ReadLe32(input.Bytes, at + 20), 8) +
                                                   ((ReadLe32(input.Bytes, at + 20) & 1u) != 0 ? " (ignored)" : ""),
                   ReadLe32(input.Bytes, at + 20));
    if (end) {
      at += 24;
      break;
    }
  }
  // A header cut short spans only the bytes there are.
  s.Length = std::min<size_t>(512, input.Bytes.size());
  return s;
}

Structure DecodeLvmMetadataTextStructure(const StructureInput& input) {
  Structure s;
  s.Id = "lvm-metadata";
  s.Title = "LVM2 metadata text";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> b = input.Bytes;
  size_t at = 0;
  size_t line = 1;
  while (at < b.size() && b[at] != 0) {
    size_t end = at;
    while (end < b.size() && b[end] != '\n' && b[end] != 0) ++end;
    std::string text;
    for (size_t i = at; i < end; ++i) text += (b[i] >= 0x20 && b[i] < 0x7F) || b[i] == '\t' ? static_cast<char>(b[i]) : '.';
    writer.AddText({}, at, end - at + (end < b.size() && b[end] == '\n' ? 1 : 0), "Line " + std::to_string(line++), text);
    at = end < b.size() && b[end] == '\n' ? end + 1 : end;
  }
  if (at >= b.size()) {
    writer.Note("The text goes on past the " + std::to_string(b.size()) + " bytes read");
  } else {
    writer.Note("The text ends with its NUL at byte " + std::to_string(at));
  }
  s.Length = at;
  return s;
}

uint64_t LvmStructureSpan(std::string_view id, uint32_t sectorSize, size_t /*offset*/) {
  if (id != "lvm-metadata" || sectorSize == 0) return sectorSize;
  return (kTextBytes + sectorSize - 1) / sectorSize * sectorSize;
}

std::optional<StructureChoice> LvmStructureAt(uint64_t sector) {
  const uint64_t sectorSize = Geometry().BytesPerSector > 0 ? static_cast<uint64_t>(Geometry().BytesPerSector) : 512;
  const std::optional<LvmPhysicalVolume> pv = ReadCurrentLvmPhysicalVolume();
  if (!pv) return std::nullopt;
  if (sector == pv->Label.Sector * 512 / sectorSize) return StructureChoice{"lvm-label"};
  for (const LvmMetadataHeader& area : pv->Areas) {
    if (sector == area.At / sectorSize) return StructureChoice{"lvm-metadata-header"};
  }
  if (pv->Metadata && !pv->Areas.empty()) {
    for (const LvmMetadataHeader& area : pv->Areas) {
      const uint64_t text = area.At + pv->Metadata->AreaOffset;
      if (text % sectorSize == 0 && sector == text / sectorSize) return StructureChoice{"lvm-metadata"};
    }
  }
  return std::nullopt;
}

}  // namespace korvalane
