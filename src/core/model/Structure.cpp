#include "core/model/Structure.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "core/Bytes.h"
#include "core/Platform.h"
#include "core/disk/PartitionTable.h"
#include "core/hash/Digest.h"
#include "core/text/IsoTime.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// A field of more bytes shows its first ones and its length.
constexpr size_t kBytesShown = 16;

std::string NamesOfBits(uint64_t value, std::span<const ValueName> names) {
  std::string text;
  uint64_t named = 0;
  for (const ValueName& bit : names) {
    named |= bit.Value;
    if ((value & bit.Value) != 0) {
      if (!text.empty()) text += ", ";
      text += bit.Name;
    }
  }
  const uint64_t others = value & ~named;
  if (others != 0) {
    if (!text.empty()) text += ", ";
    text += "other bits " + HexText(others, 0);
  }
  return text;
}

const char* NameOf(uint64_t value, std::span<const ValueName> names) {
  for (const ValueName& known : names) {
    if (known.Value == value) return known.Name;
  }
  return nullptr;
}

std::string Chs(std::span<const uint8_t> bytes, size_t offset) {
  const unsigned head = bytes[offset];
  const unsigned sector = bytes[offset + 1] & 0x3Fu;
  const unsigned cylinder = (static_cast<unsigned>(bytes[offset + 1] & 0xC0u) << 2) | bytes[offset + 2];
  return "cylinder " + std::to_string(cylinder) + ", head " + std::to_string(head) + ", sector " +
         std::to_string(sector);
}

// Bytes as a script reads a text field: up to the NUL padding after the text, as UTF-8
// where they are that, and U+FFFD for each byte that is no printable character. The bytes
// are wanted beside it where that does not give them back.
struct ScriptText {
  std::string Text;
  bool NeedsBytes = false;
};

ScriptText AsciiScriptText(std::span<const uint8_t> field) {
  size_t end = field.size();
  while (end > 0 && field[end - 1] == 0) --end;
  const std::span<const uint8_t> text = field.first(end);
  ScriptText out;
  const std::string raw(text.begin(), text.end());
  const bool utf8 = ToUtf8(FromUtf8(raw)) == raw;
  for (const uint8_t b : text) {
    if (b < 0x20 || b == 0x7F || (b >= 0x80 && !utf8)) {
      out.NeedsBytes = true;
      out.Text += "\xEF\xBF\xBD";
    } else {
      out.Text += static_cast<char>(b);
    }
  }
  return out;
}

// UTF-16LE up to its first NUL or 0xFFFF unit, as Utf16Text reads it; the bytes are wanted
// where units that are not padding follow, or an odd byte is left.
ScriptText Utf16ScriptText(std::span<const uint8_t> field) {
  ScriptText out{Utf16Text(field, 0, field.size()), field.size() % 2 != 0};
  bool ended = false;
  for (size_t i = 0; i + 1 < field.size(); i += 2) {
    const uint16_t unit = ReadLe16(field, i);
    const bool high = unit >= 0xD800 && unit <= 0xDBFF;
    const bool low = unit >= 0xDC00 && unit <= 0xDFFF;
    if (unit == 0 || unit == 0xFFFF) {
      ended = true;
    } else if (ended || unit < 0x20) {
      out.NeedsBytes = true;
    } else if (high && i + 3 < field.size() && ReadLe16(field, i + 2) >= 0xDC00 && ReadLe16(field, i + 2) <= 0xDFFF) {
      i += 2;  // a pair: one character
    } else if (high || low) {
      out.NeedsBytes = true;  // unpaired: U+FFFD in the text
    }
  }
  return out;
}

void SetScriptText(Field& field, const ScriptText& text, std::span<const uint8_t> bytes) {
  field.Text = text.Text;
  if (text.NeedsBytes) field.BytesHex = HexBytes(bytes);
}

}  // namespace

std::string CheckLine(const Check& check) {
  const std::string quote = check.Quoted ? "\"" : "";
  return check.Name + ": " + (check.Holds ? "holds" : "fails") + " (stored " + quote + check.Stored + quote +
         ", computed " + quote + check.Computed + quote + ")";
}

