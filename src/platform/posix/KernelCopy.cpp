#include "platform/posix/KernelCopy.h"

#include <sys/sendfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace korvalane {
namespace {

ssize_t SystemCopyFileRange(int in, off_t* inOffset, int out, off_t* outOffset, size_t length) {
  return copy_file_range(in, inOffset, out, outOffset, length, 0);
}

ssize_t SystemSendFile(int out, int in, off_t* inOffset, size_t length) { return sendfile(out, in, inOffset, length); }

const KernelCopyCalls kSystemCalls{&SystemCopyFileRange, &SystemSendFile};
const KernelCopyCalls* calls = &kSystemCalls;

// At most this much is asked of one call (sendfile moves at most 2 GiB less a page).
constexpr uint64_t kMostPerCall = uint64_t{1} << 30;

// The kernel says it cannot copy between these two descriptors in this way; nothing was
// moved by the call.
bool IsRefusal(int error) {
  return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP;
}

// Whatever a copy that did not finish put into `out` is taken back, where it can be.
VolumeCopy TakeBack(int out, uint64_t moved, VolumeCopy end) {
  struct stat st{};
  if (moved != 0 && fstat(out, &st) == 0 && S_ISREG(st.st_mode)) {
    while (ftruncate(out, 0) != 0 && errno == EINTR) {
    }
  }
  return end;
}

}  // namespace

const KernelCopyCalls& CurrentKernelCopyCalls() { return *calls; }

void SetKernelCopyCalls(const KernelCopyCalls* replacement) { calls = replacement != nullptr ? replacement : &kSystemCalls; }

VolumeCopy CopyInKernel(int in, uint64_t position, uint64_t length, int out) {
  if (position > static_cast<uint64_t>(LLONG_MAX) || length > static_cast<uint64_t>(LLONG_MAX) - position) {
    return VolumeCopy::Refused;
  }
  const KernelCopyCalls& use = *calls;
  bool rangeCopy = use.CopyFileRange != nullptr;
  bool outAtMoved = true;  // the out descriptor's own offset is where sendfile must write
  uint64_t moved = 0;
  while (moved < length) {
    const size_t step = static_cast<size_t>(std::min(length - moved, kMostPerCall));
    off_t inOffset = static_cast<off_t>(position + moved);
    ssize_t got = 0;
    if (rangeCopy) {
      off_t outOffset = static_cast<off_t>(moved);
      got = use.CopyFileRange(in, &inOffset, out, &outOffset, step);
      if (got > 0) outAtMoved = false;
    } else {
      if (use.SendFile == nullptr) return TakeBack(out, moved, VolumeCopy::Refused);
      // copy_file_range does not move the out descriptor's offset: put it where the
      // bytes moved so far end before sendfile writes at it.
      if (!outAtMoved) {
        if (lseek(out, static_cast<off_t>(moved), SEEK_SET) < 0) return TakeBack(out, moved, VolumeCopy::Failed);
        outAtMoved = true;
      }
      got = use.SendFile(out, in, &inOffset, step);
    }
    if (got > 0) {
      moved += std::min(static_cast<uint64_t>(got), static_cast<uint64_t>(step));
      continue;
    }
    if (got == 0) return TakeBack(out, moved, VolumeCopy::Failed);  // the source ended early
    const int error = errno;
    if (error == EINTR) continue;
    if (IsRefusal(error)) {
      if (rangeCopy) {
        rangeCopy = false;
        continue;
      }
      return TakeBack(out, moved, VolumeCopy::Refused);
    }
    return TakeBack(out, moved, VolumeCopy::Failed);
  }
  return VolumeCopy::Copied;
}

}  // namespace korvalane
