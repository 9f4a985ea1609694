#pragma once

#include <optional>
#include <string>

#include "platform/Source.h"
#include "platform/SystemPlatform.h"

namespace korvalane {

// An image file or a block device, read as it is. Every read opens it read-only, reads
// and closes it again, so a device that goes away or comes back is seen at the next read
// and nothing is held open while the program waits.
class RawSource final : public Source {
 public:
  // `device`: the path is a block device (whose large reads go past the page cache).
  RawSource(std::string path, uint32_t sectorSize, bool device = false)
      : path_(std::move(path)), sectorSize_(sectorSize), device_(device) {}

  const std::string& Name() const override { return path_; }
  bool Read(uint64_t position, std::span<uint8_t> buffer, bool direct) override;
  int64_t Size() override;
  std::string OpenError() override;
  uint32_t SectorSize() const override { return sectorSize_; }
  std::string RawPath() const override { return path_; }

 private:
  std::string path_;
  uint32_t sectorSize_;
  bool device_;
};

// The logical sector size of a block device, or nothing for anything else.
std::optional<uint32_t> DeviceSectorSize(const std::string& path);

// True when the path names a block device.
bool IsBlockDevice(const std::string& path);

// Why opening `path` for reading failed with `error` (an errno value), in words for the
// user: the system's message, and for a device the user may not read, what would let them.
std::string OpenFailure(const std::string& path, int error);

}  // namespace korvalane
