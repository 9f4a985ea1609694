#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/volume/VolumeGeometry.h"

namespace korvalane {

// What choosing a drive does to VolumeGeometry: CurrentDrive := drive, FileSystemKind :=
// DetectFileSystem(drive), then the boot-sector parser of that kind (none for Unknown).
// When no parser runs or the parser fails, the volume is still browsable to its end (see
// MakeBrowsableToEnd); a parse that succeeds keeps the count its boot sector gives.
void SelectDrive(std::string_view drive);

// The boot-sector parser of FileSystemKind (none for Unknown) over CurrentDrive; when none
// runs or it fails, MakeBrowsableToEnd. True when a parser ran and succeeded.
bool ParseVolumeGeometry();

// For a volume whose geometry no boot sector gives (an unknown file system, a whole disk,
// a damaged boot sector): TotalSectors := the volume's size / BytesPerSector, so that every
// sector of it can be shown and exported. A sector size that a failed parse left behind
// and no device has (below 512 or not a multiple of it) is measured again first.
void MakeBrowsableToEnd();

// The name of the kind's file system ("FAT16", "FAT32", "NTFS", "exFAT"), or "Unknown".
std::u16string KindName(FileSystemKind kind);

// What the main window's volume label says, piece by piece.
struct VolumeLabel {
  std::u16string Name;   // KindName of the volume's kind
  int64_t Megabytes = 0;  // the volume's size in MiB, truncated (-1 bytes, unknown, gives 0)
  uint64_t Sectors = 0;   // TotalSectors
};

// Selects the drive and reads the label's pieces from the result.
VolumeLabel SelectDriveAndLabel(std::string_view drive);

// Selects the drive and builds the main window's volume label from the result: the kind's
// name, ", ", the volume's size in MiB, " Mb,", TotalSectors and " sectors"
// ("NTFS, 100 Mb,204800 sectors"). An empty drive gives "Unknown, 0 Mb,0 sectors" on a
// fresh record.
std::u16string SelectDriveAndDescribe(std::string_view drive);

}  // namespace korvalane
