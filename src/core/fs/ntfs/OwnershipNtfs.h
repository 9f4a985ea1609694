#pragma once

#include <string>

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

}  // namespace korvalane
