#include "platform/posix/containers/VhdiSource.h"

#include <libvhdi.h>

#include <algorithm>
#include <array>
#include <vector>

#include "core/Bytes.h"

namespace korvalane {
namespace {

libvhdi_file_t* File(void* file) { return static_cast<libvhdi_file_t*>(file); }

std::string Reason(libvhdi_error_t*& error) {
  return TakeReason(error, libvhdi_error_backtrace_sprint, libvhdi_error_free);
}

using Guid = std::array<uint8_t, 16>;

// VHDX (little-endian). The region table at 192 KiB says where the block allocation
// table (BAT) and the metadata lie; the metadata gives the block size, the logical
// sector size and the disk's size. A BAT entry holds a block's state in bits 0-2 and its
// place in the file, in MiB, from bit 20; after every chunk of payload blocks comes the
// entry of their sector bitmap (1 MiB), so a chunk is 2^23 sectors.
constexpr uint64_t kVhdxRegionTable = 192 * 1024;
constexpr size_t kVhdxRegionEntries = 2047;
constexpr size_t kVhdxMetadataEntries = 2047;
constexpr uint64_t kMiB = 1 << 20;
// The GUIDs as they are stored: the first three groups little-endian.
constexpr Guid kBatRegion = {0x66, 0x77, 0xC2, 0x2D, 0x23, 0xF6, 0x00, 0x42,
                             0x9D, 0x64, 0x11, 0x5E, 0x9B, 0xFD, 0x4A, 0x08};
constexpr Guid kMetadataRegion = {0x06, 0xA2, 0x7C, 0x8B, 0x90, 0x47, 0x9A, 0x4B,
                                  0xB8, 0xFE, 0x57, 0x5F, 0x05, 0x0F, 0x88, 0x6E};
constexpr Guid kFileParameters = {0x37, 0x67, 0xA1, 0xCA, 0x36, 0xFA, 0x43, 0x4D,
                                  0xB3, 0xB6, 0x33, 0xF0, 0xAA, 0x44, 0xE7, 0x6B};
constexpr Guid kVirtualDiskSize = {0x24, 0x42, 0xA5, 0x2F, 0x1B, 0xCD, 0x76, 0x48,
                                   0xB2, 0x11, 0x5D, 0xBE, 0xD8, 0x3B, 0xF4, 0xB8};
constexpr Guid kLogicalSectorSize = {0x1D, 0xBF, 0x41, 0x81, 0x6F, 0xA9, 0x09, 0x47,
                                     0xBA, 0x47, 0xF2, 0x33, 0xA8, 0xFA, 0xAB, 0x5F};
constexpr uint64_t kBlockFullyPresent = 6;  // also a sector bitmap's "present"
constexpr uint64_t kBlockPartiallyPresent = 7;

bool IsGuid(std::span<const uint8_t> bytes, size_t at, const Guid& guid) {
  return at <= bytes.size() && guid.size() <= bytes.size() - at &&
         std::equal(guid.begin(), guid.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
}

std::string VhdxDamage(TableFile& file) {
  std::vector<uint8_t> regions(16 + kVhdxRegionEntries * 32);
  if (!file.Read(kVhdxRegionTable, regions) || !std::equal(regions.begin(), regions.begin() + 4, "regi")) return {};
  uint64_t batOffset = 0, batLength = 0, metadataOffset = 0, metadataLength = 0;
  const size_t regionCount = std::min<size_t>(ReadLe32(regions, 8), kVhdxRegionEntries);
  for (size_t i = 0; i < regionCount; ++i) {
    const size_t at = 16 + i * 32;
    if (IsGuid(regions, at, kBatRegion)) {
      batOffset = ReadLe64(regions, at + 16);
      batLength = ReadLe32(regions, at + 24);
    } else if (IsGuid(regions, at, kMetadataRegion)) {
      metadataOffset = ReadLe64(regions, at + 16);
      metadataLength = ReadLe32(regions, at + 24);
    }
  }
  if (!file.Holds(batOffset, batLength) || !file.Holds(metadataOffset, metadataLength)) return PointsPastEnd(file.Size());
  std::vector<uint8_t> metadata(32 + kVhdxMetadataEntries * 32);
  if (metadataLength < metadata.size() || !file.Read(metadataOffset, metadata) ||
      !std::equal(metadata.begin(), metadata.begin() + 8, "metadata")) {
    return {};
  }
  uint64_t blockSize = 0, diskSize = 0, sectorSize = 0;
  const size_t itemCount = std::min<size_t>(ReadLe16(metadata, 10), kVhdxMetadataEntries);
  for (size_t i = 0; i < itemCount; ++i) {
    const size_t at = 32 + i * 32;
    const uint32_t offset = ReadLe32(metadata, at + 16);
    std::array<uint8_t, 8> item{};
    if (offset > metadataLength || item.size() > metadataLength - offset || !file.Read(metadataOffset + offset, item)) {
      continue;
    }
    if (IsGuid(metadata, at, kFileParameters)) blockSize = ReadLe32(item, 0);
    if (IsGuid(metadata, at, kVirtualDiskSize)) diskSize = ReadLe64(item, 0);
    if (IsGuid(metadata, at, kLogicalSectorSize)) sectorSize = ReadLe32(item, 0);
  }
  // Blocks of 1 MiB to 256 MiB, a power of two; sectors of 512 or 4096 bytes. Anything
  // else libvhdi refuses.
  if (blockSize < kMiB || blockSize > 256 * kMiB || (blockSize & (blockSize - 1)) != 0 ||
      (sectorSize != 512 && sectorSize != 4096)) {
    return {};
  }
  const uint64_t chunkBlocks = (uint64_t{1} << 23) * sectorSize / blockSize;
  const uint64_t dataBlocks = diskSize / blockSize + (diskSize % blockSize != 0 ? 1 : 0);
  // The table is 8 bytes a block: 256 KiB for a 1 TiB disk of 32 MiB blocks.
  const uint64_t entries = std::min(batLength, kDamageCheckBytes) / 8;
  std::vector<uint8_t> bat(static_cast<size_t>(entries * 8));
  if (!file.Read(batOffset, bat)) return {};
  for (uint64_t index = 0; index < entries; ++index) {
    const uint64_t entry = ReadLe64(bat, static_cast<size_t>(index * 8));
    const uint64_t state = entry & 7;
    const uint64_t place = (entry >> 20) * kMiB;
    if ((index + 1) % (chunkBlocks + 1) == 0) {
      if (state == kBlockFullyPresent && !file.Holds(place, kMiB)) return PointsPastEnd(file.Size());
      continue;
    }
    // The last block holds only what is left of the disk; nothing is read past that.
    const uint64_t block = index - index / (chunkBlocks + 1);
    if (block >= dataBlocks) continue;
    const uint64_t bytes = std::min(blockSize, diskSize - block * blockSize);
    if ((state == kBlockFullyPresent || state == kBlockPartiallyPresent) && !file.Holds(place, bytes)) {
      return PointsPastEnd(file.Size());
    }
  }
  return {};
}

// A dynamic or differencing VHD (big-endian): the copy of the footer at the start gives
// the dynamic header's place (8 bytes at 16); that header gives the block allocation
// table's place (8 at 16), its entries (4 at 28) and the block size (4 at 32). An entry
// is a block's first sector in the file, all ones for none; a block is its sector
// bitmap, in whole sectors, then its bytes.
std::string VhdDamage(TableFile& file) {
  std::array<uint8_t, 512> footer{};
  std::array<uint8_t, 1024> header{};
  if (!file.Read(0, footer) || !std::equal(footer.begin(), footer.begin() + 8, "conectix")) return {};
  if (!file.Read(ReadBe(footer, 16, 8), header) || !std::equal(header.begin(), header.begin() + 8, "cxsparse")) {
    return {};
  }
  const uint64_t tableOffset = ReadBe(header, 16, 8);
  const uint64_t tableEntries = ReadBe(header, 28, 4);
  const uint64_t blockSize = ReadBe(header, 32, 4);
  if (blockSize == 0 || blockSize % 512 != 0) return {};
  if (!file.Holds(tableOffset, tableEntries * 4)) return PointsPastEnd(file.Size());
  const uint64_t bitmapBytes = (blockSize / 512 / 8 + 511) / 512 * 512;
  std::vector<uint8_t> table(static_cast<size_t>(std::min(tableEntries * 4, kDamageCheckBytes)));
  if (!file.Read(tableOffset, table)) return {};
  for (size_t at = 0; at + 4 <= table.size(); at += 4) {
    const uint64_t sector = ReadBe(table, at, 4);
    if (sector != 0xFFFFFFFF && !file.Holds(sector * 512, bitmapBytes + blockSize)) {
      return PointsPastEnd(file.Size());
    }
  }
  return {};
}

}  // namespace

std::string VhdParentPath(const std::string& child, const std::string& storedName) {
  const size_t separator = storedName.find_last_of("\\/");
  const std::string name = separator == std::string::npos ? storedName : storedName.substr(separator + 1);
  return InFolder(FolderOf(child), name);
}

VhdiSource::VhdiSource(const std::string& path, uint32_t imageSectorSize) : ContainerSource(path, "VHD") {
  libvhdi_error_t* error = nullptr;
  if (!OpenDisk(path, 0)) return;
  libvhdi_file_t* top = File(chain_.front());
  int fileType = 0;
  uint32_t diskType = 0;
  if (libvhdi_file_get_file_type(top, &fileType, &error) == 1 && fileType == LIBVHDI_FILE_TYPE_VHDX) format_ = "VHDX";
  if (libvhdi_file_get_disk_type(top, &diskType, &error) == 1) {
    if (diskType == LIBVHDI_DISK_TYPE_FIXED) format_ += ", fixed";
    if (diskType == LIBVHDI_DISK_TYPE_DYNAMIC) format_ += ", dynamic";
    if (diskType == LIBVHDI_DISK_TYPE_DIFFERENTIAL) format_ += ", differencing";
  }
  if (chain_.size() > 1) format_ += chain_.size() == 2 ? ", 1 parent" : ", " + std::to_string(chain_.size() - 1) + " parents";
  size64_t mediaSize = 0;
  if (libvhdi_file_get_media_size(top, &mediaSize, &error) != 1) {
    Failed(Reason(error));
    return;
  }
  // A VHDX stores its logical sector size (512 or 4096); a VHD has none, and libvhdi
  // answers 512 for it whatever the disk inside uses.
  uint32_t stored = 0;
  if (fileType == LIBVHDI_FILE_TYPE_VHDX && libvhdi_file_get_bytes_per_sector(top, &stored, &error) != 1) stored = 0;
  if (error != nullptr) libvhdi_error_free(&error);
  Opened(mediaSize, stored, imageSectorSize);
  for (size_t i = 0; i < files_.size() && damage_.empty(); ++i) {
    TableFile file(files_[i]);
    std::array<uint8_t, 8> signature{};
    if (!file.Read(0, signature)) continue;
    const bool vhdx = std::equal(signature.begin(), signature.end(), "vhdxfile");
    const std::string damage = vhdx ? VhdxDamage(file) : VhdDamage(file);
    if (!damage.empty()) damage_ = (i == 0 ? std::string() : "parent '" + files_[i] + "': ") + damage;
  }
}

bool VhdiSource::OpenDisk(const std::string& path, size_t depth) {
  libvhdi_error_t* error = nullptr;
  libvhdi_file_t* file = nullptr;
  if (libvhdi_file_initialize(&file, &error) != 1) {
    Failed(Reason(error));
    return false;
  }
  chain_.push_back(file);
  files_.push_back(path);
  const std::string what = depth == 0 ? std::string() : "parent '" + path + "': ";
  if (libvhdi_file_open(file, path.c_str(), LIBVHDI_OPEN_READ, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  uint32_t diskType = 0;
  if (libvhdi_file_get_disk_type(file, &diskType, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  if (diskType != LIBVHDI_DISK_TYPE_DIFFERENTIAL) return true;

  // Without its parent a differencing disk would read as zeros wherever it holds no
  // block of its own.
  size_t size = 0;
  if (libvhdi_file_get_utf8_parent_filename_size(file, &size, &error) != 1 || size <= 1 || size > 65536) {
    if (error != nullptr) libvhdi_error_free(&error);
    Failed(what + "it is a differencing disk that names no parent");
    return false;
  }
  std::string name(size, '\0');
  if (libvhdi_file_get_utf8_parent_filename(file, reinterpret_cast<uint8_t*>(name.data()), size, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  name = UpToNul(std::move(name));
  const std::string parent = VhdParentPath(path, name);
  if (!CanFollow(parent, depth, what, "parent disks", "parent file")) return false;
  if (!OpenDisk(parent, depth + 1)) return false;
  if (libvhdi_file_set_parent_file(file, File(chain_[depth + 1]), &error) != 1) {
    Failed(what + "parent '" + parent + "': " + Reason(error));
    return false;
  }
  return true;
}

VhdiSource::~VhdiSource() {
  for (void* item : chain_) {
    libvhdi_file_t* file = File(item);
    libvhdi_file_close(file, nullptr);
    libvhdi_file_free(&file, nullptr);
  }
}

int64_t VhdiSource::ReadMedia(uint64_t position, std::span<uint8_t> buffer) {
  libvhdi_error_t* error = nullptr;
  const ssize_t got = libvhdi_file_read_buffer_at_offset(File(chain_.front()), buffer.data(), buffer.size(),
                                                         static_cast<off64_t>(position), &error);
  if (error != nullptr) libvhdi_error_free(&error);
  return got;
}

}  // namespace korvalane
