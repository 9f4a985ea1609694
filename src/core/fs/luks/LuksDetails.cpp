#include "core/fs/luks/LuksDetails.h"

#include <span>

#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::luks {
namespace {

using Type = JsonValue::Type;

// The lines of the report with their JSON fields, written side by side.
class Report {
 public:
  Report(ViewText* view, Json* json) : view_(view), json_(json) {}

  void Line(const std::string& label, const std::string& text) {
    if (view_) view_->push_back(FromUtf8(label) + u" - " + FromUtf8(text));
  }
  void Blank() {
    if (view_) view_->emplace_back();
  }
  void Field(const char* key, Json value) {
    if (json_) json_->Set(key, std::move(value));
  }
  // A line and its field of the same value.
  void Both(const std::string& label, const char* key, const std::string& text) {
    Line(label, text);
    Field(key, text);
  }
  template <std::integral T>
  void Both(const std::string& label, const char* key, T value, const std::string& unit = {}) {
    Line(label, std::to_string(value) + unit);
    Field(key, value);
  }

 private:
  ViewText* view_;
  Json* json_;
};

// "aes-xts-plain64": the cipher before the first dash, its mode after it.
std::pair<std::string, std::string> CipherAndMode(const std::string& encryption) {
  const size_t dash = encryption.find('-');
  if (dash == std::string::npos) return {encryption, {}};
  return {encryption.substr(0, dash), encryption.substr(dash + 1)};
}

std::string ChecksumText(const HeaderCopy& copy) {
  if (!copy.Header) return copy.Fault();
  const HeaderChecksum& c = copy.Checksum;
  if (!c.Computed) return "checksum not verified: " + c.Why;
  if (c.Holds) return "checksum verified";
  return "checksum mismatch: stored " + c.Stored + ", computed " + c.Expected;
}

Json HeaderJson(const char* place, const HeaderCopy& copy) {
  Json out = Json::Object().Set("place", place).Set("byte", copy.Byte).Set("sound", copy.Sound());
  if (!copy.Sound()) out.Set("fault", copy.Fault());
  if (copy.Header) {
    out.Set("sequenceId", copy.Header->SequenceId);
    Json checksum = Json::Object().Set("stored", copy.Checksum.Stored);
    if (copy.Checksum.Computed) {
      checksum.Set("computed", copy.Checksum.Expected).Set("verified", copy.Checksum.Holds);
    } else {
      checksum.Set("notVerified", copy.Checksum.Why);
    }
    out.Set("checksum", checksum);
  }
  return out;
}

void WriteLuks1(const Luks1Header& h, Report& r) {
  r.Both("Version", "version", 1);
  r.Both("UUID", "uuid", h.Uuid);
  r.Both("Cipher", "cipher", h.Cipher);
  r.Both("Cipher mode", "cipherMode", h.Mode);
  r.Both("Hash", "hash", h.Hash);
  r.Line("Key size", std::to_string(uint64_t{h.KeyBytes} * 8) + " bits");
  r.Field("keyBits", uint64_t{h.KeyBytes} * 8);
  r.Line("Payload offset", std::to_string(h.PayloadOffset) + " sectors (" + std::to_string(uint64_t{h.PayloadOffset} * 512) + " bytes)");
  r.Field("payloadOffsetSectors", h.PayloadOffset);
  r.Both("Master key digest", "masterKeyDigest", SpacedHex(h.MasterKeyDigest));
  r.Both("Master key salt", "masterKeySalt", SpacedHex(h.MasterKeySalt));
  r.Both("Master key iterations", "masterKeyIterations", h.MasterKeyIterations);
  r.Blank();
  Json slots = Json::Array();
  for (size_t i = 0; i < h.Slots.size(); ++i) {
    const Luks1KeySlot& slot = h.Slots[i];
    std::string line = SlotStateName(slot.Active);
    if (slot.Active != kSlotEnabled && slot.Active != kSlotDisabled) line += " (" + std::to_string(slot.Active) + ")";
    if (slot.Active == kSlotEnabled) {
      line += ", iterations " + std::to_string(slot.Iterations) + ", salt " + SpacedHex(slot.Salt);
    }
    line += ", key material at sector " + std::to_string(slot.KeyMaterialOffset) + ", stripes " + std::to_string(slot.Stripes);
    r.Line("Key slot " + std::to_string(i), line);
    slots.Push(Json::Object()
                   .Set("slot", i)
                   .Set("state", SlotStateName(slot.Active))
                   .Set("active", slot.Active)
                   .Set("iterations", slot.Iterations)
                   .Set("salt", SpacedHex(slot.Salt))
                   .Set("keyMaterialOffset", slot.KeyMaterialOffset)
                   .Set("stripes", slot.Stripes));
  }
  r.Field("keySlots", slots);
}

// The members of one of the JSON area's sections ("segments"), one line each.
void WriteSection(const JsonValue& root, const char* key, const char* label, Report& r) {
  const JsonValue* section = root.Find(key);
  if (section == nullptr) {
    r.Line(label, "none: the JSON area has no " + std::string(key));
    return;
  }
  if (section->Kind != Type::Object) {
    r.Line(label, OneLine(*section));
    return;
  }
  if (section->Items.empty()) r.Line(std::string(label) + "s", "none");
  for (size_t i = 0; i < section->Items.size(); ++i) r.Line(std::string(label) + " " + section->Keys[i], OneLine(section->Items[i]));
}

void WriteLuks2(const VolumeState& state, Report& r) {
  const HeaderCopy* copy = state.InUse();
  const BinaryHeader& h = *copy->Header;
  const JsonValue& root = *copy->Json.Value;
  r.Both("Version", "version", 2);
  r.Both("UUID", "uuid", h.Uuid);
  r.Both("Label", "label", h.Label);
  r.Both("Subsystem", "subsystem", h.Subsystem);
  r.Both("Header size", "headerSize", h.HeaderSize, " bytes");
  r.Both("Sequence id", "sequenceId", h.SequenceId);
  r.Both("Checksum algorithm", "checksumAlgorithm", h.ChecksumAlgorithm);
  r.Line("Primary header", "at byte " + std::to_string(state.Primary.Byte) + ", " + ChecksumText(state.Primary));
  r.Line("Secondary header", state.Secondary.Read || state.Secondary.Header
                                 ? "at byte " + std::to_string(state.Secondary.Byte) + ", " + ChecksumText(state.Secondary)
                                 : std::string("not found"));
  r.Field("headers", Json::Array().Push(HeaderJson("primary", state.Primary)).Push(HeaderJson("secondary", state.Secondary)));
  std::string inUse = state.SecondaryServes ? "secondary" : "primary";
  if (state.SecondaryServes && !state.Primary.Sound()) inUse += " (the primary: " + state.Primary.Fault() + ")";
  if (!state.Problem.empty()) inUse += " (" + state.Problem + ")";
  r.Line("Header in use", inUse);
  r.Field("headerInUse", state.SecondaryServes ? "secondary" : "primary");

  // The data segment 0 and the first keyslot tell the volume's cipher and key.
  const JsonValue* segments = root.Find("segments");
  const JsonValue* segment = segments ? segments->Find("0") : nullptr;
  if (segment != nullptr) {
    const auto [cipher, mode] = CipherAndMode(segment->TextOf("encryption").value_or(""));
    r.Both("Cipher", "cipher", cipher);
    r.Both("Cipher mode", "cipherMode", mode);
    if (const std::optional<uint64_t> offset = segment->NumberOf("offset")) {
      r.Both("Payload offset", "payloadOffset", *offset, " bytes");
    }
  }
  const JsonValue* keyslots = root.Find("keyslots");
  if (keyslots != nullptr && keyslots->Kind == Type::Object && !keyslots->Items.empty()) {
    if (const std::optional<uint64_t> bytes = keyslots->Items.front().NumberOf("key_size"); bytes && *bytes <= UINT32_MAX) {
      r.Line("Key size", std::to_string(*bytes * 8) + " bits");
      r.Field("keyBits", *bytes * 8);
    }
  }
  r.Blank();
  WriteSection(root, "segments", "Segment", r);
  WriteSection(root, "keyslots", "Keyslot", r);
  WriteSection(root, "digests", "Digest", r);
  WriteSection(root, "tokens", "Token", r);
  if (const JsonValue* config = root.Find("config")) r.Line("Config", OneLine(*config));
  for (const char* key : {"keyslots", "tokens", "segments", "digests", "config"}) {
    if (const JsonValue* section = root.Find(key)) r.Field(key, ToJson(*section));
  }
}

}  // namespace

