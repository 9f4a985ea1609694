#include "core/fs/luks/LuksStructures.h"

#include <algorithm>

#include "core/Bytes.h"
#include "core/fs/FileSystem.h"
#include "core/fs/luks/LuksFileSystem.h"
#include "core/model/Structure.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

using luks::ReadBe;

// The JSON area's values shown as fields at most; a hostile area holds many more.
constexpr size_t kMostJsonFields = 4096;

// A big-endian number: decimal and hex, as the little-endian fields show theirs.
bool AddNumber(FieldWriter& writer, const std::string& group, size_t offset, size_t size, const char* name) {
  if (!writer.Fits(offset, size)) return false;
  const uint64_t value = ReadBe(writer.Bytes(), offset, size);
  return writer.AddText(group, offset, size, name, NumberText(value), value);
}

void AddMagicCheck(FieldWriter& writer, std::span<const uint8_t> bytes, bool secondaryAllowed) {
  const bool secondary = secondaryAllowed && luks::HasMagic(bytes, luks::kSecondaryMagic);
  const auto& expected = secondary ? luks::kSecondaryMagic : luks::kMagic;
  const std::string stored = ShowValue(bytes, 0, std::min(bytes.size(), luks::kMagicBytes), Show::Bytes);
  writer.AddCheck(secondary ? "Magic (secondary header)" : "Magic", luks::HasMagic(bytes, expected), stored,
                  ShowValue(expected, 0, luks::kMagicBytes, Show::Bytes));
}

void AddVersionCheck(FieldWriter& writer, std::span<const uint8_t> bytes, uint64_t expected) {
  if (!Fits(bytes, 6, 2)) return;
  const uint64_t version = ReadBe(bytes, 6, 2);
  writer.AddCheck("Version", version == expected, std::to_string(version), std::to_string(expected));
}

// Every value under `value` (at `base` in the structure) as a field: an object's members
// grouped by the object's path ("keyslots.0.kdf"), an array's elements named by the
// array's key and their index ("keyslots[0]").
void AddJsonFields(FieldWriter& writer, const luks::JsonValue& value, size_t base, const std::string& path,
                   const std::string& name, size_t& shown, size_t& left) {
  using Type = luks::JsonValue::Type;
  if (value.Kind == Type::Object) {
    const std::string group = path.empty() ? name : name.empty() ? path : path + "." + name;
    for (size_t i = 0; i < value.Items.size(); ++i) AddJsonFields(writer, value.Items[i], base, group, value.Keys[i], shown, left);
    return;
  }
  if (value.Kind == Type::Array) {
    for (size_t i = 0; i < value.Items.size(); ++i) {
      AddJsonFields(writer, value.Items[i], base, path, name + "[" + std::to_string(i) + "]", shown, left);
    }
    return;
  }
  if (shown >= kMostJsonFields) {
    ++left;
    return;
  }
  const size_t at = base + value.Offset;
  if (!writer.Fits(at, value.Length)) return;
  const std::span<const uint8_t> raw = writer.Bytes().subspan(at, value.Length);
  std::optional<uint64_t> number;
  if (value.Kind == Type::Number && !value.Text.empty() && value.Text.find_first_not_of("0123456789") == std::string::npos &&
      value.Text.size() <= 19) {
    number = std::stoull(value.Text);
  }
  writer.AddText(path, at, value.Length, name, std::string(raw.begin(), raw.end()), number);
  if (value.Kind == Type::String) writer.Target().Fields.back().Text = value.Text;
  ++shown;
}

// The header's bytes over its whole size: those given, or read again where they are fewer.
std::vector<uint8_t> WholeHeader(const StructureInput& input, uint64_t size) {
  if (input.Bytes.size() >= size) return {input.Bytes.begin(), input.Bytes.begin() + static_cast<std::ptrdiff_t>(size)};
  if (!input.Read || input.SectorSize == 0 || !luks::IsHeaderSize(size)) return {input.Bytes.begin(), input.Bytes.end()};
  std::vector<uint8_t> bytes((size + input.SectorSize - 1) / input.SectorSize * input.SectorSize);
  if (!input.Read(input.Sector, bytes)) return {input.Bytes.begin(), input.Bytes.end()};
  bytes.resize(size);
  return bytes;
}

const luks::VolumeState* CurrentLuks() { return LuksStateOf(CurrentFileSystem()); }

}  // namespace

