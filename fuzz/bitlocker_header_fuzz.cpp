// The BitLocker volume header and its FVE metadata blocks over a hostile volume: the parse
// of the header and the blocks it names (their entries), the details report and the
// structure at each block. The first input byte chooses the sector size (bit 0: 4096,
// else 512); the rest is the volume from byte 0 on.
#include <cstddef>
#include <cstdint>

#include "FuzzVolume.h"
#include "core/fs/FileSystem.h"
#include "core/fs/bitlocker/BitlockerFileSystem.h"
#include "core/fs/bitlocker/BitlockerStructures.h"
#include "core/structures/Catalog.h"
#include "core/views/Details.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const uint32_t sectorSize = (data[0] & 1u) != 0 ? 4096 : 512;
  fuzzing::Volume(data + 1, size - 1, sectorSize);
  StructureInput input;
  input.Bytes = std::span<const uint8_t>(data + 1, size - 1);
  input.SectorSize = sectorSize;
  (void)DecodeBitlockerHeader(input);
  (void)DecodeFveMetadataBlock(input);

  Geometry().FileSystemKind = FileSystemKind::Bitlocker;
  if (!OpenCurrentVolume()) return 0;
  ViewText view;
  Json json = Json::Object();
  ReadVolumeDetails(&view, &json, [] { return true; });
  if (const bitlocker::VolumeState* state = BitlockerStateOf(CurrentFileSystem())) {
    for (const bitlocker::MetadataBlock& block : state->Blocks) {
      if (block.Entries.size() > bitlocker::kLargestBlock / 8) __builtin_trap();
      if (block.Byte % sectorSize != 0) continue;
      const uint64_t sector = block.Byte / sectorSize;
      if (const std::optional<StructureChoice> choice = KnownStructureAt(sector)) (void)ReadStructureAt(sector, *choice);
    }
  }
  return 0;
}
