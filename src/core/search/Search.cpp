#include "core/search/Search.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/Platform.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

inline uint8_t FoldAscii(uint8_t b) { return b >= 'A' && b <= 'Z' ? static_cast<uint8_t>(b + 32) : b; }

// How often a byte stands in disk data, roughly: zeros and 0xFF fill free space, blanks
// and lower-case letters fill text. The search looks for the pattern's rarest byte first.
int Commonness(uint8_t b) {
  if (b == 0x00) return 100;
  if (b == 0xFF) return 90;
  if (b == ' ') return 80;
  if ((b >= 'a' && b <= 'z') || (b >= '0' && b <= '9')) return 50;
  if (b >= 'A' && b <= 'Z') return 40;
  return 10;
}

// Finds a pattern in one contiguous run of bytes. Where the pattern holds a byte that is
// rare in disk data (and, ignoring case, not a letter), the system's memchr runs ahead to
// each place that byte stands and the whole pattern is compared there: memchr looks at
// many bytes a cycle. Otherwise (a pattern of zeros, of letters only when ignoring case)
// Boyer-Moore-Horspool, whose shift table is made once per search.
class Matcher {
 public:
  explicit Matcher(const SearchPattern& pattern) : pattern_(pattern.Bytes), ignoreCase_(pattern.IgnoreCase) {
    if (ignoreCase_) {
      for (uint8_t& b : pattern_) b = FoldAscii(b);
    }
    const size_t length = pattern_.size();
    shift_.fill(length);
    for (size_t i = 0; i + 1 < length; ++i) {
      shift_[pattern_[i]] = length - 1 - i;
      if (ignoreCase_ && pattern_[i] >= 'a' && pattern_[i] <= 'z') shift_[pattern_[i] - 32] = length - 1 - i;
    }
    int best = 70;  // a byte more common than this is no help as an anchor
    for (size_t i = 0; i < length; ++i) {
      const uint8_t b = pattern_[i];
      if (ignoreCase_ && b >= 'a' && b <= 'z') continue;
      if (Commonness(b) < best) {
        best = Commonness(b);
        anchor_ = i;
      }
    }
  }

  size_t Length() const { return pattern_.size(); }

  // Calls found(offset) for each match in bytes, in ascending order, until it says false.
  template <typename Found>
  bool Each(const uint8_t* bytes, size_t size, Found&& found) const {
    if (anchor_) return ignoreCase_ ? Anchored<true>(bytes, size, found) : Anchored<false>(bytes, size, found);
    return ignoreCase_ ? Scan<true>(bytes, size, found) : Scan<false>(bytes, size, found);
  }

 private:
  template <bool Fold, typename Found>
  bool Anchored(const uint8_t* bytes, size_t size, Found& found) const {
    const size_t length = pattern_.size();
    if (length == 0 || size < length) return true;
    const size_t anchor = *anchor_;
    const uint8_t key = pattern_[anchor];
    const uint8_t* p = pattern_.data();
    // Candidates start at 0 ... size - length; their anchor byte at anchor ... that + anchor.
    const uint8_t* from = bytes + anchor;
    const uint8_t* end = bytes + (size - length) + anchor + 1;
    while (from < end) {
      const auto* hit = static_cast<const uint8_t*>(std::memchr(from, key, static_cast<size_t>(end - from)));
      if (hit == nullptr) break;
      const uint8_t* at = hit - anchor;
      bool same = true;
      if constexpr (Fold) {
        for (size_t i = 0; i < length && same; ++i) same = FoldAscii(at[i]) == p[i];
      } else {
        same = std::memcmp(at, p, length) == 0;
      }
      if (same && !found(static_cast<size_t>(at - bytes))) return false;
      from = hit + 1;
    }
    return true;
  }

  template <bool Fold, typename Found>
  bool Scan(const uint8_t* bytes, size_t size, Found& found) const {
    const size_t length = pattern_.size();
    if (length == 0 || size < length) return true;
    const uint8_t last = pattern_[length - 1];
    const uint8_t* p = pattern_.data();
    for (size_t at = 0; at + length <= size;) {
      const uint8_t tail = bytes[at + length - 1];
      if ((Fold ? FoldAscii(tail) : tail) == last) {
        size_t i = 0;
        while (i + 1 < length && (Fold ? FoldAscii(bytes[at + i]) : bytes[at + i]) == p[i]) ++i;
        if (i + 1 >= length && !found(at)) return false;
      }
      at += shift_[tail];
    }
    return true;
  }

