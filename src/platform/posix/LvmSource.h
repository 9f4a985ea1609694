#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/disk/lvm/LvmVolumeGroup.h"
#include "platform/Source.h"

namespace korvalane {

struct DriveEntry;

// Where one PV of a VG was found: a drive's source and the drive's bytes in it.
struct LvmPvPlace {
  std::shared_ptr<Source> From;
  uint64_t FirstByte = 0;
  uint64_t Bytes = 0;
  std::string Where;  // the drive it is, for the user: "disk.img, partition 2"
};

// A logical volume read through its VG's PVs: linear and striped segments map each byte
// to its PV's extent exactly; segments of other kinds, and the ranges that lie on a PV
// that is not there, are unreadable as bad sectors are.
class LvmSource final : public Source {
 public:
  // `notes`: how the VG's metadata was read where it was not its committed copy.
  LvmSource(std::shared_ptr<const LvmVolumeGroup> vg, size_t lv, std::vector<std::optional<LvmPvPlace>> pvs,
            std::vector<std::string> notes = {});

  const std::string& Name() const override { return name_; }
  bool Read(uint64_t position, std::span<uint8_t> buffer, bool direct) override;
  void Release() override;
  int64_t Size() override;
  std::string OpenError() override { return {}; }
  uint32_t SectorSize() const override { return sectorSize_; }
  std::string Damage() const override;
  std::vector<std::string> Files() const override;

  // "LVM2 LV kvg/root, linear, 8 MiB, on disk.img" and what cannot be read of it.
  std::string Description() const;
  // Whether this is the same LV of the same VG as `other` (read through other PVs, perhaps).
  bool SameVolume(const LvmSource& other) const { return vg_->Uuid == other.vg_->Uuid && Lv().Name == other.Lv().Name; }

 private:
  const LvmLogicalVolume& Lv() const { return vg_->Lvs[lv_]; }

  std::shared_ptr<const LvmVolumeGroup> vg_;
  size_t lv_;
  std::vector<std::optional<LvmPvPlace>> pvs_;
  std::vector<std::string> notes_;
  std::string name_;
  uint32_t sectorSize_ = 512;
};

// Gathers the PVs found on drives, source after source, and makes the drives of each VG's
// logical volumes: as soon as all its PVs are there, or at the end with the missing ones
// named.
class LvmAssembly {
 public:
  // Looks at one drive (a whole source or a partition) for a PV.
  void Look(const DriveEntry& drive);
  // The LV drives of the VGs complete now that were not given complete before: a VG given
  // while it missed PVs comes again, its drives to take the place of those given then.
  std::vector<DriveEntry> TakeComplete();
  // The LV drives of the VGs that still miss PVs and were not given yet.
  std::vector<DriveEntry> TakeRest();

 private:
  struct Group {
    std::shared_ptr<const LvmVolumeGroup> Vg;
    std::vector<std::optional<LvmPvPlace>> Pvs;  // by the VG's PV index
    std::vector<std::string> Notes;  // how its metadata was read, when not as committed
    bool Given = false;
    bool GivenComplete = false;
  };
  std::vector<DriveEntry> Drives(Group& group);

  std::vector<std::string> order_;  // VG UUIDs, in the order first found
  std::map<std::string, Group> groups_;
};

}  // namespace korvalane
