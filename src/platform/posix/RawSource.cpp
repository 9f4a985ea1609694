#include "platform/posix/RawSource.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/posix/KernelCopy.h"
#include "platform/posix/PreadFully.h"

namespace korvalane {
namespace {

// A file descriptor closed when it goes out of scope, for the questions asked once (the
// size, whether it opens); only an image file or a block device is opened (see
// OpenImageOrDevice).
class Fd {
 public:
  explicit Fd(const std::string& path) {
    struct stat st{};
    fd_ = OpenImageOrDevice(path, 0, &st);
  }
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

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

bool IsAligned(std::span<uint8_t> buffer) {
  return reinterpret_cast<uintptr_t>(buffer.data()) % AlignedBuffer::kAlignment == 0 &&
         buffer.size() % AlignedBuffer::kAlignment == 0;
}

// A read past the page cache: the device is asked for exactly these sectors. A buffer
// that is aligned for it is read into as it is; any other goes through an aligned one.
// Nothing when the source or the file system below it takes no direct reads (EINVAL):
// then only a cached read can be had.
std::optional<bool> ReadDirect(KeptFile& file, uint64_t position, std::span<uint8_t> buffer) {
  const std::shared_ptr<const KeptDescriptor> fd = file.Open(true);
  if (!fd) return errno == EINVAL ? std::nullopt : std::optional(false);
  if (fd->Fd < 0) return std::nullopt;
  errno = 0;
  if (IsAligned(buffer)) {
    if (PreadFully(fd->Fd, position, buffer)) return true;
    return errno == EINVAL ? std::nullopt : std::optional(false);
  }
  AlignedBuffer aligned(buffer.size());
  if (aligned.data() == nullptr) return std::nullopt;
  if (PreadFully(fd->Fd, position, std::span<uint8_t>(aligned.data(), buffer.size()))) {
    std::copy_n(aligned.data(), buffer.size(), buffer.begin());
    return true;
  }
  if (errno == EINVAL) return std::nullopt;
  return false;
}

// The name of group `gid` from /etc/group, read as text: the static korvalane-cli cannot
// use the system's name service.
std::string GroupName(gid_t gid) {
  std::ifstream groups("/etc/group");
  std::string line;
  while (std::getline(groups, line)) {
    // name:password:gid:members
    const size_t first = line.find(':');
    const size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    const size_t third = second == std::string::npos ? second : line.find(':', second + 1);
    if (third == std::string::npos) continue;
    if (line.substr(second + 1, third - second - 1) == std::to_string(gid)) return line.substr(0, first);
  }
  return {};
}

}  // namespace

bool RawSource::Read(uint64_t position, std::span<uint8_t> buffer, bool direct) {
  if (direct) {
    if (const std::optional<bool> read = ReadDirect(file_, position, buffer)) return *read;
  }
  const std::shared_ptr<const KeptDescriptor> fd = file_.Open(false);
  return fd && PreadFully(fd->Fd, position, buffer);
}

VolumeCopy RawSource::CopyInto(uint64_t position, uint64_t length, int out) {
  const std::shared_ptr<const KeptDescriptor> fd = file_.Open(false);
  // A source that does not open fails as its reads would.
  if (!fd) return VolumeCopy::Failed;
  return CopyInKernel(fd->Fd, position, length, out);
}

int64_t RawSource::Size() {
  const Fd fd(path_);
  if (!fd) return -1;
  struct stat st{};
  if (fstat(fd.get(), &st) != 0) return -1;
  if (S_ISBLK(st.st_mode)) {
    uint64_t bytes = 0;
    if (ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) return -1;
    return static_cast<int64_t>(bytes);
  }
  return S_ISREG(st.st_mode) ? static_cast<int64_t>(st.st_size) : -1;
}

std::string RawSource::OpenError() {
  if (std::string refusal = SourceRefusal(path_, sectorSize_); !refusal.empty()) return refusal;
  const Fd fd(path_);
  return fd ? std::string() : OpenFailure(path_, errno);
}

std::string SourceRefusal(const std::string& path, uint32_t sectorSize) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0) return std::strerror(errno);
  if (S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode)) {
    return S_ISFIFO(st.st_mode)   ? "a FIFO, not an image file or a block device"
           : S_ISSOCK(st.st_mode) ? "a socket, not an image file or a block device"
                                  : "a character device, not an image file or a block device";
  }
  uint64_t sector = std::max<uint32_t>(sectorSize, 512);
  uint64_t bytes = static_cast<uint64_t>(st.st_size);
  if (S_ISBLK(st.st_mode)) {
    // A device has a sector size of its own. One the user may not open is left to the
    // open's own reason.
    const Fd fd(path);
    int deviceSector = 0;
    if (!fd || ioctl(fd.get(), BLKGETSIZE64, &bytes) != 0) return {};
    if (ioctl(fd.get(), BLKSSZGET, &deviceSector) == 0 && deviceSector > 0) sector = static_cast<uint32_t>(deviceSector);
  }
  if (bytes >= sector) return {};
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes") + ", not one whole sector of " +
         std::to_string(sector);
}

std::optional<uint32_t> DeviceSectorSize(const std::string& path) {
  if (!IsBlockDevice(path)) return std::nullopt;
  const Fd fd(path);
  if (!fd) return std::nullopt;
  int size = 0;
  if (ioctl(fd.get(), BLKSSZGET, &size) != 0 || size <= 0) return std::nullopt;
  return static_cast<uint32_t>(size);
}

bool IsBlockDevice(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode);
}

std::string OpenFailure(const std::string& path, int error) {
  std::string reason = std::strerror(error);
  struct stat st{};
  // Only a user who is not root can be helped by rights; root refused is refused for
  // another reason (a device held exclusively, a locked medium).
  if ((error == EACCES || error == EPERM) && geteuid() != 0 && stat(path.c_str(), &st) == 0 &&
      S_ISBLK(st.st_mode)) {
    // Disks belong to root and to a group (Debian's is "disk") whose members may read them.
    const std::string group = GroupName(st.st_gid);
    reason += group.empty() || group == "root" ? " (reading a disk needs root)"
                                               : " (reading a disk needs root or membership of its group, here '" +
                                                     group + "')";
  }
  return reason;
}

}  // namespace korvalane
