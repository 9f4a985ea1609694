#include "platform/posix/PosixPlatform.h"

#include <blkid/blkid.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <cstdlib>
#include <ctime>
#include <utility>

#include "core/text/Utf.h"
#include "platform/posix/MdSource.h"
#include "platform/posix/udisks/AuthorizedSource.h"

extern char** environ;

namespace korvalane {
namespace {

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kFileTimeToUnixSeconds = 11644473600;

std::string Strftime(const char* format, const std::tm& tm) {
  char text[256];
  const size_t length = std::strftime(text, sizeof text, format, &tm);
  return std::string(text, length);
}

}  // namespace

bool PosixPlatform::ReadVolume(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) {
  return Read(drive, position, buffer, false);
}

bool PosixPlatform::ReadVolumeDirect(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) {
  return Read(drive, position, buffer, true);
}

bool PosixPlatform::Read(std::string_view drive, uint64_t position, std::span<uint8_t> buffer, bool direct) {
  const auto refuse = [&] {
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    return false;
  };
  const DriveEntry* entry = Readable(drive, position, buffer.size());
  if (entry == nullptr) return refuse();
  Keep(entry->From);
  if (!entry->From->Read(entry->FirstByte + position, buffer, direct)) return refuse();
  return true;
}

const DriveEntry* PosixPlatform::Readable(std::string_view drive, uint64_t position, uint64_t length) const {
  const DriveEntry* entry = table_.Find(drive);
  if (entry == nullptr) return nullptr;
  // A raw volume refuses reads that are not whole sectors, and reads past its end: a
  // partition ends where the table says, whatever follows it on the disk.
  const uint64_t sectorSize = entry->SectorSize;
  if (sectorSize == 0 || position % sectorSize != 0 || length % sectorSize != 0) return nullptr;
  if (entry->Bytes && (position > *entry->Bytes || length > *entry->Bytes - position)) return nullptr;
  if (entry->FirstByte > static_cast<uint64_t>(INT64_MAX) || length > static_cast<uint64_t>(INT64_MAX) - entry->FirstByte ||
      position > static_cast<uint64_t>(INT64_MAX) - entry->FirstByte - length) {
    return nullptr;
  }
  return entry;
}

VolumeCopy PosixPlatform::CopyVolumeToFile(std::string_view drive, uint64_t position, uint64_t length,
                                           const std::filesystem::path& file) {
  const DriveEntry* entry = Readable(drive, position, length);
  // What a read would refuse, the copy does not try: the read's refusal is the caller's.
  if (entry == nullptr || entry->From->RawPath().empty()) return VolumeCopy::Refused;
  // The file was made empty by the caller; opened again here, it is not truncated a
  // second time. O_NONBLOCK: whatever the name names by now, the open must not wait.
  const int out = open(file.c_str(), O_WRONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (out < 0) return VolumeCopy::Refused;
  struct stat st{};
  VolumeCopy copy = VolumeCopy::Refused;
  if (fstat(out, &st) == 0 && (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) && (!S_ISREG(st.st_mode) || st.st_size == 0)) {
    const int status = fcntl(out, F_GETFL);
    if (status != -1) fcntl(out, F_SETFL, status & ~O_NONBLOCK);
    Keep(entry->From);
    copy = entry->From->CopyInto(entry->FirstByte + position, length, out);
  }
  // A close that fails says a write did not reach the file.
  if (close(out) != 0 && copy == VolumeCopy::Copied) copy = VolumeCopy::Failed;
  return copy;
}

void PosixPlatform::Keep(const std::shared_ptr<Source>& source) {
  std::shared_ptr<Source> previous;
  {
    const std::lock_guard lock(keptMutex_);
    if (kept_ == source) return;
    previous = std::exchange(kept_, source);
  }
  // Partitions of one disk share its source, so moving between them keeps it open.
  if (previous) previous->Release();
}

void PosixPlatform::ReleaseVolumes() {
  {
    const std::lock_guard lock(keptMutex_);
    kept_.reset();
  }
  // Every source, not only the one kept: a read of another thread may have opened one
  // again just after it was let go.
  for (const DriveEntry& entry : table_.Entries()) entry.From->Release();
}

std::optional<std::string> PosixPlatform::FileSystemName(std::string_view rootPath) {
  const DriveEntry* entry = table_.Find(rootPath);
  if (entry == nullptr) return std::nullopt;
  // libblkid reads the system's files itself; a container's bytes it cannot see, and
  // detection then reads the boot sector instead.
  const std::string path = entry->From->RawPath();
  if (path.empty()) return std::nullopt;
  // O_NONBLOCK: a FIFO put where the file was must not make the open wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return std::nullopt;
  struct stat st{};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    close(fd);
    return std::nullopt;
  }
  blkid_probe probe = blkid_new_probe();
  std::optional<std::string> name;
  // The probe looks at the drive's own bytes: a partition from its first byte to its
  // last, not the disk around it.
  if (probe != nullptr &&
      blkid_probe_set_device(probe, fd, static_cast<blkid_loff_t>(entry->FirstByte),
                             static_cast<blkid_loff_t>(entry->Bytes.value_or(0))) == 0) {
    blkid_probe_enable_superblocks(probe, 1);
    blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
    if (blkid_do_safeprobe(probe) == 0) {
      const char* type = nullptr;
      const char* version = nullptr;
      blkid_probe_lookup_value(probe, "TYPE", &type, nullptr);
      blkid_probe_lookup_value(probe, "VERSION", &version, nullptr);
      const std::string typeText = type != nullptr ? type : "";
      const std::string versionText = version != nullptr ? version : "";
      if (typeText == "vfat") {
        name = versionText == "FAT32" ? "FAT32" : "FAT";
      } else if (typeText == "ntfs") {
        name = "NTFS";
      } else if (typeText == "exfat") {
        name = "exFAT";  // as Windows names it
      } else if (!typeText.empty()) {
        name = typeText;
      }
    }
  }
  if (probe != nullptr) blkid_free_probe(probe);
  close(fd);
  // An md member with its superblock at its end starts with its array's data, which
  // libblkid may take for the member's own file system: the member is left to detection,
  // which knows it for the disk it is.
  if (name && *name != "linux_raid_member") {
    const int64_t size = entry->From->Size();
    if (size > 0 && entry->FirstByte < static_cast<uint64_t>(size)) {
      const MdMemberArea area{entry->From, entry->FirstByte,
                              entry->Bytes.value_or(static_cast<uint64_t>(size) - entry->FirstByte), entry->Description};
      const std::optional<md::Superblock> sb = ReadMdSuperblock(area);
      if (sb && sb->DataOffset == 0 && (sb->Format == md::Version::V10 || sb->Format == md::Version::V090)) {
        return std::nullopt;
      }
    }
  }
  return name;
}

int64_t PosixPlatform::VolumeTotalBytes(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  if (entry == nullptr) return -1;
  const int64_t size = entry->From->Size();
  if (size < 0) return -1;
  if (entry->Bytes) return static_cast<int64_t>(*entry->Bytes);
  return size;
}

bool PosixPlatform::IsDriveAccessible(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr && entry->From->OpenError().empty();
}

std::string PosixPlatform::DriveSource(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr ? entry->Path : std::string();
}

std::string PosixPlatform::DriveDescription(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr ? entry->Description : std::string();
}

std::vector<std::string> PosixPlatform::DriveFiles(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr ? entry->From->Files() : std::vector<std::string>();
}

bool PosixPlatform::DriveIsPartition(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr && entry->IsPartition;
}

DrivePlacement PosixPlatform::PlaceInSource(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  if (entry == nullptr) return {0, -1, {}};
  // A container's positions are those of the disk inside it, as its library gives them.
  return {entry->FirstByte, entry->From->Size(), entry->From->FormatDescription()};
}

uint32_t PosixPlatform::DiskSectorSize(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  if (entry == nullptr) return 0;
  const bool openContainer = !entry->From->FormatDescription().empty() && entry->From->OpenError().empty();
  return entry->IsPartition || openContainer ? entry->SectorSize : 0;
}

std::string PosixPlatform::DriveDamage(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr ? entry->From->Damage() : std::string();
}

bool PosixPlatform::AwaitsAuthorization(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr && korvalane::AwaitsAuthorization(*entry->From);
}

std::vector<std::string> PosixPlatform::AddSources(const std::vector<std::string>& sources) {
  std::vector<std::string> drives;
  for (const char letter : table_.Append(sources)) drives.push_back(std::string(1, letter) + ":");
  return drives;
}

std::string PosixPlatform::OpenError(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr ? entry->From->OpenError() : std::string("no such drive");
}

std::string PosixPlatform::AuthorizeDrive(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr ? AuthorizeSource(*entry->From, UDisksPrompt::Desktop) : std::string();
}

std::string PosixPlatform::ReadRemark(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr ? DirectReadRemark(*entry->From) : std::string();
}

std::optional<CivilTime> PosixPlatform::FileTimeToLocal(uint64_t fileTime) {
  if (fileTime >= (uint64_t{1} << 63)) return std::nullopt;
  const int64_t seconds = static_cast<int64_t>(fileTime / 10000000) - kFileTimeToUnixSeconds;
  const time_t when = static_cast<time_t>(seconds);
  std::tm tm{};
  if (localtime_r(&when, &tm) == nullptr) return std::nullopt;
  CivilTime civil;
  civil.Year = tm.tm_year + 1900;
  civil.Month = tm.tm_mon + 1;
  civil.Day = tm.tm_mday;
  civil.Hour = tm.tm_hour;
  civil.Minute = tm.tm_min;
  civil.Second = tm.tm_sec;
  civil.Millisecond = static_cast<int>(fileTime / 10000 % 1000);
  return civil;
}

std::u16string PosixPlatform::FormatDateTime(const CivilTime& time) {
  std::tm tm{};
  tm.tm_year = time.Year - 1900;
  tm.tm_mon = time.Month - 1;
  tm.tm_mday = time.Day;
  tm.tm_hour = time.Hour;
  tm.tm_min = time.Minute;
  tm.tm_sec = time.Second;
  tm.tm_isdst = -1;
  return FromUtf8(Strftime("%x", tm) + " " + Strftime("%X", tm));
}

bool PosixPlatform::SetFileTimes(const std::filesystem::path& path, std::optional<int64_t> modified,
                                 std::optional<int64_t> accessed) {
  const auto stamp = [](std::optional<int64_t> time) {
    timespec t{};
    if (!time) {
      t.tv_nsec = UTIME_OMIT;
      return t;
    }
    // Floor division, so that a time before 1970 keeps its nanoseconds in 0..999999999.
    int64_t seconds = *time / 1000000000;
    int64_t nanoseconds = *time % 1000000000;
    if (nanoseconds < 0) {
      nanoseconds += 1000000000;
      --seconds;
    }
    t.tv_sec = static_cast<time_t>(seconds);
    t.tv_nsec = static_cast<long>(nanoseconds);
    return t;
  };
  const timespec times[2] = {stamp(accessed), stamp(modified)};
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

bool PosixPlatform::OpenLink(std::string_view url) {
  const std::string target(url);
  char program[] = "xdg-open";
  char* argv[] = {program, const_cast<char*>(target.c_str()), nullptr};
  pid_t pid = 0;
  if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) return false;
  // xdg-open hands the link to the desktop and returns; reap it so no zombie is left.
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace korvalane

#include "platform/SystemPlatform.h"

namespace korvalane {

std::unique_ptr<Platform> MakeSystemPlatform(const std::vector<std::string>& sources, const SourceOptions& options,
                                             std::string* error) {
  DriveTable table = sources.empty() ? DriveTable::FromMachine() : DriveTable::FromSources(sources, options);
  if (!table.Error().empty()) {
    if (error != nullptr) *error = table.Error();
    return nullptr;
  }
  return std::make_unique<PosixPlatform>(std::move(table));
}

}  // namespace korvalane
