// The GNU ddrescue mapfile reader on maps as ddrescue writes them and as they come spoilt:
// what it reads must be the map's areas, in order and disjoint, with each fault named.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/rescue/Mapfile.h"

namespace korvalane {
namespace {

std::string Areas(const Mapfile& map) {
  std::string text;
  for (const MapArea& area : map.Areas) {
    text += std::to_string(area.Position) + "+" + std::to_string(area.Size) + area.Status + " ";
  }
  return text;
}

TEST(MapfileTest, ReadsAreasAndNamesFaults) {
  struct Case {
    std::string Text;
    std::string Areas;     // empty: refused
    size_t Problems;
  };
  const std::vector<Case> cases = {
      // As ddrescue writes it: comments, the status line with its pass, hex areas.
      {"# Mapfile\n# current_pos  current_status  current_pass\n0x00000200     +               1\n"
       "#      pos        size  status\n0x00000000  0x00000200  +\n0x00000200  0x00000400  -\n",
       "0+512+ 512+1024- ", 0},
      // Decimal numbers, an older status line without the pass, CR LF line ends.
      {"0 +\r\n0 100 +\r\n100 50 *\r\n150 10 /\r\n", "0+100+ 100+50* 150+10/ ", 0},
      // A gap is non-tried; areas of size 0 are dropped.
      {"0 +\n0 100 +\n100 0 -\n200 100 +\n", "0+100+ 100+100? 200+100+ ", 1},
      // Out of order and overlapping: sorted, and the worse state holds where they meet.
      {"0 +\n100 100 +\n0 150 -\n", "0+150- 150+50+ ", 2},
      // Cut off in the middle of its last line.
      {"0 +\n0 100 +\n100 2", "0+100+ ", 1},
      // No status line: the first line is taken as an area.
      {"0 100 +\n100 100 -\n", "0+100+ 100+100- ", 1},
      // Not a map, a state that is none, a number past 64 bits, an area past 2^64.
      {"hello world\n0 1 +\n", "", 0},
      {"0 +\n0 100 x\n", "", 0},
      {"0 +\n0x10000000000000000 1 +\n", "", 0},
      {"0 +\n0xFFFFFFFFFFFFFFFF 2 +\n", "", 0},
      {"", "", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Text);
    std::string why;
    const std::optional<Mapfile> map = ParseMapfile(c.Text, &why);
    if (c.Areas.empty()) {
      EXPECT_FALSE(map);
      EXPECT_FALSE(why.empty());
      continue;
    }
    ASSERT_TRUE(map) << why;
    EXPECT_EQ(Areas(*map), c.Areas);
    EXPECT_EQ(map->Problems.size(), c.Problems);
  }
}

TEST(MapfileTest, UnfinishedAreasOfAPartOfTheSource) {
  std::string why;
  const std::optional<Mapfile> map = ParseMapfile("0 +\n0 1000 +\n1000 24 -\n1024 1000 +\n2024 100 ?\n", &why);
  ASSERT_TRUE(map);
  // The part from byte 1012 on, 1100 bytes: the bad area's tail and the non-tried one's head.
  const std::vector<MapArea> within = UnfinishedWithin(*map, 1012, 1100);
  ASSERT_EQ(within.size(), 2u);
  EXPECT_EQ(within[0].Position, 0u);
  EXPECT_EQ(within[0].Size, 12u);
  EXPECT_EQ(within[1].Position, 1012u);
  EXPECT_EQ(within[1].Size, 88u);
}

}  // namespace
}  // namespace korvalane
