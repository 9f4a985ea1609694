#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <functional>
#include <vector>

#include "platform/posix/containers/ContainerSource.h"

namespace korvalane {

// An EnCase (Expert Witness) image, E01 or Ex01 with its segment files (E02, E03, ...),
// read through libewf.
class EwfSource final : public ContainerSource {
 public:
  EwfSource(const std::string& path, uint32_t imageSectorSize);
  ~EwfSource() override;
  EwfSource(const EwfSource&) = delete;
  EwfSource& operator=(const EwfSource&) = delete;

 protected:
  int64_t ReadMedia(uint64_t position, std::span<uint8_t> buffer) override;

 private:
  // Takes the ranges libewf has found unreadable since the last look.
  void CollectBadRanges();
  bool OverlapsBadRange(uint64_t position, uint64_t length) const;

  void* handle_ = nullptr;  // libewf_handle_t
  uint32_t bytesPerSector_ = 512;
  uint32_t knownBadRanges_ = 0;
  std::map<uint64_t, uint64_t> badBytes_;  // first byte -> one past the last, disjoint
};

// What the chain of sections of one EWF version 1 segment file says about it.
struct EwfSegmentWalk {
  bool Readable = false;   // the file header could be read and is an EWF one
  uint16_t Number = 0;     // the segment number in its header
  bool EndsWithNext = false;  // its last section is "next": more segment files follow
  bool EndsWithDone = false;  // its last section is "done": it is the last segment file
  bool Truncated = false;  // a section reaches past the end of the file
};

// Follows the sections of one segment file (bytes `file`, the whole file or as much as
// needed) from the file header to its "next" or "done" section; every step goes forward
// and stays within the file, so a hostile chain ends.
EwfSegmentWalk WalkEwfSegment(const std::function<bool(uint64_t, std::span<uint8_t>)>& read, uint64_t fileSize);

// The name of segment `number` (1 and on) of the set whose first segment is `first`:
// E01 ... E99, then EAA ... EZZ, FAA ... (the same letters for L01 and s01, the case of
// the first one kept).
std::string EwfSegmentName(const std::string& first, uint32_t number);

}  // namespace korvalane
