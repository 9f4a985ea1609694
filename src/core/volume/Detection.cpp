#include "core/volume/Detection.h"

#include <string>
#include <vector>

#include "core/Platform.h"
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
    if (const std::optional<FileSystemKind> kind = fs->Recognise(bootSector)) return *kind;
  }
  return FileSystemKind::Unknown;
}

}  // namespace korvalane
