#include "core/fs/bitlocker/BitlockerFileSystem.h"

#include "core/Platform.h"
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

// The volume header and the three metadata blocks are read once, into the volume. Its
// sectors are its clusters: nothing of it is decrypted.
class BitlockerVolume final : public OpenedFileSystem {
 public:
  using OpenedFileSystem::OpenedFileSystem;

  const bitlocker::VolumeState& State() const { return state_; }

  std::u16string Refusal() const override { return bitlocker::NotUsableLine(state_); }

  void Details(ViewText* view, Json* json, const MessagePump&) const override {
    bitlocker::WriteDetails(state_, DetailsHeading(), view, json);
  }

  // An encrypted volume shows no records.
  void Record(uint64_t, ViewText*, Json*, const RecordOptions&, const MessagePump&) const override {}

  Location LocateCluster(uint64_t) const override {
    return Refuse("the volume is encrypted: its clusters lie inside what BitLocker encrypts");
  }

  std::optional<StructureChoice> StructureAt(uint64_t sector) const override { return BitlockerStructureAt(state_, sector); }

 private:
  bool Parse() override {
    VolumeGeometry& g = Geometry();
    state_ = bitlocker::VolumeState{};
    std::vector<uint8_t> bootSector;
    if (!ProbeBootSector(bootSector)) {
      state_.Problem = "the volume cannot be read";
      return false;
    }
    const int64_t bytes = g.CurrentDrive.empty() ? -1 : CurrentPlatform().VolumeTotalBytes(g.CurrentDrive);
    g.TotalSectors = bytes > 0 ? static_cast<uint64_t>(bytes) / static_cast<uint32_t>(g.BytesPerSector) : 0;
    g.BytesPerCluster = g.BytesPerSector;
    g.SectorsPerCluster = 1;
    g.Clusters = g.TotalSectors;
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
