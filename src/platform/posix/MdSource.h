#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/disk/md/MdAssembly.h"
#include "platform/Source.h"

namespace korvalane {

struct DriveEntry;

// Where one member's bytes lie: a whole source, or a stretch of it (a partition).
struct MdMemberArea {
  std::shared_ptr<Source> From;
  uint64_t FirstByte = 0;
  uint64_t Bytes = 0;
  std::string Name;  // the drive's description, for the user
};

// An md RAID array read through its members: its bytes are those the layout spreads over
// the members' data areas. Named after the array ("md/data", "md0"), described by its
// level, members, chunk and name.
class MdSource final : public Source {
 public:
  MdSource(md::Assembly assembly, std::vector<MdMemberArea> slots);

  const std::string& Name() const override { return name_; }
  bool Read(uint64_t position, std::span<uint8_t> buffer, bool direct) override;
  int64_t Size() override { return static_cast<int64_t>(assembly_.Layout->Bytes()); }
  std::string OpenError() override;
  uint32_t SectorSize() const override { return sectorSize_; }
  std::string FormatDescription() const override { return "md " + assembly_.Description(); }
  void Release() override;
  std::vector<std::string> Files() const override;

  const md::Assembly& Array() const { return assembly_; }

 private:
  md::Assembly assembly_;
  std::vector<MdMemberArea> slots_;  // by slot; a missing slot has no source
  std::string name_;
  uint32_t sectorSize_ = 512;
};

// The md superblock of a drive's bytes, if it holds one.
std::optional<md::Superblock> ReadMdSuperblock(const MdMemberArea& area);

// The arrays that the drives' md members make and that are not among the drives yet, as
// sources to add after them; an array that cannot be read is left out.
std::vector<std::shared_ptr<Source>> AssembleMdArrays(const std::vector<DriveEntry>& drives);

}  // namespace korvalane
