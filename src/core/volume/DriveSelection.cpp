#include "core/volume/DriveSelection.h"

#include "core/Platform.h"
#include "core/text/NumberFormat.h"
#include "core/volume/BootSector.h"
#include "core/volume/Detection.h"

namespace korvalane {

void SelectDrive(std::string_view drive) {
  VolumeGeometry& g = Geometry();
  g.CurrentDrive = std::string(drive);
  g.FileSystemKind = DetectFileSystem(drive);
  switch (g.FileSystemKind) {
    case FileSystemKind::Fat:
    case FileSystemKind::Fat32:
      ReadFatGeometry();
      break;
    case FileSystemKind::Ntfs:
      ReadNtfsGeometry();
      break;
    case FileSystemKind::Exfat:
      ReadExfatGeometry();
      break;
    case FileSystemKind::Unknown:
      break;
  }
}

std::u16string KindName(FileSystemKind kind) {
  switch (kind) {
    case FileSystemKind::Fat:
      return u"FAT16";
    case FileSystemKind::Fat32:
      return u"FAT32";
    case FileSystemKind::Ntfs:
      return u"NTFS";
    case FileSystemKind::Exfat:
      return u"exFAT";
    case FileSystemKind::Unknown:
      break;
  }
  return u"Unknown";
}

std::u16string SelectDriveAndDescribe(std::string_view drive) {
  SelectDrive(drive);
  int64_t megabytes = 0;
  if (!drive.empty()) {
    // The size is asked for the drive whose letter starts the text; -1 (unknown)
    // truncates toward zero like any other size.
    megabytes = static_cast<int32_t>(CurrentPlatform().VolumeTotalBytes(std::string(1, drive[0]) + ':') / 1048576);
  }
  const VolumeGeometry& g = Geometry();
  return KindName(g.FileSystemKind) + u", " + Decimal(megabytes) + u" Mb," + Decimal(g.TotalSectors) +
         u" sectors";
}

}  // namespace korvalane
