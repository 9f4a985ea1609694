#pragma once

namespace korvalane {

// Fill VolumeGeometry from the FAT boot sector of CurrentDrive; FileSystemKind must be
// Fat or Fat32 already. False for a boot sector it cannot use (see FatGeometry.cpp).
bool ReadFatGeometry();

}  // namespace korvalane
