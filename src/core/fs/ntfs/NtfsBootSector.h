#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/Bytes.h"

namespace korvalane::ntfs {

// Fields of an NTFS boot sector, in bytes from the start of sector 0. The first two stand
// where FAT's BIOS parameter block keeps them.
constexpr size_t kName = 3;  // "NTFS    "
constexpr size_t kBytesPerSector = 11;
constexpr size_t kSectorsPerCluster = 13;
constexpr size_t kTotalSectors = 40;
constexpr size_t kMftCluster = 48;

inline uint16_t BytesPerSector(std::span<const uint8_t> boot) { return ReadLe16(boot, kBytesPerSector); }
inline uint8_t SectorsPerCluster(std::span<const uint8_t> boot) { return ReadU8(boot, kSectorsPerCluster); }

}  // namespace korvalane::ntfs
