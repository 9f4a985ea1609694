#include "core/text/IsoTime.h"

#include <cstdio>

namespace korvalane {
namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr uint64_t kTicksPerSecond = 10000000;
// Days from 1601-01-01 to 1970-01-01.
constexpr int64_t kFileTimeEpochDays = 134774;

// Days since 1970-01-01 of a proleptic Gregorian date, and back (the era arithmetic
// that libc++ uses for std::chrono::sys_days).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

CivilTime CivilFromSeconds(int64_t seconds) {
  int64_t days = seconds / kSecondsPerDay;
  int64_t rest = seconds % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  const int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  CivilTime t;
  t.Day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  t.Month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  t.Year = static_cast<int>(static_cast<int64_t>(yoe) + era * 400 + (t.Month <= 2));
  t.Hour = static_cast<int>(rest / 3600);
  t.Minute = static_cast<int>(rest / 60 % 60);
  t.Second = static_cast<int>(rest % 60);
  return t;
}

int64_t SecondsOf(const CivilTime& t) {
  return DaysFromCivil(t.Year, static_cast<unsigned>(t.Month), static_cast<unsigned>(t.Day)) * kSecondsPerDay +
         int64_t{t.Hour} * 3600 + int64_t{t.Minute} * 60 + t.Second;
}

}  // namespace

bool IsCalendarTime(const CivilTime& t) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (t.Month < 1 || t.Month > 12 || t.Day < 1) return false;
  const bool leap = t.Year % 4 == 0 && (t.Year % 100 != 0 || t.Year % 400 == 0);
  const int days = kDays[t.Month - 1] + (t.Month == 2 && leap ? 1 : 0);
  return t.Day <= days && t.Hour >= 0 && t.Hour <= 23 && t.Minute >= 0 && t.Minute <= 59 && t.Second >= 0 &&
         t.Second <= 59;
}

std::string UnixTimeIso8601(int64_t seconds, SecondFraction fraction) {
  const CivilTime t = CivilFromSeconds(seconds);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d", t.Year, t.Month, t.Day, t.Hour, t.Minute,
                t.Second);
  std::string out = text;
  // Nine digits (nanoseconds) are the most any format keeps.
  uint32_t limit = 1;
  for (int i = 0; i < fraction.Digits && i < 9; ++i) limit *= 10;
  if (fraction.Digits > 0 && fraction.Digits <= 9 && fraction.Value < limit) {
    std::snprintf(text, sizeof text, ".%0*u", fraction.Digits, static_cast<unsigned>(fraction.Value));
    out += text;
  }
  return out + 'Z';
}

std::string FileTimeIso8601(uint64_t fileTime) {
  const auto seconds = static_cast<int64_t>(fileTime / kTicksPerSecond) - kFileTimeEpochDays * kSecondsPerDay;
  return UnixTimeIso8601(seconds, {static_cast<uint32_t>(fileTime % kTicksPerSecond), 7});
}

std::optional<std::string> WallClockIso8601(const CivilTime& time, int32_t offsetMinutes, SecondFraction fraction) {
  if (!IsCalendarTime(time)) return std::nullopt;
  return UnixTimeIso8601(SecondsOf(time) - int64_t{offsetMinutes} * 60, fraction);
}

std::optional<int64_t> LocalTimeSeconds(const CivilTime& local) {
  if (!IsCalendarTime(local)) return std::nullopt;
  // Read the wall clock as if it were UTC, ask the platform what local time that moment
  // is, and take the difference as the zone's offset; asked again at the moment that
  // offset gives, so that a stamp next to a daylight-saving change takes its own side.
  const int64_t asUtc = SecondsOf(local);
  const auto offsetAt = [](int64_t seconds) -> std::optional<int64_t> {
    if (seconds < -kFileTimeEpochDays * kSecondsPerDay) return std::nullopt;
    const int64_t ticks = (seconds + kFileTimeEpochDays * kSecondsPerDay) * static_cast<int64_t>(kTicksPerSecond);
    const std::optional<CivilTime> shown = CurrentPlatform().FileTimeToLocal(static_cast<uint64_t>(ticks));
    if (!shown) return std::nullopt;
    CivilTime whole = *shown;
    whole.Millisecond = 0;
    return SecondsOf(whole) - seconds;
  };
  std::optional<int64_t> offset = offsetAt(asUtc);
  if (!offset) return std::nullopt;
  if (const std::optional<int64_t> again = offsetAt(asUtc - *offset)) offset = again;
  return asUtc - *offset;
}

std::optional<std::string> LocalTimeIso8601(const CivilTime& local, SecondFraction fraction) {
  const std::optional<int64_t> seconds = LocalTimeSeconds(local);
  if (!seconds) return std::nullopt;
  return UnixTimeIso8601(*seconds, fraction);
}

}  // namespace korvalane
