#include "core/volume/Detection.h"

#include <string>
#include <vector>

#include "core/Platform.h"
#include "core/disk/md/MdStructures.h"
#include "core/fs/FileSystem.h"
#include "core/volume/SectorReader.h"

namespace korvalane {

FileSystemKind DetectFileSystem(std::string_view drive) {
  if (drive.empty()) return FileSystemKind::Unknown;

  std::string rootPath(drive);
  if (rootPath.back() != '\\') rootPath += '\\';

  if (const std::optional<std::string> name = CurrentPlatform().FileSystemName(rootPath)) {
    for (const FileSystem* fs : FileSystems()) {
      if (const std::optional<FileSystemKind> kind = fs->FromSystemName(*name)) return *kind;
    }
  }

  Geometry().CurrentDrive = std::string(drive);
  std::vector<uint8_t> bootSector;
  if (!ProbeBootSector(bootSector)) return FileSystemKind::Unknown;
  for (const FileSystem* fs : FileSystems()) {
    const std::optional<FileSystemKind> kind = fs->Recognise(bootSector);
    if (!kind) continue;
    // An md member with its superblock at its end starts with its array's first chunk: a
    // RAID1 copy of the volume, or a RAID0/4/5 stripe of it, either way read on the
    // array's own drive. The member is a disk, browsable to its last sector, where its
    // superblock is.
    if (HoldsMdDataFromItsStart(drive)) return FileSystemKind::Unknown;
    return *kind;
  }
  return FileSystemKind::Unknown;
}

}  // namespace korvalane
