#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalane {

// One area of a GNU ddrescue mapfile: `Size` bytes from byte `Position` of the rescued
// source, in one state: '+' finished, '?' non-tried, '*' non-trimmed, '/' non-scraped,
// '-' bad sector.
struct MapArea {
  uint64_t Position = 0;
  uint64_t Size = 0;
  char Status = '?';
  bool Unfinished() const { return Status != '+'; }
};

struct Mapfile {
  std::vector<MapArea> Areas;         // in order, disjoint, as far as the map reaches
  uint64_t End = 0;                   // one past the last byte the map covers
  std::vector<std::string> Problems;  // what was wrong with it and how it was taken, one line each
};

// The most areas a map may have: a map is read whole, and this bounds what that costs
// (about 100 MiB). ddrescue's maps of failing disks stay far below it.
inline constexpr size_t kMaxMapAreas = 4000000;

// Reads a mapfile's text. Comments ("#"), the status line and the area lines
// ("0x00000000  0x00010000  +", decimal numbers too) are read; a map whose areas are out
// of order is sorted, one whose areas overlap is taken with the less finished state where
// they do, and a gap between areas is taken as non-tried; each such fault is named in one
// line in Problems. A line that is not a mapfile's, or a map with more than kMaxMapAreas
// areas, gives nothing, and `why` names the line.
std::optional<Mapfile> ParseMapfile(std::string_view text, std::string* why);

// The unfinished areas of `map` that fall within [first, first + length) of its positions,
// moved to start at 0 there (the drive's own bytes), in order.
std::vector<MapArea> UnfinishedWithin(const Mapfile& map, uint64_t first, uint64_t length);

}  // namespace korvalane
