#include "core/fs/ext/ExtFileSystem.h"
#include "core/fs/ext/ExtFiles.h"

#include "core/Bytes.h"
#include "core/fs/ext/ExtDetails.h"
#include "core/fs/ext/ExtLocate.h"
#include "core/fs/ext/OwnershipExt.h"
#include "core/fs/ext/Record.h"
#include "core/fs/ext/ExtStructures.h"
#include "core/fs/ext/ExtVolume.h"

namespace korvalane {
namespace {

// The superblock's magic number, 1080 bytes into the volume.
constexpr size_t kMagicByte = 1080;
constexpr uint16_t kMagic = 0xEF53;

class Ext final : public FileSystem {
 public:
  bool Handles(FileSystemKind kind) const override { return kind == FileSystemKind::Ext; }

  // An ext volume is named by its parse ("ext2", "ext3" or "ext4"); "ext" before one.
  std::u16string_view Name(FileSystemKind) const override { return u"ext"; }

  std::optional<FileSystemKind> FromSystemName(std::string_view name) const override {
    if (name == "ext2" || name == "ext3" || name == "ext4" || name == "ext4dev") return FileSystemKind::Ext;
    return std::nullopt;
  }

  // ext keeps no name in its first sector; its superblock at byte 1024 has a magic number,
  // inside sector 0 only for sectors of 2048 bytes or more.
  std::optional<FileSystemKind> Recognise(std::span<const uint8_t> bootSector) const override {
    const bool magic = Fits(bootSector, kMagicByte, 2) ? ReadLe16(bootSector, kMagicByte) == kMagic : ext::HasExtMagic();
    if (magic) return FileSystemKind::Ext;
    return std::nullopt;
  }

  std::unique_ptr<OpenedFileSystem> NewVolume() const override;
};

// The superblock is parsed once, into the volume.
class ExtVolume final : public OpenedFileSystem {
 public:
  using OpenedFileSystem::OpenedFileSystem;

  const ext::VolumeState& State() const { return state_; }

  // As libblkid names the volume: "ext2", "ext3" or "ext4".
  std::u16string_view Name() const override { return state_.Label; }

  std::u16string Refusal() const override { return ext::NotUsableLine(state_); }

  void Details(ViewText* view, Json* json, const MessagePump& pump) const override {
    ext::WriteDetails(state_, DetailsHeading(), view, json, pump);
  }

  void Record(uint64_t sector, ViewText* view, Json* json, const RecordOptions& options,
              const MessagePump& pump) const override {
    ext::WriteRecord(state_, sector, view, json, options.DeletedLines, pump);
  }

  // An ext volume's clusters are its blocks, block 0 at sector 0.
  Location LocateCluster(uint64_t cluster) const override { return ext::LocateBlock(state_, cluster); }

  Location LocateInode(uint64_t inode) const override { return ext::LocateInode(state_, inode); }

  std::optional<JumpTarget> TargetOfLine(const ViewText& view, size_t line) const override {
    const std::optional<ext::Target> target = ext::TargetOfLine(view, line);
    if (!target) return std::nullopt;
    return JumpTarget{target->Kind == ext::TargetKind::Inode ? JumpKind::Inode : JumpKind::Cluster, target->Number};
  }

  std::u16string_view ClusterName() const override { return u"block"; }

  bool WalkOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) const override {
    return WalkExtOwnership(state_, index, hooks, why);
  }
  std::optional<StructureChoice> StructureAt(uint64_t sector) const override { return ExtStructureAt(state_, sector); }
  FileLookup FindFiles(const FileQuery& query) const override { return ext::FindExtFiles(state_, query); }
  FileData ReadFileData(const FileEntry& entry) const override { return ext::ReadExtFileData(state_, entry); }
  std::vector<StructureBackup> StructureBackups() const override { return ExtStructureBackups(state_); }

 private:
  bool Parse() override { return ext::ReadExtGeometry(state_); }

  ext::VolumeState state_;
};

std::unique_ptr<OpenedFileSystem> Ext::NewVolume() const { return std::make_unique<ExtVolume>(*this); }

}  // namespace

const ext::VolumeState* ExtStateOf(const OpenedFileSystem* volume) {
  const auto* ext = dynamic_cast<const ExtVolume*>(volume);
  return ext ? &ext->State() : nullptr;
}

const FileSystem& ExtFileSystem() {
  static const Ext ext;
  return ext;
}

}  // namespace korvalane
