#include "core/fs/exfat/OwnershipExfat.h"
#include "core/fs/fat/OwnershipFat.h"
#include "core/fs/ntfs/OwnershipNtfs.h"
#include "core/ownership/OwnershipIndex.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

std::optional<OwnershipIndex> BuildOwnershipIndex(const WalkHooks& hooks, std::string* why) {
  OwnershipIndex index;
  std::string reason;
  bool walked = false;
  switch (Geometry().FileSystemKind) {
    case FileSystemKind::Fat:
    case FileSystemKind::Fat32:
      walked = WalkFatOwnership(index, hooks, &reason);
      break;
    case FileSystemKind::Exfat:
      walked = WalkExfatOwnership(index, hooks, &reason);
      break;
    case FileSystemKind::Ntfs:
      walked = WalkNtfsOwnership(index, hooks, &reason);
      break;
    default:
      reason = "the volume's file system is not one whose files Korvalane walks";
      break;
  }
  if (!walked) {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  }
  index.Finish();
  return index;
}

}  // namespace korvalane
