#pragma once

#include <cstdint>
#include <string>

#include "core/text/Json.h"

namespace korvalane {

// One run of an NTFS mapping-pairs list as the record view and the details report list
// it. 64-bit, so that clusters beyond 2^31 keep their true values.
struct DataRun {
  int64_t StartCluster = 0;
  int64_t ClusterCount = 0;
};

// A run's line under "Start cluster - clusters count:" or "MFT cluster - clusters count:".
std::u16string DataRunLine(const DataRun& run);

// A run in JSON: {"startCluster": N, "clusters": N}.
Json DataRunJson(const DataRun& run);

}  // namespace korvalane
