#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/export/ExportRange.h"
#include "core/export/SectorCopy.h"
#include "core/hash/Digest.h"

namespace korvalane {

struct RangeHashOutcome {
  CopyEnd End = CopyEnd::Complete;
  uint64_t SectorsHashed = 0;
  UnreadableSectors Unreadable;  // hashed as zeros, as an export writes them
  std::vector<std::pair<DigestKind, std::string>> Digests;  // hex, in the order asked for
};

// The digests of sectors `range` of CurrentDrive exactly as an export would write them:
// read by the export's own chunked copy (1 MiB chunks at every length, sector by sector
// only through a chunk that fails), unreadable sectors as zeros. The bytes are the same
// as an export's one read would give; only the reads differ, so that reading and hashing
// overlap whatever the length. Each digest is taken on a thread of its own while the next
// chunk is read (the copy's two buffers in turn, as an export hashes what it writes). The hooks' Pump and ShowPercent run as in an
// export; ExportBusy must be set by the caller, and a cleared one stops the hash (the
// digests are then of the sectors before the stop).
RangeHashOutcome HashSectorRange(SectorRange range, const std::vector<DigestKind>& kinds, CopyHooks hooks);

}  // namespace korvalane
