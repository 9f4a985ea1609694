#include "platform/posix/udisks/AuthorizedSource.h"
#include "platform/posix/PreadFully.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>

namespace korvalane {
namespace {

bool ReadAll(int fd, uint64_t position, uint8_t* data, size_t size) {
  return PreadFully(fd, position, std::span<uint8_t>(data, size));
}

// A read through a descriptor opened with O_DIRECT, into memory aligned for it.
bool ReadDirect(int fd, uint64_t position, std::span<uint8_t> buffer) {
  constexpr size_t kAlignment = 4096;
  const size_t size = (buffer.size() + kAlignment - 1) / kAlignment * kAlignment;
  void* aligned = nullptr;
  if (size == 0 || posix_memalign(&aligned, kAlignment, size) != 0) return false;
  // Only whole sectors are asked for; the platform has checked that they are.
  const bool read = ReadAll(fd, position, static_cast<uint8_t*>(aligned), buffer.size());
  if (read) std::copy_n(static_cast<uint8_t*>(aligned), buffer.size(), buffer.begin());
  std::free(aligned);
  return read;
}

uint64_t ReadNumber(const std::string& file) {
  std::ifstream in(file);
  uint64_t value = 0;
  return in >> value ? value : 0;
}

}  // namespace

AuthorizedSource::~AuthorizedSource() {
  if (fd_ >= 0) close(fd_);
  if (directFd_ >= 0) close(directFd_);
}

bool AuthorizedSource::Read(uint64_t position, std::span<uint8_t> buffer, bool direct) {
  const std::lock_guard lock(mutex_);
  if (fd_ < 0) return false;
  if (direct && !directAsked_) {
    directAsked_ = true;
    // Never a second prompt in the middle of an export: polkit either still holds the
    // first authentication (auth_admin_keep) or a rule allows it, or the kept one serves.
    UDisksDescriptor second = OpenThroughUDisks(path_, O_DIRECT, UDisksPrompt::None);
    uint64_t bytes = 0;
    if (second.Fd >= 0 && (ioctl(second.Fd, BLKGETSIZE64, &bytes) != 0 || static_cast<int64_t>(bytes) != bytes_)) {
      close(second.Fd);
      second = {-1, "it gave one of a device of another size"};
    }
    directFd_ = second.Fd;
    if (directFd_ < 0) {
      directRemark_ = "direct reads of '" + path_ + "' went through the kept descriptor: UDisks2 gave no second one (" +
                      second.Error + ")";
    }
  }
  if (direct && directFd_ >= 0) return ReadDirect(directFd_, position, buffer);
  if (direct) {
    // Linux lets O_DIRECT be switched on an open descriptor: the kept one reads past the
    // cache for this read, as a cached read would fail for the whole read-ahead around a
    // bad sector. Only where the device refuses that is the read a cached one.
    const int flags = fcntl(fd_, F_GETFL);
    if (flags >= 0 && fcntl(fd_, F_SETFL, flags | O_DIRECT) == 0) {
      const bool read = ReadDirect(fd_, position, buffer);
      fcntl(fd_, F_SETFL, flags);
      return read;
    }
  }
  return ReadAll(fd_, position, buffer.data(), buffer.size());
}

std::string AuthorizedSource::OpenError() {
  const std::lock_guard lock(mutex_);
  if (fd_ >= 0) return {};
  return error_.empty() ? "needs authentication" : error_;
}

std::string AuthorizedSource::Authorize(UDisksPrompt prompt) {
  {
    const std::lock_guard lock(mutex_);
    if (fd_ >= 0) return {};
  }
  // Asked without the lock: the prompt may wait for the user for a long time.
  UDisksDescriptor got = OpenThroughUDisks(path_, 0, prompt);
  if (got.Fd >= 0) {
    // The device must still be the one the drive list found: a size or sector size of
    // its own says it is another.
    uint64_t bytes = 0;
    int sectorSize = 0;
    if (ioctl(got.Fd, BLKGETSIZE64, &bytes) != 0 || static_cast<int64_t>(bytes) != bytes_) {
      got.Error = "UDisks2 gave a descriptor of a device of " + std::to_string(bytes) + " bytes, not the " +
                  std::to_string(bytes_) + " bytes listed";
    } else if (ioctl(got.Fd, BLKSSZGET, &sectorSize) != 0 || static_cast<uint32_t>(sectorSize) != sectorSize_) {
      got.Error = "UDisks2 gave a descriptor of a device with " + std::to_string(sectorSize) + "-byte sectors, not " +
                  std::to_string(sectorSize_);
    }
    if (!got.Error.empty()) {
      close(got.Fd);
      got.Fd = -1;
    }
  }
  const std::lock_guard lock(mutex_);
  if (fd_ >= 0) {
    // Had meanwhile by another call: the one kept stays.
    if (got.Fd >= 0) close(got.Fd);
    return {};
  }
  fd_ = got.Fd;
  error_ = got.Error;
  return error_;
}

std::shared_ptr<Source> OpenRefusedDevice(const std::string& path, DeviceAuthorization when) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return nullptr;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd >= 0) {
    close(fd);
    return nullptr;
  }
  if ((errno != EACCES && errno != EPERM) || !UDisksOffered()) return nullptr;

  // sysfs tells the size (in 512-byte units whatever the sector size) and, on the disk a
  // partition belongs to, the logical sector size.
  const std::string sys = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  const uint64_t units = ReadNumber(sys + "/size");
  uint64_t sectorSize = ReadNumber(sys + "/queue/logical_block_size");
  if (sectorSize == 0) sectorSize = ReadNumber(sys + "/../queue/logical_block_size");
  if (sectorSize != 512 && sectorSize != 1024 && sectorSize != 2048 && sectorSize != 4096) sectorSize = 512;
  const int64_t bytes = units > static_cast<uint64_t>(INT64_MAX) / 512 ? -1 : static_cast<int64_t>(units * 512);
  auto source = std::make_shared<AuthorizedSource>(path, static_cast<uint32_t>(sectorSize), bytes);
  if (when == DeviceAuthorization::NowWithPrompt) source->Authorize(UDisksPrompt::Terminal);
  if (when == DeviceAuthorization::NowWithoutPrompt) source->Authorize(UDisksPrompt::None);
  return source;
}

std::string AuthorizeSource(Source& source, UDisksPrompt prompt) {
  auto* authorized = dynamic_cast<AuthorizedSource*>(&source);
  return authorized != nullptr ? authorized->Authorize(prompt) : std::string();
}

std::string AuthorizationFailure(Source& source) {
  auto* authorized = dynamic_cast<AuthorizedSource*>(&source);
  return authorized != nullptr ? authorized->OpenError() : std::string();
}

bool AwaitsAuthorization(Source& source) {
  auto* authorized = dynamic_cast<AuthorizedSource*>(&source);
  return authorized != nullptr && !authorized->OpenError().empty();
}

std::string DirectReadRemark(Source& source) {
  auto* authorized = dynamic_cast<AuthorizedSource*>(&source);
  return authorized != nullptr ? authorized->DirectRemark() : std::string();
}

}  // namespace korvalane
