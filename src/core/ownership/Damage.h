#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/model/OwnershipIndex.h"
#include "core/rescue/Mapfile.h"
#include "core/text/Json.h"

namespace korvalane {

// What the unfinished areas of a rescue fall into.
struct DamagedOwner {
  const Owner* Of = nullptr;
  uint64_t BadBytes = 0;  // of a file: only bytes within its size (not the slack after it)
  // The files whose records stand in its bad bytes (of $MFT, an inode table, a directory),
  // in the order of their bytes.
  std::vector<HeldRecord> Records;
};

struct Damage {
  std::vector<DamagedOwner> Owners;  // each once, in the order of their first bad byte
  uint64_t UnownedBytes = 0;         // in no run: outside every cluster and structure
  uint64_t BadBytes = 0;             // all unfinished bytes within the volume
  bool RecordsCut = false;           // more records stand in the bad bytes than kMaxRecords
};

// At most this many records are listed, over all owners.
constexpr size_t kMaxDamagedRecords = 100000;

// `areas` are unfinished areas in the volume's own byte positions (UnfinishedWithin).
Damage FindDamage(const OwnershipIndex& index, const std::vector<MapArea>& areas);

// A record's line: "MFT record 582: /diary.txt  size 1234  (metadata lost; the data lies
// elsewhere)", "inode 92: /DOCS  directory  (...)", "MFT record 590: in use, but nothing
// that can be read names its file".
std::string DescribeHeldRecord(const HeldRecord& record);
// The same as a JSON object: record, the number under its key (mftRecord, inode,
// directoryByte), kind, name, size, data ("elsewhere", "inRecord", "none", "unknown"),
// note, text.
Json HeldRecordJson(const HeldRecord& record);

}  // namespace korvalane
