#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/model/Location.h"
#include "core/model/ViewText.h"

namespace korvalane {

// The first sector of cluster `cluster` under the geometry of the current volume: on FAT
// the data area begins after the FAT copies (and on FAT12/16 after the root directory)
// with cluster 2; on exFAT the cluster heap begins with cluster 2; on NTFS cluster N is
// sector N x SectorsPerCluster.
Location LocateCluster(uint64_t cluster);

// The first sector of MFT record `record`, found through the MFT's own data runs (as MFT
// record 0 gives them), so a fragmented MFT is followed. Reads MFT record 0 again, which
// sets MftRecordBytes as a details request does.
Location LocateMftRecord(uint64_t record, const MessagePump& pump);

// The first sector of the target: a sector is itself when the sector field would take it
// (0 to TotalSectors), a cluster and an MFT record as above.
Location LocateTarget(const JumpTarget& target, const MessagePump& pump);

}  // namespace korvalane
