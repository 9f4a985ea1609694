#include "platform/posix/containers/QcowSource.h"
#include "platform/posix/PreadFully.h"

#include <fcntl.h>
#include <libqcow.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <functional>
#include <optional>

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
  const bool read = PreadFully(fd, 0, magic);
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
  const bool read = PreadFully(fd, 0, header);
  close(fd);
  if (!read) return 512;
  const auto be32 = [&](size_t at) {
    return uint32_t{header[at]} << 24 | uint32_t{header[at + 1]} << 16 | uint32_t{header[at + 2]} << 8 | header[at + 3];
  };
  const uint32_t bits = be32(4) == 1 ? header[32] : be32(20);
  return bits >= 9 && bits <= 21 ? uint64_t{1} << bits : 512;
}


// The header fields the tables are found by. Version 1: the disk's size (64-bit) at 24,
// the cluster bits (a byte) at 32, the level 2 bits (a byte) at 33 and the level 1
// table's offset (64-bit) at 40. Versions 2 and 3: the cluster bits (32-bit) at 20, the
// disk's size at 24, the level 1 table's entries (32-bit) at 36 and its offset at 40.
constexpr size_t kHeaderBytes = 48;
constexpr size_t kVersionOffset = 4;
constexpr size_t kClusterBitsOffset = 20;
constexpr size_t kMediaSizeOffset = 24;
constexpr size_t kVersion1ClusterBitsOffset = 32;
constexpr size_t kVersion1Level2BitsOffset = 33;
constexpr size_t kLevel1EntriesOffset = 36;
constexpr size_t kLevel1OffsetOffset = 40;
// Table entries, as libqcow reads them: version 1 keeps the offset in bits 0 to 62 and
// marks a compressed cluster with bit 63; versions 2 and 3 keep it in bits 0 to 61 and
// mark a compressed cluster with bit 62 (bit 63 says the cluster is not shared). A
// compressed cluster's offset is in the bits below 63 (or 62) - cluster bits.
constexpr uint64_t kVersion1OffsetBits = 0x7FFFFFFFFFFFFFFFull;
constexpr uint64_t kOffsetBits = 0x3FFFFFFFFFFFFFFFull;

}  // namespace

bool QcowClusterMap::Read(int fd, uint64_t fileSize) {
  fd_ = fd;
  fileSize_ = fileSize;
  valid_ = false;
  std::array<uint8_t, kHeaderBytes> header{};
  if (fd < 0 || !PreadFully(fd, 0, header)) return false;
  version_ = static_cast<uint32_t>(ReadBe(header, kVersionOffset, 4));
  const uint64_t mediaSize = ReadBe(header, kMediaSizeOffset, 8);
  level1Offset_ = ReadBe(header, kLevel1OffsetOffset, 8);
  if (version_ == 1) {
    clusterBits_ = header[kVersion1ClusterBitsOffset];
    level2Bits_ = header[kVersion1Level2BitsOffset];
  } else if (version_ == 2 || version_ == 3) {
    clusterBits_ = static_cast<uint32_t>(ReadBe(header, kClusterBitsOffset, 4));
    level2Bits_ = clusterBits_ >= 3 ? clusterBits_ - 3 : 0;
  } else {
    return false;
  }
  if (clusterBits_ < 9 || clusterBits_ > 30 || level2Bits_ < 1 || level2Bits_ > 30) return false;
  if (version_ == 1) {
    // Version 1 stores no entry count: as many as the disk's size needs.
    const uint32_t span = clusterBits_ + level2Bits_;
    level1Entries_ = (mediaSize >> span) + ((mediaSize & ((uint64_t{1} << span) - 1)) != 0 ? 1 : 0);
  } else {
    level1Entries_ = ReadBe(header, kLevel1EntriesOffset, 4);
  }
  valid_ = true;
  return true;
}

