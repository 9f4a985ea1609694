#pragma once

#include <sys/types.h>

#include <cstdint>

#include "core/Platform.h"

namespace korvalane {

// The two system calls that move bytes from one descriptor to another inside the kernel,
// as functions a test can replace. Both have the system's own signatures and errno.
struct KernelCopyCalls {
  // copy_file_range(in, &inOffset, out, &outOffset, length, 0): both offsets explicit.
  ssize_t (*CopyFileRange)(int in, off_t* inOffset, int out, off_t* outOffset, size_t length) = nullptr;
  // sendfile(out, in, &inOffset, length): writes at the out descriptor's own offset.
  ssize_t (*SendFile)(int out, int in, off_t* inOffset, size_t length) = nullptr;
};

// The calls every kernel copy uses: the system's, or a test's while it has set its own
// (nullptr gives the system's back). Not for use while a copy runs.
const KernelCopyCalls& CurrentKernelCopyCalls();
void SetKernelCopyCalls(const KernelCopyCalls* calls);

// Copies `length` bytes at byte `position` of `in` to the start of `out`, which is empty
// and whose offset is 0. copy_file_range is tried first (between two files of one file
// system it may share the blocks, or copy them without a pipe); where the kernel refuses
// it for these two (EXDEV across file systems, EINVAL for a block device, ENOSYS,
// EOPNOTSUPP) sendfile carries on from where it stopped; where that is refused too the
// copy is Refused. Every call may move fewer bytes than asked; the loop goes on until all
// have moved. A read that comes back with nothing before the end (the source is shorter)
// or any other error is Failed. On anything but Copied a regular `out` is cut back to
// empty, so nothing of a failed copy stays in it.
VolumeCopy CopyInKernel(int in, uint64_t position, uint64_t length, int out);

}  // namespace korvalane
