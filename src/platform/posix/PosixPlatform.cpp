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
#include <cstdlib>
#include <ctime>

#include "core/text/Utf.h"

extern char** environ;

namespace korvalane {
namespace {

// Seconds from 1601-01-01 (the FILETIME epoch) to 1970-01-01.
constexpr int64_t kFileTimeToUnixSeconds = 11644473600;

// The size in bytes of an open image file or block device, or -1.
int64_t SourceSize(int fd) {
  struct stat st{};
  if (fstat(fd, &st) != 0) return -1;
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd, BLKGETSIZE64, &bytes) != 0) return -1;
    return static_cast<int64_t>(bytes);
  }
  return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
}

// A file descriptor closed when it goes out of scope.
class Fd {
 public:
  explicit Fd(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_;
};

std::string Strftime(const char* format, const std::tm& tm) {
  char text[256];
  const size_t length = std::strftime(text, sizeof text, format, &tm);
  return std::string(text, length);
}

}  // namespace

namespace {

// Reads exactly buffer.size() bytes at `position`; false on an error or a short read.
// Image files and block devices both come back short exactly where they end, so a read
// that reaches past the end is found without asking for the size on every read.
bool ReadFully(int fd, uint64_t position, std::span<uint8_t> buffer) {
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got = pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

// Memory aligned for O_DIRECT, freed when it goes out of scope.
class AlignedBuffer {
 public:
  static constexpr size_t kAlignment = 4096;
  explicit AlignedBuffer(size_t size) {
    if (posix_memalign(&data_, kAlignment, size == 0 ? kAlignment : size) != 0) data_ = nullptr;
  }
  ~AlignedBuffer() { std::free(data_); }
  AlignedBuffer(const AlignedBuffer&) = delete;
  AlignedBuffer& operator=(const AlignedBuffer&) = delete;
  uint8_t* data() const { return static_cast<uint8_t*>(data_); }

 private:
  void* data_ = nullptr;
};

// A read past the page cache: the device is asked for exactly these sectors. Nothing
// when the source or the file system below it takes no direct reads (EINVAL): then only
// a cached read can be had.
std::optional<bool> ReadDirect(const std::string& path, uint64_t position, std::span<uint8_t> buffer) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECT);
  if (fd < 0) return errno == EINVAL ? std::nullopt : std::optional(false);
  AlignedBuffer aligned(buffer.size());
  std::optional<bool> result;
  if (aligned.data() != nullptr) {
    errno = 0;
    const bool ok = ReadFully(fd, position, std::span<uint8_t>(aligned.data(), buffer.size()));
    if (ok) {
      std::copy_n(aligned.data(), buffer.size(), buffer.begin());
      result = true;
    } else if (errno != EINVAL) {
      result = false;
    }
  }
  close(fd);
  return result;
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
  const DriveEntry* entry = table_.Find(drive);
  if (entry == nullptr) return refuse();
  // A raw volume refuses reads that are not whole sectors.
  const uint64_t sectorSize = entry->SectorSize;
  if (position % sectorSize != 0 || buffer.size() % sectorSize != 0) return refuse();
  if (position > static_cast<uint64_t>(INT64_MAX) - buffer.size()) return refuse();
  if (direct) {
    if (const std::optional<bool> read = ReadDirect(entry->Path, position, buffer)) return *read || refuse();
  }
  const Fd fd(entry->Path);
  if (!fd || !ReadFully(fd.get(), position, buffer)) return refuse();
  return true;
}

std::optional<std::string> PosixPlatform::FileSystemName(std::string_view rootPath) {
  const DriveEntry* entry = table_.Find(rootPath);
  if (entry == nullptr) return std::nullopt;
  blkid_probe probe = blkid_new_probe_from_filename(entry->Path.c_str());
  if (probe == nullptr) return std::nullopt;
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE | BLKID_SUBLKS_VERSION);
  std::optional<std::string> name;
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
  blkid_free_probe(probe);
  return name;
}

int64_t PosixPlatform::VolumeTotalBytes(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  if (entry == nullptr) return -1;
  const Fd fd(entry->Path);
  return fd ? SourceSize(fd.get()) : -1;
}

bool PosixPlatform::IsDriveAccessible(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  if (entry == nullptr) return false;
  const Fd fd(entry->Path);
  return static_cast<bool>(fd);
}

std::string PosixPlatform::DriveSource(std::string_view drive) {
  const DriveEntry* entry = table_.Find(drive);
  return entry != nullptr ? entry->Path : std::string();
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

std::unique_ptr<Platform> MakeSystemPlatform(const std::vector<std::string>& sources,
                                             uint32_t imageSectorSize) {
  DriveTable table = sources.empty() ? DriveTable::FromMachine()
                                     : DriveTable::FromSources(sources, imageSectorSize);
  return std::make_unique<PosixPlatform>(std::move(table));
}

}  // namespace korvalane
