#pragma once

#include <sys/types.h>

#include <cstdint>

#include "core/Platform.h"

namespace korvalane {

// The system calls that move bytes from one descriptor to another inside the kernel, as
// functions a test can replace. Each has the system's own signature and errno.
struct KernelCopyCalls {
  // copy_file_range(in, &inOffset, out, &outOffset, length, 0): both offsets explicit.
  ssize_t (*CopyFileRange)(int in, off_t* inOffset, int out, off_t* outOffset, size_t length) = nullptr;
  // splice(in, inOffset, out, outOffset, length, SPLICE_F_MOVE): one of the two is a pipe,
  // whose offset is nullptr; the other's is explicit.
  ssize_t (*Splice)(int in, off_t* inOffset, int out, off_t* outOffset, size_t length) = nullptr;
  // sendfile(out, in, &inOffset, length): writes at the out descriptor's own offset.
  ssize_t (*SendFile)(int out, int in, off_t* inOffset, size_t length) = nullptr;
};

// The calls every kernel copy uses: the system's, or a test's while it has set its own
// (nullptr gives the system's back). Not for use while a copy runs.
const KernelCopyCalls& CurrentKernelCopyCalls();
void SetKernelCopyCalls(const KernelCopyCalls* calls);

// Copies `length` bytes at byte `position` of `in` to the start of `out`, which is empty
// and whose offset is 0. copy_file_range is tried first (between two files of one file
// system it may share the blocks). Where the kernel refuses it for these two (EXDEV
// across file systems, EINVAL for a block device, ENOSYS, EOPNOTSUPP) the bytes go
// through a pipe of the copy's own, 1 MiB where the system allows it, by splice: in to
// the pipe, the pipe to out. That moves more at a time than sendfile, whose pipe inside
// the kernel holds 64 KiB. Where splice is refused too, sendfile carries on; where that
// is refused as well the copy is Refused. Each way goes on from the last byte that
// reached `out` (what a refused way left in its pipe is dropped and read again). Every
// call may move fewer bytes than asked; the loop goes on until all have moved. A read
// that comes back with nothing before the end (the source is shorter) or any other error
// is Failed. On anything but Copied a regular `out` is cut back to empty, so nothing of a
// failed copy stays in it.
VolumeCopy CopyInKernel(int in, uint64_t position, uint64_t length, int out);

}  // namespace korvalane
