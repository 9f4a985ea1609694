#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/model/ViewText.h"

namespace korvalane {

// Where a cluster or an MFT record starts on CurrentDrive: the sector, or why there is
// none (a number outside the volume, a volume whose clusters are not known, an MFT whose
// runs cannot be read).
struct Location {
  std::optional<uint64_t> Sector;
  std::string Error;
};

// The first sector of cluster `cluster` under the geometry of the current volume: on FAT
// the data area begins after the FAT copies (and on FAT12/16 after the root directory)
// with cluster 2; on exFAT the cluster heap begins with cluster 2; on NTFS cluster N is
// sector N x SectorsPerCluster.
Location LocateCluster(uint64_t cluster);

// The first sector of MFT record `record`, found through the MFT's own data runs (as MFT
// record 0 gives them), so a fragmented MFT is followed. Reads MFT record 0 again, which
// sets MftRecordBytes as a details request does.
Location LocateMftRecord(uint64_t record, const MessagePump& pump);

// A place to go to on the current volume, as a number of its kind.
enum class JumpKind { Sector, Cluster, MftRecord, Inode };

struct JumpTarget {
  JumpKind Kind = JumpKind::Sector;
  uint64_t Number = 0;

  bool operator==(const JumpTarget&) const = default;
};

// The first sector of the target: a sector is itself when the sector field would take it
// (0 to TotalSectors), a cluster and an MFT record as above.
Location LocateTarget(const JumpTarget& target, const MessagePump& pump);

}  // namespace korvalane
