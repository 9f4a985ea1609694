// The record of unreadable sectors and the ddrescue mapfile made from it. That ddrescue's
// own tools read these maps as meant is tested against them on real faults
// (tests/posix/export_faults_test.cpp); here, the areas of each kind of outcome.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/export/RescueMap.h"

namespace korvalane {
namespace {

UnreadableSectors Sectors(const std::vector<uint64_t>& sectors) {
  UnreadableSectors unreadable;
  for (const uint64_t s : sectors) unreadable.Add(s);
  return unreadable;
}

// The lines after the two comment headers: the status line and the areas.
std::vector<std::string> MapLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    if (!line.empty() && line[0] != '#') lines.push_back(line);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return lines;
}

TEST(RescueMap, NeighbouringSectorsShareARange) {
  const UnreadableSectors unreadable = Sectors({1, 2, 3, 7, 3, 9, 10});  // 3 twice: counted once
  ASSERT_EQ(unreadable.Ranges().size(), 3u);
  EXPECT_EQ(unreadable.Count(), 6u);
  EXPECT_EQ(UnreadableSectorsText(unreadable.Ranges(), 16), "1-3, 7, 9-10");
  EXPECT_EQ(UnreadableSectorsText(unreadable.Ranges(), 2), "1-3, 7, ...");
  EXPECT_EQ(UnreadableSectorsText({}, 16), "");
  // Sector numbers beyond 32 bits are written in full.
  EXPECT_EQ(UnreadableSectorsText(Sectors({5000000000, 5000000001}).Ranges(), 16), "5000000000-5000000001");
}

TEST(RescueMap, AreasInSourcePositionsWithoutGaps) {
  struct Case {
    const char* name;
    SectorRange range;
    uint64_t sourceBytes;
    uint64_t done;
    std::vector<uint64_t> bad;
    bool finished;
    std::vector<std::string> lines;
    uint64_t firstByte = 0;  // where the drive starts in its source
  };
  const Case cases[] = {
      {"all copied from sector 0", {0, 4}, 0, 4, {}, true,
       {"0x00000800     +               1", "0x00000000  0x00000800  +"}},
      {"a range inside the source", {4, 12}, 16 * 512, 8, {5, 6, 11}, true,
       {"0x00001800     +               1", "0x00000000  0x00000800  ?", "0x00000800  0x00000200  +",
        "0x00000A00  0x00000400  -", "0x00000E00  0x00000800  +", "0x00001600  0x00000200  -",
        "0x00001800  0x00000800  ?"}},
      {"stopped after three sectors", {4, 12}, 0, 3, {4}, false,
       {"0x00000E00     ?               1", "0x00000000  0x00000800  ?", "0x00000800  0x00000200  -",
        "0x00000A00  0x00000400  +", "0x00000E00  0x00000A00  ?"}},
      // The write of sectors 2 on failed: sector 5, unreadable, did not reach the file either.
      {"a write failed", {0, 8}, 0, 2, {5}, false,
       {"0x00000400     ?               1", "0x00000000  0x00000400  +", "0x00000400  0x00000C00  ?"}},
      {"every sector unreadable", {2, 4}, 4 * 512, 2, {2, 3}, true,
       {"0x00000800     +               1", "0x00000000  0x00000400  ?", "0x00000400  0x00000400  -"}},
      {"an empty range", {0, 0}, 0, 0, {}, true, {"0x00000000     +               1"}},
      {"beyond 4 GiB", {8388608, 8388610}, 0, 2, {8388609}, true,
       {"0x100000400     +               1", "0x00000000  0x100000000  ?", "0x100000000  0x00000200  +",
        "0x100000200  0x00000200  -"}},
      // Sectors 2-3 of a partition that starts at byte 0x100000 of a 2 MiB disk.
      {"in a partition", {2, 4}, 2 << 20, 2, {3}, true,
       {"0x00100800     +               1", "0x00000000  0x00100400  ?", "0x00100400  0x00000200  +",
        "0x00100600  0x00000200  -", "0x00100800  0x000FF800  ?"},
       0x100000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const UnreadableSectors unreadable = Sectors(c.bad);
    RescueMapFacts facts;
    facts.Range = c.range;
    facts.BytesPerSector = 512;
    facts.DriveFirstByte = c.firstByte;
    facts.SourceBytes = c.sourceBytes;
    facts.SectorsDone = c.done;
    facts.Unreadable = &unreadable;
    facts.Finished = c.finished;
    const std::optional<std::string> text = RescueMapText(facts);
    ASSERT_TRUE(text);
    EXPECT_EQ(MapLines(*text), c.lines);
  }
}

TEST(RescueMap, CommentsStayCommentsAndImpossiblePositionsGiveNoMap) {
  RescueMapFacts facts;
  facts.Range = {0, 1};
  facts.BytesPerSector = 512;
  facts.SectorsDone = 1;
  facts.Comments = {"Source: a\nb\r.img"};
  const std::optional<std::string> text = RescueMapText(facts);
  ASSERT_TRUE(text);
  EXPECT_EQ(text->substr(0, text->find('\n')), "# Source: a?b?.img");
  EXPECT_EQ(MapLines(*text).size(), 2u);

  // ddrescue's positions are signed 64-bit numbers.
  facts.Range = {0, (uint64_t{1} << 63) / 512 + 1};
  EXPECT_FALSE(RescueMapText(facts));
  facts.Range = {0, 1};
  facts.BytesPerSector = 0;
  EXPECT_FALSE(RescueMapText(facts));
}

}  // namespace
}  // namespace korvalane
