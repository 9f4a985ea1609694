#include "platform/posix/KernelCopy.h"

#include <fcntl.h>
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

ssize_t SystemSplice(int in, off_t* inOffset, int out, off_t* outOffset, size_t length) {
  return splice(in, inOffset, out, outOffset, length, SPLICE_F_MOVE);
}

ssize_t SystemSendFile(int out, int in, off_t* inOffset, size_t length) { return sendfile(out, in, inOffset, length); }

const KernelCopyCalls kSystemCalls{&SystemCopyFileRange, &SystemSplice, &SystemSendFile};
const KernelCopyCalls* calls = &kSystemCalls;

// At most this much is asked of one call (sendfile moves at most 2 GiB less a page).
constexpr uint64_t kMostPerCall = uint64_t{1} << 30;

// How much one splice moves is what the pipe holds: 1 MiB, the most an unprivileged process
// may ask for by default (/proc/sys/fs/pipe-max-size), against sendfile's 64 KiB.
constexpr int kPipeBytes = 1 << 20;

// The ways bytes go from `in` to `out`, in the order they are tried.
enum class Way { Range, Splice, Send };

// The pipe splice moves the bytes through, opened at its first use.
class Pipe {
 public:
  Pipe() = default;
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  ~Pipe() { Close(); }

  bool Open() {
    if (ends_[0] >= 0) return true;
    if (pipe2(ends_, O_CLOEXEC) != 0) {
      ends_[0] = ends_[1] = -1;
      return false;
    }
    // Where the system allows less, the pipe keeps the size it has.
    int size = fcntl(ends_[1], F_SETPIPE_SZ, kPipeBytes);
    if (size <= 0) size = fcntl(ends_[1], F_GETPIPE_SZ);
    capacity_ = size > 0 ? static_cast<size_t>(size) : size_t{64} << 10;
    return true;
  }
  // Drops the pipe and whatever it still holds.
  void Close() {
    for (int& end : ends_) {
      if (end >= 0) close(end);
      end = -1;
    }
  }
  int ReadEnd() const { return ends_[0]; }
  int WriteEnd() const { return ends_[1]; }
  size_t Capacity() const { return capacity_; }

 private:
  int ends_[2] = {-1, -1};
  size_t capacity_ = 0;
};

// One round through the pipe: at most what it holds from `in` at `position` + `moved` into
// it, then all of that to `out` at `moved`, which grows by what reaches `out`. Returns how
// many bytes the pipe took, 0 where the source has ended, or -1 with errno. Bytes count as
// moved only once they are in `out`: where the pipe's way to `out` fails, the pipe is
// dropped with what it still holds, and whatever way comes next reads those bytes again.
ssize_t SpliceRound(const KernelCopyCalls& use, int in, uint64_t position, int out, size_t step, Pipe& pipe,
                    uint64_t& moved) {
  off_t inOffset = static_cast<off_t>(position + moved);
  const size_t ask = std::min(step, pipe.Capacity());
  const ssize_t taken = use.Splice(in, &inOffset, pipe.WriteEnd(), nullptr, ask);
  if (taken <= 0) return taken;  // a call that fails has put nothing into the pipe
  size_t held = std::min(static_cast<size_t>(taken), ask);
  while (held > 0) {
    off_t outOffset = static_cast<off_t>(moved);
    const ssize_t put = use.Splice(pipe.ReadEnd(), nullptr, out, &outOffset, held);
    if (put > 0) {
      const size_t reached = std::min(static_cast<size_t>(put), held);
      moved += reached;
      held -= reached;
      continue;
    }
    // A pipe that holds bytes and gives none would never empty.
    const int error = put == 0 ? EIO : errno;
    if (error == EINTR) continue;
    pipe.Close();
    errno = error;
    return -1;
  }
  return taken;
}

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
  Way way = Way::Range;
  bool outAtMoved = true;  // the out descriptor's own offset is where sendfile must write
  Pipe pipe;
  uint64_t moved = 0;  // bytes that have reached `out`, from its start
  while (moved < length) {
    const size_t step = static_cast<size_t>(std::min(length - moved, kMostPerCall));
    off_t inOffset = static_cast<off_t>(position + moved);
    ssize_t got = 0;
    if (way == Way::Range) {
      if (use.CopyFileRange == nullptr) {
        way = Way::Splice;
        continue;
      }
      off_t outOffset = static_cast<off_t>(moved);
      got = use.CopyFileRange(in, &inOffset, out, &outOffset, step);
      if (got > 0) {
        moved += std::min(static_cast<uint64_t>(got), static_cast<uint64_t>(step));
        outAtMoved = false;
      }
    } else if (way == Way::Splice) {
      if (use.Splice == nullptr || !pipe.Open()) {
        way = Way::Send;
        continue;
      }
      const uint64_t before = moved;
      got = SpliceRound(use, in, position, out, step, pipe, moved);
      if (moved != before) outAtMoved = false;
    } else {
      if (use.SendFile == nullptr) return TakeBack(out, moved, VolumeCopy::Refused);
      // copy_file_range and splice do not move the out descriptor's offset: put it where
      // the bytes moved so far end before sendfile writes at it.
      if (!outAtMoved) {
        if (lseek(out, static_cast<off_t>(moved), SEEK_SET) < 0) return TakeBack(out, moved, VolumeCopy::Failed);
        outAtMoved = true;
      }
      got = use.SendFile(out, in, &inOffset, step);
      if (got > 0) moved += std::min(static_cast<uint64_t>(got), static_cast<uint64_t>(step));
    }
    if (got > 0) continue;
    if (got == 0) return TakeBack(out, moved, VolumeCopy::Failed);  // the source ended early
    const int error = errno;
    if (error == EINTR) continue;
    if (IsRefusal(error)) {
      // The next way goes on from the last byte that reached `out`.
      if (way == Way::Range) {
        way = Way::Splice;
        continue;
      }
      if (way == Way::Splice) {
        pipe.Close();
        way = Way::Send;
        continue;
      }
      return TakeBack(out, moved, VolumeCopy::Refused);
    }
    return TakeBack(out, moved, VolumeCopy::Failed);
  }
  return VolumeCopy::Copied;
}

}  // namespace korvalane
