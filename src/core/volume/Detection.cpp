#include "core/volume/Detection.h"

#include <string>
#include <vector>

#include "core/Platform.h"
#include "core/fs/ext/Volume.h"
#include "core/volume/SectorReader.h"

namespace korvalane {
namespace {

// The fallback looks for the file system's name in the first 90 bytes of the boot
// sector: the jump, the OEM name at 3 ("NTFS    " on NTFS, "EXFAT   " on exFAT) and the
// BIOS parameter block, whose FAT12/FAT16 type label stands at 54 ("FAT16   ") and FAT32
// type label at 82.
constexpr size_t kNameRunLength = 90;

}  // namespace

FileSystemKind DetectFileSystem(std::string_view drive) {
  if (drive.empty()) return FileSystemKind::Unknown;

  std::string rootPath(drive);
  if (rootPath.back() != '\\') rootPath += '\\';

  if (const std::optional<std::string> name = CurrentPlatform().FileSystemName(rootPath)) {
    if (*name == "FAT") return FileSystemKind::Fat;
    if (*name == "FAT32") return FileSystemKind::Fat32;
    if (*name == "NTFS") return FileSystemKind::Ntfs;
    if (*name == "exFAT") return FileSystemKind::Exfat;
    if (*name == "ext2" || *name == "ext3" || *name == "ext4" || *name == "ext4dev") return FileSystemKind::Ext;
  }

  Geometry().CurrentDrive = std::string(drive);
  std::vector<uint8_t> bootSector;
  if (!ProbeBootSector(bootSector)) return FileSystemKind::Unknown;

  // Bytes of value 30 or below add nothing, so the padding between names drops out.
  std::string text;
  for (size_t i = 0; i < kNameRunLength && i < bootSector.size(); ++i) {
    if (bootSector[i] > 30) text += static_cast<char>(bootSector[i]);
  }
  // "EXFAT" holds "FAT", so it is tested first and decides on its own.
  if (text.find("EXFAT") != std::string::npos) return FileSystemKind::Exfat;
  FileSystemKind kind = FileSystemKind::Unknown;
  if (text.find("FAT") != std::string::npos) kind = FileSystemKind::Fat;
  if (text.find("FAT32") != std::string::npos) kind = FileSystemKind::Fat32;
  if (text.find("NTFS") != std::string::npos) kind = FileSystemKind::Ntfs;
  // ext keeps no name in its first sector: its superblock at byte 1024 has a magic number.
  if (kind == FileSystemKind::Unknown && ext::HasExtMagic()) kind = FileSystemKind::Ext;
  return kind;
}

}  // namespace korvalane
