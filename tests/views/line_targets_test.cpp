// Where the lines of a view point: the first cluster of a FAT listing entry, the first
// cluster of a data run (of a record and of the MFT in the details report), the parent of
// an NTFS record; and the lines that look alike but point nowhere.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/views/LineTargets.h"

namespace korvalane {
namespace {

const ViewText kRecord = {
    u"File BIG.DAT",
    u"MFT record 64",
    u"Parent MFT record 5",
    u"File size 300000 b",
    u"Date/Time 2024-01-31 12:00:00",
    u"",
    u"Start cluster - clusters count:",
    u"1201 - 40",
    u"-7 - 3",
    u"99999999999999999999999 - 1",
    u"2000 - 12",
};

const ViewText kDetails = {u"MFT parts - 2", u"", u"MFT cluster - clusters count:", u"4 - 16", u"3000 - 8"};

const ViewText kListing = {
    u".  2024/01/31 12:00, size 0 b, cluster 7",
    u"..  2024/01/31 12:00, size 0 b, cluster 0",
    u"a, cluster 9  2024/02/01 09:30, size 5 b, cluster 4294967295",
    u"EMPTY.TXT  2024/02/01 09:30, size 0 b, cluster 1",
    u"  2024/02/01 09:30, size 5 b, cluster 30",
    u"NAME  2024/2/01 09:30, size 5 b, cluster 30",
    u"NAME  2024/02/01 09:30, size b, cluster 30",
    u"NAME  2024/02/01 09:30, size 5 b, cluster 99999999999999999999",
};

TEST(LineTargets, EachLineAndWhereItPoints) {
  struct Case {
    const ViewText* view;
    size_t line;
    std::optional<JumpTarget> expected;
  };
  const auto cluster = [](uint64_t n) { return std::optional<JumpTarget>(JumpTarget{JumpKind::Cluster, n}); };
  const Case cases[] = {
      {&kRecord, 1, std::nullopt},  // the record's own number
      {&kRecord, 2, JumpTarget{JumpKind::MftRecord, 5}},
      {&kRecord, 6, std::nullopt},  // the heading
      {&kRecord, 7, cluster(1201)},
      {&kRecord, 8, std::nullopt},  // a corrupt run before the volume
      {&kRecord, 9, std::nullopt},  // beyond 64 bits
      {&kRecord, 10, cluster(2000)},  // runs below a corrupt one still belong to the list
      {&kRecord, 11, std::nullopt},   // past the last line
      {&kDetails, 3, cluster(4)},
      {&kDetails, 4, cluster(3000)},
      {&kListing, 0, cluster(7)},
      {&kListing, 1, std::nullopt},  // ".." naming the root
      {&kListing, 2, cluster(4294967295)},
      {&kListing, 3, std::nullopt},  // cluster 1 is no data cluster either
      {&kListing, 4, std::nullopt},  // no name
      {&kListing, 5, std::nullopt},
      {&kListing, 6, std::nullopt},
      {&kListing, 7, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TargetOfLine(*c.view, c.line), c.expected) << "line " << c.line << " of a view of " << c.view->size();
  }
}

// Lines that would point somewhere in their own report point nowhere out of it: the text
// view of a sector that happens to hold such words, runs with no heading above them.
TEST(LineTargets, OnlyInTheirPlaceInAReport) {
  const ViewText parentAfterOther = {u"File x", u"Date/Time ?", u"Parent MFT record 5"};
  EXPECT_EQ(TargetOfLine(parentAfterOther, 2), std::nullopt);
  const ViewText runsAfterAGap = {u"Start cluster - clusters count:", u"", u"12 - 3"};
  EXPECT_EQ(TargetOfLine(runsAfterAGap, 2), std::nullopt);
  const ViewText paddedText = {std::u16string(u"Parent MFT record 5") + std::u16string(45, u' ')};
  EXPECT_EQ(TargetOfLine(paddedText, 0), std::nullopt);
}

}  // namespace
}  // namespace korvalane
