#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/ownership/OwnershipIndex.h"

namespace korvalane {

// Walks the NTFS volume of CurrentDrive once into `index`: every MFT record's
// non-resident attributes (those in $ATTRIBUTE_LIST extension records with their base
// record), named by the path their $FILE_NAME parent references make, the system files
// by name ($MFT, $MFTMirr, $LogFile, $Bitmap, ...), deleted records' runs, the backup boot
// sector, and free and lost clusters by $Bitmap. Loops of parent references and
// attribute lists that name missing records are named as problems. False, with `why`,
// when the boot sector or the MFT cannot be read, or the walk was stopped.
bool WalkNtfsOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why);

// One run of a mapping-pairs list, with 64-bit positions: `Lcn` is empty for a sparse
// run (clusters that have no place on the volume).
struct NtfsRun {
  uint64_t Vcn = 0;
  uint64_t Count = 0;
  bool Sparse = false;
  uint64_t Lcn = 0;
};

// Decodes the mapping pairs from `first` within `bytes`, the first run at `startVcn`.
// A header, length or offset that would reach past the buffer, a field wider than 8
// bytes, or a position that leaves 64 bits ends the list.
std::vector<NtfsRun> DecodeNtfsRuns(std::span<const uint8_t> bytes, size_t first, uint64_t startVcn);
// The same, added to `runs`.
void DecodeNtfsRuns(std::span<const uint8_t> bytes, size_t first, uint64_t startVcn, std::vector<NtfsRun>& runs);

}  // namespace korvalane
