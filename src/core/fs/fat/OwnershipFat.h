#pragma once

#include <string>

#include "core/model/OwnershipIndex.h"

namespace korvalane {

// Walks the FAT12, FAT16 or FAT32 volume of CurrentDrive once into `index`: the boot and
// reserved sectors, each FAT copy, the root directory, every file's and directory's
// cluster chain with its path, each deleted entry's guessed contiguous run, free, bad and
// lost clusters. Loops and cross-links in the FAT are named as problems and followed no
// further. False, with `why`, when the boot sector is not one to walk or the walk was
// stopped.
bool WalkFatOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why);

}  // namespace korvalane
