#include "platform/posix/containers/ContainerSource.h"

#include <sys/stat.h>

#include <algorithm>
#include <vector>

#include "core/disk/PartitionTable.h"
#include "platform/posix/DriveTable.h"

namespace korvalane {
namespace {

// How much is read ahead for a small read: a few chunks or clusters of every format.
constexpr uint64_t kReadAheadBytes = 256 * 1024;

}  // namespace

bool ContainerSource::Read(uint64_t position, std::span<uint8_t> buffer, bool) {
  const std::lock_guard lock(mutex_);
  if (!IsOpen() || mediaSize_ < 0) return false;
  const auto media = static_cast<uint64_t>(mediaSize_);
  if (position > media || buffer.size() > media - position) return false;
  if (!readAhead_ || buffer.size() >= kReadAheadBytes / 2) return ReadExactly(position, buffer);
  const uint64_t start = position / kReadAheadBytes * kReadAheadBytes;
  if (!blockValid_ || blockStart_ != start || position + buffer.size() > blockStart_ + block_.size()) {
    // The aligned block around the read, to the media's end. A block the library cannot
    // give whole (a damaged chunk somewhere in it) is not kept, and each read in it asks
    // for its own bytes alone, so that only they fail.
    if (failedBlock_ && *failedBlock_ == start) return ReadExactly(position, buffer);
    block_.resize(static_cast<size_t>(std::min(kReadAheadBytes, media - start)));
    blockStart_ = start;
    blockValid_ = ReadExactly(start, block_);
    if (!blockValid_) failedBlock_ = start;
    if (!blockValid_ || position + buffer.size() > blockStart_ + block_.size()) return ReadExactly(position, buffer);
  }
  std::copy_n(block_.begin() + static_cast<std::ptrdiff_t>(position - blockStart_), buffer.size(), buffer.begin());
  return true;
}

void ContainerSource::Release() {
  const std::lock_guard lock(mutex_);
  ReleaseFiles();
}

std::vector<std::string> ContainerSource::Files() const {
  std::vector<std::string> files{Name()};
  for (const std::string& file : files_) {
    if (std::find(files.begin(), files.end(), file) == files.end()) files.push_back(file);
  }
  return files;
}

bool ContainerSource::ReadExactly(uint64_t position, std::span<uint8_t> buffer) {
  // The libraries may give less than asked at a chunk or extent edge; a read that gives
  // nothing more ends the loop.
  size_t done = 0;
  while (done < buffer.size()) {
    const int64_t got = ReadMedia(position + done, buffer.subspan(done));
    if (got <= 0 || static_cast<uint64_t>(got) > buffer.size() - done) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

void ContainerSource::Opened(uint64_t mediaSize, uint32_t storedSectorSize, uint32_t imageSectorSize) {
  if (mediaSize > static_cast<uint64_t>(INT64_MAX)) {
    Failed("its media size (" + std::to_string(mediaSize) + " bytes) is beyond what can be addressed");
    return;
  }
  mediaSize_ = static_cast<int64_t>(mediaSize);
  error_.clear();
  if (IsSupportedSectorSize(imageSectorSize)) {
    sectorSize_ = imageSectorSize;
  } else if (IsSupportedSectorSize(storedSectorSize)) {
    sectorSize_ = storedSectorSize;
  } else {
    // The start of the media, as much of it as there is: a GPT header at byte 4096 or a
    // bare volume's boot sector says the size, as in a raw image.
    std::vector<uint8_t> head(static_cast<size_t>(std::min<uint64_t>(mediaSize, kSectorSizeProbeBytes)));
    if (!head.empty() && !ReadExactly(0, head)) head.clear();
    sectorSize_ = DetectImageSectorSize(head);
  }
}

bool ContainerSource::CanFollow(const std::string& next, size_t depth, const std::string& what, const char* chain,
                                const char* file) {
  // Parents that name each other would otherwise be opened without end.
  constexpr size_t kLongestChain = 16;
  if (depth + 1 > kLongestChain) {
    Failed(std::string("its chain of ") + chain + " is longer than " + std::to_string(kLongestChain));
    return false;
  }
  if (!FileExists(next)) {
    Failed(what + file + " '" + next + "' is missing");
    return false;
  }
  return true;
}

std::string PointsPastEnd(uint64_t fileSize) {
  return "damaged or cut short: its tables point past its end at byte " + std::to_string(fileSize);
}

uint64_t ReadBe(std::span<const uint8_t> bytes, size_t at, size_t width) {
  uint64_t value = 0;
  for (size_t i = 0; i < width && at + i < bytes.size(); ++i) value = value << 8 | bytes[at + i];
  return value;
}

TableFile::TableFile(const std::string& path) : in_(path, std::ios::binary) {
  if (!in_) return;
  in_.seekg(0, std::ios::end);
  const std::streamoff end = in_.tellg();
  size_ = end > 0 ? static_cast<uint64_t>(end) : 0;
}

bool TableFile::Read(uint64_t position, std::span<uint8_t> buffer) {
  if (!in_ || PastEnd(size_, position, buffer.size())) return false;
  in_.seekg(static_cast<std::streamoff>(position));
  in_.read(reinterpret_cast<char*>(buffer.data()), static_cast<std::streamsize>(buffer.size()));
  if (in_.gcount() == static_cast<std::streamsize>(buffer.size())) return true;
  in_.clear();
  return false;
}

std::string UpToNul(std::string text) {
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  return text;
}

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string InFolder(const std::string& folder, const std::string& name) {
  if (!name.empty() && name[0] == '/') return name;
  if (folder == ".") return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

bool FileExists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string LibraryReason(const std::string& backtrace) {
  // "libvhdi_file_open: unable to open file.\nlibvhdi_io_handle_read_file_header: ..."
  // The first line is the outermost call; the most specific message comes first in the
  // list as the library builds it up from the innermost call outwards.
  std::string line = backtrace.substr(0, backtrace.find('\n'));
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '.')) line.pop_back();
  const size_t colon = line.find(": ");
  if (colon != std::string::npos && line.find(' ') > colon) line = line.substr(colon + 2);
  return line.empty() ? std::string("the library could not read it") : line;
}

}  // namespace korvalane
