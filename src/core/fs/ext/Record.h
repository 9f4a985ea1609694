#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/fs/ext/Directory.h"
#include "core/fs/ext/ExtVolume.h"
#include "core/fs/ext/Inode.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane::ext {

struct InodeRecord {
  Inode Value;
  InodeData Data;
  // In a group whose inode table is not initialised (or past its last initialised
  // inode): whatever bytes are there are no inode, and are not decoded.
  bool Uninitialised = false;
  std::optional<DirectoryBlock> InlineDirectory;  // a folder kept in its inode: its entries
};

struct DirectoryRecord {
  uint64_t Block = 0;
  DirectoryBlock Dir;
  std::optional<uint32_t> Owner;  // the directory's inode, where it could be found
  std::optional<Checksum> TailChecksum;
};

// What "File record" finds at a sector of an ext volume: the inodes stored in that
// sector of an inode table, a directory block, or neither.
struct RecordView {
  bool NotARecord = false;
  std::vector<InodeRecord> Inodes;
  std::optional<DirectoryRecord> Directory;
  std::string Problem;  // the volume could not be read as ext at all
};

RecordView ReadRecord(const VolumeState& state, uint64_t sector, const MessagePump& pump);

// The "File record" view on ext volumes: reads the sector once and writes the view's
// lines into `view`, its fields into `json` and into `deletedLines` the indices of the
// lines of deleted directory entries and of every line of a deleted inode (each may be
// null).
void WriteRecord(const VolumeState& state, uint64_t sector, ViewText* view, Json* json,
                 std::vector<size_t>* deletedLines, const MessagePump& pump);

// The lines of one inode's report (the lines a directory listing gives are
// DirectoryLines), with the indices of the lines of deleted directory entries in
// `deletedLines` where it is given.
void AppendInodeLines(const InodeRecord& record, ViewText& view, std::vector<size_t>* deletedLines = nullptr);
void AppendDirectoryLines(const DirectoryRecord& record, ViewText& view, std::vector<size_t>* deletedLines = nullptr);

}  // namespace korvalane::ext
