#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "core/disk/md/MdArray.h"
#include "core/disk/md/MdSuperblock.h"

namespace korvalane::md {

// One member as it was found: the caller's number for it and its superblock.
struct FoundMember {
  size_t Index = 0;
  std::string Name;  // for the user: the member's drive or file
  Superblock Sb;
};

// An array put together from the members that name its UUID.
struct Assembly {
  Superblock Newest;                          // the superblock with the highest event count
  std::vector<std::optional<size_t>> Slots;   // the member (its Index) in each slot, if any
  std::vector<FoundMember> Members;           // every member of the array, in the order found
  std::optional<ArrayLayout> Layout;          // none: the array cannot be read (see Why)
  std::string Why;
  // What is missing or out of date, one sentence each.
  std::vector<std::string> Notes;
  // The members whose event counts are below the newest: "disk.img (events 7, the array's 20)".
  std::vector<std::string> OutOfDate;

  // "md/data" for a 1.x array named "host:data", "md0" for a 0.90 array of minor 0.
  std::string DriveName() const;
  // "RAID5, left-symmetric, 4 members, chunk 64 KiB, name \"host:data\"" and, where it
  // is so, "degraded: member 2 missing".
  std::string Description() const;
};

// The arrays the members make, in the order their first members were found. A member
// whose event count is below its array's newest is out of date: named, and not read.
std::vector<Assembly> Assemble(const std::vector<FoundMember>& members);

}  // namespace korvalane::md
