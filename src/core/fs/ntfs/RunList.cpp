#include "core/fs/ntfs/RunList.h"

#include <algorithm>

#include "core/Bytes.h"
#include "core/volume/SectorReader.h"

namespace korvalane {
namespace {

// A mapping pair's fields are at most 8 bytes of value: an offset is a signed 64-bit
// delta, and a count of 2^64 clusters is more than any volume.
constexpr size_t kWidestValue = 8;
constexpr uint64_t kNoSuchCount = UINT64_MAX;

// A length field as an unsigned number; one wider than 8 bytes whose upper bytes are not 0
// does not fit.
uint64_t LengthField(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  for (size_t i = kWidestValue; i < width; ++i) {
    if (bytes[offset + i] != 0) return kNoSuchCount;
  }
  return ReadLe(bytes, offset, std::min(width, kWidestValue));
}

// An offset field as a two's-complement number of its own width.
int64_t OffsetField(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  uint64_t value = ReadLe(bytes, offset, width);
  const unsigned bits = static_cast<unsigned>(width * 8);
  if (bits < 64 && (value >> (bits - 1) & 1u) != 0) value |= ~uint64_t{0} << bits;
  return static_cast<int64_t>(value);
}

}  // namespace

bool RunListReader::Next(RunListEntry& entry) {
  if (at_ >= bytes_.size()) {
    end_ = RunListEnd::BufferEnd;
    return false;
  }
  const uint8_t header = bytes_[at_];
  const size_t lengthWidth = header & 0x0Fu;
  const size_t offsetWidth = header >> 4;
  if (header == 0) {
    end_ = RunListEnd::Marker;
    return false;
  }
  if (lengthWidth == 0) {
    end_ = RunListEnd::NoLength;
    return false;
  }
  if (offsetWidth > kWidestValue) {
    end_ = RunListEnd::WideOffset;
    return false;
  }
  if (!Fits(bytes_, at_ + 1, lengthWidth + offsetWidth)) {
    end_ = RunListEnd::Cut;
    return false;
  }
  entry.Offset = at_;
  entry.Size = 1 + lengthWidth + offsetWidth;
  entry.Run.Vcn = vcn_;
  entry.Run.Count = LengthField(bytes_, at_ + 1, lengthWidth);
  entry.Run.Sparse = offsetWidth == 0;
  entry.Delta = entry.Run.Sparse ? 0 : OffsetField(bytes_, at_ + 1 + lengthWidth, offsetWidth);
  lcn_ += static_cast<uint64_t>(entry.Delta);
  entry.Run.Lcn = entry.Run.Sparse ? 0 : lcn_;
  vcn_ += entry.Run.Count;
  at_ += entry.Size;
  return true;
}

void DecodeNtfsRuns(std::span<const uint8_t> bytes, size_t first, uint64_t startVcn, std::vector<NtfsRun>& runs) {
  RunListReader reader(bytes, first, startVcn);
  RunListEntry entry;
  while (reader.Next(entry)) runs.push_back(entry.Run);
}

std::vector<NtfsRun> DecodeNtfsRuns(std::span<const uint8_t> bytes, size_t first, uint64_t startVcn) {
  std::vector<NtfsRun> runs;
  DecodeNtfsRuns(bytes, first, startVcn, runs);
  return runs;
}

DataRun ToDataRun(const NtfsRun& run) {
  return DataRun{static_cast<int64_t>(run.Lcn), run.Count > UINT32_MAX ? 0 : static_cast<int64_t>(run.Count)};
}

std::vector<DataRun> DecodeDataRuns(std::span<const uint8_t> buffer, size_t first, const MessagePump& pump) {
  std::vector<DataRun> runs;
  RunListReader reader(buffer, first);
  RunListEntry entry;
  while (pump() && reader.Next(entry)) {
    if (!entry.Run.Sparse) runs.push_back(ToDataRun(entry.Run));
  }
  return runs;
}

bool ReadRunStream(const std::vector<NtfsRun>& runs, uint64_t clusterBytes, uint32_t sectorBytes, uint64_t position,
                   std::span<uint8_t> bytes, SectorRead read) {
  if (sectorBytes == 0) return false;
  if (read == nullptr) read = &ReadSectors;
  const uint64_t end = position + bytes.size();
  // Sparse or unmapped parts read as zeros: the bytes are cleared first unless the runs
  // cover all of them.
  uint64_t covered = 0;
  for (const NtfsRun& run : runs) {
    const uint64_t runFrom = run.Vcn * clusterBytes;
    const uint64_t runTo = runFrom + run.Count * clusterBytes;
    const uint64_t from = std::max(position, runFrom);
    const uint64_t to = std::min(end, runTo);
    if (from < to && !run.Sparse) covered += to - from;
  }
  if (covered < bytes.size()) std::fill(bytes.begin(), bytes.end(), uint8_t{0});

  bool all = true;
  std::vector<uint8_t> scratch;
  for (const NtfsRun& run : runs) {
    const uint64_t runFrom = run.Vcn * clusterBytes;
    const uint64_t runTo = runFrom + run.Count * clusterBytes;
    const uint64_t from = std::max(position, runFrom);
    const uint64_t to = std::min(end, runTo);
    if (from >= to || run.Sparse) continue;
    const uint64_t volumeByte = run.Lcn * clusterBytes + (from - runFrom);
    const uint64_t firstSector = volumeByte / sectorBytes;
    const uint64_t skip = volumeByte % sectorBytes;
    const std::span<uint8_t> target = bytes.subspan(static_cast<size_t>(from - position), static_cast<size_t>(to - from));
    if (skip == 0 && target.size() % sectorBytes == 0) {
      // Whole sectors (the usual case): straight into place.
      if (!read(firstSector, target)) all = false;
      continue;
    }
    // Otherwise whole sectors are read and the part wanted copied out.
    scratch.resize(static_cast<size_t>((skip + target.size() + sectorBytes - 1) / sectorBytes * sectorBytes));
    if (!read(firstSector, scratch)) all = false;
    std::copy_n(scratch.begin() + static_cast<std::ptrdiff_t>(skip), target.size(), target.begin());
  }
  return all;
}

}  // namespace korvalane
