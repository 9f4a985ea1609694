#pragma once

#include <cstdint>
#include <string>

namespace korvalane {

// The file system of a volume. The codes are compared for equality only.
enum class FileSystemKind : uint8_t {
  Unknown = 0,  // none of those below, an empty drive name, or an unreadable volume
  Fat = 16,     // FAT with 12-bit or 16-bit entries
  Fat32 = 32,
  Ntfs = 64,
  Exfat = 128,
  Ext = 131,  // ext2, ext3 and ext4 alike (0x83, the MBR type of Linux partitions)
  Xfs = 132,  // XFS v4 and v5
  Luks = 232,       // LUKS1 and LUKS2 encrypted volumes (0xE8, the MBR type of LUKS)
  Bitlocker = 233,  // BitLocker encrypted volumes
};

// The one process-wide record of the volume being examined. Whoever selects a drive
// overwrites it; every reader takes what is there at the moment of use.
//
// Sector and cluster counts and the MFT's first cluster are unsigned 64-bit: a disk past
// 2 TiB has more than 2^32 sectors of 512 bytes and must still show, compare and address
// its true count. The other values keep 32-bit signed arithmetic that wraps modulo 2^32.
struct VolumeGeometry {
  std::string CurrentDrive;
  ::korvalane::FileSystemKind FileSystemKind = ::korvalane::FileSystemKind::Unknown;
  int32_t BytesPerSector = 0;
  int32_t BytesPerCluster = 0;
  int32_t SectorsPerCluster = 0;
  uint64_t TotalSectors = 0;
  uint64_t Clusters = 0;
  int32_t FatSectors = 0;
  int32_t ReservedSectors = 0;
  int32_t FatCopies = 0;
  int32_t StartDataSector = 0;
  int32_t RootSectors = 0;
  int32_t FatSizeBytes = 0;
  uint64_t MftStartCluster = 0;
  int32_t MftRecordBytes = 0;
  // exFAT: the first cluster of the root directory (a 32-bit field on disk).
  uint64_t RootCluster = 0;
};

// The process-wide record (zero and empty at start).
VolumeGeometry& Geometry();

}  // namespace korvalane
