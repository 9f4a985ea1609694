#include "platform/posix/containers/EwfSource.h"
#include "platform/posix/PreadFully.h"

#include <fcntl.h>
#include <libewf.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "core/Bytes.h"

namespace korvalane {
namespace {

// An EWF version 1 segment file starts with a 13-byte header: the signature (8 bytes),
// 0x01, the segment number (16-bit) and 0x0000. Its sections follow, each led by a
// 76-byte descriptor: the type (16 bytes, NUL-padded text), the file offset of the next
// descriptor (64-bit), the section's size (64-bit), 40 bytes of padding and a checksum.
// The last section of a segment file is "next" (another segment follows) or "done" (the
// last segment); its next offset points at itself.
constexpr size_t kFileHeaderBytes = 13;
constexpr size_t kSegmentNumberOffset = 9;
constexpr size_t kSectionDescriptorBytes = 76;
constexpr size_t kSectionTypeBytes = 16;
constexpr size_t kSectionNextOffset = 16;
constexpr size_t kSectionSizeOffset = 24;

constexpr std::array<uint8_t, 8> kEvf1{'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};
constexpr std::array<uint8_t, 8> kLvf1{'L', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00};

libewf_handle_t* Handle(void* handle) { return static_cast<libewf_handle_t*>(handle); }

std::string Reason(libewf_error_t*& error) {
  return TakeReason(error, libewf_error_backtrace_sprint, libewf_error_free);
}

// A whole segment file read with pread, opened for this walk only.
EwfSegmentWalk WalkFile(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  struct stat st{};
  EwfSegmentWalk walk;
  if (fstat(fd, &st) == 0 && st.st_size > 0) {
    walk = WalkEwfSegment(
        [fd](uint64_t position, std::span<uint8_t> buffer) {
          return PreadFully(fd, position, buffer);
        },
        static_cast<uint64_t>(st.st_size));
  }
  close(fd);
  return walk;
}

}  // namespace

EwfSegmentWalk WalkEwfSegment(const std::function<bool(uint64_t, std::span<uint8_t>)>& read, uint64_t fileSize) {
  EwfSegmentWalk walk;
  std::array<uint8_t, kFileHeaderBytes> header{};
  if (fileSize < kFileHeaderBytes || !read(0, header)) return walk;
  if (!std::equal(kEvf1.begin(), kEvf1.end(), header.begin()) && !std::equal(kLvf1.begin(), kLvf1.end(), header.begin())) {
    return walk;
  }
  walk.Readable = true;
  walk.Number = ReadLe16(header, kSegmentNumberOffset);
  uint64_t offset = kFileHeaderBytes;
  // Each step moves forward by at least one descriptor, so the walk ends within the file.
  while (true) {
    if (offset > fileSize || fileSize - offset < kSectionDescriptorBytes) {
      walk.Truncated = true;
      return walk;
    }
    std::array<uint8_t, kSectionDescriptorBytes> descriptor{};
    if (!read(offset, descriptor)) {
      walk.Truncated = true;
      return walk;
    }
    const std::string type(reinterpret_cast<const char*>(descriptor.data()),
                           strnlen(reinterpret_cast<const char*>(descriptor.data()), kSectionTypeBytes));
    const uint64_t next = ReadLe64(descriptor, kSectionNextOffset);
    const uint64_t size = ReadLe64(descriptor, kSectionSizeOffset);
    if (type == "next" || type == "done") {
      walk.EndsWithNext = type == "next";
      walk.EndsWithDone = type == "done";
      return walk;
    }
    // A section's data lies within the file; a chain that points back or past the end
    // is where the file was cut off (or damaged).
    if (size > fileSize - offset || next < offset + kSectionDescriptorBytes || next > fileSize) {
      walk.Truncated = true;
      return walk;
    }
    offset = next;
  }
}

std::string EwfSegmentName(const std::string& first, uint32_t number) {
  if (first.size() < 3 || number == 0) return first;
  const std::string base = first.substr(0, first.size() - 3);
  const char letter = first[first.size() - 3];
  const bool lower = letter >= 'a' && letter <= 'z';
  if (number <= 99) {
    const char digits[3] = {static_cast<char>('0' + number / 10), static_cast<char>('0' + number % 10), '\0'};
    return base + letter + digits;
  }
  // After 99 the two digits become letters, and then the first letter moves on:
  // E99, EAA, EAB, ..., EZZ, FAA, ...
  const uint32_t past = number - 100;
  const char a = lower ? 'a' : 'A';
  const char third = static_cast<char>(a + past % 26);
  const char second = static_cast<char>(a + past / 26 % 26);
  const char head = static_cast<char>(letter + past / 676);
  return base + head + second + third;
}

EwfSource::EwfSource(const std::string& path, uint32_t imageSectorSize) : ContainerSource(path, "EWF") {
  libewf_error_t* error = nullptr;
  char** names = nullptr;
  int count = 0;
  std::vector<std::string> segments;
  // libewf finds the segment files that follow the one named (E02, E03, ...) and stops at
  // the first that is not there.
  if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, &error) == 1 && count > 0) {
    segments.assign(names, names + count);
    libewf_glob_free(names, count, &error);
  }
  if (error != nullptr) libewf_error_free(&error);
  if (segments.empty()) segments.push_back(path);
  files_ = segments;

