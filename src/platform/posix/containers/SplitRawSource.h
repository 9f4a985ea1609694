#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/posix/KeptFile.h"
#include "platform/posix/containers/ContainerSource.h"

namespace korvalane {

// A raw image cut into numbered files by an imaging tool or split(1): disk.001, disk.002,
// ... or disk.aa, disk.ab, ..., read as one disk. The set's layout (which files, how
// long each is) is found once, when the drive table is built. Reads keep the segment
// read last open, as a raw image is kept (a set may have thousands of segments, more
// than a process may hold open), and check as it does that its name still names it.
class SplitRawSource final : public ContainerSource {
 public:
  // `segments`: the set in order, the first one named by the user. `missing`: the file
  // that should follow the last one found, when a later one of the set is there.
  SplitRawSource(const std::string& path, std::vector<std::string> segments, const std::string& missing,
                 uint32_t imageSectorSize);

 protected:
  int64_t ReadMedia(uint64_t position, std::span<uint8_t> buffer) override;
  void ReleaseFiles() override { kept_.reset(); }

 private:
  std::vector<std::string> segments_;
  std::vector<uint64_t> starts_;  // where each segment begins in the disk
  std::unique_ptr<KeptFile> kept_;  // the segment read last
  size_t keptIndex_ = 0;
};

// The segment files of the split set whose first file is `path`, in order, as far as
// they follow one another without a gap; empty when `path` is not named as the first of a
// set (.000 or .001, .00 or .01, .aa), or no second file follows it.
struct SplitRawSet {
  std::vector<std::string> Segments;
  std::string Missing;  // the file after the last one found, when a later file of the set exists
};
SplitRawSet FindSplitRawSet(const std::string& path);

}  // namespace korvalane
