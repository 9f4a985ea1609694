#include "platform/posix/PreadFully.h"

#include <cerrno>
#include <sys/types.h>
#include <unistd.h>

namespace korvalane {

size_t PreadUpTo(int fd, uint64_t position, std::span<uint8_t> buffer) {
  size_t done = 0;
  while (done < buffer.size()) {
    const ssize_t got = pread(fd, buffer.data() + done, buffer.size() - done, static_cast<off_t>(position + done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    done += static_cast<size_t>(got);
  }
  return done;
}

bool PreadFully(int fd, uint64_t position, std::span<uint8_t> buffer) {
  return PreadUpTo(fd, position, buffer) == buffer.size();
}

}  // namespace korvalane
