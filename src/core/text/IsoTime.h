#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/Platform.h"

namespace korvalane {

// Times for scripts, in ISO 8601 with the year in full and the offset from UTC.

// Whether the fields name a real moment: a month of 1 to 12, a day that month has (29
// February in leap years only), hours 0 to 23, minutes and seconds 0 to 59.
bool IsCalendarTime(const CivilTime& time);

// A calendar time and its offset east of UTC in minutes: "2009-03-07T14:05:00+01:00",
// or with "Z" for an offset of 0. Fields outside their calendar ranges are written as
// they are (a damaged stamp stays visible as damaged).
std::string Iso8601(const CivilTime& time, int32_t offsetMinutes);

// A FILETIME (100 ns ticks since 1601-01-01 UTC) in UTC, whole seconds:
// "2026-12-09T06:26:10Z".
std::string FileTimeIso8601(uint64_t fileTime);

// A wall-clock time as this machine's clock shows it (how FAT keeps its stamps), with the
// local offset of that moment: the offset the platform's FileTimeToLocal gives near it.
// Nothing when the platform cannot convert times.
std::optional<std::string> LocalTimeIso8601(const CivilTime& local);

}  // namespace korvalane
