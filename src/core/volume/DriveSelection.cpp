#include "core/volume/DriveSelection.h"

#include <vector>

#include "core/Platform.h"
#include "core/text/NumberFormat.h"
#include "core/fs/FileSystem.h"
#include "core/volume/Detection.h"
#include "core/volume/SectorReader.h"

namespace korvalane {

void SelectDrive(std::string_view drive) {
  // The drive is read as it is now: the source kept open for the drive before (maybe
  // this very one, its medium since changed) is let go, and opened again at the first read.
  CurrentPlatform().ReleaseVolumes();
  VolumeGeometry& g = Geometry();
  g.CurrentDrive = std::string(drive);
  g.FileSystemKind = DetectFileSystem(drive);
  ParseVolumeGeometry();
}

bool ParseVolumeGeometry() {
  const bool parsed = OpenCurrentVolume();
  if (!parsed) MakeBrowsableToEnd();
  return parsed;
}

void MakeBrowsableToEnd() {
  VolumeGeometry& g = Geometry();
  if (g.BytesPerSector < 512 || g.BytesPerSector % 512 != 0) {
    std::vector<uint8_t> bootSector;
    ProbeBootSector(bootSector);
  }
  const int64_t bytes = g.CurrentDrive.empty() ? -1 : CurrentPlatform().VolumeTotalBytes(g.CurrentDrive);
  g.TotalSectors = bytes > 0 ? static_cast<uint64_t>(bytes) / static_cast<uint32_t>(g.BytesPerSector) : 0;
}

std::u16string KindName(FileSystemKind kind) {
  // The current volume's name is what its parse found (ext's "ext4").
  const OpenedFileSystem* current = CurrentFileSystem();
  if (current && current->Type().Handles(kind)) return std::u16string(current->Name());
  if (const FileSystem* fs = FileSystemOf(kind)) return std::u16string(fs->Name(kind));
  return u"Unknown";
}

VolumeLabel SelectDriveAndLabel(std::string_view drive) {
  SelectDrive(drive);
  VolumeLabel label;
  if (!drive.empty()) {
    // The size is asked for the drive whose letter starts the text; -1 (unknown)
    // truncates toward zero like any other size.
    label.Megabytes = static_cast<int32_t>(CurrentPlatform().VolumeTotalBytes(std::string(1, drive[0]) + ':') / 1048576);
  }
  const VolumeGeometry& g = Geometry();
  label.Name = KindName(g.FileSystemKind);
  label.Sectors = g.TotalSectors;
  return label;
}

std::u16string SelectDriveAndDescribe(std::string_view drive) {
  const VolumeLabel label = SelectDriveAndLabel(drive);
  return label.Name + u", " + Decimal(label.Megabytes) + u" Mb," + Decimal(label.Sectors) + u" sectors";
}

}  // namespace korvalane
