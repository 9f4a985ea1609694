#include "core/structures/Inspector.h"

#include <cstdio>

#include "core/Bytes.h"
#include "core/model/Structure.h"

namespace korvalane {
namespace {

constexpr char kMissing[] = "-";

uint64_t ReadBe(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[offset + i];
  return value;
}

int64_t SignExtend(uint64_t value, size_t width) {
  if (width >= 8) return static_cast<int64_t>(value);
  const uint64_t sign = uint64_t{1} << (8 * width - 1);
  return static_cast<int64_t>((value ^ sign) - sign);
}

// Days since 1970-01-01 to a calendar date (the proleptic Gregorian calendar).
void CivilFromDays(int64_t days, int64_t& year, unsigned& month, unsigned& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const unsigned mp = (5 * dayOfYear + 2) / 153;
  day = dayOfYear - (153 * mp + 2) / 5 + 1;
  month = mp < 10 ? mp + 3 : mp - 9;
  year = static_cast<int64_t>(yearOfEra) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

std::string UnixTimeText(int64_t seconds) {
  const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t second = seconds - days * 86400;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  CivilFromDays(days, year, month, day);
  char text[96];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02lld:%02lld:%02lld UTC", static_cast<long long>(year), month,
                day, static_cast<long long>(second / 3600), static_cast<long long>(second / 60 % 60),
                static_cast<long long>(second % 60));
  return text;
}

std::vector<InspectedValue> InspectBytes(std::span<const uint8_t> bytes, size_t offset) {
  std::vector<InspectedValue> values;
  for (const size_t width : {size_t{1}, size_t{2}, size_t{4}, size_t{8}}) {
    const std::string bits = std::to_string(8 * width);
    const bool fits = Fits(bytes, offset, width);
    const uint64_t le = fits ? ReadLe(bytes, offset, width) : 0;
    const uint64_t be = fits ? ReadBe(bytes, offset, width) : 0;
    if (width == 1) {
      values.push_back({"u8", fits ? std::to_string(le) : kMissing});
      values.push_back({"s8", fits ? std::to_string(SignExtend(le, 1)) : kMissing});
      continue;
    }
    values.push_back({"u" + bits + " LE", fits ? std::to_string(le) : kMissing});
    values.push_back({"u" + bits + " BE", fits ? std::to_string(be) : kMissing});
    values.push_back({"s" + bits + " LE", fits ? std::to_string(SignExtend(le, width)) : kMissing});
    values.push_back({"s" + bits + " BE", fits ? std::to_string(SignExtend(be, width)) : kMissing});
  }
  const bool four = Fits(bytes, offset, 4);
  const bool eight = Fits(bytes, offset, 8);
  values.push_back({"FILETIME", eight ? FileTimeText(ReadLe64(bytes, offset)) : kMissing});
  if (four) {
    const uint16_t time = ReadLe16(bytes, offset);
    const uint16_t date = ReadLe16(bytes, offset + 2);
    values.push_back({"DOS time and date", DosDateText(date) + " " + DosTimeText(time)});
  } else {
    values.push_back({"DOS time and date", kMissing});
  }
  values.push_back({"Unix time", four ? UnixTimeText(static_cast<int32_t>(ReadLe32(bytes, offset))) : kMissing});
  if (four) {
    const uint32_t stamp = ReadLe32(bytes, offset);
    values.push_back({"exFAT timestamp", DosDateText(static_cast<uint16_t>(stamp >> 16)) + " " +
                                             DosTimeText(static_cast<uint16_t>(stamp))});
  } else {
    values.push_back({"exFAT timestamp", kMissing});
  }
  values.push_back({"GUID", Fits(bytes, offset, 16) ? GuidText(bytes, offset) : kMissing});
  return values;
}

}  // namespace korvalane
