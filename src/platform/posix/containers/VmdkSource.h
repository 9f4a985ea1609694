#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/containers/ContainerSource.h"

namespace korvalane {

// A VMware virtual disk, read through libvmdk: monolithic or split into extent files,
// sparse (also stream-optimized) or flat, and a delta disk on top of its parent.
class VmdkSource final : public ContainerSource {
 public:
  VmdkSource(const std::string& path, uint32_t imageSectorSize);
  ~VmdkSource() override;
  VmdkSource(const VmdkSource&) = delete;
  VmdkSource& operator=(const VmdkSource&) = delete;

 protected:
  int64_t ReadMedia(uint64_t position, std::span<uint8_t> buffer) override;

 private:
  // Opens one disk of the chain (and then its parent); false after saying why.
  bool OpenDisk(const std::string& path, size_t depth);
  bool OpenParent(void* handle, const std::string& path, size_t depth);

  std::vector<void*> chain_;  // libvmdk_handle_t: the disk named, then its parents
  std::vector<std::string> disks_;  // their descriptor files
  std::vector<void*> pools_;  // libbfio_pool_t: files handed to libvmdk, freed after it
};

}  // namespace korvalane
