// exFAT detection, the boot-sector parser, the Details report and the listing of the root
// directory it names, over a hostile volume. The first input byte chooses the device and
// what the system says about it:
//   bits 0-1  the device's sector size, 512 << n
//   bit 2     the system names the file system "exFAT" (otherwise the boot sector decides)
//   bit 3     reads deliver only half the input (a short read)
//   bit 4     the record still holds another volume's geometry
// The rest is the volume from sector 0 on, padded with zeros to whole sectors.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/Platform.h"
#include "core/fs/FileSystem.h"
#include "core/fs/exfat/ExfatGeometry.h"
#include "core/fs/fat/FatGeometry.h"
#include "core/fs/ntfs/NtfsGeometry.h"
#include "core/views/Details.h"
#include "core/views/ExfatDirectory.h"
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

VolumeGeometry PreviousVolume() {
  VolumeGeometry g;
  g.CurrentDrive = "D:";
  g.FileSystemKind = FileSystemKind::Fat32;
  g.BytesPerSector = 4096;
  g.BytesPerCluster = 1 << 25;
  g.SectorsPerCluster = 8192;
  g.TotalSectors = UINT64_MAX;
  g.Clusters = UINT64_MAX;
  g.StartDataSector = -1;
  g.RootCluster = UINT64_MAX;
  return g;
}

// The parser's result and the record it leaves must agree.
void CheckExfat(bool parsed) {
  const VolumeGeometry& g = Geometry();
  if (!parsed) {
    Require(g.SectorsPerCluster == 0 && g.BytesPerCluster == 0 && g.TotalSectors == 0 && g.RootCluster == 0);
    return;
  }
  const int32_t bps = g.BytesPerSector;
  Require(bps == 512 || bps == 1024 || bps == 2048 || bps == 4096);
  Require(g.SectorsPerCluster >= 1 && (g.SectorsPerCluster & (g.SectorsPerCluster - 1)) == 0);
  Require(g.BytesPerCluster == bps * g.SectorsPerCluster && g.BytesPerCluster <= (1 << 25));
  Require(g.RootCluster <= UINT32_MAX && g.Clusters <= UINT32_MAX);
  Require(korvalane::ExfatRootDirectorySector().has_value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const uint8_t choice = data[0];
  const uint32_t sectorSize = 512u << (choice & 0x03u);

  std::vector<uint8_t> bytes(data + 1, data + size);
  const size_t input = bytes.size();
  bytes.resize((bytes.size() / sectorSize + 1) * sectorSize, 0);

  static MemoryPlatform platform;
  MemoryPlatform::Drive& drive = platform.AddDrive('C', std::move(bytes), sectorSize);
  if ((choice & 0x04u) != 0) drive.FileSystemName = "exFAT";
  if ((choice & 0x08u) != 0) drive.DeliverAtMost = input / 2;
  SetPlatform(&platform);
  const VolumeGeometry start = (choice & 0x10u) != 0 ? PreviousVolume() : VolumeGeometry{};

  Geometry() = start;
  const FileSystemKind kind = DetectFileSystem("C:");
  // Whatever it is taken for is a kind some registered file system answers for.
  Require(kind == FileSystemKind::Unknown || FileSystemOf(kind) != nullptr);

  Geometry() = start;
  Geometry().CurrentDrive = "C:";
  Geometry().FileSystemKind = FileSystemKind::Exfat;
  const bool parsed = ReadExfatGeometry();
  CheckExfat(parsed);

  ViewText details;
  ReportVolumeDetails(details, NoPump);
  Require(details.size() == (parsed ? 13u : 1u));

  // The root directory the boot sector names, when its cluster is small enough to read
  // on every run.
  const std::optional<int64_t> root = ExfatRootDirectorySector();
  if (parsed && root && *root >= 0 && Geometry().BytesPerCluster <= (1 << 16)) {
    ViewText view;
    ListExfatDirectory(static_cast<uint64_t>(*root), view, NoPump);
    Require(view.size() <= static_cast<size_t>(Geometry().BytesPerCluster) / 32 + 1);
  }

  Geometry() = start;
  const std::u16string label = SelectDriveAndDescribe("C:");
  Require(Geometry().CurrentDrive == "C:");
  return 0;
}
