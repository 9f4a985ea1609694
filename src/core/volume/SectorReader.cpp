#include "core/volume/SectorReader.h"

#include "core/Platform.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

bool ReadSectors(uint32_t sector, std::span<uint8_t> buffer) {
  // The caller sees a zero-filled buffer wherever the read delivered nothing. The
  // platform zeroes exactly those bytes, so a 50 MiB export is not written with zeros
  // first and then again with the data.
  const VolumeGeometry& geometry = Geometry();
  // The sector index is unsigned and the product 64-bit, so sector 4294967295 is a
  // position far out on the volume, never a negative one.
  const uint64_t position =
      uint64_t{sector} * static_cast<uint32_t>(geometry.BytesPerSector);
  return CurrentPlatform().ReadVolume(geometry.CurrentDrive, position, buffer);
}

bool ProbeBootSector(std::vector<uint8_t>& buffer) {
  VolumeGeometry& geometry = Geometry();
  for (int32_t k = 1; k <= 9; ++k) {
    geometry.BytesPerSector = 512 * k;
    buffer.assign(static_cast<size_t>(geometry.BytesPerSector), 0);
    if (ReadSectors(0, buffer)) return true;
  }
  return false;
}

}  // namespace korvalane
