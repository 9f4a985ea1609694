#include "platform/memory/MemoryPlatform.h"

#include <algorithm>
#include <cstdio>

#include "core/text/NumberFormat.h"

namespace korvalane {
namespace {

char LetterOf(std::string_view drive) {
  if (drive.empty()) return 0;
  const char c = drive[0];
  return static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
}

// Days since 1970-01-01 to a proleptic Gregorian date (Howard Hinnant's algorithm).
void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  days += 719468;
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t mp = (5 * dayOfYear + 2) / 153;
  day = static_cast<int>(dayOfYear - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

MemoryPlatform::Drive& MemoryPlatform::AddDrive(char letter, std::vector<uint8_t> bytes, uint32_t sectorSize) {
  // A drive replaced is a medium changed: what was kept open of it is gone.
  if (kept_ == letter) ReleaseVolumes();
  Drive& drive = drives_[letter];
  drive = Drive{};
  drive.Bytes = std::move(bytes);
  drive.SectorSize = sectorSize;
  return drive;
}

void MemoryPlatform::RemoveDrive(char letter) {
  if (kept_ == letter) ReleaseVolumes();
  drives_.erase(letter);
}

void MemoryPlatform::ReleaseVolumes() {
  if (kept_ != 0) ++Closes;
  kept_ = 0;
}

MemoryPlatform::Drive* MemoryPlatform::Find(std::string_view drive) {
  const auto it = drives_.find(LetterOf(drive));
  return it == drives_.end() ? nullptr : &it->second;
}

bool MemoryPlatform::ReadVolume(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) {
  return Read(drive, position, buffer, false);
}

bool MemoryPlatform::ReadVolumeDirect(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) {
  return Read(drive, position, buffer, true);
}

bool MemoryPlatform::Read(std::string_view drive, uint64_t position, std::span<uint8_t> buffer, bool direct) {
  // Whatever the read does not deliver is zero; fill first, then copy over it.
  std::fill(buffer.begin(), buffer.end(), uint8_t{0});
  Drive* d = Find(drive);
  if (d == nullptr) return false;
  if (d->FailOpen) {
    // A medium that went away fails even where it was open.
    if (kept_ == LetterOf(drive)) ReleaseVolumes();
    return false;
  }
  if (kept_ != LetterOf(drive)) {
    ReleaseVolumes();
    ++Opens;
    kept_ = LetterOf(drive);
  }
  ++Reads;
  if (direct) ++DirectReads;
  const bool ok = [&] {
    if (BeforeRead && !BeforeRead(drive, position, buffer.size())) return false;
    const uint64_t size = d->Bytes.size();
    if (position % d->SectorSize != 0 || buffer.size() % d->SectorSize != 0) return false;
    if (position > size || buffer.size() > size - position) return false;
    // A cached read fetches whole pages, and fails with any bad sector in them.
    uint64_t first = position;
    uint64_t end = position + buffer.size();
    if (!direct && d->CachePageBytes != 0) {
      first = first / d->CachePageBytes * d->CachePageBytes;
      end = (end + d->CachePageBytes - 1) / d->CachePageBytes * d->CachePageBytes;
    }
    for (uint64_t s = first / d->SectorSize; s < end / d->SectorSize; ++s) {
      if (d->UnreadableSectors.count(s) != 0) return false;
    }
    const size_t count = std::min(buffer.size(), d->DeliverAtMost.value_or(buffer.size()));
    std::copy_n(d->Bytes.begin() + static_cast<std::ptrdiff_t>(position), count, buffer.begin());
    return true;
  }();
  if (!ok) std::fill(buffer.begin(), buffer.end(), uint8_t{0});
  return ok;
}

std::optional<std::string> MemoryPlatform::FileSystemName(std::string_view rootPath) {
  FileSystemQueries.emplace_back(rootPath);
  Drive* d = Find(rootPath);
  return d != nullptr ? d->FileSystemName : std::nullopt;
}

uint32_t MemoryPlatform::LogicalDrives() {
  uint32_t mask = 0;
  for (const auto& [letter, drive] : drives_) {
    if (letter >= 'A' && letter <= 'Z') mask |= 1u << (letter - 'A');
  }
  return mask;
}

int64_t MemoryPlatform::VolumeTotalBytes(std::string_view drive) {
  Drive* d = Find(drive);
  if (d == nullptr || d->FailOpen) return -1;
  return d->TotalBytes.value_or(static_cast<int64_t>(d->Bytes.size()));
}

bool MemoryPlatform::IsDriveAccessible(std::string_view drive) {
  Drive* d = Find(drive);
  return d != nullptr && !d->FailOpen;
}

std::string MemoryPlatform::DriveSource(std::string_view drive) {
  Drive* d = Find(drive);
  return d != nullptr ? d->Source : std::string();
}

std::string MemoryPlatform::DriveDescription(std::string_view drive) {
  Drive* d = Find(drive);
  if (d == nullptr) return {};
  return d->Description.empty() ? d->Source : d->Description;
}

bool MemoryPlatform::DriveIsPartition(std::string_view drive) {
  Drive* d = Find(drive);
  return d != nullptr && d->IsPartition;
}

uint32_t MemoryPlatform::DiskSectorSize(std::string_view drive) {
  Drive* d = Find(drive);
  return d != nullptr && d->IsPartition ? d->SectorSize : 0;
}

std::string MemoryPlatform::OpenError(std::string_view drive) {
  Drive* d = Find(drive);
  if (d == nullptr) return "no such drive";
  return d->FailOpen ? (d->OpenError.empty() ? std::string("cannot be opened") : d->OpenError) : std::string();
}

std::optional<CivilTime> MemoryPlatform::FileTimeToLocal(uint64_t fileTime) {
  if (fileTime >= (uint64_t{1} << 63)) return std::nullopt;
  const int64_t seconds = static_cast<int64_t>(fileTime / 10000000) - 11644473600;
  CivilTime civil;
  const int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const int64_t secondOfDay = seconds - days * 86400;
  CivilFromDays(days, civil.Year, civil.Month, civil.Day);
  civil.Hour = static_cast<int>(secondOfDay / 3600);
  civil.Minute = static_cast<int>(secondOfDay / 60 % 60);
  civil.Second = static_cast<int>(secondOfDay % 60);
  civil.Millisecond = static_cast<int>(fileTime / 10000 % 1000);
  return civil;
}

std::u16string MemoryPlatform::FormatDateTime(const CivilTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.Year, t.Month, t.Day, t.Hour,
                t.Minute, t.Second);
  return Ascii(text);
}

bool MemoryPlatform::OpenLink(std::string_view url) {
  OpenedLinks.emplace_back(url);
  return true;
}

}  // namespace korvalane
