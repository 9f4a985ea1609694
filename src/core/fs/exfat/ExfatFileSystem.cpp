#include "core/fs/exfat/ExfatFileSystem.h"
#include "core/fs/exfat/OwnershipExfat.h"

#include "core/fs/exfat/ExfatDirectory.h"
#include "core/fs/exfat/ExfatGeometry.h"
#include "core/fs/exfat/Structures.h"
#include "core/fs/fatfamily/FatFamily.h"
#include "core/text/NumberFormat.h"

namespace korvalane {
namespace {

constexpr uint64_t kFirstDataCluster = 2;

class Exfat final : public FileSystem {
 public:
  bool Handles(FileSystemKind kind) const override { return kind == FileSystemKind::Exfat; }

  std::u16string_view Name(FileSystemKind) const override { return u"exFAT"; }

  std::optional<FileSystemKind> FromSystemName(std::string_view name) const override {
    if (name == "exFAT") return FileSystemKind::Exfat;
    return std::nullopt;
  }

  // "EXFAT" holds "FAT", so exFAT is asked before FAT and decides on its own.
  std::optional<FileSystemKind> Recognise(std::span<const uint8_t> bootSector) const override {
    if (BootSectorNameText(bootSector).find("EXFAT") != std::string::npos) return FileSystemKind::Exfat;
    return std::nullopt;
  }

  std::unique_ptr<OpenedFileSystem> NewVolume() const override;
};

// What the boot sector gives is kept in VolumeGeometry, the view of this volume's geometry.
class ExfatVolume final : public OpenedFileSystem {
 public:
  using OpenedFileSystem::OpenedFileSystem;

  void Details(ViewText* view, Json* json, const MessagePump&) const override {
    const VolumeGeometry& g = Geometry();
    // A successful parse leaves a 32-bit root cluster and at most 65536 sectors a cluster.
    const int64_t rootSector = ExfatRootDirectorySector().value_or(0);
    if (view) view->push_back(DetailsHeading() + u"exFAT");
    WriteFatFamilyGeometry(g, view, json);
    if (view) {
      view->push_back(u"Root directory cluster - " + Decimal(g.RootCluster));
      view->push_back(u"Root directory sector - " + Decimal(rootSector));
    }
    if (json) json->Set("rootDirectoryCluster", g.RootCluster).Set("rootDirectorySector", rootSector);
  }

  void Record(uint64_t sector, ViewText* view, Json* json, const RecordOptions& options,
              const MessagePump& pump) const override {
    WriteListing(ReadExfatDirectory(sector, pump), view, json, options.DeletedLines);
  }

  // The cluster heap starts with cluster 2 and holds ClusterCount clusters.
  bool WalkOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) const override {
    return WalkExfatOwnership(index, hooks, why);
  }

  Location LocateCluster(uint64_t cluster) const override {
    const VolumeGeometry& g = Geometry();
    if (cluster < kFirstDataCluster || cluster - kFirstDataCluster >= g.Clusters) {
      return Refuse("cluster " + std::to_string(cluster) + " is outside the volume (its clusters are 2 to " +
                    std::to_string(g.Clusters + 1) + ")");
    }
    return Location{uint64_t{static_cast<uint32_t>(g.StartDataSector)} +
                        (cluster - kFirstDataCluster) * static_cast<uint32_t>(g.SectorsPerCluster),
                    {}};
  }

  std::optional<StructureChoice> StructureAt(uint64_t sector) const override { return ExfatStructureAt(sector); }
  std::vector<StructureBackup> StructureBackups() const override { return ExfatStructureBackups(); }

 private:
  bool Parse() override { return ReadExfatGeometry(); }
};

std::unique_ptr<OpenedFileSystem> Exfat::NewVolume() const { return std::make_unique<ExfatVolume>(*this); }

}  // namespace

const FileSystem& ExfatFileSystem() {
  static const Exfat exfat;
  return exfat;
}

}  // namespace korvalane
