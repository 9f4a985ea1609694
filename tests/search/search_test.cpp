// The find engine over drives in memory: patterns planted across the 1 MiB blocks it
// reads, in the last sector, next to unreadable sectors; forward and backward, every
// match or the first, at fixed offsets of a sector; and the same answers as a plain
// byte-by-byte search over random drives.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/search/Locate.h"
#include "core/search/Search.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

constexpr uint32_t kSector = 512;

class SearchTest : public ::testing::Test {
 protected:
  void SetUp() override { SetPlatform(&platform_); }
  void TearDown() override { SetPlatform(nullptr); }

  MemoryPlatform::Drive& Use(std::vector<uint8_t> bytes, uint32_t sectorSize = kSector) {
    MemoryPlatform::Drive& drive = platform_.AddDrive('C', std::move(bytes), sectorSize);
    Geometry() = VolumeGeometry{};
    Geometry().CurrentDrive = "C:";
    Geometry().BytesPerSector = static_cast<int32_t>(sectorSize);
    return drive;
  }

  uint64_t Sectors() { return platform_.Find("C:")->Bytes.size() / platform_.Find("C:")->SectorSize; }

  SearchOutcome Find(const SearchPattern& pattern, uint64_t from, bool backward = false, bool all = false) {
    SearchRequest request;
    request.Pattern = pattern;
    request.FromByte = from;
    request.Backward = backward;
    request.All = all;
    return SearchDrive(request, Sectors(), {});
  }

  static SearchPattern Text(const std::string& text, bool ignoreCase = false) {
    SearchPattern p;
    p.Bytes.assign(text.begin(), text.end());
    p.IgnoreCase = ignoreCase;
    return p;
  }

  MemoryPlatform platform_;
};

void Plant(std::vector<uint8_t>& bytes, uint64_t at, const std::string& text) {
  std::memcpy(bytes.data() + at, text.data(), text.size());
}

std::vector<uint64_t> Positions(const SearchOutcome& outcome) {
  std::vector<uint64_t> positions;
  for (const SearchMatch& m : outcome.Matches) positions.push_back(m.Sector * kSector + m.Offset);
  return positions;
}

TEST_F(SearchTest, FindsMatchesAcrossBlocksAndAtTheEndInBothDirections) {
  std::vector<uint8_t> bytes(3 * kSearchBlockBytes + 4 * kSector, 0);
  const uint64_t acrossBlocks = kSearchBlockBytes - 3;  // "NEEDLE" straddles the first two blocks
  const uint64_t inLastSector = bytes.size() - 6;
  Plant(bytes, 100, "NEEDLE");
  Plant(bytes, acrossBlocks, "NEEDLE");
  Plant(bytes, 2 * kSearchBlockBytes + 511, "needle");
  Plant(bytes, inLastSector, "NEEDLE");
  Use(bytes);
  const SearchPattern needle = Text("NEEDLE");

  EXPECT_EQ(Positions(Find(needle, 0, false, true)), (std::vector<uint64_t>{100, acrossBlocks, inLastSector}));
  EXPECT_EQ(Positions(Find(needle, 101)), (std::vector<uint64_t>{acrossBlocks}));
  EXPECT_EQ(Positions(Find(needle, bytes.size(), true, true)),
            (std::vector<uint64_t>{inLastSector, acrossBlocks, 100}));
  EXPECT_EQ(Positions(Find(needle, acrossBlocks, true)), (std::vector<uint64_t>{100}));
  EXPECT_EQ(Positions(Find(needle, acrossBlocks + 1, true)), (std::vector<uint64_t>{acrossBlocks}));
  EXPECT_TRUE(Find(needle, inLastSector + 1).Matches.empty());
  EXPECT_EQ(Positions(Find(Text("NeEdLe", true), 0, false, true)),
            (std::vector<uint64_t>{100, acrossBlocks, 2 * kSearchBlockBytes + 511, inLastSector}));
  const SearchOutcome first = Find(needle, 0);
  ASSERT_EQ(first.Matches.size(), 1u);
  EXPECT_EQ(first.Matches[0], (SearchMatch{0, 100}));
  // Large blocks: four reads for 3 MiB and four sectors.
  platform_.Reads = 0;
  Find(Text("absent"), 0);
  EXPECT_EQ(platform_.Reads, 4);
}

