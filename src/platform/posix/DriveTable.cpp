#include "platform/posix/DriveTable.h"
#include "platform/posix/PreadFully.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "core/text/Utf.h"
#include "platform/posix/LvmSource.h"
#include "platform/posix/MdSource.h"
#include "platform/posix/RawSource.h"
#include "platform/posix/containers/Containers.h"
#include "platform/posix/udisks/AuthorizedSource.h"

namespace korvalane {
namespace {

constexpr size_t kMaxDrives = 24;  // C: to Z:

std::string ReadFirstLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The first bytes of a file, as many as there are up to `count`.
std::vector<uint8_t> ReadHead(const std::string& path, size_t count) {
  std::vector<uint8_t> head(count, 0);
  // Without O_NONBLOCK the open of a FIFO would wait for a writer; only a file or a disk
  // is read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return {};
  struct stat st{};
  if (fstat(fd, &st) != 0 || !(S_ISREG(st.st_mode) || S_ISBLK(st.st_mode))) {
    close(fd);
    return {};
  }
  const size_t done = PreadUpTo(fd, 0, head);
  close(fd);
  head.resize(done);
  return head;
}

// "disk.img" or, for a container, "disk.E01 (EWF, 2 segments)".
std::string SourceTitle(const Source& source) {
  const std::string format = source.FormatDescription();
  return format.empty() ? source.Name() : source.Name() + " (" + format + ")";
}

std::string PartitionTitle(const Source& source, const Partition& partition, PartitionScheme scheme) {
  return SourceTitle(source) + ", partition " + std::to_string(partition.Number) + " (" +
         ToUtf8(DescribePartition(partition, scheme)) + ")";
}

// Whether two paths name one file: the same file of the same file system, or, where
// either is not there, the same path.
bool SameFile(const std::string& a, const std::string& b) {
  struct stat first{};
  struct stat second{};
  if (stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  std::error_code error;
  const std::filesystem::path absoluteA = std::filesystem::absolute(a, error).lexically_normal();
  const std::filesystem::path absoluteB = std::filesystem::absolute(b, error).lexically_normal();
  return !error && absoluteA == absoluteB;
}

unsigned ParseUnsigned(const std::string& text) {
  unsigned value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9' || value > 100000000) return value;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  return value;
}

}  // namespace

bool IsSupportedSectorSize(uint32_t size) {
  return size == 512 || size == 1024 || size == 2048 || size == 4096;
}

std::shared_ptr<Source> OpenSource(const std::string& path, uint32_t imageSectorSize, DeviceAuthorization when) {
  if (std::shared_ptr<Source> refused = OpenRefusedDevice(path, when)) return refused;
  if (const std::optional<uint32_t> deviceSize = DeviceSectorSize(path)) {
    return std::make_shared<RawSource>(path, *deviceSize);
  }
  // Anything but a file (a directory, a FIFO, a socket, /dev/null) is no container and
  // is not opened here; its source says why it cannot be read.
  struct stat st{};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
    return std::make_shared<RawSource>(path, IsSupportedSectorSize(imageSectorSize) ? imageSectorSize : 512);
  }
  // A file is looked at for a container's signature (or a split set's numbered name)
  // first. A container is opened here, once, and stays open while the program runs:
  // opening one parses its tables, far more work than a sector read. Raw images and
  // devices are opened when their drive is read, and kept open only while it is.
  if (std::shared_ptr<Source> container = OpenContainer(path, imageSectorSize)) return container;
  const uint32_t sectorSize =
      IsSupportedSectorSize(imageSectorSize) ? imageSectorSize : DetectImageSectorSize(ReadHead(path, kSectorSizeProbeBytes));
  return std::make_shared<RawSource>(path, sectorSize);
}

PartitionTable ReadSourcePartitionTable(Source& source) {
  const uint32_t sectorSize = source.SectorSize();
  const int64_t bytes = source.Size();
  if (bytes <= 0 || sectorSize == 0) return {};
  return ReadPartitionTable(
      [&](uint64_t sector, std::span<uint8_t> buffer) { return source.Read(sector * sectorSize, buffer, false); },
      sectorSize, static_cast<uint64_t>(bytes) / sectorSize);
}

bool DriveTable::Add(DriveEntry entry) {
  // The next letter after the last one taken: C: for the first drive.
  const char letter = entries_.empty() ? 'C' : static_cast<char>(entries_.back().Letter + 1);
  if (entries_.size() == kMaxDrives || letter > 'Z') return false;
  entry.Letter = letter;
  entry.Path = entry.From->Name();
  entry.SectorSize = entry.From->SectorSize();
  entries_.push_back(std::move(entry));
  return true;
}

bool DriveTable::AddSource(const std::shared_ptr<Source>& source, const SourceOptions& options) {
  const PartitionTable table = ReadSourcePartitionTable(*source);
  // Nothing stays open for a drive until it is read: a machine's table lists every disk.
  source->Release();
  if (options.Partition) {
    for (const Partition& p : table.Partitions) {
      if (p.Number != *options.Partition) continue;
      DriveEntry entry;
      entry.From = source;
      entry.FirstByte = p.FirstSector * table.SectorSize;
      entry.Bytes = p.SectorCount * table.SectorSize;
      entry.IsPartition = true;
      entry.Description = PartitionTitle(*source, p, table.Scheme);
      return Add(std::move(entry));
    }
    if (error_.empty()) {
      error_ = source->Name() + (table.Scheme == PartitionScheme::None
                                     ? " has no partition table"
                                     : " has no partition " + std::to_string(*options.Partition));
    }
    return true;
  }

  DriveEntry disk;
  disk.From = source;
  disk.Description = SourceTitle(*source);
  if (!Add(std::move(disk))) return false;
  for (const Partition& p : table.Partitions) {
    DriveEntry entry;
    entry.From = source;
    entry.FirstByte = p.FirstSector * table.SectorSize;
    entry.Bytes = p.SectorCount * table.SectorSize;
    entry.IsPartition = true;
    entry.Description = PartitionTitle(*source, p, table.Scheme);
    if (!Add(std::move(entry))) return false;
  }
  return AddLogicalVolumes(entries_.size() - table.Partitions.size() - 1);
}

bool DriveTable::AddLogicalVolumes(size_t first) {
  // What the disk and its partitions carry follows them: the LVs of each VG whose PVs
  // are all there now.
  if (!lvm_) lvm_ = std::make_shared<LvmAssembly>();
  const size_t end = entries_.size();
  for (size_t i = first; i < end; ++i) {
    lvm_->Look(entries_[i]);
    entries_[i].From->Release();
  }
  for (DriveEntry& entry : lvm_->TakeComplete()) {
    // An LV listed while its VG missed a PV keeps its letter, read through all of them now.
    const auto* lv = dynamic_cast<const LvmSource*>(entry.From.get());
    const auto there = std::find_if(entries_.begin(), entries_.end(), [&](const DriveEntry& drive) {
      const auto* listed = dynamic_cast<const LvmSource*>(drive.From.get());
      return lv != nullptr && listed != nullptr && listed->SameVolume(*lv);
    });
    if (there != entries_.end()) {
      entry.Letter = there->Letter;
      entry.Path = entry.From->Name();
      entry.SectorSize = entry.From->SectorSize();
      *there = std::move(entry);
      continue;
    }
    if (!Add(std::move(entry))) return false;
  }
  return true;
}

DriveTable DriveTable::FromSources(const std::vector<std::string>& sources, const SourceOptions& asked) {
  DriveTable table;
  // A volume is looked for among all the drives of the sources.
  SourceOptions options = asked;
  if (options.Volume) options.Partition.reset();
  for (const std::string& path : sources) {
    const std::shared_ptr<Source> source = OpenSource(path, options.ImageSectorSize, options.Authorization);
    if (options.Authorization != DeviceAuthorization::WhenSelected && table.error_.empty()) {
      if (const std::string why = AuthorizationFailure(*source); !why.empty()) table.error_ = "cannot open '" + path + "': " + why;
    }
    if (options.ContainersMustOpen && !source->FormatDescription().empty() && table.error_.empty()) {
      const std::string why = source->OpenError();
      if (!why.empty()) table.error_ = "cannot open '" + path + "' (" + source->FormatDescription() + "): " + why;
    }
    if (!table.AddSource(source, options)) return table;
  }
  table.AddArrays();
  // The LVs of VGs some of whose PVs were not given, after all the sources.
  if (table.lvm_) {
    for (DriveEntry& entry : table.lvm_->TakeRest()) {
      if (!table.Add(std::move(entry))) break;
    }
  }
  if (options.Volume) table.KeepVolume(*options.Volume);
  return table;
}

void DriveTable::KeepVolume(const std::string& volume) {
  std::vector<DriveEntry> kept;
  for (DriveEntry& entry : entries_) {
    if (entry.Volume == volume) kept.push_back(std::move(entry));
  }
  entries_.clear();
  if (kept.empty()) {
    if (error_.empty()) error_ = (volume.starts_with("md") ? "no md array " : "no logical volume ") + volume + " in the sources";
    return;
  }
  Add(std::move(kept.front()));
}

std::vector<char> DriveTable::Append(const std::vector<std::string>& sources, const SourceOptions& options) {
  std::vector<char> letters;
  // The sources of the drives there are: an LV among them may be read through more PVs
  // once these are added.
  const size_t first = entries_.size();
  std::vector<std::shared_ptr<Source>> kept;
  for (const DriveEntry& entry : entries_) kept.push_back(entry.From);
  for (const std::string& path : sources) {
    // A source opened again is the drives it has already: another drive of the same
    // bytes would only be a second name for them.
    if (const std::vector<char> there = DrivesOf(path); !there.empty()) {
      for (const char letter : there) {
        if (std::find(letters.begin(), letters.end(), letter) == letters.end()) letters.push_back(letter);
      }
      continue;
    }
    const size_t before = entries_.size();
    const bool room = AddSource(OpenSource(path, options.ImageSectorSize), options);
    for (size_t i = before; i < entries_.size(); ++i) letters.push_back(entries_[i].Letter);
    if (!room) return letters;
  }
  const size_t before = entries_.size();
  AddArrays();
  // As at start-up: the LVs of VGs some of whose PVs are not among the drives, after all
  // the rest; they take their whole VG's place once its other PVs are added.
  if (lvm_) {
    for (DriveEntry& entry : lvm_->TakeRest()) {
      if (!Add(std::move(entry))) break;
    }
  }
  for (size_t i = before; i < entries_.size(); ++i) letters.push_back(entries_[i].Letter);
  for (size_t i = 0; i < first; ++i) {
    if (entries_[i].From != kept[i] && std::find(letters.begin(), letters.end(), entries_[i].Letter) == letters.end()) {
      letters.push_back(entries_[i].Letter);
    }
  }
  return letters;
}

bool DriveTable::AddArrays() {
  for (const std::shared_ptr<Source>& array : AssembleMdArrays(entries_)) {
    const size_t at = entries_.size();
    const bool room = AddSource(array, {});
    // The array's whole drive is what --volume names it by ("md/data", "md0").
    if (at < entries_.size()) entries_[at].Volume = array->Name();
    if (!room) return false;
  }
  return true;
}

std::vector<char> DriveTable::DrivesOf(const std::string& path) const {
  std::vector<char> letters;
  const Source* found = nullptr;
  for (const DriveEntry& entry : entries_) {
    // A source's drives follow one another: its own, then its partitions.
    if (found == nullptr) {
      if (!SameFile(entry.From->Name(), path)) continue;
      found = entry.From.get();
    } else if (entry.From.get() != found) {
      break;
    }
    letters.push_back(entry.Letter);
  }
  return letters;
}

DriveTable DriveTable::FromMachine(const std::string& sysClassBlock, const std::string& devDir) {
  namespace fs = std::filesystem;
  struct Device {
    unsigned Major = 0;
    unsigned Minor = 0;
    unsigned PartitionNumber = 0;
    std::string Name;
  };
  struct Disk {
    Device Self;
    std::vector<Device> Partitions;
  };
  const auto readDevice = [](const fs::path& dir) -> std::optional<Device> {
    const std::string dev = ReadFirstLine(dir / "dev");  // "major:minor"
    const size_t colon = dev.find(':');
    if (colon == std::string::npos) return std::nullopt;
    Device device;
    device.Name = dir.filename().string();
    device.Major = ParseUnsigned(dev.substr(0, colon));
    device.Minor = ParseUnsigned(dev.substr(colon + 1));
    device.PartitionNumber = ParseUnsigned(ReadFirstLine(dir / "partition"));
    return device;
  };
  const auto byNumber = [](const Device& a, const Device& b) {
    return a.Major != b.Major ? a.Major < b.Major : a.Minor < b.Minor;
  };

  std::vector<Disk> disks;
  std::error_code error;
  for (const fs::directory_entry& item : fs::directory_iterator(sysClassBlock, error)) {
    const fs::path dir = item.path();
    if (fs::exists(dir / "partition", error)) continue;  // found under its disk below
    if (ReadFirstLine(dir / "size") == "0") continue;
    const std::optional<Device> self = readDevice(dir);
    if (!self) continue;
    Disk disk{*self, {}};
    for (const fs::directory_entry& child : fs::directory_iterator(dir, error)) {
      if (!child.is_directory(error) || !fs::exists(child.path() / "partition", error)) continue;
      if (ReadFirstLine(child.path() / "size") == "0") continue;
      if (const std::optional<Device> partition = readDevice(child.path())) disk.Partitions.push_back(*partition);
    }
    std::sort(disk.Partitions.begin(), disk.Partitions.end(),
              [](const Device& a, const Device& b) { return a.PartitionNumber < b.PartitionNumber; });
    disks.push_back(std::move(disk));
  }
  std::sort(disks.begin(), disks.end(), [&](const Disk& a, const Disk& b) { return byNumber(a.Self, b.Self); });

  DriveTable table;
  for (const Disk& disk : disks) {
    const std::shared_ptr<Source> whole = OpenSource(devDir + "/" + disk.Self.Name, 0);
    if (disk.Partitions.empty()) {
      // No partition nodes: the table, if any, is read through the disk itself.
      if (!table.AddSource(whole, {})) break;
      continue;
    }
    DriveEntry entry;
    entry.From = whole;
    entry.Description = whole->Name();
    if (!table.Add(std::move(entry))) break;
    bool full = false;
    for (const Device& partition : disk.Partitions) {
      DriveEntry node;
      node.From = OpenSource(devDir + "/" + partition.Name, 0);
      node.IsPartition = true;
      node.Description = node.From->Name() + ", partition " + std::to_string(partition.PartitionNumber) + " of " +
                         whole->Name();
      if (!table.Add(std::move(node))) {
        full = true;
        break;
      }
    }
    if (full) break;
  }
  return table;
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
