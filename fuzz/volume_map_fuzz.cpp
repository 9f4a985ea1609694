// The volume map over hostile runs: overlapping, past the volume's end, of every kind, with
// unreadable ranges anywhere and any unit size. Its runs must follow each other and cover
// every unit once, whatever the index holds; the cells and the picture must count the same.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/map/Png.h"
#include "core/map/VolumeMap.h"

namespace {

uint64_t Take(const uint8_t*& data, size_t& size, size_t bytes) {
  uint64_t value = 0;
  for (size_t i = 0; i < bytes && size > 0; ++i, ++data, --size) value |= uint64_t{*data} << (8 * i);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  OwnershipIndex index;
  // Volumes of up to 2^40 sectors: their runs, not their size, bound what is kept.
  const uint64_t sectors = Take(data, size, 5);
  const uint64_t unitSectors = Take(data, size, 1) % 128 + 1;
  index.Begin(sectors, 512);
  uint32_t owners[7];
  for (uint32_t kind = 0; kind < 6; ++kind) {
    Owner owner;
    owner.Kind = static_cast<OwnerKind>(kind);
    owner.Area = static_cast<MetadataClass>(kind % 5);
    owner.Part = "file";
    owners[kind] = index.AddOwner(owner);
  }
  owners[6] = owners[1];
  std::vector<SectorRange> unreadable;
  while (size >= 10) {
    const uint64_t what = Take(data, size, 1);
    const uint64_t first = Take(data, size, 5);
    const uint64_t count = Take(data, size, 4);
    if (what >= 0xF0) {
      unreadable.push_back({first, count});
    } else {
      index.AddRun(first, count, owners[what % 7], (what & 8) != 0 ? std::optional<uint64_t>(first * 3) : std::nullopt);
    }
  }
  index.Finish();
  const VolumeMap map = VolumeMap::Build(index, unitSectors, unreadable);
  uint64_t next = 0;
  for (const ClassRun& run : map.Runs()) {
    if (run.First != next || run.Count == 0) __builtin_trap();
    next = run.First + run.Count;
  }
  if (next != map.Units()) __builtin_trap();
  uint64_t total = 0;
  for (const LegendLine& line : map.Legend()) total += line.Units;
  if (total != map.Units()) __builtin_trap();
  const std::vector<MapCell> cells = map.Cells(997);
  uint64_t counted = 0;
  for (const MapCell& cell : cells) counted += cell.Count;
  if (counted != map.Units()) __builtin_trap();
  const MapPicture picture = DrawMap(map, GridFor(map, 64, 32));
  if (!picture.Rgb.empty() && EncodePng(picture.Width, picture.Height, picture.Rgb).empty()) __builtin_trap();
  if (!map.Runs().empty()) {
    FragmentsOf(map, map.Runs().front().Of);
    OwnersIn(index, map, 0, map.Units(), 8);
  }
  return 0;
}
