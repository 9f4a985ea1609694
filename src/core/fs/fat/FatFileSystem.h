#pragma once

#include "core/fs/FileSystem.h"

namespace korvalane {

// FAT12, FAT16 and FAT32 (kinds Fat and Fat32).
const FileSystem& FatFileSystem();

// The first sector of cluster `cluster` of the current FAT volume: the data area begins
// after the FAT copies (and on FAT12/16 after the root directory) with cluster 2.
Location LocateFatCluster(uint64_t cluster);

}  // namespace korvalane
