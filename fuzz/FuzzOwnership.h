#pragma once

#include <cstdint>
#include <string>

#include "core/model/OwnershipIndex.h"
#include "core/ownership/Damage.h"

namespace korvalane::fuzzing {

// Walks the fuzzed volume into an ownership index and asks about every `step`th sector:
// the walk must end, and every sector must get an answer. Then the whole volume is taken
// for one bad area: every record the walk's finder names in it (reading the volume again,
// a folder's index and all) must be told.
template <typename Walk>
void WalkAndAsk(Walk walk, uint64_t step) {
  OwnershipIndex index;
  std::string why;
  if (!walk(index, WalkHooks{}, &why)) return;
  index.Finish();
  for (uint64_t sector = 0; sector < index.VolumeSectors(); sector += step) {
    if (DescribeSector(index, sector).empty()) __builtin_trap();
  }
  const Damage damage = FindDamage(index, {MapArea{0, index.VolumeSectors() * index.BytesPerSector(), '-'}});
  for (const DamagedOwner& owner : damage.Owners) {
    for (const HeldRecord& record : owner.Records) {
      if (DescribeHeldRecord(record).empty()) __builtin_trap();
    }
  }
}

}  // namespace korvalane::fuzzing
