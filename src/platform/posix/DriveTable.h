#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalane {

// One drive letter and the image file or block device behind it.
struct DriveEntry {
  char Letter = 'C';
  std::string Path;
  uint32_t SectorSize = 512;  // the logical sector size reads are aligned to
};

// Maps drive letters to sources, from C: on.
class DriveTable {
 public:
  // The named sources, C: for the first, D: for the second and so on (at most 24). An image
  // file gets `imageSectorSize` (512 unless the user asks for another); a block device
  // always its own logical sector size.
  static DriveTable FromSources(const std::vector<std::string>& sources, uint32_t imageSectorSize = 512);

  // The machine's block-device volumes in kernel order: partitions, and whole disks that
  // carry no partition table. Devices of size 0 (empty loops, absent media) are left out.
  static DriveTable FromMachine(const std::string& sysClassBlock = "/sys/class/block");

  // The entry of a drive name such as "C:" (only its first character counts).
  const DriveEntry* Find(std::string_view drive) const;

  uint32_t LetterMask() const;
  const std::vector<DriveEntry>& Entries() const { return entries_; }

 private:
  std::vector<DriveEntry> entries_;
};

// The logical sector size of a block device, or nothing for anything else.
std::optional<uint32_t> DeviceSectorSize(const std::string& path);

// Whether a sector size is one the program can present an image with.
bool IsSupportedSectorSize(uint32_t size);

}  // namespace korvalane
