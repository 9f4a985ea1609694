#include "core/map/Png.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace korvalane {

namespace {

std::array<uint32_t, 256> CrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t n = 0; n < 256; ++n) {
    uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}

void PutBe32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// A chunk: its length, type, data and the CRC of type and data.
void Chunk(std::vector<uint8_t>& out, std::string_view type, std::span<const uint8_t> data) {
  PutBe32(out, static_cast<uint32_t>(data.size()));
  const size_t typeAt = out.size();
  out.insert(out.end(), type.begin(), type.end());
  out.insert(out.end(), data.begin(), data.end());
  PutBe32(out, Crc32(std::span<const uint8_t>(out).subspan(typeAt)));
}

}  // namespace

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
  static const std::array<uint32_t, 256> table = CrcTable();
  crc = ~crc;
  for (const uint8_t b : bytes) crc = table[(crc ^ b) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

uint32_t Adler32(std::span<const uint8_t> bytes, uint32_t adler) {
  constexpr uint32_t kModulus = 65521;
  uint32_t a = adler & 0xFFFF;
  uint32_t b = adler >> 16;
  // 5552 bytes are the most that can be summed before b may pass 2^32.
  for (size_t at = 0; at < bytes.size();) {
    const size_t end = std::min(bytes.size(), at + 5552);
    for (; at < end; ++at) {
      a += bytes[at];
      b += a;
    }
    a %= kModulus;
    b %= kModulus;
  }
  return (b << 16) | a;
}

std::vector<uint8_t> EncodePng(uint32_t width, uint32_t height, std::span<const uint8_t> rgb) {
  if (width == 0 || height == 0 || width > 0x7FFFFFFF / 3 || rgb.size() / 3 / width != height || rgb.size() % (uint64_t{3} * width) != 0) {
    return {};
  }
  // The rows as filtered: a filter byte of 0 (none) before each.
  const size_t rowBytes = size_t{width} * 3;
  std::vector<uint8_t> raw;
  raw.reserve((rowBytes + 1) * height);
  for (uint32_t y = 0; y < height; ++y) {
    raw.push_back(0);
    const auto row = rgb.subspan(y * rowBytes, rowBytes);
    raw.insert(raw.end(), row.begin(), row.end());
  }
  // zlib: its header (deflate, 32 KiB window, no dictionary, check bits), stored blocks of
  // at most 65535 bytes each (a header byte, LEN and its complement), the Adler-32.
  std::vector<uint8_t> zlib = {0x78, 0x01};
  constexpr size_t kMaxStored = 65535;
  size_t at = 0;
  do {
    const size_t length = std::min(kMaxStored, raw.size() - at);
    const bool last = at + length == raw.size();
    zlib.push_back(last ? 1 : 0);
    zlib.push_back(static_cast<uint8_t>(length));
    zlib.push_back(static_cast<uint8_t>(length >> 8));
    zlib.push_back(static_cast<uint8_t>(~length));
    zlib.push_back(static_cast<uint8_t>(~length >> 8));
    zlib.insert(zlib.end(), raw.begin() + static_cast<ptrdiff_t>(at), raw.begin() + static_cast<ptrdiff_t>(at + length));
    at += length;
  } while (at < raw.size());
  PutBe32(zlib, Adler32(raw));

  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  std::vector<uint8_t> header;
  PutBe32(header, width);
  PutBe32(header, height);
  header.insert(header.end(), {8, 2, 0, 0, 0});  // 8 bits, RGB, deflate, adaptive filters, no interlace
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", zlib);
  Chunk(png, "IEND", {});
  return png;
}

}  // namespace korvalane
