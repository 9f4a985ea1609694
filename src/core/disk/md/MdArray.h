#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/disk/md/MdSuperblock.h"

namespace korvalane::md {

// Reads `buffer.size()` bytes of member `slot`'s data area (its data offset counted) at
// byte `position`.
using SlotReader = std::function<bool(uint32_t slot, uint64_t position, std::span<uint8_t> buffer)>;

// How an array spreads its bytes over its members' data areas, and how it is read back
// from them: RAID0 stripes, RAID1 copies, RAID10 near copies, RAID4 and RAID5 stripes with
// a parity chunk in each row, RAID6 with two (P and Q). A missing member of RAID4, RAID5
// or RAID6 is read back through P, the XOR of the row's other chunks; RAID6 missing two
// through Q, the Reed-Solomon syndrome of the row's data over GF(2^8), with P or without.
class ArrayLayout {
 public:
  // The layout the superblock describes, with the slots there are; nothing (and why in
  // `why`) when the array cannot be read with them.
  static std::optional<ArrayLayout> Make(const Superblock& sb, const std::vector<bool>& present, std::string& why);

  uint64_t Bytes() const { return bytes_; }
  int32_t Level() const { return level_; }
  uint32_t Slots() const { return slots_; }
  uint32_t ChunkBytes() const { return chunk_; }
  bool Degraded() const;

  // Where a logical chunk's data lies: its slot and the row (of chunks) in that slot.
  struct Place {
    uint32_t Slot = 0;
    uint64_t Row = 0;
  };
  Place Locate(uint64_t chunk) const;
  // The P and Q slots of a row; Q is Slots() where the level has none.
  std::pair<uint32_t, uint32_t> Parity(uint64_t row) const;

  // Reads the array's bytes at `position`: a member's chunk (or the part of it asked for)
  // in one read, straight where it goes; a missing member's chunks are rebuilt from the
  // other slots, each read once for the rows a read covers (in pieces of a few MiB).
  bool Read(const SlotReader& read, uint64_t position, std::span<uint8_t> buffer) const;

 private:
  // One piece of a read, within kLargestSlotRead of each slot.
  bool ReadPiece(const SlotReader& read, uint64_t position, std::span<uint8_t> buffer) const;

  // How a missing member's chunk of a row comes back: through P (the XOR of the row's
  // data), through Q (when P is missing too), or through both (when another data chunk of
  // the row is missing); every other slot of the row is read but `Without`.
  struct Rebuild {
    enum class Way { FromP, FromQ, FromPAndQ } How;
    uint32_t Without;
  };
  Rebuild RebuildOf(uint32_t slot, uint64_t row) const;
  // A row's data slots in the order md gives them their coefficients in Q: g^0 for the
  // first.
  std::vector<uint32_t> SyndromeOrder(uint64_t row) const;
  // The bytes of a missing slot's chunk at `where`, from the other slots' same bytes.
  void RebuildChunk(Place where, const std::function<const uint8_t*(uint32_t)>& from, std::span<uint8_t> into) const;

  int32_t level_ = 0;
  uint32_t layout_ = 0;
  uint32_t slots_ = 0;
  uint32_t chunk_ = 0;
  uint32_t nearCopies_ = 1;
  uint64_t deviceBytes_ = 0;  // of each slot's data area that the array uses
  uint64_t bytes_ = 0;
  std::vector<bool> present_;
};

}  // namespace korvalane::md
