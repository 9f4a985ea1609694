// Times for scripts: FILETIMEs across the calendar's corners, and the stamps that are no
// calendar time (a FAT or exFAT date field holds any day 0 to 31 in any month 0 to 15).
#include <gtest/gtest.h>

#include "core/text/IsoTime.h"

namespace korvalane {
namespace {

TEST(IsoTimeTest, FileTimesInUtc) {
  struct Case {
    uint64_t fileTime;
    const char* expected;
  };
  const Case cases[] = {
      {0, "1601-01-01T00:00:00Z"},
      {116444736000000000u, "1970-01-01T00:00:00Z"},
      {125911584000000000u, "2000-01-01T00:00:00Z"},
      {125912102399999999u, "2000-01-01T14:23:59Z"},  // the fraction is dropped
      {125962560000000000u, "2000-02-29T00:00:00Z"},  // a leap day of a 400th year
      {134116983700000000u, "2025-12-31T23:46:10Z"},
      {UINT64_MAX, "60056-05-28T05:36:10Z"},  // the largest FILETIME: five digits of year
  };
  for (const Case& c : cases) EXPECT_EQ(FileTimeIso8601(c.fileTime), c.expected) << c.fileTime;
}

TEST(IsoTimeTest, OffsetsAndCalendarChecks) {
  EXPECT_EQ(Iso8601(CivilTime{2009, 3, 7, 14, 5, 0, 0}, 60), "2009-03-07T14:05:00+01:00");
  EXPECT_EQ(Iso8601(CivilTime{2009, 3, 7, 14, 5, 0, 0}, -570), "2009-03-07T14:05:00-09:30");
  EXPECT_TRUE(IsCalendarTime(CivilTime{2000, 2, 29, 23, 59, 59, 0}));
  EXPECT_FALSE(IsCalendarTime(CivilTime{2100, 2, 29, 0, 0, 0, 0}));  // not a leap year
  EXPECT_FALSE(IsCalendarTime(CivilTime{2021, 4, 31, 0, 0, 0, 0}));
  EXPECT_FALSE(IsCalendarTime(CivilTime{1980, 0, 0, 0, 0, 0, 0}));  // an all-zero FAT stamp
  EXPECT_FALSE(IsCalendarTime(CivilTime{2021, 6, 15, 24, 0, 0, 0}));
  EXPECT_FALSE(IsCalendarTime(CivilTime{2021, 6, 15, 12, 60, 0, 0}));
}

}  // namespace
}  // namespace korvalane
