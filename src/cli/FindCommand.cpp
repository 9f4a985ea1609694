// korvalane-cli find and locate: the search engine and the cluster and MFT-record
// arithmetic of the core, with their answers as "SECTOR OFFSET" lines, a sector, or JSON.
#include <charconv>
#include <iterator>
#include <string>
#include <cstdio>
#include <string_view>
#include <iostream>
#include <map>

#include "cli/Cli.h"
#include "core/search/Locate.h"
#include "core/search/Search.h"
#include "core/text/Json.h"
#include "core/text/SectorField.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {
namespace {

std::optional<SearchPattern> PatternOf(const std::string& text, std::string& error) {
  if (text == "file-record") return PresetPattern(SearchPreset::FileRecord);
  if (text == "directory-cluster") return PresetPattern(SearchPreset::DirectoryCluster);
  if (text == "directory-block") return PresetPattern(SearchPreset::DirectoryBlock);
  if (text == "xfs-directory-block") return PresetPattern(SearchPreset::XfsDirectoryBlock);
  if (text == "xfs-inode") return PresetPattern(SearchPreset::XfsInode);
  return ParseSearchPattern(text, error);
}

// Opens the one source as drive C: as the main window would; false (after saying why)
// when it cannot be read.
bool SelectSource(const std::string& source, int& status) {
  const std::string drive = FirstDrive();
  SelectDrive(drive);
  if (!CurrentPlatform().IsDriveAccessible(drive)) {
    status = CannotOpen(source, drive);
    return false;
  }
  return true;
}

}  // namespace

