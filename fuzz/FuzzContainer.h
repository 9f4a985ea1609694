#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/Source.h"

namespace korvalane::fuzzing {

// Stops the run on a broken promise of the source (a sanitizer report stops it anyway).
inline void Check(bool holds) {
  if (!holds) __builtin_trap();
}

// The input as a file that lives in memory only (a memfd, named by its /proc path), for
// the container libraries, which open files by name.
class MemoryFile {
 public:
  MemoryFile(const uint8_t* data, size_t size) : fd_(memfd_create("korvalane-fuzz", MFD_CLOEXEC)) {
    size_t done = 0;
    while (fd_ >= 0 && done < size) {
      const ssize_t wrote = write(fd_, data + done, size - done);
      if (wrote <= 0) break;
      done += static_cast<size_t>(wrote);
    }
  }
  ~MemoryFile() {
    if (fd_ >= 0) close(fd_);
  }
  MemoryFile(const MemoryFile&) = delete;
  MemoryFile& operator=(const MemoryFile&) = delete;

  bool Ready() const { return fd_ >= 0; }
  std::string Path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  int fd_;
};

// Reads every sector of the container's disk (of its first 8 MiB and last 1 MiB, when a
// hostile header claims a larger one): one sector at a time through the read-ahead, and
// in large reads straight from the library. What a read gives is never looked at beyond
// its size; the sanitizers watch the library's buffers.
inline void ReadEverySector(Source& source) {
  constexpr uint64_t kHeadBytes = 8u << 20;
  constexpr uint64_t kTailBytes = 1u << 20;
  constexpr size_t kLargeRead = 256 * 1024;
  if (!source.OpenError().empty()) return;
  const int64_t size = source.Size();
  const uint32_t sectorSize = source.SectorSize();
  Check(size >= 0 && sectorSize >= 512);
  const auto media = static_cast<uint64_t>(size);
  const uint64_t sectors = media / sectorSize;
  const uint64_t headSectors = kHeadBytes / sectorSize;
  const uint64_t tailSectors = kTailBytes / sectorSize;
  std::vector<uint8_t> sector(sectorSize);
  for (uint64_t s = 0; s < sectors; ++s) {
    if (s == headSectors && sectors > headSectors + tailSectors) s = sectors - tailSectors;
    source.Read(s * sectorSize, sector, false);
  }
  std::vector<uint8_t> large(kLargeRead);
  for (uint64_t at = 0; at < std::min(media, kHeadBytes); at += kLargeRead) {
    source.Read(at, std::span(large).first(static_cast<size_t>(std::min<uint64_t>(kLargeRead, media - at))), true);
  }
  // Nothing past the end is ever given.
  Check(!source.Read(media, std::span(sector).first(1), false));
}

// Opens the input as a container of type T and reads it whole.
template <typename T>
int FuzzContainer(const uint8_t* data, size_t size) {
  MemoryFile file(data, size);
  if (!file.Ready()) return 0;
  T source(file.Path(), 0);
  ReadEverySector(source);
  return 0;
}

}  // namespace korvalane::fuzzing
