#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvalane {

// Reads exactly buffer.size() bytes at byte `position` of `fd`. A read interrupted by a
// signal is asked again; a short read goes on from where it stopped, since a file, a
// block device and a FUSE file may each hand back fewer bytes than asked without an
// error. False on an error or at the end of the file before the buffer is full: what was
// read is then in the buffer, and the rest as it was.
bool PreadFully(int fd, uint64_t position, std::span<uint8_t> buffer);

// Reads up to buffer.size() bytes at `position`, as PreadFully does, stopping at the end
// of the file or at an error: the count of bytes read (the head of a file shorter than
// the buffer).
size_t PreadUpTo(int fd, uint64_t position, std::span<uint8_t> buffer);

}  // namespace korvalane
