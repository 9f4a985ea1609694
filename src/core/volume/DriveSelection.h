#pragma once

#include <string>
#include <string_view>

#include "core/volume/VolumeGeometry.h"

namespace korvalane {

// What choosing a drive does to VolumeGeometry: CurrentDrive := drive, FileSystemKind :=
// DetectFileSystem(drive), then the boot-sector parser of that kind (none for Unknown).
// The parsers' results are not looked at: the record holds what they left.
void SelectDrive(std::string_view drive);

// "FAT16", "FAT32", "NTFS", "exFAT" or "Unknown".
std::u16string KindName(FileSystemKind kind);

// Selects the drive and builds the main window's volume label from the result: the kind's
// name, ", ", the volume's size in MiB, " Mb,", TotalSectors and " sectors"
// ("NTFS, 100 Mb,204800 sectors"). An empty drive gives "Unknown, 0 Mb,0 sectors" on a
// fresh record.
std::u16string SelectDriveAndDescribe(std::string_view drive);

}  // namespace korvalane