Structure DecodeLuks1Header(const StructureInput& input) {
  Structure s;
  s.Id = "luks1-header";
  s.Title = "LUKS1 header";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> b = input.Bytes;
  if (!writer.Add({}, 0, 6, "Magic", Show::Bytes)) return s;
  if (!AddNumber(writer, {}, 6, 2, "Version")) return s;
  if (!writer.Add({}, 8, 32, "Cipher name", Show::Ascii)) return s;
  if (!writer.Add({}, 40, 32, "Cipher mode", Show::Ascii)) return s;
  if (!writer.Add({}, 72, 32, "Hash", Show::Ascii)) return s;
  if (!AddNumber(writer, {}, 104, 4, "Payload offset (sectors)")) return s;
  if (!AddNumber(writer, {}, 108, 4, "Key bytes")) return s;
  if (!writer.Add({}, 112, 20, "Master key digest", Show::Bytes)) return s;
  if (!writer.Add({}, 132, 32, "Master key digest salt", Show::Bytes)) return s;
  if (!AddNumber(writer, {}, 164, 4, "Master key digest iterations")) return s;
  if (!writer.Add({}, 168, 40, "UUID", Show::Ascii)) return s;
  for (size_t i = 0; i < luks::kLuks1Slots; ++i) {
    const size_t at = luks::kLuks1SlotsOffset + i * luks::kLuks1SlotBytes;
    const std::string group = "Key slot " + std::to_string(i);
    if (!writer.Fits(at, 4)) break;
    const auto active = static_cast<uint32_t>(ReadBe(b, at, 4));
    writer.AddText(group, at, 4, "Active", HexText(active, 8) + " (" + luks::SlotStateName(active) + ")", active);
    if (!AddNumber(writer, group, at + 4, 4, "Iterations")) break;
    if (!writer.Add(group, at + 8, 32, "Salt", Show::Bytes)) break;
    if (!AddNumber(writer, group, at + 40, 4, "Key material offset (sectors)")) break;
    if (!AddNumber(writer, group, at + 44, 4, "Stripes")) break;
  }
  AddMagicCheck(writer, b, false);
  AddVersionCheck(writer, b, 1);
  return s;
}

Structure DecodeLuks2Header(const StructureInput& input) {
  Structure s;
  s.Id = "luks2-header";
  s.Title = "LUKS2 header";
  FieldWriter writer(s, input.Bytes);
  const std::span<const uint8_t> b = input.Bytes;
  if (!writer.Add({}, 0, 6, "Magic", Show::Bytes)) return s;
  if (!AddNumber(writer, {}, 6, 2, "Version")) return s;
  if (!AddNumber(writer, {}, 8, 8, "Header size")) return s;
  if (!AddNumber(writer, {}, 16, 8, "Sequence id")) return s;
  if (!writer.Add({}, 24, 48, "Label", Show::Ascii)) return s;
  if (!writer.Add({}, 72, 32, "Checksum algorithm", Show::Ascii)) return s;
  if (!writer.Add({}, 104, 64, "Salt", Show::Bytes)) return s;
  if (!writer.Add({}, 168, 40, "UUID", Show::Ascii)) return s;
  if (!writer.Add({}, 208, 48, "Subsystem", Show::Ascii)) return s;
  if (!AddNumber(writer, {}, 256, 8, "Header offset")) return s;
  if (!writer.Add({}, 264, 184, "Padding", Show::Bytes)) return s;
  if (!writer.Add({}, luks::kChecksumOffset, luks::kChecksumBytes, "Checksum", Show::Bytes)) return s;
  AddMagicCheck(writer, b, true);
  AddVersionCheck(writer, b, 2);
  const std::optional<luks::BinaryHeader> header = luks::ParseBinaryHeader(b);
  if (!header) return s;
  const uint64_t place = input.Sector * input.SectorSize;
  writer.AddCheck("Header offset (its own place)", header->HeaderOffset == place, std::to_string(header->HeaderOffset),
                  std::to_string(place));
  const bool sized = luks::IsHeaderSize(header->HeaderSize);
  writer.AddCheck("Header size (a power of two, 16 KiB to 4 MiB)", sized, std::to_string(header->HeaderSize),
                  sized ? std::to_string(header->HeaderSize) : "16384 to 4194304");
  if (!sized) return s;
  const std::vector<uint8_t> whole = WholeHeader(input, header->HeaderSize);
  const luks::HeaderChecksum checksum = luks::CheckHeaderChecksum(*header, whole);
  if (checksum.Computed) {
    writer.AddCheck("Header checksum (" + header->ChecksumAlgorithm + ")", checksum.Holds, checksum.Stored, checksum.Expected);
  } else {
    writer.Note("The header checksum is not verified: " + checksum.Why);
  }
  if (!writer.Add({}, 512, luks::kBinaryHeaderBytes - 512, "Padding", Show::Bytes)) return s;
  if (whole.size() <= luks::kBinaryHeaderBytes) return s;
  const std::span<const uint8_t> area = std::span<const uint8_t>(whole).subspan(luks::kBinaryHeaderBytes);
  const luks::JsonParse json = luks::ParseJson(luks::JsonAreaText(area.data(), area.size()));
  if (!json.Value) {
    writer.Note("The JSON area cannot be read: " + json.Problem + " at byte " +
                std::to_string(luks::kBinaryHeaderBytes + json.ProblemAt));
    return s;
  }
  size_t shown = 0;
  size_t left = 0;
  AddJsonFields(writer, *json.Value, luks::kBinaryHeaderBytes, {}, {}, shown, left);
  if (left > 0) writer.Note(std::to_string(left) + " more values of the JSON area are not shown");
  s.Length = std::min<size_t>(b.size(), header->HeaderSize);
  return s;
}

