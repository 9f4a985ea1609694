#include "platform/posix/containers/SplitRawSource.h"
#include "platform/posix/PreadFully.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace korvalane {
namespace {

// No imaging tool makes more segments than this; a set is not followed further.
constexpr uint64_t kMaxSegments = 100000;

enum class Numbering { None, Digits, Lower, Upper };

struct Suffix {
  Numbering Kind = Numbering::None;
  size_t Width = 0;
  uint64_t Index = 0;  // 0 for .000 and .aa
};

Suffix ParseSuffix(const std::string& suffix) {
  Suffix parsed;
  if (suffix.size() < 2 || suffix.size() > 6) return parsed;
  const auto all = [&](auto test) { return std::all_of(suffix.begin(), suffix.end(), test); };
  if (all([](char c) { return c >= '0' && c <= '9'; })) {
    parsed.Kind = Numbering::Digits;
    for (const char c : suffix) parsed.Index = parsed.Index * 10 + static_cast<uint64_t>(c - '0');
  } else if (all([](char c) { return c >= 'a' && c <= 'z'; })) {
    parsed.Kind = Numbering::Lower;
    for (const char c : suffix) parsed.Index = parsed.Index * 26 + static_cast<uint64_t>(c - 'a');
  } else if (all([](char c) { return c >= 'A' && c <= 'Z'; })) {
    parsed.Kind = Numbering::Upper;
    for (const char c : suffix) parsed.Index = parsed.Index * 26 + static_cast<uint64_t>(c - 'A');
  } else {
    return parsed;
  }
  parsed.Width = suffix.size();
  return parsed;
}

// The suffix of segment `index` in the numbering of `like`; empty when it does not fit
// the width.
std::string MakeSuffix(const Suffix& like, uint64_t index) {
  std::string suffix(like.Width, '0');
  const uint64_t base = like.Kind == Numbering::Digits ? 10 : 26;
  const char zero = like.Kind == Numbering::Digits ? '0' : like.Kind == Numbering::Lower ? 'a' : 'A';
  for (size_t i = like.Width; i-- > 0;) {
    suffix[i] = static_cast<char>(zero + index % base);
    index /= base;
  }
  return index == 0 ? suffix : std::string();
}

uint64_t FileSize(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

SplitRawSet FindSplitRawSet(const std::string& path) {
  SplitRawSet set;
  const size_t dot = path.rfind('.');
  if (dot == std::string::npos || path.find('/', dot) != std::string::npos) return set;
  const std::string stem = path.substr(0, dot + 1);
  const Suffix first = ParseSuffix(path.substr(dot + 1));
  // The first file of a set: .000 or .001 (.00 or .01), .aa.
  if (first.Kind == Numbering::None || first.Index > (first.Kind == Numbering::Digits ? 1u : 0u)) return set;
  set.Segments.push_back(path);
  for (uint64_t index = first.Index + 1; index - first.Index < kMaxSegments; ++index) {
    const std::string suffix = MakeSuffix(first, index);
    if (suffix.empty() || !FileExists(stem + suffix)) break;
    set.Segments.push_back(stem + suffix);
  }
  // A gap in the numbers: a later file of the set is there, so the one after the last
  // found is missing, not the end of the set.
  const uint64_t last = first.Index + set.Segments.size() - 1;
  const std::filesystem::path stemPath(stem);
  const std::string stemName = stemPath.filename().string();
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(FolderOf(path), error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() != stemName.size() + first.Width || name.compare(0, stemName.size(), stemName) != 0) continue;
    const Suffix other = ParseSuffix(name.substr(stemName.size()));
    if (other.Kind == first.Kind && other.Width == first.Width && other.Index > last) {
      set.Missing = stem + MakeSuffix(first, last + 1);
      break;
    }
  }
  // One file alone, with no later one, is a raw image.
  if (set.Segments.size() < 2 && set.Missing.empty()) set.Segments.clear();
  return set;
}

SplitRawSource::SplitRawSource(const std::string& path, std::vector<std::string> segments, const std::string& missing,
                               uint32_t imageSectorSize)
    : ContainerSource(path, "split raw, " + std::to_string(segments.size()) + (segments.size() == 1 ? " segment" : " segments")),
      segments_(std::move(segments)) {
  // Read as a raw image is: every read goes to the files, no bytes are kept.
  readAhead_ = false;
  files_ = segments_;
  if (!missing.empty()) {
    Failed("segment file '" + missing + "' is missing");
    return;
  }
  uint64_t total = 0;
  for (const std::string& segment : segments_) {
    const int fd = open(segment.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      Failed("segment file '" + segment + "': " + std::strerror(errno));
      return;
    }
    close(fd);
    starts_.push_back(total);
    total += FileSize(segment);
  }
  Opened(total, 0, imageSectorSize);
  // Every segment but the last is as long as the first: one shorter lost its end, and
  // every byte after it is read from where the one before it should be.
  const uint64_t first = FileSize(segments_.front());
  for (size_t i = 1; i + 1 < segments_.size(); ++i) {
    const uint64_t size = starts_[i + 1] - starts_[i];
    if (size >= first) continue;
    damage_ = "damaged or cut short: segment file '" + segments_[i] + "' holds " + std::to_string(size) +
              " bytes, fewer than the " + std::to_string(first) +
              " of the first, so every byte after it is out of place";
    break;
  }
}

int64_t SplitRawSource::ReadMedia(uint64_t position, std::span<uint8_t> buffer) {
  // The segment holding `position`: the last one starting at or before it, which steps
  // over empty segments.
  const auto after = std::upper_bound(starts_.begin(), starts_.end(), position);
  if (after == starts_.begin()) return -1;
  const size_t index = static_cast<size_t>(after - starts_.begin()) - 1;
  const uint64_t end = index + 1 < starts_.size() ? starts_[index + 1] : static_cast<uint64_t>(Size());
  const uint64_t within = position - starts_[index];
  const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), end - position));
  if (length == 0) return -1;
  if (!kept_ || keptIndex_ != index) {
    kept_ = std::make_unique<KeptFile>(segments_[index]);
    keptIndex_ = index;
  }
  const std::shared_ptr<const KeptDescriptor> fd = kept_->Open(false);
  if (!fd) return -1;
  return PreadFully(fd->Fd, within, buffer.first(length)) ? static_cast<int64_t>(length) : -1;
}

}  // namespace korvalane
