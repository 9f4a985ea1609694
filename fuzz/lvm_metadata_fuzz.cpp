// The LVM2 readers over hostile bytes. The first input byte chooses what the rest is:
//   0  metadata text: parsed as a volume group, and its LVs mapped at a few offsets
//   1  a metadata area, its header in the first 512 bytes: the ring buffer's copies read
//   2  a PV from its sector 0 on: label, PV header, metadata areas and text
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/disk/lvm/LvmPhysicalVolume.h"
#include "core/disk/lvm/LvmVolumeGroup.h"

namespace {

void Check(bool holds) {
  if (!holds) __builtin_trap();
}

void MapAll(std::string_view text) {
  using namespace korvalane;
  const std::optional<LvmVolumeGroup> vg = ParseVolumeGroup(text);
  if (!vg) return;
  Check(vg->ExtentSize > 0);
  for (const LvmLogicalVolume& lv : vg->Lvs) {
    const uint64_t bytes = LogicalVolumeBytes(*vg, lv);
    // Walk the first runs and a few offsets further on: every run is bounded, non-empty
    // and on a PV the VG lists.
    uint64_t offset = 0;
    for (int i = 0; i < 64 && offset < bytes; ++i) {
      const LvmRun run = MapLogicalVolume(*vg, lv, offset);
      Check(run.Bytes > 0 && run.Bytes <= bytes - offset);
      if (run.Pv) Check(*run.Pv < vg->Pvs.size());
      offset += run.Bytes;
    }
    for (const uint64_t at : {bytes / 3, bytes / 2, bytes - 1}) {
      if (at < bytes) MapLogicalVolume(*vg, lv, at);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const std::span<const uint8_t> rest(data + 1, size - 1);
  switch (data[0] % 3) {
    case 0:
      MapAll(std::string_view(reinterpret_cast<const char*>(rest.data()), rest.size()));
      break;
    case 1: {
      const LvmMetadataHeader header = DecodeLvmMetadataHeader(rest, 0);
      std::string problem;
      if (const std::optional<LvmMetadataCopy> copy = ReadLvmMetadataArea(rest, header, &problem)) {
        Check(copy->Text.size() <= rest.size());
        MapAll(copy->Text);
      }
      break;
    }
    default: {
      size_t reads = 0;
      const LvmReader read = [&](uint64_t position, std::span<uint8_t> buffer) {
        ++reads;
        if (position > rest.size() || buffer.size() > rest.size() - position) return false;
        std::copy_n(rest.begin() + static_cast<std::ptrdiff_t>(position), buffer.size(), buffer.begin());
        return true;
      };
      if (const std::optional<LvmPhysicalVolume> pv = ReadLvmPhysicalVolume(read, rest.size())) {
        if (pv->Metadata) MapAll(pv->Metadata->Text);
      }
      Check(reads < 64);
      break;
    }
  }
  return 0;
}
