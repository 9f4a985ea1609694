// The GNU ddrescue mapfile reader over hostile text: lines of any kind, areas out of order,
// overlapping, huge. What it gives back must be in order, disjoint and within 64 bits.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/rescue/Mapfile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  std::string why;
  const std::optional<Mapfile> map = ParseMapfile(std::string_view(reinterpret_cast<const char*>(data), size), &why);
  if (!map) return 0;
  uint64_t next = 0;
  for (const MapArea& area : map->Areas) {
    if (area.Position != next || area.Size == 0 || area.Size > UINT64_MAX - area.Position) __builtin_trap();
    next = area.Position + area.Size;
  }
  if (next != map->End) __builtin_trap();
  UnfinishedWithin(*map, size, UINT64_MAX / 2);
  return 0;
}
