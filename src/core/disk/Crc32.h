#pragma once

#include <cstdint>
#include <span>

namespace korvalane {

// The CRC-32 of IEEE 802.3 (reflected polynomial 0xEDB88320, initial and final value
// 0xFFFFFFFF), the checksum GPT headers and partition-entry arrays carry.
uint32_t Crc32(std::span<const uint8_t> bytes);

}  // namespace korvalane