  std::vector<uint8_t> pattern_;
  bool ignoreCase_;
  std::array<size_t, 256> shift_{};
  std::optional<size_t> anchor_;  // the pattern's rare byte that memchr looks for
};

bool SectorMatches(const uint8_t* sector, const std::vector<std::pair<uint32_t, uint8_t>>& fields, bool ignoreCase) {
  for (const auto& [offset, byte] : fields) {
    const uint8_t have = sector[offset];
    if (ignoreCase ? FoldAscii(have) != FoldAscii(byte) : have != byte) return false;
  }
  return true;
}

std::optional<uint8_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  return std::nullopt;
}

// The search over one drive: blocks read through ReadSectors, unreadable blocks retried
// sector by sector, and the matches in the order of the direction.
class DriveSearch {
 public:
  DriveSearch(const SearchRequest& request, uint64_t driveSectors, const SearchHooks& hooks)
      : request_(request),
        hooks_(hooks),
        sectorBytes_(static_cast<uint32_t>(Geometry().BytesPerSector)),
        driveBytes_(driveSectors * sectorBytes_),
        matcher_(request.Pattern) {
    blockSectors_ = std::max<uint64_t>(1, kSearchBlockBytes / sectorBytes_);
    fields_ = request.Pattern.SectorFields;
    if (fields_.empty() && request.Pattern.AlignedOffset) {
      for (size_t i = 0; i < request.Pattern.Bytes.size(); ++i) {
        fields_.emplace_back(*request.Pattern.AlignedOffset + static_cast<uint32_t>(i), request.Pattern.Bytes[i]);
      }
    }
  }

  SearchOutcome Run() {
    const uint64_t from = std::min(request_.FromByte, driveBytes_);
    if (!fields_.empty()) {
      request_.Backward ? AlignedBackward(from) : AlignedForward(from);
    } else if (matcher_.Length() != 0) {
      request_.Backward ? Backward(from) : Forward(from);
    }
    return std::move(outcome_);
  }

 private:
  // Reads `count` sectors from `first` into `out`; where the block cannot be read as a
  // whole, each sector is read on its own and `good` says which ones came. True when every
  // sector came.
  bool ReadBlock(uint64_t first, uint64_t count, uint8_t* out, std::vector<bool>& good) {
    good.assign(count, true);
    if (ReadSectors(first, std::span<uint8_t>(out, count * sectorBytes_))) return true;
    for (uint64_t i = 0; i < count; ++i) {
      if (ReadSectorsDirect(first + i, std::span<uint8_t>(out + i * sectorBytes_, sectorBytes_))) continue;
      good[i] = false;
      ++outcome_.UnreadableSectors;
      const uint64_t sector = first + i;
      if (!outcome_.UnreadableRanges.empty() && outcome_.UnreadableRanges.back().second + 1 == sector) {
        outcome_.UnreadableRanges.back().second = sector;
      } else if (!outcome_.UnreadableRanges.empty() && outcome_.UnreadableRanges.back().first == sector + 1) {
        outcome_.UnreadableRanges.back().first = sector;  // backward, the range grows down
      } else {
        outcome_.UnreadableRanges.emplace_back(sector, sector);
      }
    }
    return false;
  }

  // False once the caller has stopped the search or the first match is all that was asked.
  bool Report(uint64_t position) {
    const SearchMatch match{position / sectorBytes_, static_cast<uint32_t>(position % sectorBytes_)};
    ++outcome_.MatchCount;
    if (!hooks_.Found) {
      outcome_.Matches.push_back(match);
    } else if (!hooks_.Found(match)) {
      outcome_.Stopped = true;
      return false;
    }
    return request_.All;
  }

  bool KeepGoing(uint64_t done, uint64_t total) {
    if (!hooks_.Progress) return true;
    if (hooks_.Progress(total == 0 ? 1.0 : static_cast<double>(done) / static_cast<double>(total))) return true;
    outcome_.Stopped = true;
    return false;
  }

  // ---- Anywhere, forward --------------------------------------------------------------

