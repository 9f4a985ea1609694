#include "cli/JsonViews.h"

#include "core/Platform.h"
#include "core/views/SectorView.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {

Json DriveJson(const std::string& drive) {
  const VolumeLabel label = SelectDriveAndLabel(drive);
  const std::string why = CurrentPlatform().OpenError(drive);
  // A source that cannot be read has no sector size; the probe's last length is no answer.
  Json json = Json::Object()
                  .Set("drive", drive)
                  .Set("fileSystem", label.Name)
                  .Set("megabytes", label.Megabytes)
                  .Set("sectors", label.Sectors)
                  .Set("bytesPerSector", why.empty() ? Geometry().BytesPerSector : 0)
                  .Set("source", CurrentPlatform().DriveSource(drive))
                  .Set("description", CurrentPlatform().DriveDescription(drive))
                  .Set("partition", CurrentPlatform().DriveIsPartition(drive));
  if (!why.empty()) json.Set("openError", why);
  if (const std::string damage = CurrentPlatform().DriveDamage(drive); !damage.empty()) json.Set("damage", damage);
  return json;
}

Json RecordJson(uint64_t sector) {
  RecordOptions options;
  options.FollowDirectoryChains = true;
  return FileRecordJson(sector, NoPump, options);
}

}  // namespace korvalane::cli
