#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/Platform.h"

namespace korvalane {

// Times for scripts: ISO 8601 in UTC, the year in full, with as many digits of the
// second's fraction as the format keeps ("2026-12-09T06:26:10.1234567Z" for a FILETIME's
// 100 ns, none for a FAT stamp's two seconds).

// A fraction of a second: `Value` units of 10^-`Digits` seconds; no digits, none kept.
struct SecondFraction {
  uint32_t Value = 0;
  int Digits = 0;
};

// Whether the fields name a real moment: a month of 1 to 12, a day that month has (29
// February in leap years only), hours 0 to 23, minutes and seconds 0 to 59.
bool IsCalendarTime(const CivilTime& time);

// Seconds since 1970-01-01 UTC: "2021-06-15T12:34:56Z". A fraction that does not fit its
// digits (a damaged nanosecond field) is left out, the whole seconds still shown.
std::string UnixTimeIso8601(int64_t seconds, SecondFraction fraction = {});

// A FILETIME (100 ns ticks since 1601-01-01 UTC), its seven digits of fraction always
// written: "2026-12-09T06:26:10.0000000Z".
std::string FileTimeIso8601(uint64_t fileTime);

// A wall-clock time kept with its offset east of UTC in minutes (exFAT's stamps), as the
// moment in UTC. Nothing when the fields are no calendar time.
std::optional<std::string> WallClockIso8601(const CivilTime& time, int32_t offsetMinutes,
                                            SecondFraction fraction = {});

// A wall-clock time as this machine's clock shows it (how FAT keeps its stamps, with no
// zone), as the moment in UTC: the offset taken is the one the platform's
// FileTimeToLocal gives near it. Nothing when the fields are no calendar time or the
// platform cannot convert times.
std::optional<std::string> LocalTimeIso8601(const CivilTime& local, SecondFraction fraction = {});

// The same moment as seconds since 1970-01-01 UTC.
std::optional<int64_t> LocalTimeSeconds(const CivilTime& local);

}  // namespace korvalane
