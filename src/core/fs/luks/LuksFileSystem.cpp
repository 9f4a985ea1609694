#include "core/fs/luks/LuksFileSystem.h"

#include "core/fs/EncryptedVolume.h"
#include "core/fs/luks/LuksDetails.h"
#include "core/fs/luks/LuksStructures.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

luks::ByteReader CurrentDriveReader() {
  return [](uint64_t byte, std::span<uint8_t> out) { return ReadVolumeBytes(byte, out); };
}

// Whether a secondary LUKS2 header lies at one of the places a header size puts it: the
// volume's only mark where the primary's first sector was overwritten.
bool HasSecondaryHeader() {
  std::vector<uint8_t> bytes(512);
  for (uint64_t size = luks::kSmallestHeader; size <= luks::kLargestHeader; size *= 2) {
    if (ReadVolumeBytes(size, bytes) && luks::ParseBinaryHeader(bytes) && luks::HasMagic(bytes, luks::kSecondaryMagic)) return true;
  }
  return false;
}

class Luks final : public FileSystem {
 public:
  bool Handles(FileSystemKind kind) const override { return kind == FileSystemKind::Luks; }

  // A volume is named by its parse ("LUKS1", "LUKS2"); "LUKS" before one.
  std::u16string_view Name(FileSystemKind) const override { return u"LUKS"; }

  // As libblkid names an encrypted volume.
  std::optional<FileSystemKind> FromSystemName(std::string_view name) const override {
    if (name == "crypto_LUKS") return FileSystemKind::Luks;
    return std::nullopt;
  }

  // The magic at byte 0 with version 1 or 2, or, where that sector is damaged, a LUKS2
  // secondary header after it.
  std::optional<FileSystemKind> Recognise(std::span<const uint8_t> bootSector) const override {
    const uint64_t version = luks::ReadBe(bootSector, 6, 2);
    if (luks::HasMagic(bootSector, luks::kMagic) && (version == 1 || version == 2)) return FileSystemKind::Luks;
    if (HasSecondaryHeader()) return FileSystemKind::Luks;
    return std::nullopt;
  }

  std::unique_ptr<OpenedFileSystem> NewVolume() const override;
};

// The headers are read once, into the volume.
class LuksVolume final : public EncryptedVolume {
 public:
  explicit LuksVolume(const FileSystem& type) : EncryptedVolume(type, "LUKS") {}

  const luks::VolumeState& State() const { return state_; }

  std::u16string_view Name() const override { return state_.Label; }
  std::u16string Refusal() const override { return luks::NotUsableLine(state_); }

  void Details(ViewText* view, Json* json, const MessagePump&) const override {
    luks::WriteDetails(state_, DetailsHeading(), view, json);
  }

  std::optional<StructureChoice> StructureAt(uint64_t sector) const override { return LuksStructureAt(state_, sector); }
  std::vector<StructureBackup> StructureBackups() const override { return LuksStructureBackups(state_); }

 private:
  bool Parse() override {
    state_ = luks::VolumeState{};
    if (!ReadEncryptedGeometry(state_.Problem)) return false;
    state_ = luks::ReadLuks(CurrentDriveReader());
    if (state_.Version == 1) return state_.V1.has_value();
    if (state_.Version == 2 && state_.InUse() == nullptr && state_.Problem.empty()) {
      state_.Problem = "neither header's JSON area can be read";
    }
    return state_.Version == 2 && state_.InUse() != nullptr;
  }

  luks::VolumeState state_;
};

std::unique_ptr<OpenedFileSystem> Luks::NewVolume() const { return std::make_unique<LuksVolume>(*this); }

}  // namespace

const luks::VolumeState* LuksStateOf(const OpenedFileSystem* volume) {
  const auto* luks = dynamic_cast<const LuksVolume*>(volume);
  return luks ? &luks->State() : nullptr;
}

const FileSystem& LuksFileSystem() {
  static const Luks luks;
  return luks;
}

}  // namespace korvalane
