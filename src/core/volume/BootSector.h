#pragma once

namespace korvalane {

// Fill VolumeGeometry from the boot sector of CurrentDrive. ReadFatGeometry expects
// FileSystemKind to be Fat or Fat32 already. Both return false for a boot sector they
// cannot use, leaving the record as described in BootSector.cpp.
bool ReadFatGeometry();
bool ReadNtfsGeometry();

}  // namespace korvalane
