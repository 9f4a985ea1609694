#include "platform/posix/containers/VmdkSource.h"
#include "platform/posix/PreadFully.h"

#include <fcntl.h>
#include <libbfio.h>
#include <libvmdk.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <vector>

#include "core/Bytes.h"

namespace korvalane {
namespace {

libvmdk_handle_t* Handle(void* handle) { return static_cast<libvmdk_handle_t*>(handle); }

std::string Reason(libvmdk_error_t*& error) {
  return TakeReason(error, libvmdk_error_backtrace_sprint, libvmdk_error_free);
}

std::string BaseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The disk type as the descriptor names it ("createType").
std::string DiskTypeName(int type) {
  switch (type) {
    case LIBVMDK_DISK_TYPE_2GB_EXTENT_FLAT: return "twoGbMaxExtentFlat";
    case LIBVMDK_DISK_TYPE_2GB_EXTENT_SPARSE: return "twoGbMaxExtentSparse";
    case LIBVMDK_DISK_TYPE_CUSTOM: return "custom";
    case LIBVMDK_DISK_TYPE_DEVICE: return "fullDevice";
    case LIBVMDK_DISK_TYPE_DEVICE_PARITIONED: return "partitionedDevice";
    case LIBVMDK_DISK_TYPE_MONOLITHIC_FLAT: return "monolithicFlat";
    case LIBVMDK_DISK_TYPE_MONOLITHIC_SPARSE: return "monolithicSparse";
    case LIBVMDK_DISK_TYPE_STREAM_OPTIMIZED: return "streamOptimized";
    case LIBVMDK_DISK_TYPE_VMFS_FLAT: return "vmfs";
    case LIBVMDK_DISK_TYPE_VMFS_FLAT_PRE_ALLOCATED: return "vmfsPreallocated";
    case LIBVMDK_DISK_TYPE_VMFS_FLAT_ZEROED: return "vmfsEagerZeroedThick";
    case LIBVMDK_DISK_TYPE_VMFS_RAW: return "vmfsRaw";
    case LIBVMDK_DISK_TYPE_VMFS_RDM: return "vmfsRawDeviceMap";
    case LIBVMDK_DISK_TYPE_VMFS_RDMP: return "vmfsPassthroughRawDeviceMap";
    case LIBVMDK_DISK_TYPE_VMFS_SPARSE: return "vmfsSparse";
    case LIBVMDK_DISK_TYPE_VMFS_SPARSE_THIN: return "vmfsThin";
    default: return {};
  }
}

// The file an extent's data lies in: its name in the descriptor, in the descriptor's
// folder (where libvmdk is told to look).
std::string ExtentFile(libvmdk_handle_t* handle, int index, const std::string& folder) {
  libvmdk_error_t* error = nullptr;
  libvmdk_extent_descriptor_t* extent = nullptr;
  if (libvmdk_handle_get_extent_descriptor(handle, index, &extent, &error) != 1) {
    libvmdk_error_free(&error);
    return {};
  }
  std::string file;
  int type = 0;
  size_t size = 0;
  // Zero extents have no file; raw device maps name a device, not a file of the set.
  const bool hasFile = libvmdk_extent_descriptor_get_type(extent, &type, &error) == 1 &&
                       (type == LIBVMDK_EXTENT_TYPE_FLAT || type == LIBVMDK_EXTENT_TYPE_SPARSE ||
                        type == LIBVMDK_EXTENT_TYPE_VMFS_FLAT || type == LIBVMDK_EXTENT_TYPE_VMFS_SPARSE);
  if (hasFile && libvmdk_extent_descriptor_get_utf8_filename_size(extent, &size, &error) == 1 && size > 1 &&
      size <= 65536) {
    std::string name(size, '\0');
    if (libvmdk_extent_descriptor_get_utf8_filename(extent, reinterpret_cast<uint8_t*>(name.data()), size, &error) == 1) {
      name = UpToNul(std::move(name));
      file = InFolder(folder, BaseName(name));
    }
  }
  if (error != nullptr) libvmdk_error_free(&error);
  libvmdk_extent_descriptor_free(&extent, nullptr);
  return file;
}

// True when the file starts as a sparse extent ("KDMV"), whose descriptor is embedded in
// it.
bool IsSparseExtent(const std::string& path) {
  std::array<uint8_t, 4> magic{};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read = PreadFully(fd, 0, magic);
  close(fd);
  return read && magic == std::array<uint8_t, 4>{'K', 'D', 'M', 'V'};
}

// A sparse extent (little-endian): its header gives the flags (4 bytes at 8), the
// extent's size in sectors (8 at 12), the grain size in sectors (8 at 20), the entries
// of a grain table (4 at 44) and the grain directory's first sector (8 at 56), or all
// ones when the directory follows the grains, as in a stream-optimized extent: then the
// header's copy in the sector before the last one (the footer) says where. The directory
// holds the first sector of each grain table, a table that of each grain; a compressed
// grain starts with a 12-byte marker.
constexpr uint64_t kGrainDirectoryAtEnd = ~uint64_t{0};
constexpr uint32_t kCompressedGrains = 1u << 16;
constexpr size_t kGrainMarkerBytes = 12;

std::string SparseExtentDamage(TableFile& file) {
  std::array<uint8_t, 512> header{};
  const auto isHeader = [&] { return std::equal(header.begin(), header.begin() + 4, "KDMV"); };
  if (!file.Read(0, header) || !isHeader()) return {};
  // Without its footer libvmdk refuses such an extent.
  if (ReadLe64(header, 56) == kGrainDirectoryAtEnd &&
      (file.Size() < 1024 || !file.Read(file.Size() - 1024, header) || !isHeader())) {
    return {};
  }
  const uint32_t flags = ReadLe32(header, 8);
  const uint64_t sectors = ReadLe64(header, 12);
  const uint64_t grainSectors = ReadLe64(header, 20);
  const uint64_t tableEntries = ReadLe32(header, 44);
  const uint64_t directory = ReadLe64(header, 56);
  // Sizes that make no sense are left to libvmdk, which refuses them or reads nothing.
  if (grainSectors == 0 || grainSectors > (1 << 20) || tableEntries == 0 || tableEntries > 65536 ||
      directory == kGrainDirectoryAtEnd) {
    return {};
  }
  if (directory > file.Size() / 512) return PointsPastEnd(file.Size());
  const uint64_t tableSpan = grainSectors * tableEntries;
  const uint64_t tables = sectors / tableSpan + (sectors % tableSpan != 0 ? 1 : 0);
  if (tables > file.Size() / 4 || !file.Holds(directory * 512, tables * 4)) return PointsPastEnd(file.Size());
  std::vector<uint8_t> entries(static_cast<size_t>(std::min(tables * 4, kDamageCheckBytes)));
  if (!file.Read(directory * 512, entries)) return {};
  std::vector<uint64_t> places;
  for (size_t at = 0; at + 4 <= entries.size(); at += 4) {
    const uint64_t table = ReadLe32(entries, at);
    if (table == 0) continue;
    if (!file.Holds(table * 512, tableEntries * 4)) return PointsPastEnd(file.Size());
    places.push_back(table * 512);
  }
  // The tables written last first: what they point to lies at the file's end, which a
  // cut loses first.
  std::sort(places.begin(), places.end(), std::greater<>());
  const bool compressed = (flags & kCompressedGrains) != 0;
  std::vector<uint8_t> table(static_cast<size_t>(tableEntries * 4));
  uint64_t read = 0;
  for (const uint64_t place : places) {
    if (read > 0 && read + table.size() > kDamageCheckBytes) break;
    if (!file.Read(place, table)) return {};
    read += table.size();
    for (size_t at = 0; at + 4 <= table.size(); at += 4) {
      const uint64_t grain = ReadLe32(table, at);
      // 0: not allocated; 1: reads as zeros.
      if (grain <= 1) continue;
      const uint64_t bytes = compressed ? kGrainMarkerBytes : grainSectors * 512;
      if (!file.Holds(grain * 512, bytes)) return PointsPastEnd(file.Size());
    }
  }
  return {};
}

// What is wrong with the extents of one disk of the chain: a sparse extent's tables
// that point past its end. (A flat extent's file shorter than the extent libvmdk
// refuses to open.)
std::string ExtentDamage(libvmdk_handle_t* handle, const std::string& path) {
  libvmdk_error_t* error = nullptr;
  int extents = 0;
  if (libvmdk_handle_get_number_of_extents(handle, &extents, &error) != 1) {
    libvmdk_error_free(&error);
    return {};
  }
  if (extents == 1 && IsSparseExtent(path)) {
    TableFile file(path);
    return SparseExtentDamage(file);
  }
  for (int i = 0; i < extents; ++i) {
    const std::string name = ExtentFile(handle, i, FolderOf(path));
    if (name.empty() || !IsSparseExtent(name)) continue;
    TableFile file(name);
    if (std::string damage = SparseExtentDamage(file); !damage.empty()) return "extent file '" + name + "': " + damage;
  }
  return {};
}

}  // namespace

VmdkSource::VmdkSource(const std::string& path, uint32_t imageSectorSize) : ContainerSource(path, "VMDK") {
  if (!OpenDisk(path, 0)) return;
  libvmdk_error_t* error = nullptr;
  libvmdk_handle_t* top = Handle(chain_.front());
  int type = 0;
  if (libvmdk_handle_get_disk_type(top, &type, &error) == 1 && !DiskTypeName(type).empty()) {
    format_ += ", " + DiskTypeName(type);
  }
  int extents = 0;
  if (libvmdk_handle_get_number_of_extents(top, &extents, &error) == 1 && extents > 1) {
    format_ += ", " + std::to_string(extents) + " extents";
  }
  if (chain_.size() > 1) format_ += chain_.size() == 2 ? ", 1 parent" : ", " + std::to_string(chain_.size() - 1) + " parents";
  size64_t mediaSize = 0;
  if (libvmdk_handle_get_media_size(top, &mediaSize, &error) != 1) {
    Failed(Reason(error));
    return;
  }
  if (error != nullptr) libvmdk_error_free(&error);
  Opened(mediaSize, 0, imageSectorSize);
  for (size_t i = 0; i < chain_.size() && damage_.empty(); ++i) {
    const std::string damage = ExtentDamage(Handle(chain_[i]), disks_[i]);
    if (!damage.empty()) damage_ = (i == 0 ? std::string() : "parent '" + disks_[i] + "': ") + damage;
  }
}

bool VmdkSource::OpenDisk(const std::string& path, size_t depth) {
  libvmdk_error_t* error = nullptr;
  libvmdk_handle_t* handle = nullptr;
  if (libvmdk_handle_initialize(&handle, &error) != 1) {
    Failed(Reason(error));
    return false;
  }
  chain_.push_back(handle);
  disks_.push_back(path);
  files_.push_back(path);
  const std::string what = depth == 0 ? std::string() : "parent '" + path + "': ";
  if (libvmdk_handle_open(handle, path.c_str(), LIBVMDK_OPEN_READ, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  const std::string folder = FolderOf(path);
  int extents = 0;
  if (libvmdk_handle_get_number_of_extents(handle, &extents, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  // A monolithic sparse disk is its own one extent, whatever name its embedded
  // descriptor gives it: the name it had when it was made, which a renamed copy no
  // longer has. Its data is read from the file itself.
  if (extents == 1 && IsSparseExtent(path)) {
    libbfio_handle_t* file = nullptr;
    libbfio_pool_t* pool = nullptr;
    int entry = 0;
    bool ready = libbfio_file_initialize(&file, nullptr) == 1 &&
                 libbfio_file_set_name(file, path.c_str(), path.size(), nullptr) == 1 &&
                 libbfio_pool_initialize(&pool, 0, LIBBFIO_POOL_UNLIMITED_NUMBER_OF_OPEN_HANDLES, nullptr) == 1;
    if (ready && libbfio_pool_append_handle(pool, &entry, file, LIBBFIO_OPEN_READ, nullptr) == 1) {
      file = nullptr;  // the pool owns it now
    } else {
      ready = false;
    }
    if (file != nullptr) libbfio_handle_free(&file, nullptr);
    if (pool != nullptr) pools_.push_back(pool);
    if (!ready || libvmdk_handle_open_extent_data_files_file_io_pool(handle, pool, &error) != 1) {
      Failed(what + (error != nullptr ? Reason(error) : std::string("cannot read its own extent")));
      return false;
    }
    return OpenParent(handle, path, depth);
  }
  // The descriptor names the extent files; one that is not there would otherwise come
  // out as a bare "unable to open" from the library.
  for (int i = 0; i < extents; ++i) {
    const std::string file = ExtentFile(handle, i, folder);
    if (!file.empty()) files_.push_back(file);
    if (!file.empty() && !FileExists(file)) {
      Failed(what + "extent file '" + file + "' is missing");
      return false;
    }
  }
  if (libvmdk_handle_set_extent_data_files_path(handle, folder.c_str(), folder.size(), &error) != 1 ||
      libvmdk_handle_open_extent_data_files(handle, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  return OpenParent(handle, path, depth);
}

bool VmdkSource::OpenParent(void* disk, const std::string& path, size_t depth) {
  libvmdk_error_t* error = nullptr;
  libvmdk_handle_t* handle = Handle(disk);
  const std::string folder = FolderOf(path);
  const std::string what = depth == 0 ? std::string() : "parent '" + path + "': ";
  // A delta disk reads what it does not hold from its parent ("parentFileNameHint").
  size_t size = 0;
  if (libvmdk_handle_get_utf8_parent_filename_size(handle, &size, &error) != 1 || size <= 1 || size > 65536) {
    if (error != nullptr) libvmdk_error_free(&error);
    return true;
  }
  std::string name(size, '\0');
  if (libvmdk_handle_get_utf8_parent_filename(handle, reinterpret_cast<uint8_t*>(name.data()), size, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  name = UpToNul(std::move(name));
  const std::string parent = InFolder(folder, name);
  if (!CanFollow(parent, depth, what, "parent disks", "parent file")) return false;
  if (!OpenDisk(parent, depth + 1)) return false;
  if (libvmdk_handle_set_parent_handle(handle, Handle(chain_[depth + 1]), &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  return true;
}

VmdkSource::~VmdkSource() {
  // The disk named first, then each parent it reads through, then the files libvmdk was
  // handed rather than opening them itself.
  for (void* item : chain_) {
    libvmdk_handle_t* handle = Handle(item);
    libvmdk_handle_close(handle, nullptr);
    libvmdk_handle_free(&handle, nullptr);
  }
  for (void* item : pools_) {
    auto* pool = static_cast<libbfio_pool_t*>(item);
    libbfio_pool_close_all(pool, nullptr);
    libbfio_pool_free(&pool, nullptr);
  }
}

int64_t VmdkSource::ReadMedia(uint64_t position, std::span<uint8_t> buffer) {
  libvmdk_error_t* error = nullptr;
  const ssize_t got = libvmdk_handle_read_buffer_at_offset(Handle(chain_.front()), buffer.data(), buffer.size(),
                                                           static_cast<off64_t>(position), &error);
  if (error != nullptr) libvmdk_error_free(&error);
  return got;
}

}  // namespace korvalane