std::string HexText(uint64_t value, int digits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

std::string NumberText(uint64_t value) { return std::to_string(value) + " (" + HexText(value, 0) + ")"; }

std::string GuidText(std::span<const uint8_t> bytes, size_t offset) {
  if (!korvalane::Fits(bytes, offset, 16)) return {};
  char text[40];
  std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X",
                ReadLe32(bytes, offset), ReadLe16(bytes, offset + 4), ReadLe16(bytes, offset + 6),
                bytes[offset + 8], bytes[offset + 9], bytes[offset + 10], bytes[offset + 11], bytes[offset + 12],
                bytes[offset + 13], bytes[offset + 14], bytes[offset + 15]);
  return text;
}

std::string DosDateText(uint16_t date) {
  char text[16];
  std::snprintf(text, sizeof text, "%04u-%02u-%02u", 1980u + (date >> 9), (date >> 5) & 0x0Fu, date & 0x1Fu);
  return text;
}

std::string DosTimeText(uint16_t time) {
  char text[16];
  std::snprintf(text, sizeof text, "%02u:%02u:%02u", time >> 11, (time >> 5) & 0x3Fu, (time & 0x1Fu) * 2u);
  return text;
}

std::string FileTimeText(uint64_t fileTime) {
  if (fileTime == 0) return "not set";
  const std::optional<CivilTime> local = CurrentPlatform().FileTimeToLocal(fileTime);
  if (!local) return "?";
  return ToUtf8(CurrentPlatform().FormatDateTime(*local));
}

std::string Utf16Text(std::span<const uint8_t> bytes, size_t offset, size_t size) {
  std::u16string text;
  for (size_t i = 0; i + 1 < size; i += 2) {
    const char16_t unit = static_cast<char16_t>(ReadLe16(bytes, offset + i));
    // A NUL ends a name; FAT pads the rest of a long name's last entry with 0xFFFF.
    if (unit == 0 || unit == 0xFFFF) break;
    text += unit;
  }
  return ToUtf8(text);
}

std::string AsciiText(std::span<const uint8_t> bytes, size_t offset, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && offset + i < bytes.size(); ++i) {
    const uint8_t b = bytes[offset + i];
    text += b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.';
  }
  return text;
}

std::string ShowValue(std::span<const uint8_t> bytes, size_t offset, size_t size, Show how,
                      std::span<const ValueName> names) {
  const uint64_t value = ReadLe(bytes, offset, size);
  const int digits = static_cast<int>(2 * size);
  switch (how) {
    case Show::Number:
      return NumberText(value);
    case Show::Signed: {
      const unsigned bits = static_cast<unsigned>(8 * size);
      int64_t signedValue = static_cast<int64_t>(value);
      if (bits > 0 && bits < 64 && (value >> (bits - 1) & 1u) != 0) {
        signedValue = static_cast<int64_t>(value | ~((uint64_t{1} << bits) - 1));
      }
      return std::to_string(signedValue) + " (" + HexText(value, digits) + ")";
    }
    case Show::Hex:
      return HexText(value, digits);
    case Show::Code: {
      const char* name = NameOf(value, names);
      return HexText(value, digits) + (name != nullptr ? std::string(" (") + name + ")" : std::string());
    }
    case Show::Flags: {
      const std::string set = NamesOfBits(value, names);
      return HexText(value, digits) + (set.empty() ? std::string() : " (" + set + ")");
    }
    case Show::Ascii:
      return "\"" + AsciiText(bytes, offset, size) + "\"";
    case Show::Utf16:
      return "\"" + Utf16Text(bytes, offset, size) + "\"";
    case Show::Guid:
      return GuidText(bytes, offset);
    case Show::FileTime:
      return FileTimeText(value) + " (" + HexText(value, 16) + ")";
    case Show::DosDate:
      return DosDateText(static_cast<uint16_t>(value)) + " (" + HexText(value, 4) + ")";
    case Show::DosTime:
      return DosTimeText(static_cast<uint16_t>(value)) + " (" + HexText(value, 4) + ")";
    case Show::ExfatTime:
      return DosDateText(static_cast<uint16_t>(value >> 16)) + " " + DosTimeText(static_cast<uint16_t>(value)) +
             " (" + HexText(value, 8) + ")";
    case Show::Bytes: {
      std::string text;
      for (size_t i = 0; i < size && i < kBytesShown && offset + i < bytes.size(); ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", bytes[offset + i]);
        if (!text.empty()) text += ' ';
        text += hex;
      }
      if (size > kBytesShown) text += " ... (" + std::to_string(size) + " bytes)";
      return text;
    }
    case Show::Chs:
      return Chs(bytes, offset) + " (" + HexText(value, 6) + ")";
    case Show::MbrType:
      return HexText(value, 2) + " (" + (value == 0 ? std::string("empty") : MbrTypeName(static_cast<uint8_t>(value))) + ")";
    case Show::GptType: {
      const std::string guid = GuidText(bytes, offset);
      if (guid == "00000000-0000-0000-0000-000000000000") return guid + " (unused)";
      const std::string name = GptTypeName(guid);
      return name == guid ? guid : guid + " (" + name + ")";
    }
    case Show::FileReference:
      return "record " + std::to_string(value & 0xFFFFFFFFFFFFull) + ", sequence " + std::to_string(value >> 48) +
             " (" + HexText(value, 16) + ")";
  }
  return {};
}

