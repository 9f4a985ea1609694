#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace korvalane {

// Where a cluster or an MFT record starts on CurrentDrive: the sector, or why there is
// none (a number outside the volume, a volume whose clusters are not known, an MFT whose
// runs cannot be read).
struct Location {
  std::optional<uint64_t> Sector;
  std::string Error;
};

// A place to go to on the current volume, as a number of its kind.
enum class JumpKind { Sector, Cluster, MftRecord, Inode };

struct JumpTarget {
  JumpKind Kind = JumpKind::Sector;
  uint64_t Number = 0;

  bool operator==(const JumpTarget&) const = default;
};

}  // namespace korvalane
