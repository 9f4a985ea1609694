#include "core/fs/ntfs/DataRuns.h"

#include "core/text/NumberFormat.h"

namespace korvalane {

std::u16string DataRunLine(const DataRun& run) { return Decimal(run.StartCluster) + u" - " + Decimal(run.ClusterCount); }

Json DataRunJson(const DataRun& run) {
  return Json::Object().Set("startCluster", run.StartCluster).Set("clusters", run.ClusterCount);
}

}  // namespace korvalane
