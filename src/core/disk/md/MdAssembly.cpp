#include "core/disk/md/MdAssembly.h"

#include <algorithm>

namespace korvalane::md {
namespace {

std::string LevelTitle(int32_t level) {
  if (level >= 0 && level != 10 && level <= 6) return "RAID" + std::to_string(level);
  if (level == 10) return "RAID10";
  return LevelName(level);
}

std::string SizeText(uint64_t bytes) {
  if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0) return std::to_string(bytes >> 20) + " MiB";
  if (bytes >= 1024 && bytes % 1024 == 0) return std::to_string(bytes >> 10) + " KiB";
  return std::to_string(bytes) + " bytes";
}

}  // namespace

std::string Assembly::DriveName() const {
  if (Newest.Format == Version::V090) return "md" + std::to_string(Newest.MdMinor);
  const size_t colon = Newest.Name.find(':');
  const std::string name = colon == std::string::npos ? Newest.Name : Newest.Name.substr(colon + 1);
  return name.empty() ? "md/" + UuidText(Newest.ArrayUuid) : "md/" + name;
}

std::string Assembly::Description() const {
  std::string text = LevelTitle(Newest.Level);
  if (const std::string layout = LayoutName(Newest.Level, Newest.Layout); !layout.empty()) text += ", " + layout;
  text += ", " + std::to_string(Newest.RaidDisks) + (Newest.RaidDisks == 1 ? " member" : " members");
  if (Newest.Level != 1 && Newest.Level != -1) text += ", chunk " + SizeText(Newest.ChunkBytes);
  if (!Newest.Name.empty()) text += ", name \"" + Newest.Name + "\"";
  std::vector<std::string> missing;
  for (size_t slot = 0; slot < Slots.size(); ++slot) {
    if (!Slots[slot]) missing.push_back(std::to_string(slot));
  }
  if (!missing.empty() && Layout) {
    text += std::string(", degraded: member") + (missing.size() > 1 ? "s " : " ");
    for (size_t i = 0; i < missing.size(); ++i) text += (i > 0 ? ", " : "") + missing[i];
    text += " missing";
    // Two of RAID6's members come back only through both its syndromes.
    if (missing.size() == 2 && Newest.Level == 6) text += ", read through P and Q";
  }
  for (size_t i = 0; i < OutOfDate.size(); ++i) text += (i == 0 ? ", out of date: " : ", ") + OutOfDate[i];
  return text;
}

std::vector<Assembly> Assemble(const std::vector<FoundMember>& members) {
  std::vector<Assembly> arrays;
  std::vector<std::vector<const FoundMember*>> groups;
  for (const FoundMember& member : members) {
    size_t at = 0;
    while (at < arrays.size() && arrays[at].Newest.ArrayUuid != member.Sb.ArrayUuid) ++at;
    if (at == arrays.size()) {
      arrays.emplace_back();
      arrays.back().Newest = member.Sb;
      groups.emplace_back();
    }
    if (member.Sb.Events > arrays[at].Newest.Events) arrays[at].Newest = member.Sb;
    groups[at].push_back(&member);
  }
  for (size_t i = 0; i < arrays.size(); ++i) {
    Assembly& array = arrays[i];
    for (const FoundMember* member : groups[i]) array.Members.push_back(*member);
    const uint32_t slots = std::min(array.Newest.RaidDisks, kLargestRoleTable);
    array.Slots.assign(slots, std::nullopt);
    uint64_t smallest = UINT64_MAX;
    for (const FoundMember* member : groups[i]) {
      const Superblock& sb = member->Sb;
      if (sb.Events < array.Newest.Events) {
        array.OutOfDate.push_back(member->Name + " (events " + std::to_string(sb.Events) + ", the array's " +
                                  std::to_string(array.Newest.Events) + ")");
        array.Notes.push_back(member->Name + " is out of date (events " + std::to_string(sb.Events) +
                              ", the array's " + std::to_string(array.Newest.Events) + ") and is not read");
        continue;
      }
      if (sb.Role >= slots) {
        if (sb.Role != kRoleSpare) {
          array.Notes.push_back(member->Name + " has role " + RoleName(sb.Role) + " and is not read");
        }
        continue;
      }
      if (array.Slots[sb.Role]) {
        array.Notes.push_back(member->Name + " claims slot " + std::to_string(sb.Role) +
                              " that another member holds, and is not read");
        continue;
      }
      array.Slots[sb.Role] = member->Index;
      smallest = std::min(smallest, sb.DataSectors);
    }
    for (size_t slot = 0; slot < slots; ++slot) {
      if (!array.Slots[slot]) array.Notes.push_back("Member " + std::to_string(slot) + " is missing");
    }
    std::vector<bool> present(slots);
    for (size_t slot = 0; slot < slots; ++slot) present[slot] = array.Slots[slot].has_value();
    Superblock shape = array.Newest;
    // RAID0 keeps no per-member size of its own: it stripes over what every member holds.
    if (shape.Level == 0 && smallest != UINT64_MAX) shape.DeviceSectors = smallest;
    array.Layout = ArrayLayout::Make(shape, present, array.Why);
    if (!array.Layout) array.Notes.push_back("The array cannot be read: " + array.Why);
  }
  return arrays;
}

}  // namespace korvalane::md