  void Forward(uint64_t from) {
    const size_t keep = matcher_.Length() - 1;  // bytes a match can reach into the next block
    std::vector<uint8_t> buffer(keep + blockSectors_ * sectorBytes_);
    std::vector<bool> good;
    size_t carried = 0;         // bytes of the previous run at the buffer's front
    uint64_t carriedStart = 0;  // their position on the drive
    const uint64_t firstSector = from / sectorBytes_;
    const uint64_t endSector = driveBytes_ / sectorBytes_;
    for (uint64_t sector = firstSector; sector < endSector;) {
      if (!KeepGoing(sector - firstSector, endSector - firstSector)) return;
      const uint64_t count = std::min<uint64_t>(blockSectors_, endSector - sector);
      uint8_t* block = buffer.data() + keep;
      ReadBlock(sector, count, block, good);
      // Each run of readable sectors is searched with the bytes carried from just before it.
      for (uint64_t i = 0; i < count;) {
        if (!good[i]) {
          carried = 0;
          ++i;
          continue;
        }
        uint64_t j = i;
        while (j < count && good[j]) ++j;
        const uint64_t runStart = (sector + i) * sectorBytes_;
        const size_t runBytes = static_cast<size_t>((j - i) * sectorBytes_);
        uint8_t* run = block + i * sectorBytes_;
        // The carried bytes stand right in front of the block. A run that does not start
        // the block follows an unreadable sector, so nothing is carried into it.
        if (carried != 0 && carriedStart + carried != runStart) carried = 0;
        const uint8_t* scan = run - carried;
        const uint64_t scanStart = runStart - carried;
        bool more = true;
        matcher_.Each(scan, carried + runBytes, [&](size_t at) {
          const uint64_t position = scanStart + at;
          if (position < from) return true;
          more = Report(position);
          return more;
        });
        if (!more) return;
        // Keep the run's last bytes for a match that goes on into what follows.
        const size_t next = std::min(keep, carried + runBytes);
        if (next != 0) std::memmove(buffer.data() + keep - next, scan + carried + runBytes - next, next);
        carried = next;
        carriedStart = runStart + runBytes - next;
        i = j;
      }
      sector += count;
    }
    KeepGoing(1, 1);
  }

  // ---- Anywhere, backward -------------------------------------------------------------

  void Backward(uint64_t limit) {
    // A match that starts before the limit may end after it.
    const size_t keep = matcher_.Length() - 1;
    const uint64_t scanEnd = std::min(driveBytes_, limit + keep);
    const uint64_t endSector = (scanEnd + sectorBytes_ - 1) / sectorBytes_;
    std::vector<uint8_t> buffer(blockSectors_ * sectorBytes_ + keep);
    std::vector<bool> good;
    size_t carried = 0;         // bytes of the later run, kept for the block before it
    uint64_t carriedStart = 0;
    std::vector<uint8_t> carry(keep);
    std::vector<uint64_t> found;
    for (uint64_t end = endSector; end > 0;) {
      if (!KeepGoing(endSector - end, endSector)) return;
      const uint64_t count = std::min<uint64_t>(blockSectors_, end);
      const uint64_t sector = end - count;
      ReadBlock(sector, count, buffer.data(), good);
      // Runs of readable sectors from the block's end down, each with the bytes carried
      // from just after it.
      for (uint64_t j = count; j > 0;) {
        if (!good[j - 1]) {
          carried = 0;
          --j;
          continue;
        }
        uint64_t i = j;
        while (i > 0 && good[i - 1]) --i;
        const uint64_t runStart = (sector + i) * sectorBytes_;
        const size_t runBytes = static_cast<size_t>((j - i) * sectorBytes_);
        uint8_t* run = buffer.data() + i * sectorBytes_;
        if (carried != 0 && runStart + runBytes != carriedStart) carried = 0;
        // The carried bytes go right after the run; they may overwrite the start of the
        // run after it in the buffer, which has been searched already.
        std::vector<uint8_t> saved;
        if (carried != 0) {
          saved.assign(run + runBytes, run + runBytes + carried);
          std::memcpy(run + runBytes, carry.data(), carried);
        }
        found.clear();
        matcher_.Each(run, runBytes + carried, [&](size_t at) {
          const uint64_t position = runStart + at;
          if (position < limit) found.push_back(position);
          return true;
        });
        if (carried != 0) std::memcpy(run + runBytes, saved.data(), carried);
        for (auto it = found.rbegin(); it != found.rend(); ++it) {
          if (!Report(*it)) return;
        }
        const size_t next = std::min(keep, runBytes);
        // A one-byte pattern keeps nothing, and its empty carry has no storage to copy to.
        if (next != 0) std::memcpy(carry.data(), run, next);
        carried = next;
        carriedStart = runStart;
        j = i;
      }
      end = sector;
    }
    KeepGoing(1, 1);
  }

