#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/views/ViewText.h"

namespace korvalane {

// One run of an NTFS mapping-pairs list. 64-bit, so that clusters beyond 2^31 keep their
// true values.
struct DataRun {
  int64_t StartCluster = 0;
  int64_t ClusterCount = 0;
};

// Decodes the mapping-pairs list that starts at `first` in `buffer`. Never reads outside
// the buffer; a malformed list simply ends early.
std::vector<DataRun> DecodeDataRuns(std::span<const uint8_t> buffer, size_t first, const MessagePump& pump);

}  // namespace korvalane
