// Every structure decoder over hostile bytes, and the choice of a sector's structure and
// the backup comparison over a hostile volume. The first input byte chooses:
//   bits 0-3  the decoder (by its place in the catalog), for the direct run, with bits 4
//             and 5 of the second byte above them
//   bit 4     sectors of 4096 bytes (else 512)
//   bits 5-7  the file-system kind the volume is taken for (Unknown, FAT, FAT32, exFAT, NTFS,
//             ext, LUKS, BitLocker, XFS), with bit 6 of the second byte above them
// The second byte is the sector whose structure is chosen and read. The rest is the
// structure's bytes, and the volume from sector 0 on.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <span>
#include <vector>

#include "core/fs/FileSystem.h"
#include "core/structures/Catalog.h"
#include "core/structures/Inspector.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace {

void Require(bool holds) {
  if (!holds) __builtin_trap();
}

void CheckFields(const korvalane::Structure& s, size_t size) {
  for (const korvalane::Field& field : s.Fields) Require(field.Offset <= size && field.Size <= size - field.Offset);
  Require(s.Length <= size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 2) return 0;
  const std::span<const StructureKind> kinds = StructureKinds();
  const StructureKind& kind = kinds[((data[0] & 0x0Fu) | (data[1] & 0x30u)) % kinds.size()];
  const uint32_t sectorSize = (data[0] & 0x10u) != 0 ? 4096 : 512;
  const std::span<const uint8_t> bytes(data + 2, size - 2);

  static MemoryPlatform platform;
  SetPlatform(&platform);
  StructureInput input;
  input.Bytes = bytes;
  input.Sector = data[1];
  input.SectorSize = sectorSize;
  input.FirstEntryNumber = data[1];
  input.EntrySize = 128u << (data[1] & 3u);
  input.Read = [&](uint64_t sector, std::span<uint8_t> buffer) {
    Require(buffer.size() <= (uint64_t{4} << 20) + sectorSize);
    if (sector > bytes.size() / sectorSize || buffer.size() > bytes.size() - sector * sectorSize) return false;
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(sector * sectorSize), buffer.size(), buffer.begin());
    return true;
  };
  CheckFields(kind.Decode(input), bytes.size());
  InspectBytes(bytes, data[1]);

  // The same bytes as a volume of the chosen kind.
  constexpr FileSystemKind kKinds[] = {FileSystemKind::Unknown, FileSystemKind::Fat, FileSystemKind::Fat32,
                                       FileSystemKind::Exfat, FileSystemKind::Ntfs, FileSystemKind::Ext,
                                       FileSystemKind::Luks,  FileSystemKind::Bitlocker, FileSystemKind::Xfs};
  std::vector<uint8_t> volume(bytes.begin(), bytes.end());
  volume.resize((volume.size() + sectorSize - 1) / sectorSize * sectorSize + sectorSize, 0);
  const uint64_t sectors = volume.size() / sectorSize;
  platform.AddDrive('C', std::move(volume), sectorSize);
  VolumeGeometry& g = Geometry();
  g = VolumeGeometry{};
  g.CurrentDrive = "C:";
  g.FileSystemKind = kKinds[((data[0] >> 5) | ((data[1] & 0x40u) >> 3)) % std::size(kKinds)];
  g.BytesPerSector = static_cast<int32_t>(sectorSize);
  g.SectorsPerCluster = 1 + data[1] % 8;
  g.StartDataSector = data[1] % 4;
  g.RootSectors = data[1] % 3;
  g.TotalSectors = sectors;
  // ext's, LUKS's and BitLocker's choices work from what their geometry parse keeps.
  if (g.FileSystemKind == FileSystemKind::Ext || g.FileSystemKind == FileSystemKind::Luks ||
      g.FileSystemKind == FileSystemKind::Bitlocker) {
    OpenCurrentVolume();
  }
  const uint64_t sector = data[1] % sectors;
  if (const std::optional<StructureChoice> choice = KnownStructureAt(sector)) {
    Require(FindStructureKind(choice->Id) != nullptr);
    // A LUKS2 header spans up to 4 MiB, the largest structure read.
    if (const std::optional<Structure> s = ReadStructureAt(sector, *choice)) CheckFields(*s, size_t{4} << 20);
  }
  // Every listed difference has bytes that differ, and its runs lie within the field.
  for (const BackupComparison& comparison : CompareBackups()) {
    for (const FieldDifference& d : comparison.Differences) {
      Require(d.DifferingBytes > 0 && d.Runs.size() <= kRunsKept && d.RunCount >= d.Runs.size());
      for (const ByteRun& run : d.Runs) {
        Require(run.Size > 0 && run.Offset >= d.Offset && run.Size <= d.Size && run.Offset - d.Offset <= d.Size - run.Size);
      }
    }
  }
  return 0;
}