bool FieldWriter::Fits(size_t offset, size_t size) {
  if (structure_.CutAt) return false;
  if (korvalane::Fits(bytes_, offset, size)) {
    if (offset + size > structure_.Length) structure_.Length = offset + size;
    return true;
  }
  structure_.CutAt = offset;
  return false;
}

bool FieldWriter::Add(std::string group, size_t offset, size_t size, const char* name, Show how,
                      std::span<const ValueName> names) {
  if (!Fits(offset, size)) return false;
  Field field;
  field.Offset = offset;
  field.Size = size;
  field.Group = std::move(group);
  field.Name = name;
  field.Value = ShowValue(bytes_, offset, size, how, names);
  // Text, GUIDs and byte strings are no numbers, whatever their width.
  const bool numeric = how != Show::Ascii && how != Show::Utf16 && how != Show::Guid && how != Show::Bytes &&
                       how != Show::GptType;
  if (numeric && size <= 8) field.Number = ReadLe(bytes_, offset, size);
  const std::span<const uint8_t> own = bytes_.subspan(offset, size);
  switch (how) {
    case Show::Ascii: SetScriptText(field, AsciiScriptText(own), own); break;
    case Show::Utf16: SetScriptText(field, Utf16ScriptText(own), own); break;
    case Show::Bytes: field.BytesHex = HexBytes(own); break;
    case Show::FileTime:
      field.IsTime = true;
      if (const uint64_t ticks = ReadLe(bytes_, offset, size); ticks != 0) field.Time = FileTimeIso8601(ticks);
      break;
    default: break;
  }
  structure_.Fields.push_back(std::move(field));
  return true;
}

void FieldWriter::SetTextFromBytes(size_t offset) {
  for (auto field = structure_.Fields.rbegin(); field != structure_.Fields.rend(); ++field) {
    if (field->Offset != offset) continue;
    const std::span<const uint8_t> own = bytes_.subspan(field->Offset, field->Size);
    SetScriptText(*field, AsciiScriptText(own), own);
    return;
  }
}

void FieldWriter::SetTime(size_t offset, std::optional<std::string> moment) {
  for (auto field = structure_.Fields.rbegin(); field != structure_.Fields.rend(); ++field) {
    if (field->Offset != offset) continue;
    field->IsTime = true;
    field->Time = std::move(moment);
    return;
  }
}

bool FieldWriter::AddText(std::string group, size_t offset, size_t size, std::string name, std::string value,
                          std::optional<uint64_t> number) {
  if (!Fits(offset, size)) return false;
  Field field;
  field.Offset = offset;
  field.Size = size;
  field.Group = std::move(group);
  field.Name = std::move(name);
  field.Value = std::move(value);
  field.Number = number;
  structure_.Fields.push_back(std::move(field));
  return true;
}

