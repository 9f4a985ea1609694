#include "platform/posix/containers/VmdkSource.h"

#include <fcntl.h>
#include <libbfio.h>
#include <libvmdk.h>
#include <unistd.h>

#include <array>

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
  const bool read = pread(fd, magic.data(), magic.size(), 0) == static_cast<ssize_t>(magic.size());
  close(fd);
  return read && magic == std::array<uint8_t, 4>{'K', 'D', 'M', 'V'};
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
}

bool VmdkSource::OpenDisk(const std::string& path, size_t depth) {
  libvmdk_error_t* error = nullptr;
  libvmdk_handle_t* handle = nullptr;
  if (libvmdk_handle_initialize(&handle, &error) != 1) {
    Failed(Reason(error));
    return false;
  }
  chain_.push_back(handle);
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
