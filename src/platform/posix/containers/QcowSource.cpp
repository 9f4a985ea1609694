#include "platform/posix/containers/QcowSource.h"

#include <fcntl.h>
#include <libqcow.h>
#include <unistd.h>

#include <algorithm>
#include <array>

namespace korvalane {
namespace {

libqcow_file_t* File(void* file) { return static_cast<libqcow_file_t*>(file); }

std::string Reason(libqcow_error_t*& error) {
  return TakeReason(error, libqcow_error_backtrace_sprint, libqcow_error_free);
}

// "QFI" 0xFB: the magic every QCOW version starts with.
bool StartsAsQcow(const std::string& path) {
  std::array<uint8_t, 4> magic{};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool read = pread(fd, magic.data(), magic.size(), 0) == static_cast<ssize_t>(magic.size());
  close(fd);
  return read && magic == std::array<uint8_t, 4>{'Q', 'F', 'I', 0xFB};
}

// The cluster size of a QCOW image, from its header (big-endian): version 1 keeps the
// cluster bits in a byte at 32, later versions in a 32-bit field at 20. 512 when the
// header says nothing sensible.
uint64_t ClusterBytes(const std::string& path) {
  std::array<uint8_t, 36> header{};
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 512;
  const bool read = pread(fd, header.data(), header.size(), 0) == static_cast<ssize_t>(header.size());
  close(fd);
  if (!read) return 512;
  const auto be32 = [&](size_t at) {
    return uint32_t{header[at]} << 24 | uint32_t{header[at + 1]} << 16 | uint32_t{header[at + 2]} << 8 | header[at + 3];
  };
  const uint32_t bits = be32(4) == 1 ? header[32] : be32(20);
  return bits >= 9 && bits <= 21 ? uint64_t{1} << bits : 512;
}

}  // namespace

QcowSource::QcowSource(const std::string& path, uint32_t imageSectorSize) : ContainerSource(path, "QCOW2") {
  if (!OpenImage(path, 0)) return;
  libqcow_error_t* error = nullptr;
  for (const std::string& image : paths_) clusterBytes_ = std::min(clusterBytes_, ClusterBytes(image));
  libqcow_file_t* top = File(chain_.front());
  uint32_t version = 0;
  if (libqcow_file_get_format_version(top, &version, &error) == 1 && version == 1) format_ = "QCOW";
  if (chain_.size() > 1) {
    format_ += chain_.size() == 2 ? ", 1 backing file" : ", " + std::to_string(chain_.size() - 1) + " backing files";
  }
  size64_t mediaSize = 0;
  if (libqcow_file_get_media_size(top, &mediaSize, &error) != 1) {
    Failed(Reason(error));
    return;
  }
  if (error != nullptr) libqcow_error_free(&error);
  Opened(mediaSize, 0, imageSectorSize);
}

bool QcowSource::OpenImage(const std::string& path, size_t depth) {
  libqcow_error_t* error = nullptr;
  libqcow_file_t* file = nullptr;
  if (libqcow_file_initialize(&file, &error) != 1) {
    Failed(Reason(error));
    return false;
  }
  chain_.push_back(file);
  paths_.push_back(path);
  files_.push_back(path);
  const std::string what = depth == 0 ? std::string() : "backing file '" + path + "': ";
  if (libqcow_file_open(file, path.c_str(), LIBQCOW_OPEN_READ, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  // Without its key an encrypted image would read as noise.
  uint32_t encryption = LIBQCOW_ENCRYPTION_METHOD_NONE;
  if (libqcow_file_get_encryption_method(file, &encryption, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  if (encryption != LIBQCOW_ENCRYPTION_METHOD_NONE) {
    Failed(what + (encryption == LIBQCOW_ENCRYPTION_METHOD_LUKS ? std::string("it is encrypted (LUKS)")
                                                                 : std::string("it is encrypted (AES)")) +
           ", and no key is given");
    return false;
  }

  // An overlay reads what it does not hold from its backing file, whose name is stored
  // relative to the overlay's folder (or absolute).
  size_t size = 0;
  if (libqcow_file_get_utf8_backing_filename_size(file, &size, &error) != 1 || size <= 1 || size > 65536) {
    if (error != nullptr) libqcow_error_free(&error);
    return true;
  }
  std::string name(size, '\0');
  if (libqcow_file_get_utf8_backing_filename(file, reinterpret_cast<uint8_t*>(name.data()), size, &error) != 1) {
    Failed(what + Reason(error));
    return false;
  }
  name = UpToNul(std::move(name));
  const std::string backing = InFolder(FolderOf(path), name);
  if (!CanFollow(backing, depth, what, "backing files", "backing file")) return false;
  // libqcow reads through a QCOW backing file only; qemu also allows raw ones.
  if (!StartsAsQcow(backing)) {
    Failed(what + "backing file '" + backing + "' is not a QCOW image, and only QCOW backing files can be read");
    return false;
  }
  if (!OpenImage(backing, depth + 1)) return false;
  if (libqcow_file_set_parent_file(file, File(chain_[depth + 1]), &error) != 1) {
    Failed(what + "backing file '" + backing + "': " + Reason(error));
    return false;
  }
  return true;
}

QcowSource::~QcowSource() {
  for (void* item : chain_) {
    libqcow_file_t* file = File(item);
    libqcow_file_close(file, nullptr);
    libqcow_file_free(&file, nullptr);
  }
}

int64_t QcowSource::ReadMedia(uint64_t position, std::span<uint8_t> buffer) {
  // A read that begins in a cluster the overlay does not hold is passed to the backing
  // file whole by libqcow, clusters of the overlay's own after it included; so with a
  // backing file, reads go one cluster at a time (of the smallest size in the chain).
  if (chain_.size() > 1) {
    buffer = buffer.first(static_cast<size_t>(std::min<uint64_t>(buffer.size(), clusterBytes_ - position % clusterBytes_)));
  }
  libqcow_error_t* error = nullptr;
  const ssize_t got = libqcow_file_read_buffer_at_offset(File(chain_.front()), buffer.data(), buffer.size(),
                                                         static_cast<off64_t>(position), &error);
  if (error != nullptr) libqcow_error_free(&error);
  return got;
}

}  // namespace korvalane
