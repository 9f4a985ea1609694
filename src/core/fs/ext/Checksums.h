#pragma once

#include <cstdint>
#include <span>

namespace korvalane::ext {

// CRC-32C (Castagnoli, reflected polynomial 0x82F63B78) continued from `crc`, without
// the final inversion: ext4 seeds it with ~0 or with a checksum seed and stores the raw
// register, so a checksum over several pieces is one call per piece.
uint32_t Crc32c(uint32_t crc, std::span<const uint8_t> bytes);

// CRC-16 (reflected polynomial 0xA001, the one of the old "uninit_bg" group descriptor
// checksum) continued from `crc`.
uint16_t Crc16(uint16_t crc, std::span<const uint8_t> bytes);

}  // namespace korvalane::ext
