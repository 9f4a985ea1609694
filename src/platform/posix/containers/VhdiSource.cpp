#include "platform/posix/containers/VhdiSource.h"

#include <libvhdi.h>

namespace korvalane {
namespace {

libvhdi_file_t* File(void* file) { return static_cast<libvhdi_file_t*>(file); }

std::string Reason(libvhdi_error_t*& error) {
  return TakeReason(error, libvhdi_error_backtrace_sprint, libvhdi_error_free);
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
