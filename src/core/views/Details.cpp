#include "core/views/Details.h"

#include "core/fs/FileSystem.h"
#include "core/views/PartitionReport.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr char16_t kBootSectorDenied[] = u"Access to boot sector denied";

}  // namespace

DetailsResult ReadVolumeDetails(ViewText* view, Json* json, const MessagePump& pump) {
  const VolumeGeometry& g = Geometry();
  const FileSystem* fs = CurrentFileSystem();
  if (!fs) {
    ReportPartitionTable(view, json, pump);
    return DetailsResult::Shown;
  }
  // The boot sector is parsed again, as it is on disk now; a refused one still leaves the
  // volume browsable to its end.
  if (!ParseVolumeGeometry()) {
    if (view) view->emplace_back(kBootSectorDenied);
    if (json) *json = Json::Object().Set("drive", g.CurrentDrive).Set("error", std::u16string_view(kBootSectorDenied));
    return DetailsResult::BootSectorDenied;
  }
  if (json) *json = Json::Object().Set("drive", g.CurrentDrive).Set("fileSystem", fs->Name(g.FileSystemKind));
  fs->Details(view, json, pump);
  return DetailsResult::Shown;
}

void ReportVolumeDetails(ViewText& view, const MessagePump& pump) { ReadVolumeDetails(&view, nullptr, pump); }

}  // namespace korvalane
