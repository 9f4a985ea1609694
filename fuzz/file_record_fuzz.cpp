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
#include "FuzzVolume.h"

using korvalane::fuzzing::Volume;

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
