#include "core/fs/xfs/XfsFileSystem.h"

#include "core/fs/xfs/OwnershipXfs.h"
#include "core/fs/xfs/Record.h"
#include "core/fs/xfs/XfsDetails.h"
#include "core/fs/xfs/XfsLocate.h"
#include "core/fs/xfs/XfsStructures.h"
#include "core/fs/xfs/XfsVolume.h"

namespace korvalane {
namespace {

class Xfs final : public FileSystem {
 public:
  bool Handles(FileSystemKind kind) const override { return kind == FileSystemKind::Xfs; }

  std::u16string_view Name(FileSystemKind) const override { return u"XFS"; }

  std::optional<FileSystemKind> FromSystemName(std::string_view name) const override {
    if (name == "xfs") return FileSystemKind::Xfs;
    return std::nullopt;
  }

  // The superblock is the volume's first sector: its magic and the checks of its sizes
  // and allocation groups (the volume's size is checked when it is opened).
  std::optional<FileSystemKind> Recognise(std::span<const uint8_t> bootSector) const override {
    if (xfs::ParseSuperblock(bootSector, 0).Value) return FileSystemKind::Xfs;
    return std::nullopt;
  }

  std::unique_ptr<OpenedFileSystem> NewVolume() const override;
};

// The superblock is parsed once, into the volume.
class XfsVolume final : public OpenedFileSystem {
 public:
  using OpenedFileSystem::OpenedFileSystem;

  const xfs::VolumeState& State() const { return state_; }

  std::u16string Refusal() const override { return xfs::NotUsableLine(state_); }

  void Details(ViewText* view, Json* json, const MessagePump& pump) const override {
    xfs::WriteDetails(state_, DetailsHeading(), view, json, pump);
  }

  void Record(uint64_t sector, ViewText* view, Json* json, const RecordOptions& options,
              const MessagePump& pump) const override {
    xfs::WriteRecord(state_, sector, view, json, options.DeletedLines, pump);
  }

  // Blocks are numbered from 0 at sector 0 across the AGs: AG n begins at block n times
  // the AG size.
  Location LocateCluster(uint64_t cluster) const override { return xfs::LocateBlock(state_, cluster); }

  Location LocateInode(uint64_t inode) const override { return xfs::LocateInode(state_, inode); }

  std::optional<JumpTarget> TargetOfLine(const ViewText& view, size_t line) const override {
    return xfs::TargetOfLine(state_, view, line);
  }

  std::u16string_view ClusterName() const override { return u"block"; }

  bool WalkOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) const override {
    return WalkXfsOwnership(state_, index, hooks, why);
  }
  std::optional<StructureChoice> StructureAt(uint64_t sector) const override { return XfsStructureAt(state_, sector); }
  std::vector<StructureBackup> StructureBackups() const override { return XfsStructureBackups(state_); }

 private:
  bool Parse() override { return xfs::ReadXfsGeometry(state_); }

  xfs::VolumeState state_;
};

std::unique_ptr<OpenedFileSystem> Xfs::NewVolume() const { return std::make_unique<XfsVolume>(*this); }

}  // namespace

const xfs::VolumeState* XfsStateOf(const OpenedFileSystem* volume) {
  const auto* xfs = dynamic_cast<const XfsVolume*>(volume);
  return xfs ? &xfs->State() : nullptr;
}

const FileSystem& XfsFileSystem() {
  static const Xfs xfs;
  return xfs;
}

}  // namespace korvalane
