#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace korvalane {

// Little-endian reads from a disk buffer. Every helper takes the buffer with its size and
// answers 0 for a field that would reach past its end, so a hostile offset can never read
// outside the buffer. Callers that must tell "zero" from "outside" ask Fits() first.

inline bool Fits(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  return offset <= bytes.size() && width <= bytes.size() - offset;
}

inline uint64_t ReadLe(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  if (width > 8 || !Fits(bytes, offset, width)) return 0;
  uint64_t value = 0;
  for (size_t i = width; i-- > 0;) value = (value << 8) | bytes[offset + i];
  return value;
}

inline uint8_t ReadU8(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint8_t>(ReadLe(bytes, offset, 1));
}
inline uint16_t ReadLe16(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint16_t>(ReadLe(bytes, offset, 2));
}
inline uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(ReadLe(bytes, offset, 4));
}
inline uint64_t ReadLe64(std::span<const uint8_t> bytes, size_t offset) {
  return ReadLe(bytes, offset, 8);
}

}  // namespace korvalane