std::optional<uint64_t> QcowClusterMap::Level2Table(uint64_t level1Entry) const {
  const uint64_t level2 = level1Entry & (version_ == 1 ? kVersion1OffsetBits : kOffsetBits);
  if (level2 == 0) return 0;
  // Version 1 sizes a level 2 table by its own bits; later versions make it a cluster.
  // libqcow reads a table, and a cluster, from the start of the table or cluster its
  // offset falls in, so one that is not aligned is not where the entry says: qemu never
  // writes one, and it is taken for damage.
  const uint64_t tableBytes = Level2Bytes();
  if (level2 % tableBytes != 0 || level2 % ClusterBytes() != 0 || level2 > fileSize_ || tableBytes > fileSize_ - level2) {
    return std::nullopt;
  }
  return level2;
}

bool QcowClusterMap::IsCompressed(uint64_t level2Entry) const {
  return (level2Entry >> (version_ == 1 ? 63 : 62) & 1) != 0;
}

QcowClusterMap::Place QcowClusterMap::Classify(uint64_t level2Entry) const {
  const uint64_t offsetBits = version_ == 1 ? kVersion1OffsetBits : kOffsetBits;
  if (IsCompressed(level2Entry)) {
    // The offset below the shift, the compressed length above it. Versions 2 and 3 store
    // it in sectors (less one), so it may run past the file's end by up to a sector, and
    // libqcow keeps that read within the file; only the start must be there. Version 1
    // stores it in bytes, and libqcow takes it as it is: a length of none leaves the
    // cluster without a buffer at all.
    const uint32_t shift = (version_ == 1 ? 63 : 62) - clusterBits_;
    const uint64_t field = level2Entry & offsetBits;
    const uint64_t start = field & ((uint64_t{1} << shift) - 1);
    if (start >= fileSize_) return Place::CutOff;
    if (version_ != 1) return Place::InFile;
    const uint64_t length = field >> shift;
    return length > 0 && length <= fileSize_ - start ? Place::InFile : Place::CutOff;
  }
  // Version 3 marks a cluster that reads as zeros with bit 0 (its offset, if any, is
  // space kept for it). libqcow knows no such mark and would give the bytes at that
  // offset, or at the header for none.
  if (version_ == 3 && (level2Entry & 1) != 0) return Place::Zeros;
  const uint64_t offset = level2Entry & offsetBits;
  if (offset == 0) return Place::Unallocated;
  return offset % ClusterBytes() == 0 && offset <= fileSize_ && ClusterBytes() <= fileSize_ - offset ? Place::InFile
                                                                                                      : Place::CutOff;
}

QcowClusterMap::Place QcowClusterMap::Locate(uint64_t position) const {
  if (!valid_) return Place::CutOff;
  const uint64_t cluster = position >> clusterBits_;
  const uint64_t level1Index = cluster >> level2Bits_;
  // Past the level 1 table libqcow reads nothing from the file.
  if (level1Index >= level1Entries_) return Place::Unallocated;
  std::array<uint8_t, 8> entry{};
  if (level1Offset_ > fileSize_ || level1Index > (fileSize_ - level1Offset_) / 8 ||
      !PreadFully(fd_, level1Offset_ + level1Index * 8, entry)) {
    return Place::CutOff;
  }
  const std::optional<uint64_t> level2 = Level2Table(ReadBe(entry, 0, 8));
  if (!level2) return Place::CutOff;
  if (*level2 == 0) return Place::Unallocated;
  const uint64_t level2Index = cluster & ((uint64_t{1} << level2Bits_) - 1);
  if (!PreadFully(fd_, *level2 + level2Index * 8, entry)) return Place::CutOff;
  return Classify(ReadBe(entry, 0, 8));
}

