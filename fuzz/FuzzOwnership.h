#pragma once

#include <cstdint>
#include <string>

#include "core/ownership/OwnershipIndex.h"

namespace korvalane::fuzzing {

// Walks the fuzzed volume into an ownership index and asks about every `step`th sector:
// the walk must end, and every sector must get an answer.
template <typename Walk>
void WalkAndAsk(Walk walk, uint64_t step) {
  OwnershipIndex index;
  std::string why;
  if (!walk(index, WalkHooks{}, &why)) return;
  index.Finish();
  for (uint64_t sector = 0; sector < index.VolumeSectors(); sector += step) {
    if (DescribeSector(index, sector).empty()) __builtin_trap();
  }
}

}  // namespace korvalane::fuzzing