Json ToJson(const JsonValue& value) {
  switch (value.Kind) {
    case Type::Null:
      return Json();
    case Type::Bool:
      return Json(value.Text == "true");
    case Type::Number: {
      const bool digits = !value.Text.empty() && value.Text.size() <= 19 &&
                          value.Text.find_first_not_of("0123456789") == std::string::npos;
      if (digits) return Json(static_cast<uint64_t>(std::stoull(value.Text)));
      return Json(value.Text);
    }
    case Type::String:
      return Json(value.Text);
    case Type::Array: {
      Json out = Json::Array();
      for (const JsonValue& item : value.Items) out.Push(ToJson(item));
      return out;
    }
    case Type::Object: {
      Json out = Json::Object();
      for (size_t i = 0; i < value.Items.size() && i < value.Keys.size(); ++i) out.Set(value.Keys[i], ToJson(value.Items[i]));
      return out;
    }
  }
  return Json();
}

std::string OneLine(const JsonValue& value) {
  switch (value.Kind) {
    case Type::Null:
      return "null";
    case Type::Bool:
    case Type::Number:
    case Type::String:
      return value.Text;
    case Type::Array: {
      std::string text = "[";
      for (size_t i = 0; i < value.Items.size(); ++i) text += (i > 0 ? ", " : "") + OneLine(value.Items[i]);
      return text + "]";
    }
    case Type::Object: {
      std::string text;
      for (size_t i = 0; i < value.Items.size() && i < value.Keys.size(); ++i) {
        const JsonValue& item = value.Items[i];
        text += (i > 0 ? ", " : "") + value.Keys[i] + " ";
        text += item.Kind == Type::Object ? "(" + OneLine(item) + ")" : OneLine(item);
      }
      return text;
    }
  }
  return {};
}

void WriteDetails(const VolumeState& state, const std::u16string& heading, ViewText* view, Json* json) {
  const VolumeGeometry& g = Geometry();
  if (view) view->push_back(heading + state.Label);
  Report r(view, json);
  r.Both("Bytes per sector", "bytesPerSector", g.BytesPerSector);
  r.Both("Sectors", "sectors", g.TotalSectors);
  if (state.Version == 1 && state.V1) WriteLuks1(*state.V1, r);
  if (state.Version == 2 && state.InUse()) WriteLuks2(state, r);
}

std::u16string NotUsableLine(const VolumeState& state) { return u"LUKS header not usable - " + FromUtf8(state.Problem); }

}  // namespace korvalane::luks
