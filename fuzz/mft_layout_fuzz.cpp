// MFT record 0 and the details report over a hostile volume. With bit 7 of the first
// input byte set, the whole report runs: the rest of the input is the volume, boot sector
// included, and the boot sector says where MFT record 0 lies. Otherwise the geometry is
// set directly (bits 0-1 the sector size 512 << n, MFT at cluster 1 of one sector) and only
// ReadMftLayout runs, then locate for the record that bits 2-6 give, so that the fuzzer
// spends its time on record 0 itself, its attribute list and its extension records.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Platform.h"
#include "core/fs/ntfs/MftLayout.h"
#include "core/views/Details.h"
#include "core/volume/VolumeGeometry.h"
#include "FuzzVolume.h"

using korvalane::fuzzing::Volume;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  const uint32_t sectorSize = 512u << (choice & 0x03u);
  MemoryPlatform& platform = Volume(data + 1, size - 1, sectorSize);
  VolumeGeometry& g = Geometry();
  g.FileSystemKind = FileSystemKind::Ntfs;
  if ((choice & 0x80u) != 0) {
    platform.Find("C:")->FileSystemName = "NTFS";
    ViewText view;
    ReportVolumeDetails(view, NoPump);
  } else {
    g.SectorsPerCluster = 1;
    g.MftStartCluster = 1;
    g.Clusters = g.TotalSectors;
    std::vector<DataRun> extents;
    if (ReadMftLayout(NoPump, extents) && (g.MftRecordBytes < 512 || g.MftRecordBytes > 65536)) __builtin_trap();
    // A record found through the runs, sparse ones and those of extension records
    // included, lies on the volume.
    const uint64_t record = choice >> 2 & 0x1Fu;
    const Location at = LocateNtfsMftRecord(record, NoPump);
    if (at.Sector && *at.Sector >= g.TotalSectors) __builtin_trap();
  }
  return 0;
}
