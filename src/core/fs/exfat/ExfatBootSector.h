#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/Bytes.h"

namespace korvalane::exfat {

// Fields of an exFAT boot sector, in bytes from the start of sector 0.
constexpr size_t kName = 3;
constexpr char kNameText[] = "EXFAT   ";
constexpr size_t kVolumeLength = 72;
constexpr size_t kFatOffset = 80;
constexpr size_t kFatLength = 84;
constexpr size_t kClusterHeapOffset = 88;
constexpr size_t kClusterCount = 92;
constexpr size_t kRootCluster = 96;
constexpr size_t kBytesPerSectorShift = 108;
constexpr size_t kSectorsPerClusterShift = 109;
constexpr size_t kNumberOfFats = 110;
constexpr size_t kBootSignature = 510;
constexpr uint16_t kBootSignatureValue = 0xAA55;
// Sectors of 512 to 4096 bytes, clusters of at most 32 MiB (2^25 bytes).
constexpr unsigned kSmallestSectorShift = 9;
constexpr unsigned kLargestSectorShift = 12;
constexpr unsigned kLargestClusterShift = 25;

// Whether the OEM name at 3 is "EXFAT   ".
inline bool HasName(std::span<const uint8_t> boot) {
  for (size_t i = 0; i + 1 < sizeof kNameText; ++i) {
    if (ReadU8(boot, kName + i) != static_cast<uint8_t>(kNameText[i])) return false;
  }
  return true;
}

inline bool HasBootSignature(std::span<const uint8_t> boot) {
  return ReadLe16(boot, kBootSignature) == kBootSignatureValue;
}

// The sector size as a power of two (9 to 12 on a sound boot sector).
inline uint8_t BytesPerSectorShift(std::span<const uint8_t> boot) { return ReadU8(boot, kBytesPerSectorShift); }

}  // namespace korvalane::exfat
