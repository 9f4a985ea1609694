#pragma once

#include "core/fs/ntfs/MftLayout.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane {

enum class DetailsResult {
  Shown,             // the report (empty for an unknown volume that holds no partition table)
  BootSectorDenied,  // the boot sector could not be used: "Access to boot sector denied"
};

// The "Details" report of the current volume, read once: its lines appended to `view`
// and the same values set in `json` ({} where the report shows nothing; "drive" first),
// each when given. An unknown volume reports its partition table.
DetailsResult ReadVolumeDetails(ViewText* view, Json* json, const MessagePump& pump);

// The "Details" report of the current volume (the caller clears the view first).
void ReportVolumeDetails(ViewText& view, const MessagePump& pump);

}  // namespace korvalane
