// LUKS1 and LUKS2 headers over a hostile volume: detection, the headers' parse (both LUKS2
// copies, their checksums and JSON areas), the details report, the structure at each
// header and the comparison of LUKS2's two headers. The first input byte chooses the
// sector size (bit 0: 4096, else 512); the rest is the volume from byte 0 on.
#include <cstddef>
#include <cstdint>

#include "FuzzVolume.h"
#include "core/fs/FileSystem.h"
#include "core/fs/luks/LuksStructures.h"
#include "core/structures/Catalog.h"
#include "core/views/Details.h"
#include "core/volume/Detection.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const uint32_t sectorSize = (data[0] & 1u) != 0 ? 4096 : 512;
  fuzzing::Volume(data + 1, size - 1, sectorSize);
  StructureInput input;
  input.Bytes = std::span<const uint8_t>(data + 1, size - 1);
  input.SectorSize = sectorSize;
  (void)DecodeLuks1Header(input);
  (void)DecodeLuks2Header(input);

  Geometry().FileSystemKind = DetectFileSystem("C:");
  Geometry().FileSystemKind = FileSystemKind::Luks;
  if (!OpenCurrentVolume()) return 0;
  ViewText view;
  Json json = Json::Object();
  ReadVolumeDetails(&view, &json, [] { return true; });
  for (uint64_t sector = 0; sector < 80; ++sector) {
    if (const std::optional<StructureChoice> choice = KnownStructureAt(sector)) (void)ReadStructureAt(sector, *choice);
  }
  (void)CompareBackups();
  return 0;
}
