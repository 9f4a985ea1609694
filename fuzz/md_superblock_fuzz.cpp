// md RAID superblocks over hostile bytes: the input is a member (its superblock wherever a
// version keeps one), read through a reader that refuses everything past the input; a
// superblock found is assembled into its array, and the array's first bytes read back
// through the member, so counts, roles and chunk sizes from the bytes are all tried, and
// with members left out, the rebuilds through P and through Q.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "core/disk/md/MdArray.h"
#include "core/disk/md/MdAssembly.h"
#include "core/disk/md/MdSuperblock.h"
#include "core/disk/md/MdStructures.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  using namespace korvalane::md;
  const std::vector<uint8_t> member(data, data + size);
  const auto read = [&](uint64_t at, std::span<uint8_t> out) {
    if (at > member.size() || out.size() > member.size() - at) return false;
    std::copy_n(member.begin() + static_cast<ptrdiff_t>(at), out.size(), out.begin());
    return true;
  };
  // The bytes as each version's superblock, and as the decoder of `fields` sees them.
  for (const Version version : {Version::V090, Version::V10, Version::V11, Version::V12}) {
    if (const std::optional<Superblock> sb = ParseSuperblock(member, version, 4096)) {
      if (sb->Roles.size() > kLargestRoleTable) __builtin_trap();
    }
  }
  StructureInput input;
  input.Bytes = member;
  input.Sector = 8;
  (void)DecodeMdSuperblock(input);

  const std::optional<Superblock> sb = FindSuperblock(read, member.size());
  if (!sb) return 0;
  std::vector<FoundMember> found;
  // The member in the slots the array claims, up to a few, but those the input's last byte
  // leaves out: the others are missing, so each way of rebuilding a chunk is tried.
  const uint8_t leave = data[size - 1];
  for (uint32_t slot = 0; slot < std::min<uint32_t>(sb->RaidDisks, 8); ++slot) {
    if ((leave >> slot) & 1) continue;
    FoundMember one{slot, "member", *sb};
    one.Sb.Role = slot;
    found.push_back(one);
  }
  for (const Assembly& array : Assemble(found)) {
    (void)array.Description();
    (void)array.DriveName();
    if (!array.Layout) continue;
    const SlotReader slots = [&](uint32_t, uint64_t at, std::span<uint8_t> out) {
      const uint64_t first = sb->DataOffset * 512;
      if (first > member.size() || at > member.size() - first) return false;
      return read(first + at, out);
    };
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(array.Layout->Bytes(), 256 * 1024)));
    (void)array.Layout->Read(slots, 0, buffer);
  }
  return 0;
}
