#include "core/disk/lvm/LvmPhysicalVolume.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/Bytes.h"
#include "core/disk/lvm/LvmVolumeGroup.h"

namespace korvalane {
namespace {

constexpr size_t kSector = 512;
constexpr size_t kLabelSectors = 4;
constexpr size_t kMetadataHeaderBytes = 512;
constexpr size_t kMaxAreas = 8;        // of each kind in a PV header
constexpr size_t kMaxOlderCopies = 64;  // parsed while looking for the newest older copy

constexpr std::array<uint32_t, 256> MakeTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kTable = MakeTable();

// LVM prints a 32-character id in groups of 6-4-4-4-4-4-6.
std::string FormatUuid(std::span<const uint8_t> id) {
  std::string text;
  const size_t groups[] = {6, 4, 4, 4, 4, 4, 6};
  size_t at = 0;
  for (const size_t group : groups) {
    if (!text.empty()) text += '-';
    for (size_t i = 0; i < group && at < id.size(); ++i, ++at) {
      const char c = static_cast<char>(id[at]);
      text += (c >= 0x21 && c <= 0x7E) ? c : '?';
    }
  }
  return text;
}

std::string Hex32(uint32_t value) {
  static const char digits[] = "0123456789ABCDEF";
  std::string text = "0x";
  for (int shift = 28; shift >= 0; shift -= 4) text += digits[(value >> shift) & 0xF];
  return text;
}

// Reads bytes of a metadata area at an offset from its start.
using AreaReader = std::function<bool(uint64_t offset, std::span<uint8_t> buffer)>;

// The `size` bytes of the ring from `offset` on: past the area's end they go on after
// its header, where the ring starts again.
bool ReadRing(const AreaReader& read, uint64_t areaSize, uint64_t offset, uint64_t size, std::vector<uint8_t>& out) {
  if (areaSize <= kMetadataHeaderBytes || offset < kMetadataHeaderBytes || offset >= areaSize ||
      size > areaSize - kMetadataHeaderBytes || size > kLvmMaxMetadataArea) {
    return false;
  }
  out.assign(size, 0);
  const uint64_t first = std::min(size, areaSize - offset);
  if (!read(offset, std::span<uint8_t>(out.data(), first))) return false;
  if (first < size && !read(kMetadataHeaderBytes, std::span<uint8_t>(out.data() + first, size - first))) return false;
  return true;
}

bool LooksLikeCopyStart(std::span<const uint8_t> bytes) {
  size_t i = 0;
  while (i < bytes.size() && i < 128) {
    const char c = static_cast<char>(bytes[i]);
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-' ||
          c == '.' || c == '+')) {
      break;
    }
    ++i;
  }
  return i > 0 && i + 2 < bytes.size() && bytes[i] == ' ' && bytes[i + 1] == '{';
}

