#include "platform/posix/MdSource.h"

#include <algorithm>

#include "platform/posix/DriveTable.h"

namespace korvalane {

MdSource::MdSource(md::Assembly assembly, std::vector<MdMemberArea> slots)
    : assembly_(std::move(assembly)), slots_(std::move(slots)), name_(assembly_.DriveName()) {
  for (const MdMemberArea& slot : slots_) {
    if (slot.From) {
      sectorSize_ = std::max(sectorSize_, slot.From->SectorSize());
    }
  }
}

bool MdSource::Read(uint64_t position, std::span<uint8_t> buffer, bool direct) {
  const auto readSlot = [&](uint32_t slot, uint64_t at, std::span<uint8_t> into) {
    if (slot >= slots_.size() || !slots_[slot].From) return false;
    const MdMemberArea& area = slots_[slot];
    if (at > area.Bytes || into.size() > area.Bytes - at) return false;
    return area.From->Read(area.FirstByte + at, into, direct);
  };
  return assembly_.Layout->Read(readSlot, position, buffer);
}

std::string MdSource::OpenError() {
  for (const MdMemberArea& slot : slots_) {
    if (!slot.From) continue;
    if (std::string why = slot.From->OpenError(); !why.empty()) return slot.From->Name() + ": " + why;
  }
  return {};
}

void MdSource::Release() {
  for (const MdMemberArea& slot : slots_) {
    if (slot.From) slot.From->Release();
  }
}

std::vector<std::string> MdSource::Files() const {
  std::vector<std::string> files;
  for (const MdMemberArea& slot : slots_) {
    if (!slot.From) continue;
    for (const std::string& file : slot.From->Files()) {
      if (std::find(files.begin(), files.end(), file) == files.end()) files.push_back(file);
    }
  }
  return files;
}

std::optional<md::Superblock> ReadMdSuperblock(const MdMemberArea& area) {
  return md::FindSuperblock(
      [&](uint64_t position, std::span<uint8_t> buffer) {
        return position <= area.Bytes && buffer.size() <= area.Bytes - position &&
               area.From->Read(area.FirstByte + position, buffer, false);
      },
      area.Bytes);
}

std::vector<std::shared_ptr<Source>> AssembleMdArrays(const std::vector<DriveEntry>& drives) {
  std::vector<MdMemberArea> areas;
  std::vector<md::FoundMember> found;
  std::vector<std::array<uint8_t, 16>> there;
  for (const DriveEntry& drive : drives) {
    if (const auto* array = dynamic_cast<const MdSource*>(drive.From.get())) {
      // An array's own drives are not looked into again: one is a drive already.
      if (drive.FirstByte == 0 && !drive.IsPartition) there.push_back(array->Array().Newest.ArrayUuid);
      continue;
    }
    // A disk cut into partitions is no member: its partitions may be.
    const bool partitioned = !drive.IsPartition && std::any_of(drives.begin(), drives.end(), [&](const DriveEntry& other) {
      return other.IsPartition && other.From == drive.From;
    });
    if (partitioned) continue;
    const int64_t size = drive.From->Size();
    if (size <= 0) continue;
    MdMemberArea area{drive.From, drive.FirstByte,
                      drive.Bytes ? *drive.Bytes : static_cast<uint64_t>(size) - std::min<uint64_t>(drive.FirstByte, size),
                      drive.Description};
    std::optional<md::Superblock> sb = ReadMdSuperblock(area);
    drive.From->Release();
    if (!sb) continue;
    found.push_back({areas.size(), drive.Description, std::move(*sb)});
    areas.push_back(std::move(area));
  }
  std::vector<std::shared_ptr<Source>> sources;
  for (md::Assembly& array : md::Assemble(found)) {
    if (!array.Layout) continue;
    if (std::find(there.begin(), there.end(), array.Newest.ArrayUuid) != there.end()) continue;
    std::vector<MdMemberArea> slots(array.Slots.size());
    bool fits = true;
    for (size_t slot = 0; slot < array.Slots.size(); ++slot) {
      if (!array.Slots[slot]) continue;
      const size_t index = *array.Slots[slot];
      const md::FoundMember& member = found[index];
      // The slot's data area: from its data offset on, as far as the member reaches.
      const uint64_t offset = member.Sb.DataOffset * 512;
      const MdMemberArea& area = areas[index];
      if (offset > area.Bytes) {
        fits = false;
        break;
      }
      slots[slot] = {area.From, area.FirstByte + offset, area.Bytes - offset, area.Name};
    }
    if (!fits) continue;
    sources.push_back(std::make_shared<MdSource>(std::move(array), std::move(slots)));
  }
  return sources;
}

}  // namespace korvalane
