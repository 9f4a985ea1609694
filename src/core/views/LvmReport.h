#pragma once

#include "core/disk/lvm/LvmPhysicalVolume.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane {

// The LVM2 PV at the start of CurrentDrive (a whole disk or a partition), read through
// ReadSectors; nothing when it carries no LVM2 label.
std::optional<LvmPhysicalVolume> ReadCurrentLvmPhysicalVolume();

// The "Details" report of a PV: its label and metadata area, then its VG (name, UUID,
// seqno, extent size), its PVs and its LVs with their segments, and what does not add
// up; as lines into `view` and as JSON (the key "lvm") into `json`, each when given.
// False, with nothing appended, for a volume that is no PV.
bool ReportLvmPhysicalVolume(ViewText* view, Json* json);

}  // namespace korvalane
