#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/containers/ContainerSource.h"

namespace korvalane {

// A QEMU copy-on-write image (QCOW version 1, QCOW2 and its version 3), read through
// libqcow, with its chain of backing files.
class QcowSource final : public ContainerSource {
 public:
  QcowSource(const std::string& path, uint32_t imageSectorSize);
  ~QcowSource() override;
  QcowSource(const QcowSource&) = delete;
  QcowSource& operator=(const QcowSource&) = delete;

 protected:
  int64_t ReadMedia(uint64_t position, std::span<uint8_t> buffer) override;

 private:
  bool OpenImage(const std::string& path, size_t depth);

  std::vector<void*> chain_;  // libqcow_file_t: the image named, then its backing files
  std::vector<std::string> paths_;  // their files
  uint64_t clusterBytes_ = uint64_t{1} << 21;
};

}  // namespace korvalane
