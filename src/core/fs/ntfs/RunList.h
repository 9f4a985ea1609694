#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/fs/ntfs/DataRuns.h"
#include "core/model/ViewText.h"

namespace korvalane {

// One run of a mapping-pairs list, with 64-bit positions. A sparse run (one without an
// offset field) has no place on the volume: its clusters read as zeros, and `Lcn` is 0.
// `Lcn` is the running start cluster as the list's signed offsets move it, modulo 2^64,
// so a corrupt list that moves it below 0 gives a value from 2^63 up.
struct NtfsRun {
  uint64_t Vcn = 0;
  uint64_t Count = 0;
  bool Sparse = false;
  uint64_t Lcn = 0;
};

// One mapping pair as it stands in its list: where its bytes are, the signed offset it
// stores, and the run they describe.
struct RunListEntry {
  size_t Offset = 0;  // of the header byte
  size_t Size = 0;    // the header and both fields
  int64_t Delta = 0;  // the offset field (0 for a sparse run)
  NtfsRun Run;
};

// Why a list ended.
enum class RunListEnd {
  Marker,       // a header byte of 0
  BufferEnd,    // the next header would lie at or past the end of the bytes
  Cut,          // a run's fields reach past the end of the bytes
  NoLength,     // a header with no length field
  WideOffset,   // an offset field wider than 8 bytes
};

// Steps through a mapping-pairs list: each header byte gives the width of the run's
// length (low four bits) and of its offset (high four bits); the offset is signed and
// moves the start from the previous run's. A run without an offset is sparse: the start
// stays where it was, and the list goes on after it (as Windows, ntfs-3g and The Sleuth
// Kit read it). A length wider than 8 bytes counts when its upper bytes are 0, and
// otherwise reads as 2^64 - 1, which no volume holds. A header without a length field
// or with an offset wider than 8 bytes ends the list, and so does a run whose fields
// would reach past the bytes: nothing outside `bytes` is read.
class RunListReader {
 public:
  RunListReader(std::span<const uint8_t> bytes, size_t first, uint64_t startVcn = 0)
      : bytes_(bytes), at_(first), vcn_(startVcn) {}

  // The next run; false at the end of the list, End() then says why.
  bool Next(RunListEntry& entry);
  RunListEnd End() const { return end_; }
  // The place of the next header: at the end, that of the byte that ended the list.
  size_t Position() const { return at_; }

 private:
  std::span<const uint8_t> bytes_;
  size_t at_;
  uint64_t vcn_;
  uint64_t lcn_ = 0;
  RunListEnd end_ = RunListEnd::Marker;
};

// The runs of the list from `first` within `bytes`, the first at `startVcn`, added to
// `runs`; virtual cluster numbers wrap modulo 2^64 as the counts add up.
void DecodeNtfsRuns(std::span<const uint8_t> bytes, size_t first, uint64_t startVcn, std::vector<NtfsRun>& runs);
std::vector<NtfsRun> DecodeNtfsRuns(std::span<const uint8_t> bytes, size_t first, uint64_t startVcn);

// The runs of the list as the record view and the details report list them, in the
// order they stand: sparse runs have no start cluster and are not listed, and a count of
// 2^32 or more reads as 0. The pump runs once before every run and once more before the
// end; when it answers false the runs so far are returned.
std::vector<DataRun> DecodeDataRuns(std::span<const uint8_t> buffer, size_t first, const MessagePump& pump);

// A run as a data-run line shows it.
DataRun ToDataRun(const NtfsRun& run);

// Reads `bytes.size()` bytes from byte `position` of a stream laid out by `runs`, on the
// current drive with clusters of `clusterBytes` bytes and sectors of `sectorBytes`;
// sparse and unmapped parts read as zeros. False when a sector could not be read.
// `read` reads whole sectors (ReadSectors unless a caller, such as the ownership walk,
// retries a failing read sector by sector).
using SectorRead = bool (*)(uint64_t sector, std::span<uint8_t> buffer);
bool ReadRunStream(const std::vector<NtfsRun>& runs, uint64_t clusterBytes, uint32_t sectorBytes, uint64_t position,
                   std::span<uint8_t> bytes, SectorRead read = nullptr);

}  // namespace korvalane
