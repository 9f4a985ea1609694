#pragma once

#include <cstdint>
#include <optional>

namespace korvalane {

// Fill VolumeGeometry from the exFAT boot sector of CurrentDrive. False for a boot sector
// it cannot use (see ExfatGeometry.cpp).
bool ReadExfatGeometry();

// The first sector of the exFAT root directory: StartDataSector + (RootCluster - 2) x
// SectorsPerCluster, signed, so that a damaged root cluster of 0 or 1 shows as a sector
// ahead of the cluster heap instead of wrapping round. Nothing when the record holds
// values that no exFAT boot sector gives (a root cluster past 32 bits, a cluster of more
// than 65536 sectors).
std::optional<int64_t> ExfatRootDirectorySector();

}  // namespace korvalane
