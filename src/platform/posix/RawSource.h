#pragma once

#include <optional>
#include <string>

#include "platform/Source.h"
#include "platform/posix/KeptFile.h"
#include "platform/SystemPlatform.h"

namespace korvalane {

// An image file or a block device, read as it is. Its descriptor is kept open from the
// first read until Release (the platform lets go of it when another source is read or a
// drive is chosen anew), and every read checks that the path still names the file it is
// open on: a file replaced under its name is read anew, one that is gone fails to read.
class RawSource final : public Source {
 public:
  // A block device is read through its page cache as a file is: its descriptor is kept
  // open, so the kernel's read-ahead runs ahead of a range read chunk by chunk, as it runs
  // ahead of dd. Only the retries of unreadable sectors go past the cache.
  RawSource(std::string path, uint32_t sectorSize) : path_(std::move(path)), sectorSize_(sectorSize), file_(path_) {}

  const std::string& Name() const override { return path_; }
  bool Read(uint64_t position, std::span<uint8_t> buffer, bool direct) override;
  // Through the kept descriptor, from the page cache as a read is.
  VolumeCopy CopyInto(uint64_t position, uint64_t length, int out) override;
  int64_t Size() override;
  std::string OpenError() override;
  uint32_t SectorSize() const override { return sectorSize_; }
  std::string RawPath() const override { return path_; }
  void Release() override { file_.Release(); }

 private:
  std::string path_;
  uint32_t sectorSize_;
  KeptFile file_;
};

// The logical sector size of a block device, or nothing for anything else.
std::optional<uint32_t> DeviceSectorSize(const std::string& path);

// True when the path names a block device.
bool IsBlockDevice(const std::string& path);

// Why opening `path` for reading failed with `error` (an errno value), in words for the
// user: the system's message, and for a device the user may not read, what would let them.
std::string OpenFailure(const std::string& path, int error);

}  // namespace korvalane
