#include "cli/JsonViews.h"

#include "core/Platform.h"
#include "core/views/SectorView.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {

Json DriveJson(const std::string& drive) {
  const VolumeLabel label = SelectDriveAndLabel(drive);
  Json json = Json::Object()
                  .Set("drive", drive)
                  .Set("fileSystem", label.Name)
                  .Set("megabytes", label.Megabytes)
                  .Set("sectors", label.Sectors)
                  .Set("bytesPerSector", Geometry().BytesPerSector)
                  .Set("source", CurrentPlatform().DriveSource(drive))
                  .Set("description", CurrentPlatform().DriveDescription(drive))
                  .Set("partition", CurrentPlatform().DriveIsPartition(drive));
  const std::string why = CurrentPlatform().OpenError(drive);
  if (!why.empty()) json.Set("openError", why);
  return json;
}

Json RecordJson(uint64_t sector) { return FileRecordJson(sector, NoPump); }

}  // namespace korvalane::cli