bool FieldWriter::AddTable(const std::string& group, size_t base, std::span<const FieldSpec> table) {
  for (const FieldSpec& row : table) {
    if (!Add(group, base + row.Offset, row.Size, row.Name, row.How, row.Names)) return false;
  }
  return true;
}

void FieldWriter::AddCheck(std::string name, bool holds, std::string stored, std::string computed) {
  Check check;
  check.Name = std::move(name);
  check.Holds = holds;
  check.Stored = std::move(stored);
  check.Computed = std::move(computed);
  structure_.Checks.push_back(std::move(check));
}

void FieldWriter::AddSignatureCheck(std::string name, size_t offset, const char* expected) {
  const std::string wanted = expected;
  const size_t held = offset < bytes_.size() ? std::min(wanted.size(), bytes_.size() - offset) : 0;
  const std::span<const uint8_t> own = bytes_.subspan(std::min(offset, bytes_.size()), held);
  const bool holds = std::equal(own.begin(), own.end(), wanted.begin(), wanted.end());
  Check check{std::move(name), holds, AsciiText(own, 0, own.size()), wanted, true, std::nullopt};
  if (const ScriptText text = AsciiScriptText(own); text.Text != check.Stored) check.StoredText = text.Text;
  structure_.Checks.push_back(std::move(check));
}

void AddBootSignature(FieldWriter& writer) {
  constexpr size_t kSignatureOffset = 510;
  if (!writer.Add({}, kSignatureOffset, 2, "Boot signature", Show::Hex)) return;
  const uint16_t stored = ReadLe16(writer.Bytes(), kSignatureOffset);
  writer.AddCheck("Boot signature", stored == 0xAA55, HexText(stored, 4), HexText(0xAA55, 4));
}

Structure DecodeBootSector(const StructureInput& input, const char* id, const char* title,
                           std::span<const FieldSpec> head, std::span<const FieldSpec> tail,
                           const std::function<bool(FieldWriter&)>& middle) {
  Structure s;
  s.Id = id;
  s.Title = title;
  FieldWriter writer(s, input.Bytes);
  if (!writer.AddTable({}, 0, head)) return s;
  if (middle && !middle(writer)) return s;
  if (writer.AddTable({}, 0, tail)) AddBootSignature(writer);
  return s;
}

namespace {

uint32_t SectorSize() {
  const int32_t size = Geometry().BytesPerSector;
  return size > 0 ? static_cast<uint32_t>(size) : 512;
}

}  // namespace

std::vector<uint8_t> ReadStructureSector(uint64_t sector) {
  std::vector<uint8_t> buffer(SectorSize());
  ReadSectors(sector, buffer);
  return buffer;
}

bool BeginsWith(std::span<const uint8_t> bytes, const char* text) {
  const size_t length = std::strlen(text);
  return bytes.size() >= length && std::memcmp(bytes.data(), text, length) == 0;
}

uint64_t DriveSectorCount() {
  const int64_t bytes = CurrentPlatform().VolumeTotalBytes(Geometry().CurrentDrive);
  return bytes > 0 ? static_cast<uint64_t>(bytes) / SectorSize() : 0;
}

ExpectedDifference OwnCheckHolds(size_t offset, const std::string& check) {
  return {offset, "each copy's " + check + " holds", [check](const BackupCopies& copies) {
            const auto result = [&](const Structure& s) -> std::optional<bool> {
              for (const Check& c : s.Checks) {
                if (c.Name.starts_with(check)) return c.Holds;
              }
              return std::nullopt;
            };
            const std::optional<bool> primary = result(copies.Primary);
            const std::optional<bool> backup = result(copies.Backup);
            return primary == backup && primary.value_or(true);
          }};
}

ExpectedDifference KeptByThePrimary(size_t offset, std::string why) { return {offset, std::move(why)}; }

}  // namespace korvalane