  // libewf opens an incomplete set and reads zeros where the missing segments were, and
  // after a truncated segment it counts every chunk of the media as damaged; so the set
  // is checked first: every segment file whole, the last one found ending with "done".
  const EwfSegmentWalk first = WalkFile(segments.front());
  if (first.Readable) {
    format_ = "EWF";
    for (size_t i = 0; i < segments.size(); ++i) {
      const EwfSegmentWalk walk = i == 0 ? first : WalkFile(segments[i]);
      if (!walk.Readable) {
        Failed("segment file '" + segments[i] + "' is not an EWF segment file");
        return;
      }
      if (walk.Truncated) {
        Failed("segment file '" + segments[i] + "' is truncated");
        return;
      }
      if (i + 1 == segments.size() && walk.EndsWithNext) {
        Failed("segment file '" + EwfSegmentName(segments.front(), static_cast<uint32_t>(segments.size() + 1)) +
               "' is missing");
        return;
      }
    }
  } else {
    format_ = "EWF2";
  }

  libewf_handle_t* handle = nullptr;
  if (libewf_handle_initialize(&handle, &error) != 1) {
    Failed(Reason(error));
    return;
  }
  handle_ = handle;
  std::vector<char*> list;
  for (std::string& segment : segments) list.push_back(segment.data());
  if (libewf_handle_open(handle, list.data(), static_cast<int>(list.size()), LIBEWF_OPEN_READ, &error) != 1) {
    // Debian 12's libewf (20140813) predates version 2 of the format and says only that
    // the signature is unsupported.
    const std::string reason = Reason(error);
    Failed(format_ == "EWF2" ? "EWF version 2 (Ex01) is not read by libewf " + std::string(libewf_get_version()) + " (" +
                                   reason + ")"
                             : reason);
    return;
  }
  size64_t mediaSize = 0;
  uint32_t bytesPerSector = 0;
  if (libewf_handle_get_media_size(handle, &mediaSize, &error) != 1) {
    Failed(Reason(error));
    return;
  }
  if (libewf_handle_get_bytes_per_sector(handle, &bytesPerSector, &error) != 1) {
    libewf_error_free(&error);
    bytesPerSector = 0;
  }
  if (bytesPerSector != 0) bytesPerSector_ = bytesPerSector;
  const bool corrupted = libewf_handle_segment_files_corrupted(handle, &error) == 1;
  if (error != nullptr) libewf_error_free(&error);

  format_ += ", " + std::to_string(segments.size()) + (segments.size() == 1 ? " segment" : " segments");
  if (corrupted) damage_ = "damaged: libewf finds its segment files corrupted";
  Opened(mediaSize, bytesPerSector, imageSectorSize);
}

EwfSource::~EwfSource() {
  if (handle_ == nullptr) return;
  libewf_handle_t* handle = Handle(handle_);
  libewf_handle_close(handle, nullptr);
  libewf_handle_free(&handle, nullptr);
}

int64_t EwfSource::ReadMedia(uint64_t position, std::span<uint8_t> buffer) {
  libewf_error_t* error = nullptr;
  const ssize_t got = libewf_handle_read_random(Handle(handle_), buffer.data(), buffer.size(),
                                                static_cast<off64_t>(position), &error);
  if (error != nullptr) libewf_error_free(&error);
  if (got <= 0) return -1;
  // A chunk that is missing or fails its checksum comes back as zeros with the read
  // reported as done; libewf notes its sectors as a checksum error instead.
  CollectBadRanges();
  if (OverlapsBadRange(position, static_cast<uint64_t>(got))) return -1;
  return got;
}

void EwfSource::CollectBadRanges() {
  libewf_error_t* error = nullptr;
  uint32_t count = 0;
  if (libewf_handle_get_number_of_checksum_errors(Handle(handle_), &count, &error) != 1) {
    libewf_error_free(&error);
    return;
  }
  for (; knownBadRanges_ < count; ++knownBadRanges_) {
    uint64_t firstSector = 0;
    uint64_t sectors = 0;
    if (libewf_handle_get_checksum_error(Handle(handle_), knownBadRanges_, &firstSector, &sectors, &error) != 1) {
      libewf_error_free(&error);
      continue;
    }
    if (sectors == 0 || firstSector > UINT64_MAX / bytesPerSector_) continue;
    uint64_t first = firstSector * bytesPerSector_;
    uint64_t end = sectors > (UINT64_MAX - first) / bytesPerSector_ ? UINT64_MAX : first + sectors * bytesPerSector_;
    // Kept disjoint: a new range swallows the ranges it touches.
    auto it = badBytes_.upper_bound(first);
    if (it != badBytes_.begin() && std::prev(it)->second >= first) --it;
    while (it != badBytes_.end() && it->first <= end) {
      first = std::min(first, it->first);
      end = std::max(end, it->second);
      it = badBytes_.erase(it);
    }
    badBytes_.emplace(first, end);
  }
}

bool EwfSource::OverlapsBadRange(uint64_t position, uint64_t length) const {
  if (badBytes_.empty() || length == 0) return false;
  const uint64_t end = position + length;
  auto it = badBytes_.upper_bound(position);
  if (it != badBytes_.begin() && std::prev(it)->second > position) return true;
  return it != badBytes_.end() && it->first < end;
}

}  // namespace korvalane