int RunFind(const Arguments& arguments) {
  if (arguments.Positional.size() != 2) return UsageError("usage: find [OPTIONS] SOURCE PATTERN (try --help)");
  const std::string& source = arguments.Positional[0];
  std::string error;
  std::optional<SearchPattern> pattern = PatternOf(arguments.Positional[1], error);
  if (!pattern) return UsageError(error);
  if (arguments.IgnoreCase) pattern->IgnoreCase = true;
  if (arguments.Aligned) {
    const std::optional<uint64_t> offset = ParseSectorIndex(*arguments.Aligned);
    if (!offset || *offset > UINT32_MAX) return UsageError("--aligned needs an offset in the sector, not '" + *arguments.Aligned + "'");
    if (pattern->AlignedOffset) return UsageError("a preset has its own offsets; --aligned does not go with it");
    pattern->AlignedOffset = static_cast<uint32_t>(*offset);
  }

  const std::unique_ptr<Platform> platform = UsePlatform({source}, arguments);
  int status = kOk;
  if (!SelectSource(source, status)) return status;
  const auto sectorBytes = static_cast<uint32_t>(Geometry().BytesPerSector);
  const std::string fits = CheckPatternFits(*pattern, sectorBytes);
  if (!fits.empty()) return UsageError(fits);
  const uint64_t sectors = SearchableSectors();

  SearchRequest request;
  request.Pattern = *pattern;
  request.Backward = arguments.Backward;
  request.All = arguments.All;
  request.FromByte = arguments.Backward ? sectors * sectorBytes : 0;
  if (arguments.From) {
    const std::optional<uint64_t> from = ParseSectorIndex(*arguments.From);
    if (!from) return UsageError("--from needs a sector, not '" + *arguments.From + "'");
    if (*from >= sectors) {
      return UsageError("sector " + *arguments.From + " is beyond the drive's last sector, " +
                        std::to_string(sectors == 0 ? 0 : sectors - 1));
    }
    // Backward from a sector includes that sector.
    request.FromByte = (arguments.Backward ? *from + 1 : *from) * sectorBytes;
  }

  const bool terminal = IsTerminal(stderr);
  // Matches go out as they are found, in either form, and are never kept: a disk can
  // hold tens of millions of them. Into a pipe or a file they leave in large writes,
  // pushed out between the blocks of the search so that a slow search still shows them.
  if (!IsTerminal(stdout)) std::setvbuf(stdout, nullptr, _IOFBF, size_t{1} << 16);
  SearchHooks hooks;
  int shown = -1;
  hooks.Progress = [&](double done) {
    std::fflush(stdout);
    if (!terminal) return true;
    const int percent = static_cast<int>(done * 100);
    if (percent != shown) {
      shown = percent;
      std::fprintf(stderr, "\r%d%%", percent);
      std::fflush(stderr);
    }
    return true;
  };
  // The JSON document is written as Json::Dump lays it out, the matches one by one.
  if (arguments.Json) std::fputs("{\n  \"matches\": [", stdout);
  uint64_t written = 0;
  std::string line;
  hooks.Found = [&](const SearchMatch& match) {
    if (terminal) std::fputs("\r    \r", stderr);
    // Formatted by hand: a disk full of matches spends most of its time here.
    line.clear();
    const auto append = [&line](std::string_view text) { line += text; };
    const auto number = [&line](uint64_t value) {
      char digits[20];  // 2^64 - 1 has 20 digits
      line.append(digits, std::to_chars(std::begin(digits), std::end(digits), value).ptr);
    };
    if (arguments.Json) {
      append(written == 0 ? "\n    {\n      \"sector\": " : ",\n    {\n      \"sector\": ");
      number(match.Sector);
      append(",\n      \"offset\": ");
      number(match.Offset);
      append("\n    }");
    } else {
      number(match.Sector);
      append(" ");
      number(match.Offset);
      append("\n");
    }
    std::fwrite(line.data(), 1, line.size(), stdout);
    ++written;
    if (terminal) std::fflush(stdout);
    shown = -1;
    return true;
  };
  const SearchOutcome outcome = SearchDrive(request, sectors, hooks);
  if (terminal) std::fputs("\r    \r", stderr);

  if (arguments.Json) {
    Json unreadable = Json::Array();
    for (const auto& [first, last] : outcome.UnreadableRanges) {
      unreadable.Push(Json::Object().Set("first", first).Set("last", last));
    }
    // The rest of the document, as the same object of two members would be dumped.
    std::string rest = Json::Object()
                           .Set("unreadableSectors", outcome.UnreadableSectors)
                           .Set("unreadableRanges", unreadable)
                           .Dump();
    rest.erase(0, 2);  // "{\n"
    std::fputs(written == 0 ? "],\n" : "\n  ],\n", stdout);
    std::fputs(rest.c_str(), stdout);
  }
  std::fflush(stdout);
  if (outcome.UnreadableSectors != 0) {
    std::cerr << "korvalane-cli: " << outcome.UnreadableSectors << " unreadable sectors were not searched\n";
  }
  return outcome.MatchCount == 0 ? kFailure : kOk;
}

int RunLocate(const Arguments& arguments) {
  const std::vector<std::string>& words = arguments.Positional;
  static const std::map<std::string, JumpKind> kinds = {
      {"cluster", JumpKind::Cluster}, {"block", JumpKind::Cluster}, {"mft-record", JumpKind::MftRecord}, {"inode", JumpKind::Inode}};
  if (words.size() != 3 || !kinds.contains(words[1])) {
    return UsageError("usage: locate SOURCE cluster|block|mft-record|inode N (try --help)");
  }
  const std::optional<uint64_t> number = ParseSectorIndex(words[2]);
  if (!number) return UsageError(words[1] + " '" + words[2] + "' is not a number");

  const std::unique_ptr<Platform> platform = UsePlatform({words[0]}, arguments);
  int status = kOk;
  if (!SelectSource(words[0], status)) return status;
  const Location location = LocateTarget(JumpTarget{kinds.at(words[1]), *number}, NoPump);
  if (!location.Sector) return UsageError(location.Error);
  if (arguments.Json) {
    const std::string key = words[1] == "mft-record" ? "mftRecord" : words[1];
    PrintJson(Json::Object().Set(key, *number).Set("sector", *location.Sector).Dump());
  } else {
    std::cout << *location.Sector << '\n';
  }
  return kOk;
}

}  // namespace korvalane::cli