TEST_F(SearchTest, UnreadableSectorsAreSkippedCountedAndTheirNeighboursStillSearched) {
  std::vector<uint8_t> bytes(2 * kSearchBlockBytes, 0);
  Plant(bytes, 10 * kSector + 5, "NEAR");   // in the sector after an unreadable one
  Plant(bytes, 8 * kSector + 510, "SPAN");  // runs into the unreadable sector 9
  Plant(bytes, 11 * kSector - 2, "EDGE");   // across two readable sectors of a failed block
  MemoryPlatform::Drive& drive = Use(bytes);
  drive.UnreadableSectors = {9, 3000};
  drive.CachePageBytes = 4096;  // a cached read fails for the whole page around them
  for (const bool backward : {false, true}) {
    SCOPED_TRACE(backward ? "backward" : "forward");
    SearchOutcome all = Find(Text("NEAR"), backward ? bytes.size() : 0, backward, true);
    EXPECT_EQ(Positions(all), (std::vector<uint64_t>{10 * kSector + 5}));
    EXPECT_EQ(all.UnreadableSectors, 2u);
    EXPECT_EQ(all.UnreadableRanges.size(), 2u);
    EXPECT_TRUE(Find(Text("SPAN"), backward ? bytes.size() : 0, backward).Matches.empty());
    EXPECT_EQ(Positions(Find(Text("EDGE"), backward ? bytes.size() : 0, backward)),
              (std::vector<uint64_t>{11 * kSector - 2}));
  }
}

TEST_F(SearchTest, AlignedSearchesAndPresetsLookAtOneOffsetOfEachSector) {
  std::vector<uint8_t> bytes(64 * 4096, 0);
  Plant(bytes, 3 * 4096, "FILE0");
  Plant(bytes, 7 * 4096 + 16, "FILE");  // not at offset 0
  Plant(bytes, 20 * 4096, "FILE");
  Plant(bytes, 30 * 4096, ".");
  Plant(bytes, 30 * 4096 + 32, "..");
  Plant(bytes, 40 * 4096, ".");  // no ".." entry
  Use(bytes, 4096);
  EXPECT_EQ(Find(PresetPattern(SearchPreset::FileRecord), 0, false, true).Matches,
            (std::vector<SearchMatch>{{3, 0}, {20, 0}}));
  EXPECT_EQ(Find(PresetPattern(SearchPreset::FileRecord), 20 * 4096, true).Matches,
            (std::vector<SearchMatch>{{3, 0}}));
  EXPECT_EQ(Find(PresetPattern(SearchPreset::DirectoryCluster), 0, false, true).Matches,
            (std::vector<SearchMatch>{{30, 0}}));
  SearchPattern at16 = Text("file", true);
  at16.AlignedOffset = 16;
  EXPECT_EQ(Find(at16, 0, false, true).Matches, (std::vector<SearchMatch>{{7, 16}}));
  at16.AlignedOffset = 4094;
  EXPECT_NE(CheckPatternFits(at16, 4096), "");
  EXPECT_TRUE(Find(at16, 0).Matches.empty());
}

TEST_F(SearchTest, ProgressCanStopASearchAtOnce) {
  Use(std::vector<uint8_t>(8 * kSearchBlockBytes, 0));
  int calls = 0;
  SearchHooks hooks;
  hooks.Progress = [&](double done) {
    EXPECT_GE(done, 0.0);
    EXPECT_LE(done, 1.0);
    return ++calls < 3;
  };
  SearchRequest request;
  request.Pattern = Text("absent");
  platform_.Reads = 0;
  const SearchOutcome outcome = SearchDrive(request, Sectors(), hooks);
  EXPECT_TRUE(outcome.Stopped);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(platform_.Reads, 2);
}

TEST_F(SearchTest, PatternsAsUsersWriteThem) {
  struct Case {
    const char* text;
    std::vector<uint8_t> bytes;
    const char* error;  // part of it; null when it parses
  };
  const Case cases[] = {
      {"hex:46 49 4C 45", {0x46, 0x49, 0x4C, 0x45}, nullptr},
      {"hex:464c", {0x46, 0x4C}, nullptr},
      {"text:FILE", {'F', 'I', 'L', 'E'}, nullptr},
      {"text:\xC3\xA9", {0xE9}, nullptr},
      {"utf16:Ab", {'A', 0, 'b', 0}, nullptr},
      {"hex:", {}, "empty"},
      {"hex:464", {}, "odd"},
      {"hex:4 6", {}, "lone digit"},
      {"hex:4G", {}, "not a hex digit"},
      {"text:\xD0\x96", {}, "beyond U+00FF"},
      {"FILE", {}, "must begin with"},
  };
  for (const Case& c : cases) {
    std::string error;
    const std::optional<SearchPattern> pattern = ParseSearchPattern(c.text, error);
    if (c.error == nullptr) {
      ASSERT_TRUE(pattern) << c.text << ": " << error;
      EXPECT_EQ(pattern->Bytes, c.bytes) << c.text;
    } else {
      EXPECT_FALSE(pattern) << c.text;
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << ": " << error;
    }
  }
}

