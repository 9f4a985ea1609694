// Times for scripts: FILETIMEs and Unix times across the calendar's corners with the
// fraction each format keeps, wall-clock stamps brought to UTC by their offset, and the
// stamps that are no calendar time (a FAT or exFAT date field holds any day 0 to 31 in any
// month 0 to 15).
#include <gtest/gtest.h>

#include "core/text/IsoTime.h"

namespace korvalane {
namespace {

TEST(IsoTimeTest, FileTimesInUtcWithTheirHundredNanoseconds) {
  struct Case {
    uint64_t fileTime;
    const char* expected;
  };
  const Case cases[] = {
      {0, "1601-01-01T00:00:00.0000000Z"},
      {116444736000000000u, "1970-01-01T00:00:00.0000000Z"},
      {125911584000000000u, "2000-01-01T00:00:00.0000000Z"},
      {125912102399999999u, "2000-01-01T14:23:59.9999999Z"},
      {125962560000000001u, "2000-02-29T00:00:00.0000001Z"},  // a leap day of a 400th year
      {134116983700000000u, "2025-12-31T23:46:10.0000000Z"},
      {UINT64_MAX, "60056-05-28T05:36:10.9551615Z"},  // the largest FILETIME: five digits of year
  };
  for (const Case& c : cases) EXPECT_EQ(FileTimeIso8601(c.fileTime), c.expected) << c.fileTime;
}

TEST(IsoTimeTest, UnixTimesWithTheFractionTheFormatKeeps) {
  struct Case {
    int64_t seconds;
    SecondFraction fraction;
    const char* expected;
  };
  const Case cases[] = {
      {0, {}, "1970-01-01T00:00:00Z"},
      {1623760496, {}, "2021-06-15T12:34:56Z"},
      {1623760496, {5, 9}, "2021-06-15T12:34:56.000000005Z"},     // ext's nanoseconds
      {1623760496, {999999999, 9}, "2021-06-15T12:34:56.999999999Z"},
      {1623760496, {7, 2}, "2021-06-15T12:34:56.07Z"},            // exFAT's hundredths
      {1623760496, {1000000000, 9}, "2021-06-15T12:34:56Z"},      // a damaged nanosecond field
      {-2147483648, {}, "1901-12-13T20:45:52Z"},                  // ext's earliest 32-bit time
      {int64_t{3} << 32 | 0x7FFFFFFF, {}, "2446-05-10T22:38:55Z"},  // ext's latest, with its epoch bits
  };
  for (const Case& c : cases) EXPECT_EQ(UnixTimeIso8601(c.seconds, c.fraction), c.expected) << c.seconds;
}

TEST(IsoTimeTest, WallClockStampsMoveToUtcByTheirOffset) {
  struct Case {
    CivilTime time;
    int32_t offsetMinutes;
    SecondFraction fraction;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {{2009, 3, 7, 14, 5, 0, 0}, 60, {}, "2009-03-07T13:05:00Z"},
      {{2009, 3, 7, 14, 5, 0, 0}, -570, {}, "2009-03-07T23:35:00Z"},
      {{2009, 3, 7, 0, 30, 0, 0}, 60, {50, 2}, "2009-03-06T23:30:00.50Z"},  // back over midnight
      {{2000, 1, 1, 0, 0, 0, 0}, 0, {}, "2000-01-01T00:00:00Z"},
      {{1980, 0, 0, 0, 0, 0, 0}, 0, {}, std::nullopt},  // an all-zero FAT stamp
      {{2021, 2, 30, 0, 0, 0, 0}, 0, {}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WallClockIso8601(c.time, c.offsetMinutes, c.fraction), c.expected) << c.offsetMinutes;
  }
}

TEST(IsoTimeTest, CalendarChecks) {
  EXPECT_TRUE(IsCalendarTime(CivilTime{2000, 2, 29, 23, 59, 59, 0}));
  EXPECT_FALSE(IsCalendarTime(CivilTime{2100, 2, 29, 0, 0, 0, 0}));  // not a leap year
  EXPECT_FALSE(IsCalendarTime(CivilTime{2021, 4, 31, 0, 0, 0, 0}));
  EXPECT_FALSE(IsCalendarTime(CivilTime{1980, 0, 0, 0, 0, 0, 0}));  // an all-zero FAT stamp
  EXPECT_FALSE(IsCalendarTime(CivilTime{2021, 6, 15, 24, 0, 0, 0}));
  EXPECT_FALSE(IsCalendarTime(CivilTime{2021, 6, 15, 12, 60, 0, 0}));
}

}  // namespace
}  // namespace korvalane
