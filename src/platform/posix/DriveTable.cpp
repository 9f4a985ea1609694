#include "platform/posix/DriveTable.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

namespace korvalane {
namespace {

constexpr size_t kMaxDrives = 24;  // C: to Z:

std::string ReadFirstLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

}  // namespace

bool IsSupportedSectorSize(uint32_t size) {
  return size == 512 || size == 1024 || size == 2048 || size == 4096;
}

std::optional<uint32_t> DeviceSectorSize(const std::string& path) {
  struct stat st{};
  if (stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return std::nullopt;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  int size = 0;
  const bool ok = ioctl(fd, BLKSSZGET, &size) == 0 && size > 0;
  close(fd);
  if (!ok) return std::nullopt;
  return static_cast<uint32_t>(size);
}

DriveTable DriveTable::FromSources(const std::vector<std::string>& sources, uint32_t imageSectorSize) {
  DriveTable table;
  for (const std::string& source : sources) {
    if (table.entries_.size() == kMaxDrives) break;
    DriveEntry entry;
    entry.Letter = static_cast<char>('C' + table.entries_.size());
    entry.Path = source;
    entry.SectorSize = DeviceSectorSize(source).value_or(imageSectorSize);
    table.entries_.push_back(std::move(entry));
  }
  return table;
}

DriveTable DriveTable::FromMachine(const std::string& sysClassBlock) {
  namespace fs = std::filesystem;
  struct Device {
    unsigned Major = 0;
    unsigned Minor = 0;
    std::string Name;
  };
  std::vector<Device> volumes;
  std::error_code error;
  for (const fs::directory_entry& item : fs::directory_iterator(sysClassBlock, error)) {
    const fs::path dir = item.path();
    const std::string name = dir.filename().string();
    if (ReadFirstLine(dir / "size") == "0") continue;
    const bool isPartition = fs::exists(dir / "partition", error);
    if (!isPartition) {
      // A whole disk with partitions below it carries a partition table: its partitions
      // are listed instead.
      bool hasPartitions = false;
      for (const fs::directory_entry& child : fs::directory_iterator(dir, error)) {
        if (child.is_directory(error) && fs::exists(child.path() / "partition", error)) {
          hasPartitions = true;
          break;
        }
      }
      if (hasPartitions) continue;
    }
    Device device;
    device.Name = name;
    const std::string dev = ReadFirstLine(dir / "dev");  // "major:minor"
    const size_t colon = dev.find(':');
    if (colon == std::string::npos) continue;
    try {
      device.Major = static_cast<unsigned>(std::stoul(dev.substr(0, colon)));
      device.Minor = static_cast<unsigned>(std::stoul(dev.substr(colon + 1)));
    } catch (...) {
      continue;
    }
    volumes.push_back(device);
  }
  std::sort(volumes.begin(), volumes.end(), [](const Device& a, const Device& b) {
    return a.Major != b.Major ? a.Major < b.Major : a.Minor < b.Minor;
  });
  std::vector<std::string> paths;
  for (const Device& device : volumes) paths.push_back("/dev/" + device.Name);
  return FromSources(paths);
}

const DriveEntry* DriveTable::Find(std::string_view drive) const {
  if (drive.empty()) return nullptr;
  const char letter = static_cast<char>(drive[0] >= 'a' && drive[0] <= 'z' ? drive[0] - 32 : drive[0]);
  for (const DriveEntry& entry : entries_) {
    if (entry.Letter == letter) return &entry;
  }
  return nullptr;
}

uint32_t DriveTable::LetterMask() const {
  uint32_t mask = 0;
  for (const DriveEntry& entry : entries_) mask |= 1u << (entry.Letter - 'A');
  return mask;
}

}  // namespace korvalane
