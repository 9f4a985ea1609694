#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace korvalane {

// A physical volume as its VG's metadata lists it ("pv0"): sizes in 512-byte sectors.
struct LvmVgPhysicalVolume {
  std::string Name;    // "pv0"
  std::string Uuid;    // "c3e54X-bXxt-hPV1-gXn6-ZAOi-s4VQ-XP8qWd"
  std::string Device;  // the device it was last seen as, a hint only
  uint64_t DeviceSectors = 0;
  uint64_t PeStart = 0;  // sector of extent 0
  uint64_t PeCount = 0;
};

// One stripe (an area) of a segment: extents of one PV from StartExtent on.
struct LvmStripe {
  std::string PvName;
  std::optional<size_t> Pv;  // index into the VG's PVs; none when the name is not one of them
  uint64_t StartExtent = 0;
};

struct LvmSegment {
  uint64_t StartExtent = 0;  // in the LV
  uint64_t ExtentCount = 0;
  std::string Type;          // "striped" (linear when one stripe), "thin", "raid1", ...
  uint64_t StripeSize = 0;   // sectors, striped over more than one PV
  std::vector<LvmStripe> Stripes;
  // Why the segment cannot be read, for the user: a type whose bytes are not laid out
  // linearly on the PVs, or metadata that does not add up. Empty when it reads exactly.
  std::string Unreadable;

  bool Striped() const { return Type == "striped" || Type == "linear"; }
  // "linear", "striped" or the type as the metadata names it.
  std::string Kind() const;
};

struct LvmLogicalVolume {
  std::string Name;
  std::string Uuid;
  bool Visible = true;  // hidden LVs (a thin pool's data, a mirror's legs) are no drives
  std::vector<LvmSegment> Segments;  // in LV order, each following the one before
  uint64_t ExtentCount = 0;

  // The segment kinds, in order, each once: "linear", "striped", "thin-pool, linear".
  std::string Kind() const;
};

struct LvmVolumeGroup {
  std::string Name;
  std::string Uuid;
  int64_t Seqno = 0;
  uint64_t ExtentSize = 0;  // sectors of 512 bytes, at least 1
  std::vector<LvmVgPhysicalVolume> Pvs;
  std::vector<LvmLogicalVolume> Lvs;
  // What does not add up, one sentence each: segments past their PV, extents claimed
  // twice, counts that overflow. The segments concerned are unreadable.
  std::vector<std::string> Problems;

  uint64_t ExtentBytes() const { return ExtentSize * 512; }
  const LvmLogicalVolume* FindLv(std::string_view name) const;
};

// The VG described by the metadata text (one top-level section besides the header's
// assignments). Nothing, with `error` saying why, when the text is not a VG's.
std::optional<LvmVolumeGroup> ParseVolumeGroup(std::string_view text, std::string* error = nullptr);

// Where the LV's byte `offset` lies: PV `Pv` at its byte `PvByte`, for `Bytes` bytes on
// (to the end of the stripe chunk or the segment). Unreadable (no Pv) for a segment that
// cannot be read or an offset past the LV, `Bytes` then saying how far that goes.
struct LvmRun {
  std::optional<size_t> Pv;
  uint64_t PvByte = 0;
  uint64_t Bytes = 0;
};
LvmRun MapLogicalVolume(const LvmVolumeGroup& vg, const LvmLogicalVolume& lv, uint64_t offset);

// The LV's size in bytes.
uint64_t LogicalVolumeBytes(const LvmVolumeGroup& vg, const LvmLogicalVolume& lv);

}  // namespace korvalane
