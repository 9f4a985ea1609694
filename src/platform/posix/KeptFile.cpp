#include "platform/posix/KeptFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace korvalane {

int OpenImageOrDevice(const std::string& path, int flags, struct stat* st) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | flags);
  if (fd < 0) return -1;
  if (fstat(fd, st) != 0 || !(S_ISREG(st->st_mode) || S_ISBLK(st->st_mode))) {
    const int error = S_ISDIR(st->st_mode) ? EISDIR : ENODEV;
    close(fd);
    errno = error;
    return -1;
  }
  const int status = fcntl(fd, F_GETFL);
  if (status != -1) fcntl(fd, F_SETFL, status & ~O_NONBLOCK);
  return fd;
}

KeptDescriptor::~KeptDescriptor() {
  if (Fd >= 0) close(Fd);
}

std::shared_ptr<const KeptDescriptor> KeptFile::Open(bool direct) {
  struct stat now{};
  if (stat(path_.c_str(), &now) != 0) {
    // Gone: nothing of it is read any more, as an open would fail now.
    const int error = errno;
    Release();
    errno = error;
    return nullptr;
  }
  const std::lock_guard lock(mutex_);
  std::shared_ptr<const KeptDescriptor>& slot = direct ? direct_ : cached_;
  if (slot && slot->Device == now.st_dev && slot->Inode == now.st_ino) return slot;
  struct stat opened{};
  const int fd = OpenImageOrDevice(path_, direct ? O_DIRECT : 0, &opened);
  if (fd < 0) {
    const int error = errno;
    if (direct && error == EINVAL) {
      // The file system takes no direct reads of this file; remembered until the path
      // names another file.
      slot = std::make_shared<const KeptDescriptor>(-1, now.st_dev, now.st_ino);
      return slot;
    }
    slot.reset();
    errno = error;
    return nullptr;
  }
  slot = std::make_shared<const KeptDescriptor>(fd, opened.st_dev, opened.st_ino);
  // The other descriptor, when it is of the file the path named before, goes too.
  std::shared_ptr<const KeptDescriptor>& other = direct ? cached_ : direct_;
  if (other && (other->Device != opened.st_dev || other->Inode != opened.st_ino)) other.reset();
  return slot;
}

void KeptFile::Release() {
  std::shared_ptr<const KeptDescriptor> cached;
  std::shared_ptr<const KeptDescriptor> direct;
  {
    const std::lock_guard lock(mutex_);
    cached.swap(cached_);
    direct.swap(direct_);
  }
  // Closed here, outside the lock, unless a reader still holds them.
}

}  // namespace korvalane
