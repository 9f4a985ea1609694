#include "core/volume/SectorReader.h"

#include <algorithm>
#include <optional>

#include "core/Platform.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

namespace {

// The byte position of a sector of CurrentDrive. The sector index is unsigned and the
// product 64-bit, so a sector beyond 2^32 is a position far out on the disk, never a
// negative one. A position that 64 bits cannot hold lies beyond any disk: nothing.
std::optional<uint64_t> SectorPosition(uint64_t sector) {
  const uint64_t bytesPerSector = static_cast<uint32_t>(Geometry().BytesPerSector);
  if (bytesPerSector != 0 && sector > UINT64_MAX / bytesPerSector) return std::nullopt;
  return sector * bytesPerSector;
}

// One of the lengths the probe tries: 512, 1024, ..., 4608.
bool IsProbedLength(uint32_t bytes) { return bytes >= 512 && bytes <= 4608 && bytes % 512 == 0; }

bool Refuse(std::span<uint8_t> buffer) {
  std::fill(buffer.begin(), buffer.end(), uint8_t{0});
  return false;
}

}  // namespace

bool ReadSectors(uint64_t sector, std::span<uint8_t> buffer) {
  // The caller sees a zero-filled buffer wherever the read delivered nothing. The
  // platform zeroes exactly those bytes, so a 50 MiB export is not written with zeros
  // first and then again with the data.
  const std::optional<uint64_t> position = SectorPosition(sector);
  if (!position) return Refuse(buffer);
  return CurrentPlatform().ReadVolume(Geometry().CurrentDrive, *position, buffer);
}

bool ReadSectorsDirect(uint64_t sector, std::span<uint8_t> buffer) {
  const std::optional<uint64_t> position = SectorPosition(sector);
  if (!position) return Refuse(buffer);
  return CurrentPlatform().ReadVolumeDirect(Geometry().CurrentDrive, *position, buffer);
}

bool ProbeBootSector(std::vector<uint8_t>& buffer) {
  VolumeGeometry& geometry = Geometry();
  // A cached read of a device or a file fetches the whole page around sector 0 (4 KiB or
  // more) and fails when any sector of it is bad, however healthy sector 0 is. Past the
  // cache exactly the bytes asked for are read, and a length that is no whole number of
  // the device's sectors is refused just the same, so the second round finds the size
  // the first would have found. A volume whose first page reads never gets to it.
  for (const auto read : {&ReadSectors, &ReadSectorsDirect}) {
    for (int32_t k = 1; k <= 9; ++k) {
      geometry.BytesPerSector = 512 * k;
      buffer.assign(static_cast<size_t>(geometry.BytesPerSector), 0);
      if (read(0, buffer)) return true;
    }
  }
  // A partition's sectors are its disk's, and a container's those it was opened with,
  // however damaged the first one is: the lengths tried only measure a volume of its own.
  if (const uint32_t disk = CurrentPlatform().DiskSectorSize(geometry.CurrentDrive); IsProbedLength(disk)) {
    geometry.BytesPerSector = static_cast<int32_t>(disk);
  }
  return false;
}

bool ReadVolumeBytes(uint64_t byte, std::span<uint8_t> out) {
  const int32_t sectorBytes = Geometry().BytesPerSector;
  if (sectorBytes <= 0) return false;
  const auto size = static_cast<uint64_t>(sectorBytes);
  const uint64_t first = byte / size;
  const uint64_t skip = byte % size;
  if (out.size() > UINT64_MAX - skip - size) return false;
  std::vector<uint8_t> sectors((skip + out.size() + size - 1) / size * size);
  if (!ReadSectors(first, sectors)) return false;
  std::copy_n(sectors.begin() + static_cast<std::ptrdiff_t>(skip), out.size(), out.begin());
  return true;
}

}  // namespace korvalane