  // ---- At fixed offsets of each sector ------------------------------------------------

  bool Check(const uint8_t* sectorBytes, uint64_t sector, uint64_t from, bool backward) {
    if (!SectorMatches(sectorBytes, fields_, request_.Pattern.IgnoreCase)) return true;
    const auto& alternatives = request_.Pattern.SectorAlternatives;
    if (!alternatives.empty() && std::none_of(alternatives.begin(), alternatives.end(), [&](const auto& fields) {
          return SectorMatches(sectorBytes, fields, request_.Pattern.IgnoreCase);
        })) {
      return true;
    }
    const uint64_t position = sector * sectorBytes_ + fields_.front().first;
    if (backward ? position >= from : position < from) return true;
    return Report(position);
  }

  void AlignedForward(uint64_t from) {
    std::vector<uint8_t> buffer(blockSectors_ * sectorBytes_);
    std::vector<bool> good;
    const uint64_t firstSector = from / sectorBytes_;
    const uint64_t endSector = driveBytes_ / sectorBytes_;
    for (uint64_t sector = firstSector; sector < endSector;) {
      if (!KeepGoing(sector - firstSector, endSector - firstSector)) return;
      const uint64_t count = std::min<uint64_t>(blockSectors_, endSector - sector);
      ReadBlock(sector, count, buffer.data(), good);
      for (uint64_t i = 0; i < count; ++i) {
        if (good[i] && !Check(buffer.data() + i * sectorBytes_, sector + i, from, false)) return;
      }
      sector += count;
    }
    KeepGoing(1, 1);
  }

  void AlignedBackward(uint64_t limit) {
    std::vector<uint8_t> buffer(blockSectors_ * sectorBytes_);
    std::vector<bool> good;
    const uint64_t endSector = std::min(driveBytes_ / sectorBytes_, (limit + sectorBytes_ - 1) / sectorBytes_);
    for (uint64_t end = endSector; end > 0;) {
      if (!KeepGoing(endSector - end, endSector)) return;
      const uint64_t count = std::min<uint64_t>(blockSectors_, end);
      const uint64_t sector = end - count;
      ReadBlock(sector, count, buffer.data(), good);
      for (uint64_t i = count; i-- > 0;) {
        if (good[i] && !Check(buffer.data() + i * sectorBytes_, sector + i, limit, true)) return;
      }
      end = sector;
    }
    KeepGoing(1, 1);
  }

  SearchRequest request_;
  const SearchHooks& hooks_;
  uint32_t sectorBytes_;
  uint64_t driveBytes_;
  Matcher matcher_;
  uint64_t blockSectors_ = 1;
  std::vector<std::pair<uint32_t, uint8_t>> fields_;
  SearchOutcome outcome_;
};

}  // namespace

SearchPattern PresetPattern(SearchPreset preset) {
  SearchPattern pattern;
  if (preset == SearchPreset::FileRecord) {
    pattern.Bytes = {'F', 'I', 'L', 'E'};
    pattern.AlignedOffset = 0;
  } else if (preset == SearchPreset::DirectoryBlock) {
    // An ext directory's first block: "." in a record of 12 bytes (inode, length 12,
    // name length 1, type, the name padded with zeros), then ".." with a name length of 2.
    pattern.SectorFields = {{4, 12}, {5, 0}, {6, 1}, {8, '.'}, {9, 0},  {10, 0},
                            {11, 0}, {18, 2}, {20, '.'}, {21, '.'}, {22, 0}, {23, 0}};
    pattern.AlignedOffset = 0;
  } else if (preset == SearchPreset::XfsDirectoryBlock) {
    pattern.SectorFields = {{0, 'X'}, {1, 'D'}};
    pattern.SectorAlternatives = {{{2, '2'}, {3, 'B'}}, {{2, 'B'}, {3, '3'}}, {{2, '2'}, {3, 'D'}}, {{2, 'D'}, {3, '3'}}};
    pattern.AlignedOffset = 0;
  } else if (preset == SearchPreset::XfsInode) {
    pattern.SectorFields = {{0, 'I'}, {1, 'N'}};
    for (uint8_t version = 1; version <= 3; ++version) {
      for (uint8_t format = 0; format <= 4; ++format) pattern.SectorAlternatives.push_back({{4, version}, {5, format}});
    }
    pattern.AlignedOffset = 0;
  } else {
    // The test the FAT listing makes of a subdirectory's first cluster.
    pattern.SectorFields = {{0, '.'}, {32, '.'}, {33, '.'}};
    pattern.AlignedOffset = 0;
  }
  return pattern;
}