std::optional<StructureChoice> LuksStructureAt(const luks::VolumeState& state, uint64_t sector) {
  const int32_t sectorBytes = Geometry().BytesPerSector;
  if (sectorBytes <= 0) return std::nullopt;
  if (state.Version == 1 && sector == 0) return StructureChoice{"luks1-header"};
  if (state.Version != 2) return std::nullopt;
  for (const luks::HeaderCopy* copy : {&state.Primary, &state.Secondary}) {
    if (copy->Header && copy->Byte % static_cast<uint64_t>(sectorBytes) == 0 &&
        copy->Byte / static_cast<uint64_t>(sectorBytes) == sector) {
      return StructureChoice{"luks2-header"};
    }
  }
  return std::nullopt;
}

std::vector<StructureBackup> LuksStructureBackups(const luks::VolumeState& state) {
  const int32_t sectorBytes = Geometry().BytesPerSector;
  if (state.Version != 2 || sectorBytes <= 0 || !state.Secondary.Read) return {};
  const auto size = static_cast<uint64_t>(sectorBytes);
  const luks::HeaderCopy& sized = state.Primary.Sound() || !state.Secondary.Header ? state.Primary : state.Secondary;
  const uint64_t length = sized.Header && luks::IsHeaderSize(sized.Header->HeaderSize) ? sized.Header->HeaderSize : state.Secondary.Byte;
  if (state.Secondary.Byte % size != 0 || !luks::IsHeaderSize(length)) return {};
  std::vector<ExpectedDifference> expected = {
      {0, "the primary opens with LUKS, its secondary with SKUL",
       [](const BackupCopies& c) {
         return luks::HasMagic(c.PrimaryBytes, luks::kMagic) && luks::HasMagic(c.BackupBytes, luks::kSecondaryMagic);
       }},
      KeptByThePrimary(104, "each header has a salt of its own"),
      {256, "each header's offset is its own place",
       [size](const BackupCopies& c) {
         return ReadBe(c.PrimaryBytes, 256, 8) == c.PrimarySector * size && ReadBe(c.BackupBytes, 256, 8) == c.BackupSector * size;
       }},
      OwnCheckHolds(luks::kChecksumOffset, "Header checksum"),
  };
  StructureBackup pair{"luks2-header", 0, state.Secondary.Byte / size, std::move(expected)};
  pair.Length = length;
  return {std::move(pair)};
}

uint64_t LuksStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset) {
  uint64_t bytes = luks::kLuks1HeaderBytes;
  if (id == "luks2-header") {
    bytes = luks::kSmallestHeader;
    if (const luks::VolumeState* state = CurrentLuks()) {
      if (const luks::HeaderCopy* copy = state->InUse()) bytes = copy->Header->HeaderSize;
    }
  }
  return (std::max<uint64_t>(offset + bytes, sectorSize) + sectorSize - 1) / sectorSize * sectorSize;
}

}  // namespace korvalane
