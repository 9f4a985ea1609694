#include "core/fs/ext/Checksums.h"

#include <array>

namespace korvalane::ext {
namespace {

template <typename T>
constexpr std::array<T, 256> MakeTable(T polynomial) {
  std::array<T, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    T value = static_cast<T>(i);
    for (int bit = 0; bit < 8; ++bit) value = (value & 1u) != 0 ? static_cast<T>(polynomial ^ (value >> 1)) : static_cast<T>(value >> 1);
    table[i] = value;
  }
  return table;
}

constexpr std::array<uint32_t, 256> kCrc32cTable = MakeTable<uint32_t>(0x82F63B78u);
constexpr std::array<uint16_t, 256> kCrc16Table = MakeTable<uint16_t>(0xA001u);

}  // namespace

uint32_t Crc32c(uint32_t crc, std::span<const uint8_t> bytes) {
  for (const uint8_t byte : bytes) crc = kCrc32cTable[(crc ^ byte) & 0xFFu] ^ (crc >> 8);
  return crc;
}

uint16_t Crc16(uint16_t crc, std::span<const uint8_t> bytes) {
  for (const uint8_t byte : bytes) crc = static_cast<uint16_t>(kCrc16Table[(crc ^ byte) & 0xFFu] ^ (crc >> 8));
  return crc;
}

}  // namespace korvalane::ext
