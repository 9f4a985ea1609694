#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace korvalane {

// What is looked for: either a run of bytes that may stand anywhere (across sectors and
// across the blocks the engine reads), or, for a sector-aligned search, bytes at fixed
// offsets of a sector (what a signature search such as The Sleuth Kit's sigfind does).
struct SearchPattern {
  std::vector<uint8_t> Bytes;
  bool IgnoreCase = false;  // ASCII letters match either case
  // Only matches that start at this offset of a sector.
  std::optional<uint32_t> AlignedOffset;
  // A sector signature instead of Bytes: each (offset, byte) must hold in the sector,
  // and the match is reported at the first offset. Set by the presets.
  std::vector<std::pair<uint32_t, uint8_t>> SectorFields;
  // With SectorFields, the sector must also hold every field of one of these (a magic
  // number that has several forms); none: SectorFields alone.
  std::vector<std::vector<std::pair<uint32_t, uint8_t>>> SectorAlternatives;

  size_t Length() const { return Bytes.size(); }
};

// The presets of the Find dialog and of `korvalane-cli find`.
enum class SearchPreset {
  FileRecord,        // "next FILE record": the text FILE at offset 0 of a sector
  DirectoryCluster,  // "next directory cluster": "." at byte 0, ".." at bytes 32 and 33
  DirectoryBlock,    // "next directory block": an ext directory's "." and ".." records
  XfsDirectoryBlock, // an XFS directory's single or data block: "XD2B", "XDB3", "XD2D" or "XDD3"
  XfsInode,          // an XFS inode: "IN", a version of 1 to 3 and a data fork format of 0 to 4
};

SearchPattern PresetPattern(SearchPreset preset);

// The pattern a user writes: "hex:46 49 4C 45" (pairs of hex digits, blanks between them
// allowed), "text:FILE" (one byte per character: UTF-8 input characters up to U+00FF,
// as the text view shows bytes), "utf16:name" (UTF-16LE). Nothing, with `error` saying
// why, for an empty, odd-length or non-hex pattern or an unknown kind.
std::optional<SearchPattern> ParseSearchPattern(std::string_view text, std::string& error);

// Checks a pattern against the sector size of the drive it is to be found in: an aligned
// pattern must lie within one sector. Empty when it fits, else why not.
std::string CheckPatternFits(const SearchPattern& pattern, uint32_t bytesPerSector);

struct SearchMatch {
  uint64_t Sector = 0;
  uint32_t Offset = 0;  // within the sector

  bool operator==(const SearchMatch&) const = default;
};

struct SearchRequest {
  SearchPattern Pattern;
  bool Backward = false;
  // Forward: matches that start at this byte of the drive or after it. Backward: matches
  // that start before it (so a search from a sector S backward passes (S + 1) x sector
  // size). Positions beyond the drive are clamped to its end.
  uint64_t FromByte = 0;
  bool All = false;  // every match in the direction, not only the first
};

struct SearchHooks {
  // Called between blocks with the share of the way done (0 to 1); false stops the search
  // at once. May be empty.
  std::function<bool(double done)> Progress;
  // Called with each match as it is found (in the order found); false stops. May be empty.
  // A caller that takes the matches here gets none in SearchOutcome::Matches: a search of
  // every match on a large disk can find tens of millions, and they are not kept.
  std::function<bool(const SearchMatch&)> Found;
};

struct SearchOutcome {
  std::vector<SearchMatch> Matches;  // only when no Found hook took them
  uint64_t MatchCount = 0;           // every match found, kept or not
  bool Stopped = false;
  uint64_t UnreadableSectors = 0;  // skipped: no match is looked for in them
  std::vector<std::pair<uint64_t, uint64_t>> UnreadableRanges;  // first and last sector
};

// Searches CurrentDrive, at BytesPerSector bytes a sector, from the request's position
// to the drive's end (or start), `driveSectors` sectors in all. Reads blocks of 1 MiB
// (whole sectors), finds matches that straddle two blocks, and reads a block that
// cannot be read again sector by sector, so that only the sectors that really cannot be
// read are left out (and counted).
SearchOutcome SearchDrive(const SearchRequest& request, uint64_t driveSectors, const SearchHooks& hooks);

// The sectors of CurrentDrive a search covers: the volume's size / BytesPerSector, which may
// reach past the sectors its file system counts (a backup boot sector, the slack after a
// volume that is smaller than its partition); TotalSectors where the system cannot tell the
// size.
uint64_t SearchableSectors();

// How many bytes a block of the search holds at the most.
inline constexpr size_t kSearchBlockBytes = size_t{1} << 20;

}  // namespace korvalane
