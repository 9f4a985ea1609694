#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace korvalane {

// A PNG file of an RGB picture (8 bits a channel, `rgb` row after row, three bytes a
// pixel), its image data in stored (uncompressed) deflate blocks: no compression library
// is needed, and a map of a few colours is small anyway. Empty when the sizes are zero or
// do not match `rgb`.
std::vector<uint8_t> EncodePng(uint32_t width, uint32_t height, std::span<const uint8_t> rgb);

// The CRC-32 of PNG chunks (and zip, gzip): polynomial 0xEDB88320, reflected.
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);
// The Adler-32 that ends a zlib stream.
uint32_t Adler32(std::span<const uint8_t> bytes, uint32_t adler = 1);

}  // namespace korvalane
