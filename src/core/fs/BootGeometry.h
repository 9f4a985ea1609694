#pragma once

#include <cstdint>
#include <vector>

#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

// What FAT, exFAT and NTFS share in reading their geometry from a boot sector.

// 32-bit geometry arithmetic wraps modulo 2^32, as the on-disk values can be anything.
inline int32_t Wrap(uint32_t value) { return static_cast<int32_t>(value); }
inline uint32_t Bits(int32_t value) { return static_cast<uint32_t>(value); }

// Clears the cluster size, the sectors per cluster and the sector count, which a refused
// boot sector must not leave behind, and reads the boot sector of CurrentDrive into
// `boot` at the probed length. False when it cannot be read.
inline bool StartBootGeometry(VolumeGeometry& g, std::vector<uint8_t>& boot) {
  g.BytesPerCluster = 0;
  g.SectorsPerCluster = 0;
  g.TotalSectors = 0;
  return ProbeBootSector(boot);
}

}  // namespace korvalane
