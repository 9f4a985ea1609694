#include "core/disk/md/MdStructures.h"

#include <algorithm>

#include <vector>

#include "core/Bytes.h"
#include "core/Platform.h"
#include "core/disk/md/MdSuperblock.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr FieldSpec k1Head[] = {
    {0, 4, "Magic number", Show::Hex},
    {4, 4, "Major version", Show::Number},
    {8, 4, "Feature map", Show::Hex},
};
constexpr FieldSpec k1Shape[] = {
    {72, 4, "Level", Show::Signed},
    {76, 4, "Layout", Show::Number},
    {80, 8, "Member size (sectors)", Show::Number},
    {88, 4, "Chunk size (sectors)", Show::Number},
    {92, 4, "Raid disks", Show::Number},
    {96, 4, "Bitmap offset", Show::Signed},
    {100, 4, "New level", Show::Number},
    {104, 8, "Reshape position", Show::Number},
    {112, 4, "Delta disks", Show::Number},
    {116, 4, "New layout", Show::Number},
    {120, 4, "New chunk", Show::Number},
    {124, 4, "New offset", Show::Number},
    {128, 8, "Data offset (sectors)", Show::Number},
    {136, 8, "Data size (sectors)", Show::Number},
    {144, 8, "Superblock offset (sectors)", Show::Number},
    {152, 8, "Recovery offset", Show::Number},
    {160, 4, "Device number", Show::Number},
    {164, 4, "Corrected read errors", Show::Number},
    {168, 16, "Device UUID", Show::Bytes},
    {184, 1, "Device flags", Show::Hex},
    {185, 1, "Bad block log shift", Show::Number},
    {186, 2, "Bad block log size", Show::Number},
    {188, 4, "Bad block log offset", Show::Signed},
    {192, 8, "Update time", Show::Number},
    {200, 8, "Events", Show::Number},
    {208, 8, "Resync offset", Show::Number},
    {216, 4, "Checksum", Show::Hex},
    {220, 4, "Max devices", Show::Number},
};
constexpr FieldSpec k090Head[] = {
    {0, 4, "Magic number", Show::Hex},
    {4, 4, "Major version", Show::Number},
    {8, 4, "Minor version", Show::Number},
    {12, 4, "Patch version", Show::Number},
    {16, 4, "Generic valid words", Show::Number},
    {20, 4, "UUID word 0", Show::Hex},
    {24, 4, "Creation time", Show::Number},
    {28, 4, "Level", Show::Signed},
    {32, 4, "Member size (KiB)", Show::Number},
    {36, 4, "Disks", Show::Number},
    {40, 4, "Raid disks", Show::Number},
    {44, 4, "md minor", Show::Number},
    {48, 4, "Not persistent", Show::Number},
    {52, 4, "UUID word 1", Show::Hex},
    {56, 4, "UUID word 2", Show::Hex},
    {60, 4, "UUID word 3", Show::Hex},
    {128, 4, "Update time", Show::Number},
    {132, 4, "State", Show::Hex},
    {136, 4, "Active disks", Show::Number},
    {140, 4, "Working disks", Show::Number},
    {144, 4, "Failed disks", Show::Number},
    {148, 4, "Spare disks", Show::Number},
    {152, 4, "Checksum", Show::Hex},
    {156, 8, "Events", Show::Number},
    {164, 8, "Checkpoint events", Show::Number},
    {172, 4, "Recovery checkpoint", Show::Number},
    {256, 4, "Layout", Show::Number},
    {260, 4, "Chunk size (bytes)", Show::Number},
};
constexpr FieldSpec kDescriptor[] = {
    {0, 4, "Number", Show::Number},
    {4, 4, "Major", Show::Number},
    {8, 4, "Minor", Show::Number},
    {12, 4, "Raid disk", Show::Number},
    {16, 4, "State", Show::Hex},
};

md::Version VersionAt(std::span<const uint8_t> bytes, uint64_t byte) {
  if (ReadLe32(bytes, 4) == 0) return md::Version::V090;
  if (byte == 0) return md::Version::V11;
  if (byte == 4096) return md::Version::V12;
  return md::Version::V10;
}

