#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Platform.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane::fuzzing {

// The input becomes drive C: of an in-memory platform, padded to whole sectors (and one
// more, so that a read just past the input still finds a sector), with a fresh record
// that names it.
inline MemoryPlatform& Volume(const uint8_t* data, size_t size, uint32_t sectorSize) {
  static MemoryPlatform platform;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + sectorSize - 1) / sectorSize * sectorSize + sectorSize, 0);
  platform.AddDrive('C', std::move(bytes), sectorSize);
  SetPlatform(&platform);
  Geometry() = VolumeGeometry{};
  Geometry().CurrentDrive = "C:";
  Geometry().BytesPerSector = static_cast<int32_t>(sectorSize);
  Geometry().TotalSectors = static_cast<uint32_t>(platform.Find("C:")->Bytes.size() / sectorSize);
  return platform;
}

}  // namespace korvalane::fuzzing