std::optional<LvmMetadataCopy> ReadArea(const AreaReader& read, const LvmMetadataHeader& header, std::string* problem,
                                        const std::function<bool(std::vector<uint8_t>&)>& readWhole) {
  const auto say = [&](const std::string& why) {
    if (problem != nullptr && problem->empty()) *problem = why;
  };
  std::string committedWhy;
  std::optional<uint64_t> committedAt;
  if (header.Locations.empty()) {
    committedWhy = "the metadata area header points at no metadata text";
  } else {
    const LvmRawLocation& location = header.Locations[0];
    std::vector<uint8_t> text;
    if (!ReadRing(read, header.Size, location.Offset, location.Size, text)) {
      committedWhy = "the committed copy lies outside its metadata area (at " + std::to_string(location.Offset) +
                     ", " + std::to_string(location.Size) + " bytes, in an area of " + std::to_string(header.Size) +
                     ")";
    } else {
      committedAt = location.Offset;
      LvmMetadataCopy copy;
      copy.AreaOffset = location.Offset;
      copy.Checksum = location.Checksum;
      copy.ComputedChecksum = LvmCrc(text);
      copy.Text.assign(text.begin(), std::find(text.begin(), text.end(), uint8_t{0}));
      if (copy.Checksum == copy.ComputedChecksum) {
        copy.Committed = true;
        return copy;
      }
      committedWhy = "the committed copy's checksum is wrong (stored " + Hex32(copy.Checksum) + ", computed " +
                     Hex32(copy.ComputedChecksum) + ")";
    }
  }
  // An older copy: LVM writes each new copy after the one before, at a sector boundary,
  // so the ring still holds the earlier ones until it wraps over them. The newest one
  // that reads as a whole volume group is taken; no checksum of it is kept.
  std::vector<uint8_t> area;
  if (header.Size <= kMetadataHeaderBytes || header.Size > kLvmMaxMetadataArea || !readWhole(area) ||
      area.size() != header.Size) {
    say(committedWhy + "; no older copy can be read");
    return std::nullopt;
  }
  std::optional<LvmMetadataCopy> best;
  int64_t bestSeqno = -1;
  size_t parsed = 0;
  for (uint64_t at = kMetadataHeaderBytes; at + 2 < area.size() && parsed < kMaxOlderCopies; at += kSector) {
    if (committedAt && at == *committedAt) continue;
    if (!LooksLikeCopyStart(std::span<const uint8_t>(area).subspan(at))) continue;
    ++parsed;
    // To its NUL, the ring's wrap included.
    std::string text;
    uint64_t i = at;
    for (uint64_t n = 0; n < area.size() - kMetadataHeaderBytes; ++n) {
      if (area[i] == 0) break;
      text += static_cast<char>(area[i]);
      if (++i == area.size()) i = kMetadataHeaderBytes;
    }
    const std::optional<LvmVolumeGroup> vg = ParseVolumeGroup(text);
    if (!vg || vg->Seqno <= bestSeqno) continue;
    bestSeqno = vg->Seqno;
    LvmMetadataCopy copy;
    copy.Text = std::move(text);
    copy.AreaOffset = at;
    copy.Note = committedWhy + ": an older copy at byte " + std::to_string(at) + " of the metadata area (seqno " +
                std::to_string(vg->Seqno) + ") is read instead";
    best = std::move(copy);
  }
  if (!best) say(committedWhy + "; the metadata area holds no older copy");
  return best;
}

}  // namespace

uint32_t LvmCrc(std::span<const uint8_t> bytes, uint32_t crc) {
  for (const uint8_t byte : bytes) crc = kTable[(crc ^ byte) & 0xFF] ^ (crc >> 8);
  return crc;
}

std::optional<LvmLabel> DecodeLvmLabel(std::span<const uint8_t> sector, uint64_t sectorIndex) {
  if (sector.size() < kSector || std::memcmp(sector.data(), "LABELONE", 8) != 0) return std::nullopt;
  LvmLabel label;
  label.Sector = sectorIndex;
  label.SectorField = ReadLe64(sector, 8);
  label.Crc = ReadLe32(sector, 16);
  label.ComputedCrc = LvmCrc(sector.subspan(20, kSector - 20));
  label.HeaderOffset = ReadLe32(sector, 20);
  label.Type.assign(reinterpret_cast<const char*>(sector.data() + 24), 8);
  return label;
}

LvmPvHeader DecodeLvmPvHeader(std::span<const uint8_t> bytes) {
  LvmPvHeader header;
  if (bytes.size() < 40) return header;
  header.Uuid = FormatUuid(bytes.subspan(0, 32));
  header.DeviceSize = ReadLe64(bytes, 32);
  // Data areas, a zero entry, metadata areas, a zero entry.
  size_t at = 40;
  for (std::vector<LvmDiskArea>* list : {&header.DataAreas, &header.MetadataAreas}) {
    while (Fits(bytes, at, 16)) {
      const LvmDiskArea area{ReadLe64(bytes, at), ReadLe64(bytes, at + 8)};
      at += 16;
      if (area.Offset == 0 && area.Size == 0) break;
      if (list->size() < kMaxAreas) list->push_back(area);
    }
  }
  return header;
}

LvmMetadataHeader DecodeLvmMetadataHeader(std::span<const uint8_t> bytes, uint64_t at) {
  LvmMetadataHeader header;
  header.At = at;
  if (bytes.size() < kMetadataHeaderBytes) return header;
  header.Checksum = ReadLe32(bytes, 0);
  header.ComputedChecksum = LvmCrc(bytes.subspan(4, kMetadataHeaderBytes - 4));
  header.MagicOk = std::memcmp(bytes.data() + 4, kLvmMetadataMagic, 16) == 0;
  header.Version = ReadLe32(bytes, 20);
  header.Start = ReadLe64(bytes, 24);
  header.Size = ReadLe64(bytes, 32);
  for (size_t offset = 40; offset + 24 <= kMetadataHeaderBytes; offset += 24) {
    LvmRawLocation location{ReadLe64(bytes, offset), ReadLe64(bytes, offset + 8), ReadLe32(bytes, offset + 16),
                            ReadLe32(bytes, offset + 20)};
    if (location.Offset == 0 && location.Size == 0) break;
    header.Locations.push_back(location);
  }
  return header;
}

