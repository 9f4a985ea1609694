#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <memory>
#include <mutex>
#include <string>

namespace korvalane {

// Opens `path` read-only with `flags` added, when it names an image file or a block
// device; anything else it may name by now (a FIFO, whose open would wait for a writer
// and whose reads would wait for data, a socket, a directory, a character device) is
// closed again at once, with errno saying why (EISDIR, ENODEV). O_NONBLOCK keeps the
// open of a FIFO from waiting; it is taken off again for the reads, which a locked file
// would otherwise refuse with EAGAIN. -1 with errno when it cannot be had; `st` receives
// what fstat says of the file opened.
int OpenImageOrDevice(const std::string& path, int flags, struct stat* st);

// An open descriptor of an image file or a block device, closed when the last reader
// that holds it lets go. `Fd` is -1 for a file that takes no direct reads (EINVAL from
// an open with O_DIRECT: tmpfs, some FUSE file systems), so that they are not tried again.
struct KeptDescriptor {
  KeptDescriptor(int fd, dev_t device, ino_t inode) : Fd(fd), Device(device), Inode(inode) {}
  ~KeptDescriptor();
  KeptDescriptor(const KeptDescriptor&) = delete;
  KeptDescriptor& operator=(const KeptDescriptor&) = delete;

  const int Fd;
  const dev_t Device;  // the file it is open on, as stat names it
  const ino_t Inode;
};

// A path kept open for reading between reads: opening a file costs more than reading a
// sector of it from the page cache, and a walk over a volume reads thousands of pieces.
// Every Open first asks the system which file the path names now (one stat, far cheaper
// than an open): a file replaced under the path (written anew and renamed over it, a
// device node made again) is opened afresh and the old descriptor let go, a path that no
// longer names anything fails as an open would, so a read never goes to a file other than
// the one the path names. A file written in place is the same file, read as it is now.
//
// Safe from several threads: a descriptor handed out stays open until its last holder
// drops it, even when Release or a replacement lets go of it meanwhile, so a read never
// meets a closed descriptor or one the system has since given to another file.
class KeptFile {
 public:
  explicit KeptFile(std::string path) : path_(std::move(path)) {}

  // The descriptor of the file the path names now, opened read-only (with O_DIRECT when
  // `direct`), or nothing with errno saying why: the open failed, or the path names
  // neither an image file nor a block device (EISDIR, ENODEV). A direct descriptor whose
  // Fd is -1 means the file takes no direct reads.
  std::shared_ptr<const KeptDescriptor> Open(bool direct);

  // Lets go of the kept descriptors; the next Open opens the path again.
  void Release();

  const std::string& Path() const { return path_; }

 private:
  const std::string path_;
  std::mutex mutex_;
  std::shared_ptr<const KeptDescriptor> cached_;
  std::shared_ptr<const KeptDescriptor> direct_;
};

}  // namespace korvalane
