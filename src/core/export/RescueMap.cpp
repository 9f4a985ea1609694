#include "core/export/RescueMap.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <iterator>

namespace korvalane {
namespace {

// ddrescue reads positions and sizes as signed 64-bit numbers.
constexpr uint64_t kLargestPosition = static_cast<uint64_t>(INT64_MAX);

struct Area {
  uint64_t Position;
  uint64_t Size;
  char Status;
};

// Appends an area, joined to the one before when it has the same status; empty areas
// are left out, as a mapfile has none.
void AddArea(std::vector<Area>& areas, uint64_t position, uint64_t end, char status) {
  if (end <= position) return;
  if (!areas.empty() && areas.back().Status == status && areas.back().Position + areas.back().Size == position) {
    areas.back().Size += end - position;
    return;
  }
  areas.push_back(Area{position, end - position, status});
}

// "0x" and at least eight upper-case hexadecimal digits, as ddrescue writes them.
std::string Hex(uint64_t value) {
  char digits[16];
  const std::to_chars_result end = std::to_chars(std::begin(digits), std::end(digits), value, 16);
  std::string text(digits, end.ptr);
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return "0x" + std::string(text.size() < 8 ? 8 - text.size() : 0, '0') + text;
}

std::string SectorText(const SectorRange& range) {
  std::string text = std::to_string(range.Start);
  if (range.Count() > 1) text += "-" + std::to_string(range.End - 1);
  return text;
}

}  // namespace

void UnreadableSectors::Add(uint64_t sector) {
  if (!ranges_.empty() && sector < ranges_.back().End) return;  // already there
  if (!ranges_.empty() && ranges_.back().End == sector) {
    ranges_.back().End = sector + 1;
  } else {
    ranges_.push_back(SectorRange{sector, sector + 1});
  }
  ++count_;
}

std::string UnreadableSectorsText(const std::vector<SectorRange>& ranges, size_t maxShown) {
  std::string text;
  const size_t shown = std::min(ranges.size(), maxShown);
  for (size_t i = 0; i < shown; ++i) {
    if (i != 0) text += ", ";
    text += SectorText(ranges[i]);
  }
  if (shown < ranges.size()) text += shown == 0 ? "..." : ", ...";
  return text;
}

std::optional<std::string> RescueMapText(const RescueMapFacts& facts) {
  const uint64_t sectorBytes = facts.BytesPerSector;
  const SectorRange range = facts.Range;
  if (sectorBytes == 0 || range.End < range.Start) return std::nullopt;
  const uint64_t base = facts.DriveFirstByte;
  if (range.End > kLargestPosition / sectorBytes || base > kLargestPosition - range.End * sectorBytes ||
      facts.SourceBytes > kLargestPosition) {
    return std::nullopt;
  }
  const uint64_t done = std::min(facts.SectorsDone, range.Count());
  const uint64_t doneEnd = range.Start + done;
  // The byte of the source where a sector of the drive begins.
  const auto at = [&](uint64_t sector) { return base + sector * sectorBytes; };

  std::vector<Area> areas;
  AddArea(areas, 0, at(range.Start), '?');
  uint64_t next = range.Start;  // the first sector not yet in an area
  if (facts.Unreadable != nullptr) {
    for (const SectorRange& bad : facts.Unreadable->Ranges()) {
      const uint64_t first = std::max(bad.Start, next);
      const uint64_t end = std::min(bad.End, doneEnd);
      if (first >= end) continue;
      AddArea(areas, at(next), at(first), '+');
      AddArea(areas, at(first), at(end), '-');
      next = end;
    }
  }
  AddArea(areas, at(next), at(doneEnd), '+');
  AddArea(areas, at(doneEnd), at(range.End), '?');
  AddArea(areas, at(range.End), facts.SourceBytes, '?');

  std::string text;
  for (std::string comment : facts.Comments) {
    // A line break in a file name would end the comment and start a line ddrescue reads.
    for (char& c : comment) {
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    }
    text += "# " + comment + "\n";
  }
  // Finished, or stopped while copying: ddrescue's '+' and '?' phases.
  text += "# current_pos  current_status  current_pass\n";
  text += Hex(at(doneEnd)) + "     " + (facts.Finished ? '+' : '?') + "               1\n";
  text += "#      pos        size  status\n";
  for (const Area& area : areas) {
    text += Hex(area.Position) + "  " + Hex(area.Size) + "  " + area.Status + "\n";
  }
  return text;
}

}  // namespace korvalane