// Reads the current drive's bytes, as whole sectors around the bytes asked for.
bool ReadCurrentDrive(uint64_t position, std::span<uint8_t> buffer) {
  const int32_t size = Geometry().BytesPerSector;
  const uint32_t sectorSize = size >= 512 ? static_cast<uint32_t>(size) : 512;
  const uint64_t first = position / sectorSize;
  const uint64_t end = (position + buffer.size() + sectorSize - 1) / sectorSize;
  std::vector<uint8_t> sectors(static_cast<size_t>((end - first) * sectorSize));
  if (!ReadSectors(first, sectors)) return false;
  std::copy_n(sectors.begin() + static_cast<std::ptrdiff_t>(position - first * sectorSize), buffer.size(),
              buffer.begin());
  return true;
}

uint64_t CurrentDriveBytes() {
  const int64_t bytes = CurrentPlatform().VolumeTotalBytes(Geometry().CurrentDrive);
  return bytes > 0 ? static_cast<uint64_t>(bytes) : 0;
}

// The superblock of the current drive, read at each place a version keeps it.
std::optional<md::Superblock> CurrentSuperblock() {
  const uint64_t bytes = CurrentDriveBytes();
  if (bytes == 0) return std::nullopt;
  return md::FindSuperblock(ReadCurrentDrive, bytes);
}

}  // namespace

bool HoldsMdDataFromItsStart(std::string_view drive) {
  const std::string name(drive);
  const int64_t size = CurrentPlatform().VolumeTotalBytes(name);
  if (size <= 0) return false;
  const auto bytes = static_cast<uint64_t>(size);
  for (const md::Version version : {md::Version::V10, md::Version::V090}) {
    // Both lie on a 4 KiB boundary at least 8 KiB before the end: one read of 4 KiB,
    // whole sectors of any size the drive may have.
    const std::optional<uint64_t> offset = md::SuperblockOffset(version, bytes);
    if (!offset) continue;
    std::vector<uint8_t> buffer(md::kSuperblock1Bytes);
    if (!CurrentPlatform().ReadVolume(name, *offset, buffer)) continue;
    const std::optional<md::Superblock> sb = md::ParseSuperblock(buffer, version, *offset);
    if (sb && sb->DataOffset == 0) return true;
  }
  return false;
}

bool BeginsWithMdMagic(std::span<const uint8_t> bytes) { return ReadLe32(bytes, 0) == md::kMagic && bytes.size() >= 256; }

uint64_t MdSuperblockSpan(std::string_view, uint32_t sectorSize, size_t offset) {
  const uint64_t size = sectorSize == 0 ? 512 : sectorSize;
  return (offset + md::kSuperblock1Bytes + size - 1) / size * size;
}

Structure DecodeMdSuperblock(const StructureInput& input) {
  Structure s;
  s.Id = "md-superblock";
  s.Title = "md RAID superblock";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> b = input.Bytes;
  const uint64_t at = input.Sector * input.SectorSize;
  const md::Version version = VersionAt(b, at);
  if (version == md::Version::V090) {
    if (!writer.AddTable({}, 0, k090Head)) return s;
    for (size_t i = 0; i < 27; ++i) {
      const size_t base = 512 + 128 * i;
      if (ReadLe32(b, base + 16) == 0 && ReadLe32(b, base) == 0 && i > 0) continue;  // an unused slot
      if (!writer.AddTable("Descriptor " + std::to_string(i), base, kDescriptor)) return s;
    }
    if (!writer.AddTable("This member", 3968, kDescriptor)) return s;
    s.Length = md::kSuperblock090Bytes;
  } else {
    if (!writer.AddTable({}, 0, k1Head)) return s;
    if (!writer.Fits(16, 16)) return s;
    std::array<uint8_t, 16> uuid{};
    std::copy_n(b.begin() + 16, 16, uuid.begin());
    writer.AddText({}, 16, 16, "Array UUID", md::UuidText(uuid));
    if (!writer.Add({}, 32, 32, "Name", Show::Ascii)) return s;
    writer.SetTextFromBytes(32);
    if (!writer.Fits(64, 8)) return s;
    writer.AddText({}, 64, 8, "Creation time", std::to_string(ReadLe64(b, 64) & 0xFFFFFFFFFF), ReadLe64(b, 64));
    if (!writer.AddTable({}, 0, k1Shape)) return s;
    const uint32_t roles = std::min(ReadLe32(b, 220), md::kLargestRoleTable);
    for (uint32_t i = 0; i < roles; ++i) {
      const size_t offset = md::kSuperblock1HeadBytes + 2 * size_t{i};
      if (!writer.Fits(offset, 2)) break;
      writer.AddText("Roles", offset, 2, "Device " + std::to_string(i), md::RoleName(ReadLe16(b, offset)),
                     ReadLe16(b, offset));
    }
    // A role table cut short by the bytes read spans only what is there.
    s.Length = std::min(md::kSuperblock1HeadBytes + 2 * size_t{roles}, b.size());
  }
  const uint32_t magic = ReadLe32(b, 0);
  writer.AddCheck("Magic number", magic == md::kMagic, HexText(magic, 8), HexText(md::kMagic, 8));
  if (const std::optional<md::Superblock> sb = md::ParseSuperblock(b, version, at)) {
    writer.AddCheck("Superblock checksum", sb->ChecksumHolds(), HexText(sb->StoredChecksum, 8), HexText(sb->ComputedChecksum, 8));
    for (const std::string& problem : sb->Problems) writer.Note(problem);
  }
  return s;
}

