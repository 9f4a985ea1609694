#include "core/fs/bitlocker/BitlockerFileSystem.h"

#include "core/fs/EncryptedVolume.h"
#include "core/fs/bitlocker/BitlockerDetails.h"
#include "core/fs/bitlocker/BitlockerStructures.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

class Bitlocker final : public FileSystem {
 public:
  bool Handles(FileSystemKind kind) const override { return kind == FileSystemKind::Bitlocker; }

  std::u16string_view Name(FileSystemKind) const override { return u"BitLocker"; }

  // As libblkid names a BitLocker volume.
  std::optional<FileSystemKind> FromSystemName(std::string_view name) const override {
    if (name == "BitLocker") return FileSystemKind::Bitlocker;
    return std::nullopt;
  }

  // "-FVE-FS-" where NTFS and FAT keep their OEM name.
  std::optional<FileSystemKind> Recognise(std::span<const uint8_t> bootSector) const override {
    if (bitlocker::HasVolumeSignature(bootSector)) return FileSystemKind::Bitlocker;
    return std::nullopt;
  }

  std::unique_ptr<OpenedFileSystem> NewVolume() const override;
};

// The volume header and the three metadata blocks are read once, into the volume.
class BitlockerVolume final : public EncryptedVolume {
 public:
  explicit BitlockerVolume(const FileSystem& type) : EncryptedVolume(type, "BitLocker") {}

  const bitlocker::VolumeState& State() const { return state_; }

  std::u16string Refusal() const override { return bitlocker::NotUsableLine(state_); }

  void Details(ViewText* view, Json* json, const MessagePump&) const override {
    bitlocker::WriteDetails(state_, DetailsHeading(), view, json);
  }

  std::optional<StructureChoice> StructureAt(uint64_t sector) const override { return BitlockerStructureAt(state_, sector); }

  std::vector<StructureBackup> StructureBackups() const override { return BitlockerStructureBackups(state_); }

 private:
  bool Parse() override {
    state_ = bitlocker::VolumeState{};
    if (!ReadEncryptedGeometry(state_.Problem)) return false;
    return bitlocker::ReadBitlocker([](uint64_t byte, std::span<uint8_t> out) { return ReadVolumeBytes(byte, out); }, state_);
  }

  bitlocker::VolumeState state_;
};

std::unique_ptr<OpenedFileSystem> Bitlocker::NewVolume() const { return std::make_unique<BitlockerVolume>(*this); }

}  // namespace

const bitlocker::VolumeState* BitlockerStateOf(const OpenedFileSystem* volume) {
  const auto* bitlocker = dynamic_cast<const BitlockerVolume*>(volume);
  return bitlocker ? &bitlocker->State() : nullptr;
}

const FileSystem& BitlockerFileSystem() {
  static const Bitlocker bitlocker;
  return bitlocker;
}

}  // namespace korvalane
