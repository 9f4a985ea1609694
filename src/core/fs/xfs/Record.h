#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/fs/xfs/Directory.h"
#include "core/fs/xfs/Inode.h"
#include "core/fs/xfs/XfsVolume.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane::xfs {

// What "File record" finds at a sector of an XFS volume: the inodes of the block that
// holds it, where that block is one of inodes (every slot marked "IN"), the directory
// data block that begins in that block, or nothing.
struct RecordView {
  std::vector<Inode> Inodes;
  std::optional<DirectoryBlock> Directory;
  uint32_t Ag = 0;
  uint32_t AgBlock = 0;
};
RecordView ReadRecord(const VolumeState& state, uint64_t sector);

// The "File record" view: reads the block once and writes the view's lines into `view`,
// its fields into `json` and into `deletedLines` the lines of inodes not in use (each may
// be null).
void WriteRecord(const VolumeState& state, uint64_t sector, ViewText* view, Json* json,
                 std::vector<size_t>* deletedLines, const MessagePump& pump);

}  // namespace korvalane::xfs
