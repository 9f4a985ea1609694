#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/fs/ntfs/RunList.h"
#include "core/model/OwnershipIndex.h"

namespace korvalane {

// Walks the NTFS volume of CurrentDrive once into `index`: every MFT record's
// non-resident attributes (those in $ATTRIBUTE_LIST extension records with their base
// record), named by the path their $FILE_NAME parent references make, the system files
// by name ($MFT, $MFTMirr, $LogFile, $Bitmap, ...), deleted records' runs, the backup boot
// sector, and free and lost clusters by $Bitmap. Loops of parent references and
// attribute lists that name missing records are named as problems. False, with `why`,
// when the boot sector or the MFT cannot be read, or the walk was stopped.
bool WalkNtfsOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why);

// One attribute of a FILE record (its fixups applied), as the walk reads it.
struct NtfsAttributeView {
  uint32_t Type = 0;
  bool NonResident = false;
  std::string Name;                 // UTF-8; empty for the unnamed one
  std::span<const uint8_t> Bytes;   // the whole attribute, within the record
  std::span<const uint8_t> Value;   // a resident attribute's value
  std::vector<NtfsRun> Runs;        // a non-resident one's runs
  uint64_t RealSize = 0;            // a non-resident one's size as its first extent says; a value's length
  uint64_t StartVcn = 0;
};

// The attributes of a record, each within it, in order.
std::vector<NtfsAttributeView> NtfsRecordAttributes(std::span<const uint8_t> record);

}  // namespace korvalane
