#include "core/views/Details.h"

#include "core/disk/md/MdStructures.h"
#include "core/fs/FileSystem.h"
#include "core/views/LvmReport.h"
#include "core/views/PartitionReport.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
DetailsResult ReadVolumeDetails(ViewText* view, Json* json, const MessagePump& pump) {
  const VolumeGeometry& g = Geometry();
  if (!CurrentFileSystem()) {
    if (ReportMdMember(view, json)) return DetailsResult::Shown;
    ReportPartitionTable(view, json, pump);
    // A disk or partition that is an LVM2 PV reports its VG and LVs.
    ReportLvmPhysicalVolume(view, json);
    return DetailsResult::Shown;
  }
  // The boot sector is parsed again, as it is on disk now; a refused one still leaves the
  // volume browsable to its end.
  const bool parsed = ParseVolumeGeometry();
  const OpenedFileSystem* fs = CurrentFileSystem();
  if (!parsed) {
    const std::u16string refusal = fs->Refusal();
    if (view) view->push_back(refusal);
    if (json) *json = Json::Object().Set("drive", g.CurrentDrive).Set("error", refusal);
    return DetailsResult::BootSectorDenied;
  }
  if (json) *json = Json::Object().Set("drive", g.CurrentDrive).Set("fileSystem", fs->Name());
  fs->Details(view, json, pump);
  return DetailsResult::Shown;
}

void ReportVolumeDetails(ViewText& view, const MessagePump& pump) { ReadVolumeDetails(&view, nullptr, pump); }

}  // namespace korvalane
