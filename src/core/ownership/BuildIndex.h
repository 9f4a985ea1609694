#pragma once

#include <optional>
#include <string>

#include "core/model/OwnershipIndex.h"

namespace korvalane {

// Builds the index of the current volume (CurrentDrive with its VolumeGeometry) by its
// file system's walk. Nothing, with `why` set, for a file system without a walk or a
// stopped walk.
std::optional<OwnershipIndex> BuildOwnershipIndex(const WalkHooks& hooks, std::string* why);

}  // namespace korvalane