std::optional<LvmMetadataCopy> ReadLvmMetadataArea(std::span<const uint8_t> area, const LvmMetadataHeader& header,
                                                   std::string* problem) {
  LvmMetadataHeader bounded = header;
  bounded.Size = std::min<uint64_t>(header.Size, area.size());
  const AreaReader read = [&](uint64_t offset, std::span<uint8_t> buffer) {
    if (offset > area.size() || buffer.size() > area.size() - offset) return false;
    std::copy_n(area.begin() + static_cast<std::ptrdiff_t>(offset), buffer.size(), buffer.begin());
    return true;
  };
  return ReadArea(read, bounded, problem, [&](std::vector<uint8_t>& whole) {
    whole.assign(area.begin(), area.begin() + static_cast<std::ptrdiff_t>(bounded.Size));
    return true;
  });
}

std::optional<LvmPhysicalVolume> ReadLvmPhysicalVolume(const LvmReader& read, uint64_t size) {
  if (size < kSector * kLabelSectors) return std::nullopt;
  std::vector<uint8_t> head(kSector * kLabelSectors);
  if (!read(0, head)) return std::nullopt;
  LvmPhysicalVolume pv;
  std::optional<LvmLabel> label;
  size_t labelSector = 0;
  for (size_t s = 0; s < kLabelSectors && !label; ++s) {
    label = DecodeLvmLabel(std::span<const uint8_t>(head).subspan(s * kSector, kSector), s);
    labelSector = s;
  }
  if (!label) return std::nullopt;
  pv.Label = *label;
  if (label->Crc != label->ComputedCrc) {
    pv.Problems.push_back("the label's checksum is wrong (stored " + Hex32(label->Crc) + ", computed " +
                          Hex32(label->ComputedCrc) + ")");
  }
  if (label->HeaderOffset < 32 || label->HeaderOffset >= kSector - 40) {
    pv.Problems.push_back("the label puts its PV header at byte " + std::to_string(label->HeaderOffset) +
                          ", outside its sector");
    return pv;
  }
  pv.Header = DecodeLvmPvHeader(
      std::span<const uint8_t>(head).subspan(labelSector * kSector + label->HeaderOffset, kSector - label->HeaderOffset));

  for (const LvmDiskArea& area : pv.Header.MetadataAreas) {
    if (area.Offset > size || area.Size < kMetadataHeaderBytes || area.Size > size - area.Offset) {
      pv.Problems.push_back("a metadata area lies past the volume's end (at " + std::to_string(area.Offset) + ", " +
                            std::to_string(area.Size) + " bytes)");
      continue;
    }
    std::vector<uint8_t> bytes(kMetadataHeaderBytes);
    if (!read(area.Offset, bytes)) {
      pv.Problems.push_back("the metadata area header at byte " + std::to_string(area.Offset) + " cannot be read");
      continue;
    }
    LvmMetadataHeader header = DecodeLvmMetadataHeader(bytes, area.Offset);
    pv.Areas.push_back(header);
    if (!header.MagicOk) {
      pv.Problems.push_back("the metadata area at byte " + std::to_string(area.Offset) + " has no LVM2 magic");
      continue;
    }
    if (header.Checksum != header.ComputedChecksum) {
      pv.Problems.push_back("the metadata area header at byte " + std::to_string(area.Offset) +
                            " has a wrong checksum (stored " + Hex32(header.Checksum) + ", computed " +
                            Hex32(header.ComputedChecksum) + ")");
    }
    // The area is the one the PV header names, whatever its own header says of it.
    header.Size = std::min(header.Size, area.Size);
    if (pv.Metadata && pv.Metadata->Committed) continue;
    const AreaReader areaRead = [&](uint64_t offset, std::span<uint8_t> buffer) {
      return offset <= area.Size && buffer.size() <= area.Size - offset && read(area.Offset + offset, buffer);
    };
    std::string problem;
    std::optional<LvmMetadataCopy> copy = ReadArea(areaRead, header, &problem, [&](std::vector<uint8_t>& whole) {
      whole.assign(header.Size, 0);
      return read(area.Offset, whole);
    });
    if (!problem.empty()) pv.Problems.push_back(problem);
    if (copy && (!pv.Metadata || copy->Committed)) pv.Metadata = std::move(copy);
  }
  if (pv.Header.MetadataAreas.empty()) pv.Problems.push_back("the PV has no metadata area");
  return pv;
}

}  // namespace korvalane
