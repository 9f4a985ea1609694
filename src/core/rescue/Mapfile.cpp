#include "core/rescue/Mapfile.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace korvalane {
namespace {

constexpr std::string_view kStates = "?*/-+";

// An unsigned number as ddrescue writes it: "0x" and hexadecimal digits, or decimal.
std::optional<uint64_t> ParseNumber(std::string_view word) {
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    base = 16;
    word.remove_prefix(2);
  }
  if (word.empty()) return std::nullopt;
  uint64_t value = 0;
  for (const char c : word) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    if (digit < 0 || digit >= base) return std::nullopt;
    if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / static_cast<uint64_t>(base)) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  return value;
}

std::vector<std::string_view> Words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size() && words.size() < 5) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
    const size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// How unfinished a state is: where two areas overlap, the less finished one holds.
int Rank(char status) {
  switch (status) {
    case '+':
      return 0;
    case '?':
      return 1;
    case '*':
      return 2;
    case '/':
      return 3;
    default:
      return 4;  // '-'
  }
}

}  // namespace

std::optional<Mapfile> ParseMapfile(std::string_view text, std::string* why) {
  Mapfile map;
  std::vector<MapArea> areas;
  bool statusSeen = false;
  bool sorted = true;
  size_t lineNumber = 0;
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string_view::npos) end = text.size();
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++lineNumber;
    const std::vector<std::string_view> words = Words(line);
    if (words.empty() || words[0][0] == '#') continue;
    const std::string where = "line " + std::to_string(lineNumber);
    if (!statusSeen) {
      // The status line: the current position and state, and the pass on newer maps.
      statusSeen = true;
      if (words.size() >= 2 && ParseNumber(words[0]) && words[1].size() == 1) continue;
      map.Problems.push_back("the map has no status line (" + where + " is taken as an area)");
    }
    const bool lastLineCut = end == text.size();
    if (words.size() != 3 || words[2].size() != 1 || kStates.find(words[2][0]) == std::string_view::npos) {
      if (lastLineCut) {
        // A map whose writing was cut off ends in half a line: what came before is sound.
        map.Problems.push_back("the map's last line is cut off (" + where + "); it was left out");
        break;
      }
      *why = where + " is not a mapfile's area line (position, size, one of ?*/-+)";
      return std::nullopt;
    }
    const std::optional<uint64_t> position = ParseNumber(words[0]);
    const std::optional<uint64_t> size = ParseNumber(words[1]);
    if (!position || !size || *size > UINT64_MAX - *position) {
      *why = where + " has a position or size that is not a number of bytes";
      return std::nullopt;
    }
    if (*size == 0) continue;
    if (areas.size() == kMaxMapAreas) {
      *why = "the map has more than " + std::to_string(kMaxMapAreas) + " areas";
      return std::nullopt;
    }
    if (!areas.empty() && *position < areas.back().Position) sorted = false;
    areas.push_back({*position, *size, words[2][0]});
  }
  if (!statusSeen) {
    *why = "the map is empty";
    return std::nullopt;
  }
  if (!sorted) {
    map.Problems.push_back("the map's areas are not in order; they were sorted");
    std::stable_sort(areas.begin(), areas.end(), [](const MapArea& a, const MapArea& b) { return a.Position < b.Position; });
  }
  // Disjoint areas by one sweep over where areas begin and end: each stretch between two
  // such places takes the least finished state of the areas over it, and a stretch no
  // area covers (below the map's end) is non-tried.
  struct Edge {
    uint64_t Position;
    int Rank;
    int Step;  // +1 an area begins, -1 it ends
  };
  std::vector<Edge> edges;
  edges.reserve(areas.size() * 2);
  bool overlap = false;
  uint64_t reach = 0;
  for (const MapArea& area : areas) {
    if (area.Position < reach) overlap = true;
    reach = std::max(reach, area.Position + area.Size);
    edges.push_back({area.Position, Rank(area.Status), +1});
    edges.push_back({area.Position + area.Size, Rank(area.Status), -1});
  }
  std::sort(edges.begin(), edges.end(), [](const Edge& a, const Edge& b) { return a.Position < b.Position; });
  constexpr char kByRank[] = {'+', '?', '*', '/', '-'};
  std::array<uint64_t, 5> active{};
  bool gap = false;
  uint64_t covered = 0;
  for (size_t i = 0; i < edges.size();) {
    const uint64_t here = edges[i].Position;
    if (here > covered) {
      int rank = -1;
      for (int r = 4; r >= 0 && rank < 0; --r) {
        if (active[static_cast<size_t>(r)] != 0) rank = r;
      }
      if (rank < 0) gap = true;
      const char status = rank < 0 ? '?' : kByRank[rank];
      if (!map.Areas.empty() && map.Areas.back().Status == status && map.Areas.back().Position + map.Areas.back().Size == covered) {
        map.Areas.back().Size += here - covered;
      } else {
        map.Areas.push_back({covered, here - covered, status});
      }
      covered = here;
    }
    for (; i < edges.size() && edges[i].Position == here; ++i) {
      active[static_cast<size_t>(edges[i].Rank)] += static_cast<uint64_t>(static_cast<int64_t>(edges[i].Step));
    }
  }
  map.End = covered;
  if (overlap) map.Problems.push_back("the map's areas overlap; where they do, the less finished state was taken");
  if (gap) map.Problems.push_back("the map leaves gaps between its areas; they were taken as non-tried");
  return map;
}

std::vector<MapArea> UnfinishedWithin(const Mapfile& map, uint64_t first, uint64_t length) {
  std::vector<MapArea> result;
  const uint64_t end = length > UINT64_MAX - first ? UINT64_MAX : first + length;
  auto it = std::upper_bound(map.Areas.begin(), map.Areas.end(), first,
                             [](uint64_t position, const MapArea& area) { return position < area.Position; });
  if (it != map.Areas.begin()) --it;
  for (; it != map.Areas.end() && it->Position < end; ++it) {
    if (!it->Unfinished()) continue;
    const uint64_t from = std::max(first, it->Position);
    const uint64_t to = std::min(end, it->Position + it->Size);
    if (from < to) result.push_back({from - first, to - from, it->Status});
  }
  return result;
}

}  // namespace korvalane
