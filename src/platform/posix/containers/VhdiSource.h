#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/containers/ContainerSource.h"

namespace korvalane {

// A Virtual Hard Disk, read through libvhdi: VHD (fixed, dynamic, differencing) and VHDX.
// A differencing disk is read through its parent, found by the name it stores.
class VhdiSource final : public ContainerSource {
 public:
  VhdiSource(const std::string& path, uint32_t imageSectorSize);
  ~VhdiSource() override;
  VhdiSource(const VhdiSource&) = delete;
  VhdiSource& operator=(const VhdiSource&) = delete;

 protected:
  int64_t ReadMedia(uint64_t position, std::span<uint8_t> buffer) override;

 private:
  bool OpenDisk(const std::string& path, size_t depth);

  std::vector<void*> chain_;  // libvhdi_file_t: the disk named, then its parents
};

// Where a differencing disk's parent is looked for: the file name it stores (a Windows
// path such as "C:\VMs\base.vhd" or ".\base.vhd", or a plain name), in the child's folder.
std::string VhdParentPath(const std::string& child, const std::string& storedName);

}  // namespace korvalane
