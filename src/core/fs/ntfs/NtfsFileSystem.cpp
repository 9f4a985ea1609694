#include "core/fs/ntfs/OwnershipNtfs.h"
#include "core/fs/ntfs/NtfsFileSystem.h"

#include "core/fs/ntfs/FileRecord.h"
#include "core/fs/ntfs/MftLayout.h"
#include "core/fs/ntfs/NtfsFiles.h"
#include "core/fs/ntfs/NtfsGeometry.h"
#include "core/fs/ntfs/Structures.h"
#include "core/text/NumberFormat.h"

namespace korvalane {
namespace {

class Ntfs final : public FileSystem {
 public:
  bool Handles(FileSystemKind kind) const override { return kind == FileSystemKind::Ntfs; }

  std::u16string_view Name(FileSystemKind) const override { return u"NTFS"; }

  std::optional<FileSystemKind> FromSystemName(std::string_view name) const override {
    if (name == "NTFS") return FileSystemKind::Ntfs;
    return std::nullopt;
  }

  // An NTFS boot sector's OEM name decides even where a FAT type label also shows.
  std::optional<FileSystemKind> Recognise(std::span<const uint8_t> bootSector) const override {
    if (BootSectorNameText(bootSector).find("NTFS") != std::string::npos) return FileSystemKind::Ntfs;
    return std::nullopt;
  }

  std::unique_ptr<OpenedFileSystem> NewVolume() const override;
};

// The MFT's own extents are the volume's, as its last details request found them.
class NtfsVolume final : public OpenedFileSystem {
 public:
  using OpenedFileSystem::OpenedFileSystem;

  std::span<const DataRun> MftExtents() const { return mftExtents_; }

  void Details(ViewText* view, Json* json, const MessagePump& pump) const override {
    const VolumeGeometry& g = Geometry();
    if (view) view->push_back(DetailsHeading() + u"NTFS");
    WriteGeometryLines(g, GeometryLines::ToClusters, view, json);
    WriteDetailsLines({NumberLine(u"Start MFT cluster", "startMftCluster", g.MftStartCluster)}, view, json);
    // The MFT's lines follow only when record 0 could be read.
    if (!ReadMftLayout(pump, mftExtents_)) return;

    // Counts are below 2^32 each, so their sum fits 64 bits whatever the number of runs.
    uint64_t clusters = 0;
    for (const DataRun& run : mftExtents_) clusters += static_cast<uint64_t>(run.ClusterCount);
    if (view) {
      view->push_back(u"MFT clusters - " + Decimal(clusters));
      view->push_back(u"Bytes per record MFT - " + Decimal(g.MftRecordBytes));
      view->push_back(u"MFT parts - " + Decimal(mftExtents_.size()));
      view->emplace_back();
      view->emplace_back(u"MFT cluster - clusters count:");
      for (const DataRun& run : mftExtents_) view->push_back(DataRunLine(run));
    }
    if (json) {
      Json extents = Json::Array();
      for (const DataRun& run : mftExtents_) extents.Push(DataRunJson(run));
      json->Set("mft", Json::Object()
                           .Set("clusters", clusters)
                           .Set("bytesPerRecord", g.MftRecordBytes)
                           .Set("parts", mftExtents_.size())
                           .Set("extents", extents));
    }
  }

  void Record(uint64_t sector, ViewText* view, Json* json, const RecordOptions& options,
              const MessagePump& pump) const override {
    WriteFileRecord(ReadFileRecord(sector, pump), view, json, options.DeletedLines);
  }

  // Cluster N is sector N x SectorsPerCluster: the boot sector is in cluster 0.
  bool WalkOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) const override {
    return WalkNtfsOwnership(index, hooks, why);
  }

  FileLookup FindFiles(const FileQuery& query) const override { return FindNtfsFiles(query); }
  FileData ReadFileData(const FileEntry& entry) const override { return ReadNtfsFileData(entry); }

  Location LocateCluster(uint64_t cluster) const override {
    const VolumeGeometry& g = Geometry();
    if (cluster >= g.Clusters) {
      return Refuse("cluster " + std::to_string(cluster) + " is outside the volume (its clusters are 0 to " +
                    std::to_string(g.Clusters == 0 ? 0 : g.Clusters - 1) + ")");
    }
    return Location{cluster * static_cast<uint32_t>(g.SectorsPerCluster), {}};
  }

  Location LocateMftRecord(uint64_t record, const MessagePump& pump) const override {
    return LocateNtfsMftRecord(record, pump);
  }

  std::optional<StructureChoice> StructureAt(uint64_t sector) const override { return NtfsStructureAt(sector); }
  std::vector<StructureBackup> StructureBackups() const override { return NtfsStructureBackups(); }

 private:
  bool Parse() override {
    mftExtents_.clear();
    return ReadNtfsGeometry();
  }

  mutable std::vector<DataRun> mftExtents_;
};

std::unique_ptr<OpenedFileSystem> Ntfs::NewVolume() const { return std::make_unique<NtfsVolume>(*this); }

}  // namespace

std::span<const DataRun> MftExtentsOf(const OpenedFileSystem* volume) {
  const auto* ntfs = dynamic_cast<const NtfsVolume*>(volume);
  return ntfs ? ntfs->MftExtents() : std::span<const DataRun>();
}

const FileSystem& NtfsFileSystem() {
  static const Ntfs ntfs;
  return ntfs;
}

}  // namespace korvalane
