#include "platform/posix/LvmSource.h"

#include <algorithm>

#include "core/disk/lvm/LvmPhysicalVolume.h"
#include "platform/posix/DriveTable.h"

namespace korvalane {
namespace {

std::string SizeText(uint64_t bytes) {
  constexpr uint64_t kMiB = 1 << 20;
  return bytes % kMiB == 0 ? std::to_string(bytes / kMiB) + " MiB" : std::to_string(bytes) + " bytes";
}

}  // namespace

LvmSource::LvmSource(std::shared_ptr<const LvmVolumeGroup> vg, size_t lv, std::vector<std::optional<LvmPvPlace>> pvs,
                     std::vector<std::string> notes)
    : vg_(std::move(vg)), lv_(lv), pvs_(std::move(pvs)), notes_(std::move(notes)) {
  name_ = vg_->Name + "/" + Lv().Name;
  for (const std::optional<LvmPvPlace>& pv : pvs_) {
    if (pv) {
      sectorSize_ = pv->From->SectorSize();
      break;
    }
  }
}

bool LvmSource::Read(uint64_t position, std::span<uint8_t> buffer, bool direct) {
  size_t done = 0;
  while (done < buffer.size()) {
    const LvmRun run = MapLogicalVolume(*vg_, Lv(), position + done);
    if (!run.Pv || *run.Pv >= pvs_.size() || !pvs_[*run.Pv] || run.Bytes == 0) return false;
    const LvmPvPlace& pv = *pvs_[*run.Pv];
    const size_t length = static_cast<size_t>(std::min<uint64_t>(run.Bytes, buffer.size() - done));
    if (run.PvByte > pv.Bytes || length > pv.Bytes - run.PvByte) return false;
    if (!pv.From->Read(pv.FirstByte + run.PvByte, buffer.subspan(done, length), direct)) return false;
    done += length;
  }
  return true;
}

void LvmSource::Release() {
  for (const std::optional<LvmPvPlace>& pv : pvs_) {
    if (pv) pv->From->Release();
  }
}

int64_t LvmSource::Size() { return static_cast<int64_t>(LogicalVolumeBytes(*vg_, Lv())); }

std::string LvmSource::Damage() const {
  std::string text;
  const auto add = [&](const std::string& what) { text += (text.empty() ? "" : "; ") + what; };
  std::vector<size_t> missing;
  for (const LvmSegment& segment : Lv().Segments) {
    if (!segment.Unreadable.empty()) {
      add("extents " + std::to_string(segment.StartExtent) + "-" +
          std::to_string(segment.StartExtent + segment.ExtentCount - 1) + " unreadable: " + segment.Unreadable);
      continue;
    }
    for (const LvmStripe& stripe : segment.Stripes) {
      if (stripe.Pv && *stripe.Pv < pvs_.size() && !pvs_[*stripe.Pv] &&
          std::find(missing.begin(), missing.end(), *stripe.Pv) == missing.end()) {
        missing.push_back(*stripe.Pv);
      }
    }
  }
  for (const std::string& note : notes_) add("metadata: " + note);
  for (const size_t pv : missing) {
    add("PV " + vg_->Pvs[pv].Name + " (" + vg_->Pvs[pv].Uuid + ") is missing: what lies on it is unreadable");
  }
  return text;
}

std::vector<std::string> LvmSource::Files() const {
  std::vector<std::string> files;
  for (const std::optional<LvmPvPlace>& pv : pvs_) {
    if (!pv) continue;
    for (const std::string& file : pv->From->Files()) {
      if (std::find(files.begin(), files.end(), file) == files.end()) files.push_back(file);
    }
  }
  return files;
}

std::string LvmSource::Description() const {
  std::string on;
  for (const LvmSegment& segment : Lv().Segments) {
    for (const LvmStripe& stripe : segment.Stripes) {
      if (!stripe.Pv || *stripe.Pv >= pvs_.size()) continue;
      const std::string where = pvs_[*stripe.Pv] ? pvs_[*stripe.Pv]->Where : "missing " + stripe.PvName;
      if (on.find(where) == std::string::npos) on += (on.empty() ? "" : " and ") + where;
    }
  }
  return "LVM2 LV " + name_ + ", " + Lv().Kind() + ", " + SizeText(LogicalVolumeBytes(*vg_, Lv())) +
         (on.empty() ? "" : ", on " + on);
}

void LvmAssembly::Look(const DriveEntry& drive) {
  const int64_t sourceSize = drive.From->Size();
  if (sourceSize <= 0 || drive.FirstByte >= static_cast<uint64_t>(sourceSize)) return;
  const uint64_t bytes = drive.Bytes.value_or(static_cast<uint64_t>(sourceSize) - drive.FirstByte);
  const auto read = [&](uint64_t position, std::span<uint8_t> buffer) {
    return position <= bytes && buffer.size() <= bytes - position &&
           drive.From->Read(drive.FirstByte + position, buffer, false);
  };
  const std::optional<LvmPhysicalVolume> pv = ReadLvmPhysicalVolume(read, bytes);
  if (!pv || !pv->Metadata) return;
  std::optional<LvmVolumeGroup> vg = ParseVolumeGroup(pv->Metadata->Text);
  if (!vg) return;
  Group& group = groups_[vg->Uuid];
  if (!group.Vg) order_.push_back(vg->Uuid);
  // The newest metadata of all its PVs describes the VG.
  if (!group.Vg || vg->Seqno > group.Vg->Seqno) {
    group.Vg = std::make_shared<const LvmVolumeGroup>(std::move(*vg));
    group.Pvs.resize(group.Vg->Pvs.size());
  }
  std::string where = drive.Description;
  if (const size_t cut = where.find(" ("); cut != std::string::npos) where.resize(cut);
  if (!pv->Metadata->Note.empty()) group.Notes.push_back(where + ": " + pv->Metadata->Note);
  for (size_t i = 0; i < group.Vg->Pvs.size(); ++i) {
    if (group.Vg->Pvs[i].Uuid == pv->Header.Uuid && !group.Pvs[i]) {
      group.Pvs[i] = LvmPvPlace{drive.From, drive.FirstByte, bytes, where};
    }
  }
}

std::vector<DriveEntry> LvmAssembly::Drives(Group& group) {
  group.Given = true;
  std::vector<DriveEntry> drives;
  for (size_t i = 0; i < group.Vg->Lvs.size(); ++i) {
    if (!group.Vg->Lvs[i].Visible) continue;
    auto source = std::make_shared<LvmSource>(group.Vg, i, group.Pvs, group.Notes);
    DriveEntry entry;
    entry.Description = source->Description();
    entry.Volume = source->Name();
    entry.Bytes = static_cast<uint64_t>(source->Size());
    entry.From = std::move(source);
    drives.push_back(std::move(entry));
  }
  return drives;
}

std::vector<DriveEntry> LvmAssembly::TakeComplete() {
  std::vector<DriveEntry> drives;
  for (const std::string& uuid : order_) {
    Group& group = groups_[uuid];
    if (group.GivenComplete ||
        !std::all_of(group.Pvs.begin(), group.Pvs.end(), [](const auto& pv) { return pv.has_value(); })) {
      continue;
    }
    group.GivenComplete = true;
    for (DriveEntry& entry : Drives(group)) drives.push_back(std::move(entry));
  }
  return drives;
}

std::vector<DriveEntry> LvmAssembly::TakeRest() {
  std::vector<DriveEntry> drives;
  for (const std::string& uuid : order_) {
    Group& group = groups_[uuid];
    if (group.Given) continue;
    for (DriveEntry& entry : Drives(group)) drives.push_back(std::move(entry));
  }
  return drives;
}

}  // namespace korvalane
