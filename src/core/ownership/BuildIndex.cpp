#include "core/fs/FileSystem.h"
#include "core/ownership/BuildIndex.h"

namespace korvalane {

std::optional<OwnershipIndex> BuildOwnershipIndex(const WalkHooks& hooks, std::string* why) {
  OwnershipIndex index;
  std::string reason = "the volume's file system is not one whose files Korvalane walks";
  const OpenedFileSystem* fileSystem = CurrentFileSystem();
  if (fileSystem == nullptr || !fileSystem->WalkOwnership(index, hooks, &reason)) {
    if (why != nullptr) *why = reason;
    return std::nullopt;
  }
  index.Finish();
  return index;
}

}  // namespace korvalane
