#include "core/fs/fat/FatFileSystem.h"
#include "core/fs/fat/OwnershipFat.h"

#include <vector>

#include "core/fs/fat/FatBootSector.h"
#include "core/fs/fat/FatDirectory.h"
#include "core/fs/fat/FatFiles.h"
#include "core/fs/fat/FatGeometry.h"
#include "core/fs/fat/Structures.h"
#include "core/fs/fatfamily/FatFamily.h"
#include "core/text/NumberFormat.h"
#include "core/volume/SectorReader.h"

namespace korvalane {
namespace {

constexpr uint64_t kFirstDataCluster = 2;

class Fat final : public FileSystem {
 public:
  bool Handles(FileSystemKind kind) const override {
    return kind == FileSystemKind::Fat || kind == FileSystemKind::Fat32;
  }

  std::u16string_view Name(FileSystemKind kind) const override {
    return kind == FileSystemKind::Fat32 ? u"FAT32" : u"FAT16";
  }

  std::optional<FileSystemKind> FromSystemName(std::string_view name) const override {
    if (name == "FAT") return FileSystemKind::Fat;
    if (name == "FAT32") return FileSystemKind::Fat32;
    return std::nullopt;
  }

  std::optional<FileSystemKind> Recognise(std::span<const uint8_t> bootSector) const override {
    const std::string text = BootSectorNameText(bootSector);
    if (text.find("FAT32") != std::string::npos) return FileSystemKind::Fat32;
    if (text.find("FAT") != std::string::npos) return FileSystemKind::Fat;
    return std::nullopt;
  }

  std::unique_ptr<OpenedFileSystem> NewVolume() const override;
};

// What the boot sector gives is kept in VolumeGeometry, the view of this volume's geometry.
class FatVolume final : public OpenedFileSystem {
 public:
  using OpenedFileSystem::OpenedFileSystem;

  void Details(ViewText* view, Json* json, const MessagePump&) const override {
    const VolumeGeometry& g = Geometry();
    // The FAT type is the kind's code: 16 for FAT12 and FAT16, 32 for FAT32.
    const auto fatType = static_cast<int64_t>(g.FileSystemKind);
    if (view) view->push_back(DetailsHeading() + u"FAT Type - " + Decimal(fatType));
    if (json) json->Set("fatType", fatType);
    WriteFatFamilyGeometry(g, view, json);
    if (view) view->push_back(u"Root sectors - " + Decimal(g.RootSectors));
    if (json) json->Set("rootSectors", g.RootSectors);
  }

  void Record(uint64_t sector, ViewText* view, Json* json, const RecordOptions& options,
              const MessagePump& pump) const override {
    WriteListing(ReadFatDirectory(sector, pump, options.FollowDirectoryChains), view, json, options.DeletedLines);
  }

  bool WalkOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) const override {
    return WalkFatOwnership(index, hooks, why);
  }

  FileLookup FindFiles(const FileQuery& query) const override { return FindFatFiles(query); }
  FileData ReadFileData(const FileEntry& entry) const override { return ReadFatFileData(entry); }

  Location LocateCluster(uint64_t cluster) const override { return LocateFatCluster(cluster); }

  std::optional<StructureChoice> StructureAt(uint64_t sector) const override { return FatStructureAt(sector); }
  std::vector<StructureBackup> StructureBackups() const override { return FatStructureBackups(); }

 private:
  bool Parse() override { return ReadFatGeometry(); }
};

std::unique_ptr<OpenedFileSystem> Fat::NewVolume() const { return std::make_unique<FatVolume>(*this); }

}  // namespace

Location LocateFatCluster(uint64_t cluster) {
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0 || g.SectorsPerCluster <= 0) {
    return Refuse("the volume's clusters are not known (no FAT, exFAT or NTFS boot sector gives them)");
  }
  const auto sectorBytes = static_cast<uint32_t>(g.BytesPerSector);
  const auto sectorsPerCluster = static_cast<uint32_t>(g.SectorsPerCluster);
  // On FAT12/16 the root directory stands between the FATs and cluster 2; its sectors
  // are counted whole here, since a partly used last sector still comes before the
  // data area.
  uint64_t rootSectors = 0;
  if (g.FileSystemKind == FileSystemKind::Fat) {
    std::vector<uint8_t> boot(sectorBytes);
    if (!ReadSectors(0, boot)) return Refuse("the boot sector cannot be read");
    rootSectors = fat::RootDirectorySectorsOnDisk(boot, sectorBytes);
  }
  const uint64_t firstSector = uint64_t{static_cast<uint32_t>(g.StartDataSector)} + rootSectors;
  const uint64_t clusters = g.TotalSectors > firstSector ? (g.TotalSectors - firstSector) / sectorsPerCluster : 0;
  if (cluster < kFirstDataCluster || cluster - kFirstDataCluster >= clusters) {
    return Refuse("cluster " + std::to_string(cluster) + " is outside the volume (its clusters are 2 to " +
                  std::to_string(clusters + 1) + ")");
  }
  return Location{firstSector + (cluster - kFirstDataCluster) * sectorsPerCluster, {}};
}

const FileSystem& FatFileSystem() {
  static const Fat fat;
  return fat;
}

}  // namespace korvalane
