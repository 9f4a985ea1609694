// Detection, both boot-sector parsers and the volume label over a hostile sector 0. The
// first input byte chooses the device and what the system says about it:
//   bits 0-1  the device's sector size, 512 << n
//   bits 2-3  the file-system name the system gives: none, "FAT", "FAT32", "NTFS"
//   bit 4     reads deliver only half the input (a short read)
//   bit 5     the system cannot tell the volume's size
//   bit 6     the volume cannot be opened at all
//   bit 7     the record still holds another volume's geometry
// The rest is the volume from sector 0 on, padded with zeros to whole sectors.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Platform.h"
#include "core/fs/FileSystem.h"
#include "core/fs/exfat/ExfatGeometry.h"
#include "core/fs/fat/FatGeometry.h"
#include "core/fs/ntfs/NtfsGeometry.h"
#include "core/volume/Detection.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace {

using korvalane::FileSystemKind;
using korvalane::Geometry;
using korvalane::VolumeGeometry;

void Require(bool holds) {
  if (!holds) __builtin_trap();
}

// What a drive change leaves when another volume was examined before.
VolumeGeometry PreviousVolume() {
  VolumeGeometry g;
  g.CurrentDrive = "D:";
  g.FileSystemKind = FileSystemKind::Ntfs;
  g.BytesPerSector = 4096;
  g.BytesPerCluster = 4096;
  g.SectorsPerCluster = 1;
  g.TotalSectors = 4294967295u;
  g.Clusters = 4294967295u;
  g.FatSectors = -1;
  g.StartDataSector = 2147483647;
  g.MftStartCluster = 4294967295u;
  g.MftRecordBytes = 65536;
  return g;
}

// A parser's result and the record it leaves must agree.
void CheckFat(bool parsed) {
  const VolumeGeometry& g = Geometry();
  if (!parsed) {
    Require(g.BytesPerCluster == 0 && g.TotalSectors == 0);
    return;
  }
  Require(g.SectorsPerCluster >= 1 && g.SectorsPerCluster <= 255);
  Require(g.BytesPerSector >= 512 && g.BytesPerSector <= 4608 && g.BytesPerSector % 512 == 0);
  Require(g.Clusters == g.TotalSectors / static_cast<uint32_t>(g.SectorsPerCluster));
  Require(g.RootSectors >= 0);
}

void CheckNtfs(bool parsed) {
  const VolumeGeometry& g = Geometry();
  if (!parsed) {
    Require(g.BytesPerCluster == 0 && g.TotalSectors == 0 && g.MftStartCluster == 0);
    return;
  }
  Require(g.BytesPerSector >= 512 && g.SectorsPerCluster >= 1 && g.SectorsPerCluster <= 255);
  Require(g.Clusters == g.TotalSectors / static_cast<uint32_t>(g.SectorsPerCluster));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  const uint32_t sectorSize = 512u << (choice & 0x03u);
  static const char* const kNames[] = {nullptr, "FAT", "FAT32", "NTFS"};
  const char* name = kNames[choice >> 2 & 0x03u];

  std::vector<uint8_t> bytes(data + 1, data + size);
  const size_t input = bytes.size();
  bytes.resize((bytes.size() / sectorSize + 1) * sectorSize, 0);

  static MemoryPlatform platform;
  MemoryPlatform::Drive& drive = platform.AddDrive('C', std::move(bytes), sectorSize);
  if (name != nullptr) drive.FileSystemName = name;
  if ((choice & 0x10u) != 0) drive.DeliverAtMost = input / 2;
  if ((choice & 0x20u) != 0) drive.TotalBytes = -1;
  drive.FailOpen = (choice & 0x40u) != 0;
  SetPlatform(&platform);
  const VolumeGeometry start = (choice & 0x80u) != 0 ? PreviousVolume() : VolumeGeometry{};

  Geometry() = start;
  const FileSystemKind kind = DetectFileSystem("C:");
  // Whatever it is taken for is a kind some registered file system answers for.
  Require(kind == FileSystemKind::Unknown || FileSystemOf(kind) != nullptr);

  // Both parsers on every sector, whatever it was detected as.
  for (const FileSystemKind fat : {FileSystemKind::Fat, FileSystemKind::Fat32}) {
    Geometry() = start;
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = fat;
    CheckFat(ReadFatGeometry());
  }
  Geometry() = start;
  Geometry().CurrentDrive = "C:";
  Geometry().FileSystemKind = FileSystemKind::Ntfs;
  CheckNtfs(ReadNtfsGeometry());

  // And what choosing the drive in the main window does.
  Geometry() = start;
  const std::u16string label = SelectDriveAndDescribe("C:");
  Require(Geometry().CurrentDrive == "C:");
  const std::u16string tail = u" sectors";
  Require(label.size() > tail.size() && label.compare(label.size() - tail.size(), tail.size(), tail) == 0);
  return 0;
}
