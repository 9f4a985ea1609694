#include "core/views/DataRuns.h"

#include "core/Bytes.h"

namespace korvalane {
namespace {

// A mapping pair's offset is a signed delta of at most 8 bytes; wider fields are not part
// of the format and end the list.
constexpr size_t kWidestOffset = 8;

// A cluster count must fit 32 bits; a longer length field whose value does not is taken
// as a count of 0.
uint64_t ClusterCountField(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  for (size_t i = 4; i < width; ++i) {
    if (bytes[offset + i] != 0) return 0;
  }
  return ReadLe(bytes, offset, width < 4 ? width : 4);
}

// The offset field as a two's-complement number of its own width.
int64_t SignedOffsetField(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  uint64_t value = ReadLe(bytes, offset, width);
  const unsigned bits = static_cast<unsigned>(width * 8);
  if (bits < 64 && (value >> (bits - 1) & 1u) != 0) value |= ~uint64_t{0} << bits;
  return static_cast<int64_t>(value);
}

}  // namespace

std::vector<DataRun> DecodeDataRuns(std::span<const uint8_t> buffer, size_t first, const MessagePump& pump) {
  std::vector<DataRun> runs;
  uint64_t start = 0;  // the running start cluster; deltas wrap modulo 2^64
  size_t p = first;
  while (true) {
    if (!pump()) return runs;
    if (p >= buffer.size()) return runs;
    const uint8_t header = buffer[p];
    if (header == 0) return runs;
    const size_t lengthWidth = header & 0x0Fu;
    const size_t offsetWidth = header >> 4;
    if (!Fits(buffer, p + 1, lengthWidth)) return runs;
    const uint64_t count = lengthWidth == 0 ? 0 : ClusterCountField(buffer, p + 1, lengthWidth);
    // A run without an offset is sparse: it has no place on the volume, and nothing after
    // it is decoded.
    if (offsetWidth == 0 || offsetWidth > kWidestOffset) return runs;
    if (!Fits(buffer, p + 1 + lengthWidth, offsetWidth)) return runs;
    start += static_cast<uint64_t>(SignedOffsetField(buffer, p + 1 + lengthWidth, offsetWidth));
    if (lengthWidth == 0) return runs;
    runs.push_back(DataRun{static_cast<int64_t>(start), static_cast<int64_t>(count)});
    p += 1 + lengthWidth + offsetWidth;
  }
}

}  // namespace korvalane
