#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/Bytes.h"

namespace korvalane::fat {

// Fields of a FAT boot sector (the BIOS parameter block), in bytes from the start of
// sector 0. NTFS keeps the first of them at the same places.
constexpr size_t kBytesPerSector = 11;
constexpr size_t kSectorsPerCluster = 13;
constexpr size_t kReservedSectors = 14;
constexpr size_t kFatCopies = 16;
constexpr size_t kRootEntries = 17;
constexpr size_t kTotalSectors16 = 19;
constexpr size_t kMediaDescriptor = 21;
constexpr size_t kSectorsPerFat16 = 22;
constexpr size_t kTotalSectors32 = 32;
constexpr size_t kSectorsPerFat32 = 36;
// The type labels ("FAT16   ", "FAT32   ") of FAT12/16 and FAT32 boot sectors.
constexpr size_t kFat16TypeLabel = 54;
constexpr size_t kFat32TypeLabel = 82;
// A root directory entry is 32 bytes.
constexpr uint32_t kDirectoryEntryBytes = 32;

inline uint16_t BytesPerSector(std::span<const uint8_t> boot) { return ReadLe16(boot, kBytesPerSector); }
inline uint8_t SectorsPerCluster(std::span<const uint8_t> boot) { return ReadU8(boot, kSectorsPerCluster); }
inline uint16_t ReservedSectors(std::span<const uint8_t> boot) { return ReadLe16(boot, kReservedSectors); }
inline uint8_t FatCopies(std::span<const uint8_t> boot) { return ReadU8(boot, kFatCopies); }
inline uint16_t RootEntries(std::span<const uint8_t> boot) { return ReadLe16(boot, kRootEntries); }
inline uint8_t MediaDescriptor(std::span<const uint8_t> boot) { return ReadU8(boot, kMediaDescriptor); }

// The sectors the FAT12/16 root directory occupies on disk: its entries of 32 bytes,
// rounded up to whole sectors (the data area's cluster 2 starts after the last of them).
inline uint64_t RootDirectorySectorsOnDisk(std::span<const uint8_t> boot, uint32_t bytesPerSector) {
  if (bytesPerSector == 0) return 0;
  return (uint64_t{RootEntries(boot)} * kDirectoryEntryBytes + bytesPerSector - 1) / bytesPerSector;
}

}  // namespace korvalane::fat
