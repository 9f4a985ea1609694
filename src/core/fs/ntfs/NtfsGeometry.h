#pragma once

namespace korvalane {

// Fill VolumeGeometry from the NTFS boot sector of CurrentDrive. False for a boot sector
// it cannot use (see NtfsGeometry.cpp).
bool ReadNtfsGeometry();

}  // namespace korvalane
