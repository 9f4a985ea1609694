// NTFS file record report over a hostile record. The first input byte chooses bits 0-1 the
// sector size (512 << n) and bits 2-3 the record length the view reads: unset (two
// sectors), 1024, 4096, or one sector, as a details request may leave it. The rest is the
// volume; the record is read at sector 0.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Platform.h"
#include "core/views/FileRecord.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace {

// The input becomes drive C: of an in-memory platform, padded to whole sectors.
korvalane::MemoryPlatform& Volume(const uint8_t* data, size_t size, uint32_t sectorSize) {
  static korvalane::MemoryPlatform platform;
  std::vector<uint8_t> bytes(data, data + size);
  bytes.resize((bytes.size() + sectorSize - 1) / sectorSize * sectorSize + sectorSize, 0);
  platform.AddDrive('C', std::move(bytes), sectorSize);
  korvalane::SetPlatform(&platform);
  korvalane::Geometry() = korvalane::VolumeGeometry{};
  korvalane::Geometry().CurrentDrive = "C:";
  korvalane::Geometry().BytesPerSector = static_cast<int32_t>(sectorSize);
  korvalane::Geometry().TotalSectors = static_cast<uint32_t>(platform.Find("C:")->Bytes.size() / sectorSize);
  return platform;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  const uint32_t sectorSize = 512u << (choice & 0x03u);
  Volume(data + 1, size - 1, sectorSize);
  VolumeGeometry& g = Geometry();
  g.FileSystemKind = FileSystemKind::Ntfs;
  g.SectorsPerCluster = 1;
  const int32_t lengths[] = {0, 1024, 4096, static_cast<int32_t>(sectorSize)};
  g.MftRecordBytes = lengths[choice >> 2 & 0x03u];
  ViewText view;
  ShowFileRecord(0, view, NoPump);
  return 0;
}