std::optional<SearchPattern> ParseSearchPattern(std::string_view text, std::string& error) {
  SearchPattern pattern;
  const size_t colon = text.find(':');
  const std::string_view kind = colon == std::string_view::npos ? std::string_view() : text.substr(0, colon);
  const std::string_view body = colon == std::string_view::npos ? text : text.substr(colon + 1);
  if (kind == "hex") {
    int high = -1;  // the first digit of a byte, while its second is awaited
    for (const char c : body) {
      if (c == ' ' || c == '\t') {
        if (high >= 0) {
          error = "hex pattern '" + std::string(body) + "' has a lone digit";
          return std::nullopt;
        }
        continue;
      }
      const std::optional<uint8_t> digit = HexDigit(c);
      if (!digit) {
        error = "hex pattern '" + std::string(body) + "' holds '" + std::string(1, c) + "', not a hex digit";
        return std::nullopt;
      }
      if (high >= 0) {
        pattern.Bytes.push_back(static_cast<uint8_t>(high << 4 | *digit));
        high = -1;
      } else {
        high = *digit;
      }
    }
    if (high >= 0) {
      error = "hex pattern '" + std::string(body) + "' has an odd number of digits";
      return std::nullopt;
    }
  } else if (kind == "text") {
    for (const char16_t c : FromUtf8(body)) {
      if (c > 0xFF) {
        error = "text pattern '" + std::string(body) +
                "' holds a character beyond U+00FF (one byte per character; use utf16: for UTF-16 text)";
        return std::nullopt;
      }
      pattern.Bytes.push_back(static_cast<uint8_t>(c));
    }
  } else if (kind == "utf16") {
    for (const char16_t c : FromUtf8(body)) {
      pattern.Bytes.push_back(static_cast<uint8_t>(c & 0xFF));
      pattern.Bytes.push_back(static_cast<uint8_t>(c >> 8));
    }
  } else {
    error = "pattern '" + std::string(text) + "' must begin with hex:, text: or utf16:";
    return std::nullopt;
  }
  if (pattern.Bytes.empty()) {
    error = "the pattern is empty";
    return std::nullopt;
  }
  return pattern;
}

std::string CheckPatternFits(const SearchPattern& pattern, uint32_t bytesPerSector) {
  if (bytesPerSector == 0) return "the drive has no sector size";
  if (!pattern.AlignedOffset || !pattern.SectorFields.empty()) return {};
  if (*pattern.AlignedOffset >= bytesPerSector || pattern.Bytes.size() > bytesPerSector - *pattern.AlignedOffset) {
    return "a pattern of " + std::to_string(pattern.Bytes.size()) + " bytes at offset " +
           std::to_string(*pattern.AlignedOffset) + " does not fit in a sector of " + std::to_string(bytesPerSector) +
           " bytes";
  }
  return {};
}

uint64_t SearchableSectors() {
  const VolumeGeometry& g = Geometry();
  const int64_t bytes = CurrentPlatform().VolumeTotalBytes(g.CurrentDrive);
  if (bytes < 0 || g.BytesPerSector <= 0) return g.TotalSectors;
  return static_cast<uint64_t>(bytes) / static_cast<uint32_t>(g.BytesPerSector);
}

SearchOutcome SearchDrive(const SearchRequest& request, uint64_t driveSectors, const SearchHooks& hooks) {
  const int32_t bytesPerSector = Geometry().BytesPerSector;
  if (bytesPerSector <= 0 || !CheckPatternFits(request.Pattern, static_cast<uint32_t>(bytesPerSector)).empty()) {
    return {};
  }
  // A drive whose byte count 64 bits cannot hold is searched as far as they reach.
  const uint64_t sectors = std::min(driveSectors, UINT64_MAX / static_cast<uint32_t>(bytesPerSector));
  return DriveSearch(request, sectors, hooks).Run();
}

}  // namespace korvalane
