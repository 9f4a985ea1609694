#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/model/OwnershipIndex.h"

namespace korvalane {

// The index of the volume selected now, built on first use and kept while the same volume
// stays selected (its drive, file system, sector size and count): the window asks it
// sector after sector, and a walk of a large volume takes seconds.
class OwnershipCache {
 public:
  // The index of the current volume; nothing, with `why`, when it cannot be built or the
  // walk was stopped (a stopped walk is tried again on the next request).
  const OwnershipIndex* Current(const WalkHooks& hooks, std::string* why);
  void Clear() { index_.reset(); }

 private:
  struct Key {
    std::string Drive;
    uint8_t Kind = 0;
    int32_t BytesPerSector = 0;
    uint64_t TotalSectors = 0;
    bool operator==(const Key&) const = default;
  };
  std::optional<Key> key_;
  std::optional<OwnershipIndex> index_;
};

// "Sector 1234567\r/Photos/IMG_0042.JPG  (MFT record 70, byte 4096 of the file)": the
// answer for the information dialog, or why there is none.
std::string WhichFileUsesSector(OwnershipCache& cache, uint64_t sector, const WalkHooks& hooks);

}  // namespace korvalane
