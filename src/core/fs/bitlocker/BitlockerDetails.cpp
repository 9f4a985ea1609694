#include "core/fs/bitlocker/BitlockerDetails.h"

#include "core/model/Structure.h"
#include "core/text/IsoTime.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::bitlocker {
namespace {

std::string MethodText(uint32_t method) {
  const char* name = NameIn(EncryptionMethods(), method);
  return HexText(method, 4) + (name != nullptr ? std::string(" (") + name + ")" : std::string());
}

std::string BlockLine(const VolumeState& state, size_t index) {
  const MetadataBlock& block = state.Blocks[index];
  std::string line = "at byte " + std::to_string(block.Byte);
  if (!block.Read) return line + ", cannot be read";
  if (!block.Signed) return line + ", no -FVE-FS- signature";
  line += ", version " + std::to_string(block.Version) + ", encrypted volume size " + std::to_string(block.EncryptedSize);
  if (block.Version >= 2) {
    line += ", volume header at byte " + std::to_string(block.VolumeHeaderOffset) + " (" +
            std::to_string(block.VolumeHeaderSectors) + " sectors)";
  }
  line += ", metadata " + std::to_string(block.MetadataSize) + " bytes, " + std::to_string(block.Entries.size()) + " entries";
  const std::string disagreement = state.OffsetDisagreement(index);
  line += disagreement.empty() ? ", offsets agree" : ", offsets differ: " + disagreement;
  return line;
}

}  // namespace

void WriteDetails(const VolumeState& state, const std::u16string& heading, ViewText* view, Json* json) {
  const VolumeGeometry& g = Geometry();
  const VolumeHeader& h = *state.Header;
  const bool seven = h.Kind == Layout::Windows7;
  const std::string layout = seven ? "Windows 7 and later" : "Windows Vista";
  if (view) {
    view->push_back(heading + u"BitLocker");
    view->push_back(u"Bytes per sector - " + Decimal(g.BytesPerSector));
    view->push_back(u"Sectors per cluster - " + Decimal(h.SectorsPerCluster));
    view->push_back(u"Sectors - " + Decimal(g.TotalSectors));
    view->push_back(u"Layout - " + FromUtf8(layout));
    if (seven) {
      view->push_back(u"BitLocker identifier - " + FromUtf8(GuidOf(h.Identifier)));
      view->push_back(u"Volume serial number - " + FromUtf8(HexText(h.Serial, 8)));
    }
  }
  Json blocks = Json::Array();
  for (size_t i = 0; i < state.Blocks.size(); ++i) {
    const MetadataBlock& block = state.Blocks[i];
    if (view) view->push_back(u"FVE metadata block " + Decimal(i + 1) + u" - " + FromUtf8(BlockLine(state, i)));
    Json entry = Json::Object().Set("byte", block.Byte).Set("read", block.Read).Set("signature", block.Signed);
    if (block.Signed) {
      entry.Set("version", block.Version)
          .Set("encryptedVolumeSize", block.EncryptedSize)
          .Set("volumeHeaderOffset", block.VolumeHeaderOffset)
          .Set("volumeHeaderSectors", block.VolumeHeaderSectors)
          .Set("metadataSize", block.MetadataSize)
          .Set("entries", block.Entries.size())
          .Set("offsets", Json::Array().Push(block.BlockOffsets[0]).Push(block.BlockOffsets[1]).Push(block.BlockOffsets[2]));
    }
    const std::string disagreement = state.OffsetDisagreement(i);
    entry.Set("offsetsAgree", disagreement.empty());
    if (!disagreement.empty()) entry.Set("offsetProblem", disagreement);
    blocks.Push(entry);
  }
  const MetadataBlock* sound = state.FirstSound();
  if (json) {
    json->Set("bytesPerSector", g.BytesPerSector)
        .Set("sectorsPerCluster", h.SectorsPerCluster)
        .Set("sectors", g.TotalSectors)
        .Set("layout", layout);
    if (seven) json->Set("identifier", GuidOf(h.Identifier)).Set("serialNumber", HexText(h.Serial, 8));
    json->Set("metadataBlocks", blocks);
  }
  if (sound == nullptr) {
    if (view) view->push_back(u"Metadata - no block has a sound metadata header");
    return;
  }
  Json descriptions = Json::Array();
  std::u16string described;
  for (const MetadataEntry& e : sound->Entries) {
    if (e.Type != 0x0007 || e.Text.empty()) continue;
    descriptions.Push(Json(e.Text));
    described += (described.empty() ? u"" : u", ") + e.Text;
  }
  const std::string created = sound->CreationTime == 0 ? "not set" : FileTimeText(sound->CreationTime);
  if (view) {
    view->push_back(u"Volume identifier - " + FromUtf8(GuidOf(sound->VolumeIdentifier)));
    view->push_back(u"Encryption method - " + FromUtf8(MethodText(sound->EncryptionMethod)));
    view->push_back(u"Creation time - " + FromUtf8(created));
    view->push_back(u"Description - " + described);
  }
  if (json) {
    json->Set("volumeIdentifier", GuidOf(sound->VolumeIdentifier))
        .Set("encryptionMethod", sound->EncryptionMethod)
        .Set("encryptionMethodName", NameIn(EncryptionMethods(), sound->EncryptionMethod) ? NameIn(EncryptionMethods(), sound->EncryptionMethod) : "")
        .Set("creationTime", sound->CreationTime == 0 ? Json() : Json(FileTimeIso8601(sound->CreationTime)))
        .Set("descriptions", descriptions);
  }
}

std::u16string NotUsableLine(const VolumeState& state) { return u"BitLocker header not usable - " + FromUtf8(state.Problem); }

}  // namespace korvalane::bitlocker
