#pragma once

#include "core/fs/FileSystem.h"

namespace korvalane {

// FAT12, FAT16 and FAT32 (kinds Fat and Fat32).
const FileSystem& FatFileSystem();

}  // namespace korvalane