std::string QcowClusterMap::FindDamage(uint64_t budget) const {
  // A header that makes no sense leaves every cluster unreadable, and libqcow says so.
  if (!valid_ || level1Entries_ == 0) return {};
  if (level1Entries_ > UINT64_MAX / 8 || PastEnd(fileSize_, level1Offset_, level1Entries_ * 8)) {
    return PointsPastEnd(fileSize_);
  }
  // The level 1 table (8 bytes for each 512 MiB of a disk of 64 KiB clusters) is read
  // whole within the budget; each level 2 table it names must lie in the file.
  const uint64_t level1Bytes = std::min(level1Entries_ * 8, budget);
  std::vector<uint8_t> level1(static_cast<size_t>(level1Bytes));
  if (!PreadFully(fd_, level1Offset_, level1)) return {};
  const uint64_t offsetBits = version_ == 1 ? kVersion1OffsetBits : kOffsetBits;
  std::vector<uint64_t> tables;
  for (size_t at = 0; at + 8 <= level1.size(); at += 8) {
    const uint64_t level2 = ReadBe(level1, at, 8) & offsetBits;
    if (level2 == 0) continue;
    if (PastEnd(fileSize_, level2, Level2Bytes())) return PointsPastEnd(fileSize_);
    if (!Level2Table(level2)) continue;  // not at a table's place: damaged, but not cut
    tables.push_back(level2);
  }
  // The tables written last first: a cut loses the file's end, and what the last tables
  // point to lies there. They are read in pieces (a table is a cluster, up to 2 MiB), at
  // least one of them, however large.
  std::sort(tables.begin(), tables.end(), std::greater<>());
  constexpr uint64_t kPieceBytes = 64 * 1024;
  std::vector<uint8_t> piece(static_cast<size_t>(std::min(Level2Bytes(), kPieceBytes)));
  uint64_t read = 0;
  for (const uint64_t level2 : tables) {
    for (uint64_t at = 0; at < Level2Bytes(); at += piece.size()) {
      if (read > 0 && read + piece.size() > budget) return {};
      if (!PreadFully(fd_, level2 + at, piece)) return {};
      read += piece.size();
      for (size_t entry = 0; entry + 8 <= piece.size(); entry += 8) {
        const uint64_t value = ReadBe(piece, entry, 8);
        if (Classify(value) != Place::CutOff) continue;
        // A cluster within the file but not at a cluster's start is damage of another kind.
        if (!IsCompressed(value) && (value & offsetBits) % ClusterBytes() != 0) continue;
        return PointsPastEnd(fileSize_);
      }
    }
  }
  return {};
}

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
  for (size_t i = 0; i < maps_.size() && damage_.empty(); ++i) {
    const std::string damage = maps_[i].FindDamage(kDamageCheckBytes);
    if (!damage.empty()) damage_ = (i == 0 ? std::string() : "backing file '" + paths_[i] + "': ") + damage;
  }
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
  // The tables are read again from the file, to see which clusters it holds whole.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st{};
  maps_.emplace_back();
  maps_.back().Read(fd, fd >= 0 && fstat(fd, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0);
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
  for (const QcowClusterMap& map : maps_) {
    if (map.fd_ >= 0) close(map.fd_);
  }
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
  // libqcow sizes the buffer of an image's last cluster by what the file still holds, and
  // then copies a whole cluster out of it: a cut-off image would be read past that
  // buffer. So it is asked only for clusters that lie whole in their file, and a read
  // ends before the first one that does not (which then fails alone). Clusters marked as
  // zeros are given here.
  using Place = QcowClusterMap::Place;
  const Place first = Locate(position);
  if (first == Place::CutOff) return -1;
  const auto clusterRest = [&](size_t done) {
    return static_cast<size_t>(std::min<uint64_t>(buffer.size() - done, clusterBytes_ - (position + done) % clusterBytes_));
  };
  size_t span = clusterRest(0);
  while (span < buffer.size()) {
    const Place next = Locate(position + span);
    if (next == Place::CutOff || (next == Place::Zeros) != (first == Place::Zeros)) break;
    span += clusterRest(span);
  }
  buffer = buffer.first(span);
  if (first == Place::Zeros) {
    std::fill(buffer.begin(), buffer.end(), uint8_t{0});
    return static_cast<int64_t>(span);
  }
  libqcow_error_t* error = nullptr;
  const ssize_t got = libqcow_file_read_buffer_at_offset(File(chain_.front()), buffer.data(), buffer.size(),
                                                         static_cast<off64_t>(position), &error);
  if (error != nullptr) libqcow_error_free(&error);
  return got;
}

QcowClusterMap::Place QcowSource::Locate(uint64_t position) const {
  for (const QcowClusterMap& map : maps_) {
    const QcowClusterMap::Place place = map.Locate(position);
    if (place != QcowClusterMap::Place::Unallocated) return place;
  }
  return QcowClusterMap::Place::Unallocated;
}

}  // namespace korvalane
