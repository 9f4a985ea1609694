#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/fs/ntfs/DataRuns.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane {

// What the report of an NTFS FILE record says.
struct FileRecordReport {
  bool Folder = false;     // an $INDEX_ROOT or $INDEX_ALLOCATION attribute was seen
  std::u16string Name;     // of the last $FILE_NAME
  uint32_t Record = 0;     // the record's own number
  uint64_t Parent = 0;     // the parent folder's record number
  bool Resident = false;   // the last $DATA is stored in the record
  int64_t Size = 0;        // of the last $DATA
  std::u16string Created;  // the creation time, in the user's formats ("?" when it cannot be shown)
  std::optional<uint64_t> CreationTime;  // as stored (a FILETIME), when there is a $STANDARD_INFORMATION
  std::vector<DataRun> Runs;
  bool InUse = true;       // the header's in-use flag: false for a deleted file's record
};

// A record as read: not a record ("FILE" missing), nothing to show (unreadable, damaged,
// superseded), or the report.
struct FileRecordView {
  bool NotARecord = false;
  std::optional<FileRecordReport> Report;
};

// Reads MftRecordBytes bytes from `sector` (two sectors while record 0 has not given the size).
FileRecordView ReadFileRecord(uint64_t sector, const MessagePump& pump);

// A record as read, as the view's lines and as JSON (left alone where the sector holds no
// record that can be shown), each when asked for; the record of a deleted file has every
// line's index put in `deletedLines`, where it is given. The JSON's "created" is ISO 8601
// in UTC, null for a time of 0 or a record without one.
void WriteFileRecord(const FileRecordView& read, ViewText* view, Json* json,
                     std::vector<size_t>* deletedLines = nullptr);

// The "File record" view on NTFS volumes: reads MftRecordBytes bytes from `sector` and
// reports the FILE record there.
void ShowFileRecord(uint64_t sector, ViewText& view, const MessagePump& pump);

}  // namespace korvalane
