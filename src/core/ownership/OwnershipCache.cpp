#include "core/ownership/OwnershipCache.h"

#include "core/ownership/BuildIndex.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

const OwnershipIndex* OwnershipCache::Current(const WalkHooks& hooks, std::string* why) {
  const VolumeGeometry& g = Geometry();
  const Key key{g.CurrentDrive, static_cast<uint8_t>(g.FileSystemKind), g.BytesPerSector, g.TotalSectors};
  if (key_ != key) {
    index_.reset();
    key_ = key;
  }
  if (!index_) index_ = BuildOwnershipIndex(hooks, why);
  return index_ ? &*index_ : nullptr;
}

std::string WhichFileUsesSector(OwnershipCache& cache, uint64_t sector, const WalkHooks& hooks) {
  std::string why;
  const OwnershipIndex* index = cache.Current(hooks, &why);
  if (index == nullptr) return "Sector " + std::to_string(sector) + "\r" + (why == "stopped" ? "Stopped" : why);
  return "Sector " + std::to_string(sector) + "\r" + DescribeSector(*index, sector);
}

}  // namespace korvalane