bool ReportMdMember(ViewText* view, Json* json) {
  const std::optional<md::Superblock> found = CurrentSuperblock();
  if (!found) return false;
  const md::Superblock& sb = *found;
  const std::string layout = md::LayoutName(sb.Level, sb.Layout);
  const std::string checksum = std::string(sb.ChecksumHolds() ? "holds" : "does not hold") + " (stored " +
                               HexText(sb.StoredChecksum, 8) + ", computed " + HexText(sb.ComputedChecksum, 8) + ")";
  if (view) {
    const std::u16string drive = FromUtf8(Geometry().CurrentDrive);
    view->push_back(u"Drive " + drive + u"\\, md RAID member");
    const auto line = [&](const char* label, const std::string& value) {
      view->push_back(FromUtf8(std::string(label) + " - " + value));
    };
    line("Superblock", md::VersionName(sb) + " at byte " + std::to_string(sb.Offset));
    line("Array UUID", md::UuidText(sb.ArrayUuid));
    if (!sb.Name.empty()) line("Name", sb.Name);
    line("Level", md::LevelName(sb.Level));
    if (!layout.empty()) line("Layout", layout);
    line("Chunk size", std::to_string(sb.ChunkBytes));
    line("Members", std::to_string(sb.RaidDisks));
    line("Member size (sectors)", std::to_string(sb.DeviceSectors));
    line("Data offset (sectors)", std::to_string(sb.DataOffset));
    line("Data size (sectors)", std::to_string(sb.DataSectors));
    line("Device number", std::to_string(sb.DeviceNumber));
    line("Role", md::RoleName(sb.Role));
    line("Events", std::to_string(sb.Events));
    line("Checksum", checksum);
    view->emplace_back();
    view->emplace_back(u"Device - role:");
    for (size_t i = 0; i < sb.Roles.size(); ++i) {
      if (sb.Format != md::Version::V090 && sb.Roles[i] == md::kRoleSpare && i >= sb.RaidDisks) continue;
      view->push_back(FromUtf8(std::to_string(i) + " - " + md::RoleName(sb.Roles[i])));
    }
    if (!sb.Problems.empty()) {
      view->emplace_back();
      for (const std::string& problem : sb.Problems) view->push_back(FromUtf8(problem));
    }
  }
  if (json) {
    Json roles = Json::Array();
    for (size_t i = 0; i < sb.Roles.size(); ++i) {
      if (sb.Format != md::Version::V090 && sb.Roles[i] == md::kRoleSpare && i >= sb.RaidDisks) continue;
      roles.Push(Json::Object().Set("device", i).Set("role", md::RoleName(sb.Roles[i])));
    }
    Json problems = Json::Array();
    for (const std::string& problem : sb.Problems) problems.Push(problem);
    *json = Json::Object()
                .Set("drive", Geometry().CurrentDrive)
                .Set("mdSuperblock", Json::Object()
                                         .Set("version", md::VersionName(sb))
                                         .Set("offset", sb.Offset)
                                         .Set("arrayUuid", md::UuidText(sb.ArrayUuid))
                                         .Set("name", sb.Name)
                                         .Set("level", md::LevelName(sb.Level))
                                         .Set("layout", layout)
                                         .Set("chunkBytes", sb.ChunkBytes)
                                         .Set("members", sb.RaidDisks)
                                         .Set("memberSectors", sb.DeviceSectors)
                                         .Set("dataOffset", sb.DataOffset)
                                         .Set("dataSectors", sb.DataSectors)
                                         .Set("deviceNumber", sb.DeviceNumber)
                                         .Set("role", md::RoleName(sb.Role))
                                         .Set("events", sb.Events)
                                         .Set("checksumHolds", sb.ChecksumHolds())
                                         .Set("roles", roles)
                                         .Set("problems", problems));
  }
  return true;
}

}  // namespace korvalane
