// The partition-table reader and the whole-disk details report over a hostile disk. The
// first input byte chooses how the disk is presented:
//   bit 0  sectors of 4096 bytes (else 512)
//   bit 1  the disk claims the size in the next eight bytes (little-endian sectors): reads
//          past the input fail, as on a truncated image of a larger disk
// The rest is the disk from sector 0 on.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/disk/PartitionTable.h"
#include "core/views/PartitionReport.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const uint32_t sectorSize = (data[0] & 1u) != 0 ? 4096 : 512;
  const bool claimed = (data[0] & 2u) != 0;
  size_t skip = 1;
  uint64_t diskSectors = 0;
  if (claimed) {
    if (size < 9) return 0;
    for (int i = 0; i < 8; ++i) diskSectors |= uint64_t{data[1 + i]} << (8 * i);
    skip = 9;
  }
  const std::span<const uint8_t> disk(data + skip, size - skip);
  if (!claimed) diskSectors = disk.size() / sectorSize;

  size_t reads = 0;
  uint64_t sectorsRead = 0;
  const PartitionTable table = ReadPartitionTable(
      [&](uint64_t sector, std::span<uint8_t> buffer) {
        ++reads;
        // Every read the parser makes lies within the disk it was told of.
        Check(buffer.size() % sectorSize == 0 && sector < diskSectors &&
              buffer.size() / sectorSize <= diskSectors - sector);
        sectorsRead += buffer.size() / sectorSize;
        if (sector > disk.size() / sectorSize || buffer.size() > disk.size() - sector * sectorSize) return false;
        std::copy_n(disk.begin() + static_cast<std::ptrdiff_t>(sector * sectorSize), buffer.size(), buffer.begin());
        return true;
      },
      sectorSize, diskSectors);

  // The walk is bounded: the chain of logical partitions and both GPT headers with their
  // arrays, and no more.
  Check(reads <= 1100);
  Check(sectorsRead <= 1100 + 2 * ((uint64_t{4} << 20) / sectorSize + 2));
  Check(table.Notes.size() <= 33);
  for (const Partition& p : table.Partitions) {
    Check(p.SectorCount >= 1 && p.FirstSector < diskSectors && p.SectorCount <= diskSectors - p.FirstSector);
    Check(p.Number >= 1);
  }
  DetectImageSectorSize(disk);

  // The report of the same disk as a whole-disk drive.
  static MemoryPlatform platform;
  std::vector<uint8_t> bytes(disk.begin(), disk.end());
  bytes.resize((bytes.size() + sectorSize - 1) / sectorSize * sectorSize, 0);
  platform.AddDrive('C', std::move(bytes), sectorSize);
  SetPlatform(&platform);
  Geometry() = VolumeGeometry{};
  Geometry().CurrentDrive = "C:";
  Geometry().BytesPerSector = static_cast<int32_t>(sectorSize);
  ViewText view;
  ReportPartitionTable(view, NoPump);
  Check(view.empty() || view.size() >= 6);
  return 0;
}
