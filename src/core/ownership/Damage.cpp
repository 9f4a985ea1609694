#include "core/ownership/Damage.h"

#include <algorithm>
#include <map>

namespace korvalane {

Damage FindDamage(const OwnershipIndex& index, const std::vector<MapArea>& areas) {
  Damage damage;
  const uint64_t sectorBytes = index.BytesPerSector();
  if (sectorBytes == 0) return damage;
  const uint64_t volumeBytes =
      index.VolumeSectors() > UINT64_MAX / sectorBytes ? UINT64_MAX : index.VolumeSectors() * sectorBytes;
  std::map<const Owner*, size_t> place;  // where each owner stands in damage.Owners
  for (const MapArea& area : areas) {
    const uint64_t from = std::min(area.Position, volumeBytes);
    const uint64_t to = std::min(area.Size > volumeBytes - from ? volumeBytes : from + area.Size, volumeBytes);
    if (from >= to) continue;
    damage.BadBytes += to - from;
    // The bytes of the area some run holds, as a union, to tell what no run holds.
    uint64_t coveredTo = from;
    uint64_t covered = 0;
    index.ForEachRunIn(from / sectorBytes, (to + sectorBytes - 1) / sectorBytes, [&](const OwnershipIndex::RunView& run) {
      const uint64_t runFrom = run.First * sectorBytes;
      const uint64_t runTo = (run.First + run.Sectors) * sectorBytes;
      uint64_t x = std::max(from, runFrom);
      uint64_t y = std::min(to, runTo);
      if (x >= y) return;
      if (y > coveredTo) {
        covered += y - std::max(x, coveredTo);
        coveredTo = y;
      }
      const Owner& owner = *run.Of;
      uint64_t bad = y - x;
      if (run.Byte && owner.HasSize) {
        // In the file's own bytes; what lies past its size is slack, not the file.
        const uint64_t fileX = *run.Byte + (x - runFrom);
        const uint64_t fileY = *run.Byte + (y - runFrom);
        bad = fileX >= owner.Size ? 0 : std::min(fileY, owner.Size) - fileX;
      }
      if (bad == 0) return;
      const auto [it, added] = place.emplace(run.Of, damage.Owners.size());
      if (added) damage.Owners.push_back({run.Of, 0});
      damage.Owners[it->second].BadBytes += bad;
    });
    damage.UnownedBytes += (to - from) - covered;
  }
  return damage;
}

}  // namespace korvalane