// The engine against the plainest search there is, over random drives with short
// patterns that occur often, random unreadable sectors and random starting points.
TEST_F(SearchTest, AgreesWithAByteByByteSearch) {
  std::mt19937 random(20261209);
  for (int round = 0; round < 40; ++round) {
    const size_t sectors = 1 + random() % 5000;
    std::vector<uint8_t> bytes(sectors * kSector);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>('a' + random() % 3);
    const size_t length = 1 + random() % 9;
    std::string needle;
    for (size_t i = 0; i < length; ++i) needle += static_cast<char>('a' + random() % 3);
    MemoryPlatform::Drive& drive = Use(bytes);
    for (int i = 0; i < 3; ++i) drive.UnreadableSectors.insert(random() % sectors);
    const uint64_t from = random() % (bytes.size() + 1);
    const bool backward = random() % 2 == 1;

    std::vector<uint64_t> expected;
    for (uint64_t at = 0; at + length <= bytes.size(); ++at) {
      if (std::memcmp(bytes.data() + at, needle.data(), length) != 0) continue;
      bool readable = true;
      for (uint64_t s = at / kSector; s <= (at + length - 1) / kSector; ++s) readable &= !drive.UnreadableSectors.count(s);
      if (readable && (backward ? at < from : at >= from)) expected.push_back(at);
    }
    if (backward) std::reverse(expected.begin(), expected.end());
    // Odd rounds ignore case: a pattern of letters only is then searched without memchr.
    const bool ignoreCase = round % 2 == 1;
    ASSERT_EQ(Positions(Find(Text(needle, ignoreCase), from, backward, true)), expected)
        << "round " << round << " '" << needle << "' from " << from << (backward ? " backward" : "")
        << (ignoreCase ? " ignoring case" : "");
  }
}

// A search covers the whole volume, past the sectors its file system counts, and falls
// back on that count where the system cannot tell the size.
TEST_F(SearchTest, SearchableSectorsAreTheVolumesSize) {
  MemoryPlatform::Drive& drive = Use(std::vector<uint8_t>(40 * kSector));
  Geometry().TotalSectors = 30;
  EXPECT_EQ(SearchableSectors(), 40u);
  drive.TotalBytes = 25 * kSector + 100;  // a partial sector at the end is not a sector
  EXPECT_EQ(SearchableSectors(), 25u);
  drive.TotalBytes = -1;
  EXPECT_EQ(SearchableSectors(), 30u);
  Use(std::vector<uint8_t>(40 * 4096), 4096);
  Geometry().TotalSectors = 7;
  EXPECT_EQ(SearchableSectors(), 40u);
  Geometry().BytesPerSector = 0;
  EXPECT_EQ(SearchableSectors(), 7u);
}

// Going to a sector takes what the sector field takes: 0 to TotalSectors.
TEST_F(SearchTest, ASectorTargetIsWithinTheSectorField) {
  Use(std::vector<uint8_t>(40 * kSector));
  Geometry().TotalSectors = 40;
  for (const uint64_t sector : {uint64_t{0}, uint64_t{39}, uint64_t{40}}) {
    EXPECT_EQ(LocateTarget({JumpKind::Sector, sector}, NoPump).Sector, sector);
  }
  const Location beyond = LocateTarget({JumpKind::Sector, 41}, NoPump);
  EXPECT_FALSE(beyond.Sector);
  EXPECT_EQ(beyond.Error, "sector 41 is outside the volume (its sectors are 0 to 40)");
  // The other kinds are the volume's own arithmetic: an unknown volume has no clusters.
  EXPECT_FALSE(LocateTarget({JumpKind::Cluster, 2}, NoPump).Sector);
  EXPECT_FALSE(LocateTarget({JumpKind::MftRecord, 0}, NoPump).Sector);
}

}  // namespace
}  // namespace korvalane
