#pragma once

#include <vector>

#include "core/views/DataRuns.h"
#include "core/views/ViewText.h"

namespace korvalane {

// The MFT's own extents, as the last details request on NTFS found them (process-wide).
std::vector<DataRun>& MftExtents();

// Reads MFT record 0, sets MftRecordBytes and fills MftExtents. True when the record was
// read and its $DATA attribute found.
bool ReadMftLayout(const MessagePump& pump);

// The "Details" report of the current volume (the caller clears the view first).
void ReportVolumeDetails(ViewText& view, const MessagePump& pump);

}  // namespace korvalane
