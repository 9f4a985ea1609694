#pragma once

#include <string>

#include "core/model/OwnershipIndex.h"

namespace korvalane {

// Walks the exFAT volume of CurrentDrive once into `index`: the main and backup boot
// regions, each FAT, the allocation bitmap, the up-case table, every file's and
// directory's clusters (a FAT chain, or a contiguous stream without one), each deleted
// entry's guessed run, and free and lost clusters by the allocation bitmap. False, with
// `why`, when the boot sector is not one to walk or the walk was stopped.
bool WalkExfatOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why);

}  // namespace korvalane
