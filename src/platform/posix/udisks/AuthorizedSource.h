#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "platform/Source.h"
#include "platform/SystemPlatform.h"
#include "platform/posix/udisks/UDisks.h"

namespace korvalane {

// A block device the user may not open, read through a descriptor UDisks2 gives once
// polkit allows it (for a desktop user, after an administrator's password). The
// descriptor is kept for the program's life and read with pread: asking again for every
// read would ask for a password per sector. Until it is had, the source still has its
// name, size and sector size (from sysfs, which anyone may read), so the drive list can
// show it without asking anything.
class AuthorizedSource final : public Source {
 public:
  AuthorizedSource(std::string path, uint32_t sectorSize, int64_t bytes)
      : path_(std::move(path)), sectorSize_(sectorSize), bytes_(bytes) {}
  ~AuthorizedSource() override;
  AuthorizedSource(const AuthorizedSource&) = delete;
  AuthorizedSource& operator=(const AuthorizedSource&) = delete;

  const std::string& Name() const override { return path_; }
  // A `direct` read goes through a second descriptor opened with O_DIRECT, asked for
  // (without a prompt) at the first such read; where UDisks2 gives none, through the
  // kept one, and DirectRemark says so.
  bool Read(uint64_t position, std::span<uint8_t> buffer, bool direct) override;
  int64_t Size() override { return bytes_; }
  // "needs authentication" until the descriptor is had; why it could not be, after.
  std::string OpenError() override;
  uint32_t SectorSize() const override { return sectorSize_; }
  std::string RawPath() const override { return path_; }

  // Asks UDisks2 for the descriptor unless it is held; empty when it is, else why not
  // (after a dismissed dialog, choosing the drive again asks again).
  std::string Authorize(UDisksPrompt prompt);
  const std::string& DirectRemark() const { return directRemark_; }

 private:
  std::string path_;
  uint32_t sectorSize_;
  int64_t bytes_;  // as the drive list found it
  // Reads may come from several threads: one at a time, as the second descriptor is set
  // up at the first direct read, and the kept one may be switched to O_DIRECT for one.
  std::mutex mutex_;
  int fd_ = -1;
  std::string error_;
  int directFd_ = -1;
  bool directAsked_ = false;
  std::string directRemark_;
};

// The source for a block device that opening refuses (EACCES, EPERM) while the system
// bus offers UDisks2; nothing for anything else, which is read as it always was.
// `when` says whether the descriptor is asked for at once, and with which prompt.
std::shared_ptr<Source> OpenRefusedDevice(const std::string& path, DeviceAuthorization when);

// For a source that needs authorization: asks for it (Authorize) and gives why it
// failed; empty for every other source.
std::string AuthorizeSource(Source& source, UDisksPrompt prompt);

// Why a source asked for at once could not be had; empty when it was or needed nothing.
std::string AuthorizationFailure(Source& source);

// Whether a source is a device whose descriptor is still to be asked for.
bool AwaitsAuthorization(Source& source);

// The remark on a source's direct reads, if it has one.
std::string DirectReadRemark(Source& source);

}  // namespace korvalane
