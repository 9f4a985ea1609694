#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/export/ExportRange.h"

namespace korvalane {

// The sectors of a copy that could not be read, as ranges in ascending order; sectors
// next to each other share one range.
class UnreadableSectors {
 public:
  // Adds a sector above every sector added so far (a copy meets them in order).
  void Add(uint64_t sector);

  const std::vector<SectorRange>& Ranges() const { return ranges_; }
  uint64_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }

 private:
  std::vector<SectorRange> ranges_;
  uint64_t count_ = 0;
};

// The ranges as the user reads them, first and last sector inclusive: "1000-1007, 5000".
// After `maxShown` ranges the list ends with ", ..." (the caller says how many there are).
std::string UnreadableSectorsText(const std::vector<SectorRange>& ranges, size_t maxShown);

// What a map of a copy records. Positions in the map are byte positions of the source
// file or device the drive is read from (the drive's first byte there + sector x
// bytesPerSector), as GNU ddrescue writes its input positions, so the map fits the
// source: a partition's sectors lie after the disk's sectors before it. Everything
// before Range.Start, and after Range.End up to SourceBytes, was not copied and is
// marked non-tried.
struct RescueMapFacts {
  SectorRange Range;                // the range the user asked for, in the drive's sectors
  uint32_t BytesPerSector = 0;
  uint64_t DriveFirstByte = 0;      // where the drive starts in its source
  uint64_t SourceBytes = 0;         // the whole source's size; 0 when unknown
  uint64_t SectorsDone = 0;         // from Range.Start on, the sectors in the file
  const UnreadableSectors* Unreadable = nullptr;  // those of them written as zeros
  bool Finished = false;            // the copy ran to the end of the range
  std::vector<std::string> Comments;  // lines written after "# " at the top
};

// The map in GNU ddrescue's mapfile format: comment lines, the status line (current
// position, current status, current pass), then one line per area (position, size,
// status, the numbers in hexadecimal) without gaps and in order: '+' copied, '-'
// unreadable (written as zeros), '?' not copied. Nothing when a position would not fit
// the format's signed 64-bit numbers.
std::optional<std::string> RescueMapText(const RescueMapFacts& facts);

}  // namespace korvalane
