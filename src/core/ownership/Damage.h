#pragma once

#include <cstdint>
#include <vector>

#include "core/ownership/OwnershipIndex.h"
#include "core/rescue/Mapfile.h"

namespace korvalane {

// What the unfinished areas of a rescue fall into.
struct DamagedOwner {
  const Owner* Of = nullptr;
  uint64_t BadBytes = 0;  // of a file: only bytes within its size (not the slack after it)
};

struct Damage {
  std::vector<DamagedOwner> Owners;  // each once, in the order of their first bad byte
  uint64_t UnownedBytes = 0;         // in no run: outside every cluster and structure
  uint64_t BadBytes = 0;             // all unfinished bytes within the volume
};

// `areas` are unfinished areas in the volume's own byte positions (UnfinishedWithin).
Damage FindDamage(const OwnershipIndex& index, const std::vector<MapArea>& areas);

}  // namespace korvalane
