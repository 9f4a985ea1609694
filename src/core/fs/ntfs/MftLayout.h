#pragma once

#include <cstdint>
#include <vector>

#include "core/fs/ntfs/DataRuns.h"
#include "core/model/Location.h"
#include "core/model/ViewText.h"

namespace korvalane {

// Reads MFT record 0, sets MftRecordBytes and puts the MFT's own extents (its runs that
// have clusters) into `extents`. True when the record was read and its $DATA attribute found.
bool ReadMftLayout(const MessagePump& pump, std::vector<DataRun>& extents);

// The first sector of MFT record `record`, found through the MFT's own data runs (as MFT
// record 0 gives them), so a fragmented MFT is followed. Reads MFT record 0 again.
Location LocateNtfsMftRecord(uint64_t record, const MessagePump& pump);

}  // namespace korvalane
