#include "core/disk/lvm/LvmVolumeGroup.h"

#include <algorithm>
#include <limits>

#include "core/disk/lvm/LvmText.h"

namespace korvalane {

std::string LvmSegment::Kind() const {
  if (Type == "striped") return Stripes.size() == 1 ? "linear" : "striped";
  return Type;
}

std::string LvmLogicalVolume::Kind() const {
  std::vector<std::string> kinds;
  for (const LvmSegment& segment : Segments) {
    const std::string kind = segment.Kind();
    if (std::find(kinds.begin(), kinds.end(), kind) == kinds.end()) kinds.push_back(kind);
  }
  std::string text;
  for (const std::string& kind : kinds) text += (text.empty() ? "" : ", ") + kind;
  return text.empty() ? "no segments" : text;
}

const LvmLogicalVolume* LvmVolumeGroup::FindLv(std::string_view name) const {
  for (const LvmLogicalVolume& lv : Lvs) {
    if (lv.Name == name) return &lv;
  }
  return nullptr;
}

namespace {

// Extents and sectors are kept below 2^62 bytes, so that no sum of two of them wraps.
constexpr uint64_t kMaxBytes = uint64_t{1} << 62;

uint64_t NonNegative(int64_t value) { return value < 0 ? 0 : static_cast<uint64_t>(value); }

bool HasFlag(const LvmNode& node, std::string_view key, std::string_view flag) {
  const LvmNode* list = node.Find(key);
  if (list == nullptr || list->Value.Type != LvmValue::Kind::List) return false;
  for (const LvmValue& item : list->Value.Items) {
    if (item.Type == LvmValue::Kind::String && item.Text == flag) return true;
  }
  return false;
}

void ReadStripes(const LvmNode& node, LvmSegment& segment, LvmVolumeGroup& vg, const std::string& where) {
  const int64_t count = node.Number("stripe_count", 0);
  const LvmNode* list = node.Find("stripes");
  if (count < 1 || list == nullptr || list->Value.Type != LvmValue::Kind::List ||
      list->Value.Items.size() != static_cast<size_t>(count) * 2) {
    segment.Unreadable = "its stripes are not a list of PV and extent pairs";
    vg.Problems.push_back(where + ": the stripe list does not match stripe_count");
    return;
  }
  for (size_t i = 0; i + 1 < list->Value.Items.size(); i += 2) {
    const LvmValue& pv = list->Value.Items[i];
    const LvmValue& extent = list->Value.Items[i + 1];
    if (pv.Type != LvmValue::Kind::String || extent.Type != LvmValue::Kind::Number || extent.Number < 0) {
      segment.Unreadable = "its stripes are not a list of PV and extent pairs";
      vg.Problems.push_back(where + ": stripe " + std::to_string(i / 2) + " is not a PV name and an extent");
      return;
    }
    LvmStripe stripe;
    stripe.PvName = pv.Text;
    stripe.StartExtent = static_cast<uint64_t>(extent.Number);
    for (size_t p = 0; p < vg.Pvs.size(); ++p) {
      if (vg.Pvs[p].Name == pv.Text) stripe.Pv = p;
    }
    if (!stripe.Pv) {
      segment.Unreadable = "it lies on " + pv.Text + ", which the VG does not list";
      vg.Problems.push_back(where + ": stripe on " + pv.Text + ", a PV the VG does not list");
    }
    segment.Stripes.push_back(std::move(stripe));
  }
  if (count > 1) {
    segment.StripeSize = NonNegative(node.Number("stripe_size", 0));
    if (segment.StripeSize == 0 || segment.StripeSize > kMaxBytes / 512) {
      segment.Unreadable = "its stripe size is " + std::to_string(segment.StripeSize);
      vg.Problems.push_back(where + ": stripe size " + std::to_string(segment.StripeSize));
      return;
    }
    if (vg.ExtentSize % segment.StripeSize != 0) {
      segment.Unreadable = "its stripe size does not divide the extent size";
      vg.Problems.push_back(where + ": stripe size " + std::to_string(segment.StripeSize) +
                            " does not divide extent size " + std::to_string(vg.ExtentSize));
      return;
    }
  }
  if (segment.ExtentCount % static_cast<uint64_t>(count) != 0) {
    segment.Unreadable = "its extents do not divide among its stripes";
    vg.Problems.push_back(where + ": " + std::to_string(segment.ExtentCount) + " extents over " +
                          std::to_string(count) + " stripes");
    return;
  }
  const uint64_t perStripe = segment.ExtentCount / static_cast<uint64_t>(count);
  for (const LvmStripe& stripe : segment.Stripes) {
    if (!stripe.Pv) continue;
    const LvmVgPhysicalVolume& pv = vg.Pvs[*stripe.Pv];
    if (stripe.StartExtent > pv.PeCount || perStripe > pv.PeCount - stripe.StartExtent) {
      segment.Unreadable = "it reaches past the extents of " + pv.Name;
      vg.Problems.push_back(where + ": extents " + std::to_string(stripe.StartExtent) + "-" +
                            std::to_string(stripe.StartExtent + perStripe - 1) + " of " + pv.Name + ", which has " +
                            std::to_string(pv.PeCount));
    }
  }
}

struct Area {
  size_t Pv;
  uint64_t First;
  uint64_t Count;
  size_t Lv;
  size_t Segment;
};

// Extents that two segments both claim make both unreadable: which one holds the bytes
// is not for the reader to guess.
void CheckOverlaps(LvmVolumeGroup& vg) {
  std::vector<Area> areas;
  for (size_t l = 0; l < vg.Lvs.size(); ++l) {
    for (size_t s = 0; s < vg.Lvs[l].Segments.size(); ++s) {
      const LvmSegment& segment = vg.Lvs[l].Segments[s];
      if (!segment.Striped() || segment.Stripes.empty() || !segment.Unreadable.empty()) continue;
      const uint64_t perStripe = segment.ExtentCount / segment.Stripes.size();
      for (const LvmStripe& stripe : segment.Stripes) {
        if (stripe.Pv && perStripe > 0) areas.push_back({*stripe.Pv, stripe.StartExtent, perStripe, l, s});
      }
    }
  }
  std::sort(areas.begin(), areas.end(),
            [](const Area& a, const Area& b) { return a.Pv != b.Pv ? a.Pv < b.Pv : a.First < b.First; });
  for (size_t i = 1; i < areas.size(); ++i) {
    const Area& before = areas[i - 1];
    const Area& area = areas[i];
    if (before.Pv != area.Pv || before.First + before.Count <= area.First) continue;
    const std::string pv = vg.Pvs[area.Pv].Name;
    vg.Problems.push_back("extent " + std::to_string(area.First) + " of " + pv + " is claimed by both " +
                          vg.Lvs[before.Lv].Name + " and " + vg.Lvs[area.Lv].Name);
    vg.Lvs[before.Lv].Segments[before.Segment].Unreadable = "its extents on " + pv + " are claimed twice";
    vg.Lvs[area.Lv].Segments[area.Segment].Unreadable = "its extents on " + pv + " are claimed twice";
  }
}

}  // namespace

std::optional<LvmVolumeGroup> ParseVolumeGroup(std::string_view text, std::string* error) {
  const auto fail = [&](const std::string& why) -> std::optional<LvmVolumeGroup> {
    if (error != nullptr) *error = why;
    return std::nullopt;
  };
  const LvmTextResult parsed = ParseLvmText(text);
  if (!parsed.Error.empty()) return fail("the metadata text is damaged: " + parsed.Error);
  const LvmNode* section = nullptr;
  for (const LvmNode& node : parsed.Root.Children) {
    if (node.IsSection) {
      section = &node;
      break;
    }
  }
  if (section == nullptr) return fail("the metadata text holds no volume group");

  LvmVolumeGroup vg;
  vg.Name = section->Key;
  vg.Uuid = section->String("id");
  vg.Seqno = section->Number("seqno");
  const int64_t extentSize = section->Number("extent_size", 0);
  if (extentSize <= 0 || extentSize > (int64_t{1} << 32)) {
    return fail("volume group " + vg.Name + " has extent size " + std::to_string(extentSize));
  }
  vg.ExtentSize = static_cast<uint64_t>(extentSize);
  const uint64_t maxExtents = kMaxBytes / vg.ExtentBytes();

  if (const LvmNode* pvs = section->Find("physical_volumes"); pvs != nullptr && pvs->IsSection) {
    for (const LvmNode& node : pvs->Children) {
      if (!node.IsSection) continue;
      LvmVgPhysicalVolume pv;
      pv.Name = node.Key;
      pv.Uuid = node.String("id");
      pv.Device = node.String("device");
      pv.DeviceSectors = std::min(NonNegative(node.Number("dev_size")), kMaxBytes / 512);
      pv.PeStart = std::min(NonNegative(node.Number("pe_start")), kMaxBytes / 512);
      pv.PeCount = NonNegative(node.Number("pe_count"));
      if (pv.PeCount > maxExtents) {
        vg.Problems.push_back(pv.Name + ": " + std::to_string(pv.PeCount) + " extents overflow");
        pv.PeCount = 0;
      }
      vg.Pvs.push_back(std::move(pv));
    }
  }

  if (const LvmNode* lvs = section->Find("logical_volumes"); lvs != nullptr && lvs->IsSection) {
    for (const LvmNode& node : lvs->Children) {
      if (!node.IsSection) continue;
      LvmLogicalVolume lv;
      lv.Name = node.Key;
      lv.Uuid = node.String("id");
      lv.Visible = HasFlag(node, "status", "VISIBLE");
      uint64_t next = 0;
      for (const LvmNode& child : node.Children) {
        if (!child.IsSection || child.Key.rfind("segment", 0) != 0) continue;
        LvmSegment segment;
        const std::string where = vg.Name + "/" + lv.Name + " " + child.Key;
        segment.StartExtent = NonNegative(child.Number("start_extent", -1));
        segment.ExtentCount = NonNegative(child.Number("extent_count", 0));
        segment.Type = child.String("type");
        if (segment.ExtentCount > maxExtents || segment.StartExtent > maxExtents - segment.ExtentCount) {
          vg.Problems.push_back(where + ": " + std::to_string(segment.ExtentCount) + " extents overflow");
          segment.ExtentCount = 0;
          segment.Unreadable = "its extent count overflows";
        } else if (segment.StartExtent != next) {
          vg.Problems.push_back(where + " starts at extent " + std::to_string(segment.StartExtent) + ", not " +
                                std::to_string(next));
          segment.Unreadable = "it does not follow the segment before";
        }
        if (segment.Striped()) {
          if (segment.Unreadable.empty()) ReadStripes(child, segment, vg, where);
        } else {
          segment.Unreadable = "a " + segment.Type + " segment is not laid out linearly on the PVs";
        }
        if (segment.Unreadable.empty() || segment.StartExtent == next) next += segment.ExtentCount;
        lv.Segments.push_back(std::move(segment));
      }
      lv.ExtentCount = next;
      vg.Lvs.push_back(std::move(lv));
    }
  }
  CheckOverlaps(vg);
  return vg;
}

uint64_t LogicalVolumeBytes(const LvmVolumeGroup& vg, const LvmLogicalVolume& lv) {
  return lv.ExtentCount * vg.ExtentBytes();
}

LvmRun MapLogicalVolume(const LvmVolumeGroup& vg, const LvmLogicalVolume& lv, uint64_t offset) {
  const uint64_t extentBytes = vg.ExtentBytes();
  const uint64_t total = LogicalVolumeBytes(vg, lv);
  LvmRun run;
  if (extentBytes == 0 || offset >= total) return run;
  run.Bytes = total - offset;
  for (const LvmSegment& segment : lv.Segments) {
    const uint64_t first = segment.StartExtent * extentBytes;
    const uint64_t bytes = segment.ExtentCount * extentBytes;
    if (offset < first || offset - first >= bytes) continue;
    const uint64_t within = offset - first;
    run.Bytes = bytes - within;
    if (!segment.Unreadable.empty() || segment.Stripes.empty()) return run;
    const uint64_t stripes = segment.Stripes.size();
    if (stripes == 1) {
      const LvmStripe& stripe = segment.Stripes[0];
      run.Pv = stripe.Pv;
      run.PvByte = vg.Pvs[*stripe.Pv].PeStart * 512 + stripe.StartExtent * extentBytes + within;
      return run;
    }
    // Chunk k of the segment is chunk k / stripes of stripe k % stripes.
    const uint64_t chunkBytes = segment.StripeSize * 512;
    const uint64_t chunk = within / chunkBytes;
    const uint64_t inChunk = within % chunkBytes;
    const LvmStripe& stripe = segment.Stripes[chunk % stripes];
    run.Pv = stripe.Pv;
    run.PvByte = vg.Pvs[*stripe.Pv].PeStart * 512 + stripe.StartExtent * extentBytes + (chunk / stripes) * chunkBytes +
                 inChunk;
    run.Bytes = std::min(run.Bytes, chunkBytes - inChunk);
    return run;
  }
  return run;
}

}  // namespace korvalane
