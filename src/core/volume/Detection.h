#pragma once

#include <string_view>

#include "core/volume/VolumeGeometry.h"

namespace korvalane {

// Which file system the drive ("C:") holds. Asks the platform for the mounted file
// system's name first; only when that is none of "FAT", "FAT32", "NTFS" and "exFAT" does
// it read the boot sector itself, which sets CurrentDrive and BytesPerSector.
FileSystemKind DetectFileSystem(std::string_view drive);

}  // namespace korvalane
