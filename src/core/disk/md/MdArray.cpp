#include "core/disk/md/MdArray.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace korvalane::md {
namespace {

// The most of one slot a read takes at once: a sequential read goes through the members
// in pieces this large, each slot read once per piece.
constexpr uint64_t kLargestSlotRead = 4u << 20;

struct Span {
  uint64_t First = UINT64_MAX;
  uint64_t End = 0;
  void Cover(uint64_t first, uint64_t end) {
    First = std::min(First, first);
    End = std::max(End, end);
  }
  bool Empty() const { return End <= First; }
};

// GF(2^8) over the polynomial x^8 + x^4 + x^3 + x^2 + 1 (0x11D) with generator 2: the
// field RAID6's Q syndrome is computed in.
struct Field {
  std::array<uint8_t, 512> Exp{};
  std::array<uint8_t, 256> Log{};
  constexpr Field() {
    unsigned x = 1;
    for (unsigned i = 0; i < 255; ++i) {
      Exp[i] = Exp[i + 255] = static_cast<uint8_t>(x);
      Log[x] = static_cast<uint8_t>(i);
      x <<= 1;
      if (x & 0x100) x ^= 0x11D;
    }
  }
};
constexpr Field kField;

uint8_t GfMultiply(uint8_t a, uint8_t b) { return a == 0 || b == 0 ? 0 : kField.Exp[kField.Log[a] + kField.Log[b]]; }
uint8_t GfPower(uint32_t i) { return kField.Exp[i % 255]; }
// Of a value that is not 0.
uint8_t GfInverse(uint8_t a) { return kField.Exp[255 - kField.Log[a]]; }

std::array<uint8_t, 256> TimesTable(uint8_t c) {
  std::array<uint8_t, 256> table{};
  for (unsigned x = 0; x < 256; ++x) table[x] = GfMultiply(c, static_cast<uint8_t>(x));
  return table;
}

void XorInto(std::span<uint8_t> into, const uint8_t* from) {
  size_t i = 0;
  for (; i + 8 <= into.size(); i += 8) {
    uint64_t a;
    uint64_t b;
    std::memcpy(&a, into.data() + i, 8);
    std::memcpy(&b, from + i, 8);
    a ^= b;
    std::memcpy(into.data() + i, &a, 8);
  }
  for (; i < into.size(); ++i) into[i] ^= from[i];
}

// One step of Horner's rule over a row's data: `into` times g, plus `from` (nothing for a
// chunk counted as 0), eight bytes at a time.
void TimesTwoAndXor(std::span<uint8_t> into, const uint8_t* from) {
  constexpr uint64_t kHigh = 0x8080808080808080ULL;
  size_t i = 0;
  for (; i + 8 <= into.size(); i += 8) {
    uint64_t a;
    std::memcpy(&a, into.data() + i, 8);
    a = ((a & ~kHigh) << 1) ^ (((a & kHigh) >> 7) * 0x1D);
    if (from != nullptr) {
      uint64_t b;
      std::memcpy(&b, from + i, 8);
      a ^= b;
    }
    std::memcpy(into.data() + i, &a, 8);
  }
  for (; i < into.size(); ++i) into[i] = static_cast<uint8_t>(GfMultiply(into[i], 2) ^ (from != nullptr ? from[i] : 0));
}

void MultiplyInPlace(std::span<uint8_t> into, uint8_t c) {
  const std::array<uint8_t, 256> times = TimesTable(c);
  for (uint8_t& byte : into) byte = times[byte];
}

// into = a * into + b * other.
void MultiplyAndAdd(std::span<uint8_t> into, uint8_t a, std::span<const uint8_t> other, uint8_t b) {
  const std::array<uint8_t, 256> timesA = TimesTable(a);
  const std::array<uint8_t, 256> timesB = TimesTable(b);
  for (size_t i = 0; i < into.size(); ++i) into[i] = timesA[into[i]] ^ timesB[other[i]];
}

}  // namespace

std::optional<ArrayLayout> ArrayLayout::Make(const Superblock& sb, const std::vector<bool>& present, std::string& why) {
  ArrayLayout a;
  a.level_ = sb.Level;
  a.layout_ = sb.Layout;
  a.slots_ = sb.RaidDisks;
  a.chunk_ = sb.ChunkBytes;
  a.present_ = present;
  a.present_.resize(sb.RaidDisks, false);
  const uint32_t n = a.slots_;
  if (n == 0 || n > kLargestRoleTable) {
    why = "it claims " + std::to_string(n) + " members";
    return std::nullopt;
  }
  const uint64_t sectors = sb.DeviceSectors != 0 ? sb.DeviceSectors : sb.DataSectors;
  if (sectors > (UINT64_MAX >> 20)) {
    why = "its members' size of " + std::to_string(sectors) + " sectors is out of reach";
    return std::nullopt;
  }
  a.deviceBytes_ = sectors * 512;
  const auto missing = static_cast<uint32_t>(std::count(a.present_.begin(), a.present_.end(), false));
  const bool striped = a.level_ != 1;
  if (striped && a.chunk_ == 0) {
    why = "its chunk size is 0";
    return std::nullopt;
  }
  if (striped) a.deviceBytes_ -= a.deviceBytes_ % a.chunk_;
  switch (a.level_) {
    case 1:
      if (missing == n) break;
      a.bytes_ = a.deviceBytes_;
      return a;
    case 0:
      if (missing > 0) break;
      a.bytes_ = a.deviceBytes_ * n;
      return a;
    case 10: {
      a.nearCopies_ = a.layout_ & 0xFF;
      if ((a.layout_ >> 8) != 1 || a.nearCopies_ == 0 || a.nearCopies_ > n) {
        why = "its RAID10 layout " + LayoutName(10, a.layout_) + " is not read here (only near copies are)";
        return std::nullopt;
      }
      // Every chunk must keep a copy on a member there is.
      for (uint32_t first = 0; first < n; ++first) {
        bool any = false;
        for (uint32_t j = 0; j < a.nearCopies_; ++j) any = any || a.present_[(first + j) % n];
        if (!any) {
          why = "both copies of some of its chunks are on members that are missing";
          return std::nullopt;
        }
      }
      a.bytes_ = a.deviceBytes_ / a.chunk_ * n / a.nearCopies_ * a.chunk_;
      return a;
    }
    case 4:
    case 5:
    case 6: {
      const uint32_t parity = a.level_ == 6 ? 2 : 1;
      if (n <= parity) {
        why = "it has too few members for its level";
        return std::nullopt;
      }
      // Q gives each data chunk of a row a power of 2 of its own: GF(2^8) has 255.
      if (a.level_ == 6 && n - parity > 255) {
        why = "its " + std::to_string(n - parity) + " data members are more than its Q syndrome can tell apart";
        return std::nullopt;
      }
      if (a.level_ != 4 && a.layout_ > 3) {
        why = "its layout " + LayoutName(a.level_, a.layout_) + " is not read here";
        return std::nullopt;
      }
      // P rebuilds one member; RAID6's Q (with P, or in its place) rebuilds a second.
      if (missing > parity) {
        why = a.level_ == 6 ? "more than two of its members are missing" : "more than one of its members is missing";
        return std::nullopt;
      }
      a.bytes_ = a.deviceBytes_ * (n - parity);
      return a;
    }
    default:
      why = "its level, " + LevelName(a.level_) + ", is not read here";
      return std::nullopt;
  }
  why = "too many of its members are missing";
  return std::nullopt;
}

bool ArrayLayout::Degraded() const { return std::find(present_.begin(), present_.end(), false) != present_.end(); }

std::pair<uint32_t, uint32_t> ArrayLayout::Parity(uint64_t row) const {
  const uint32_t n = slots_;
  const auto turn = static_cast<uint32_t>(row % n);
  if (level_ == 4) return {n - 1, n};
  if (level_ == 5) {
    const bool left = layout_ == 0 || layout_ == 2;
    return {left ? n - 1 - turn : turn, n};
  }
  if (level_ == 6) {
    const bool left = layout_ == 0 || layout_ == 2;
    const uint32_t p = left ? n - 1 - turn : turn;
    const bool symmetric = layout_ >= 2;
    return {p, symmetric ? (p + 1) % n : (p == n - 1 ? 0 : p + 1)};
  }
  return {n, n};
}

ArrayLayout::Place ArrayLayout::Locate(uint64_t chunk) const {
  const uint32_t n = slots_;
  if (level_ == 0) return {static_cast<uint32_t>(chunk % n), chunk / n};
  if (level_ == 10) {
    const uint64_t index = chunk * nearCopies_;
    return {static_cast<uint32_t>(index % n), index / n};
  }
  if (level_ == 1) return {0, chunk};
  const uint32_t data = n - (level_ == 6 ? 2 : 1);
  const uint64_t row = chunk / data;
  auto slot = static_cast<uint32_t>(chunk % data);
  const uint32_t p = Parity(row).first;
  const bool symmetric = layout_ >= 2 && level_ != 4;
  if (symmetric) {
    slot = (p + (level_ == 6 ? 2 : 1) + slot) % n;
  } else if (level_ == 6) {
    if (p == n - 1) {
      slot += 1;  // Q D D D P
    } else if (slot >= p) {
      slot += 2;  // D D P Q D
    }
  } else if (slot >= p) {
    slot += 1;
  }
  return {slot, row};
}

bool ArrayLayout::Read(const SlotReader& read, uint64_t position, std::span<uint8_t> buffer) const {
  if (position > bytes_ || buffer.size() > bytes_ - position) return false;
  if (level_ == 1) {
    for (uint32_t slot = 0; slot < slots_; ++slot) {
      if (present_[slot] && read(slot, position, buffer)) return true;
    }
    return false;
  }
  // In pieces of whole rows, so no slot is read for more than kLargestSlotRead at once.
  const uint32_t data = level_ == 0 ? slots_ : level_ == 10 ? 1 : slots_ - (level_ == 6 ? 2 : 1);
  const uint64_t rowsPerPiece = std::max<uint64_t>(1, kLargestSlotRead / chunk_);
  const uint64_t chunksPerPiece = level_ == 10 ? std::max<uint64_t>(1, rowsPerPiece * slots_ / nearCopies_)
                                               : rowsPerPiece * data;
  const uint64_t pieceBytes = chunksPerPiece * chunk_;
  size_t done = 0;
  while (done < buffer.size()) {
    const uint64_t at = position + done;
    const uint64_t pieceEnd = (at / pieceBytes + 1) * pieceBytes;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size() - done, pieceEnd - at));
    if (!ReadPiece(read, at, buffer.subspan(done, length))) return false;
    done += length;
  }
  return true;
}

ArrayLayout::Rebuild ArrayLayout::RebuildOf(uint32_t slot, uint64_t row) const {
  const auto [p, q] = Parity(row);
  // The other member missing, if any: at most one more for RAID6, none for RAID4 and 5.
  uint32_t other = slots_;
  for (uint32_t i = 0; i < slots_; ++i) {
    if (i != slot && !present_[i]) other = i;
  }
  if (other == slots_ || other == q) return {Rebuild::Way::FromP, q};
  if (other == p) return {Rebuild::Way::FromQ, p};
  return {Rebuild::Way::FromPAndQ, other};
}

std::vector<uint32_t> ArrayLayout::SyndromeOrder(uint64_t row) const {
  // md counts the syndrome's data chunks from the slot after Q, wrapping round.
  const auto [p, q] = Parity(row);
  const uint32_t first = q + 1 >= slots_ ? 0 : q + 1;
  std::vector<uint32_t> order;
  order.reserve(slots_ - 2);
  for (uint32_t k = 0; k < slots_; ++k) {
    const uint32_t slot = (first + k) % slots_;
    if (slot != p && slot != q) order.push_back(slot);
  }
  return order;
}

bool ArrayLayout::ReadPiece(const SlotReader& read, uint64_t position, std::span<uint8_t> buffer) const {
  // First: the chunks of members there are, each read where it goes; for a missing
  // member's chunks, which bytes of the other slots rebuild them, as one span per slot.
  struct Piece {
    size_t Into;
    uint32_t Offset;  // in its chunk
    uint32_t Length;
    Place Where;
  };
  std::vector<Piece> pieces;
  std::vector<Span> spans(slots_);
  for (size_t done = 0; done < buffer.size();) {
    const uint64_t at = position + done;
    const uint64_t chunk = at / chunk_;
    const auto offset = static_cast<uint32_t>(at % chunk_);
    const auto length = static_cast<uint32_t>(std::min<uint64_t>(chunk_ - offset, buffer.size() - done));
    Place where = Locate(chunk);
    if (level_ == 10) {
      // The first copy on a member there is.
      const uint64_t index = chunk * nearCopies_;
      for (uint32_t j = 0; j < nearCopies_; ++j) {
        const auto slot = static_cast<uint32_t>((index + j) % slots_);
        if (present_[slot]) {
          where = {slot, (index + j) / slots_};
          break;
        }
      }
    }
    const uint64_t first = where.Row * chunk_ + offset;
    if (present_[where.Slot]) {
      // Straight into the caller's buffer: one read per member per row, and no copy.
      if (!read(where.Slot, first, buffer.subspan(done, length))) return false;
    } else {
      // Every other slot of the row but the one the rebuild does without.
      const uint32_t skip = RebuildOf(where.Slot, where.Row).Without;
      for (uint32_t slot = 0; slot < slots_; ++slot) {
        if (slot == where.Slot || slot == skip) continue;
        if (!present_[slot]) return false;
        spans[slot].Cover(first, first + length);
      }
    }
    pieces.push_back({done, offset, length, where});
    done += length;
  }
  // Then each of those slots once, into buffers kept from read to read: fresh ones of megabytes
  // each time would cost more in page faults than the reads themselves.
  thread_local std::vector<std::vector<uint8_t>> slotBytes;
  if (slotBytes.size() < slots_) slotBytes.resize(slots_);
  for (uint32_t slot = 0; slot < slots_; ++slot) {
    if (spans[slot].Empty()) continue;
    const auto need = static_cast<size_t>(spans[slot].End - spans[slot].First);
    if (slotBytes[slot].size() < need) slotBytes[slot].resize(need);
    if (!read(slot, spans[slot].First, std::span(slotBytes[slot]).first(need))) return false;
  }
  for (const Piece& piece : pieces) {
    if (present_[piece.Where.Slot]) continue;  // read above
    const uint64_t first = piece.Where.Row * chunk_ + piece.Offset;
    const auto from = [&](uint32_t slot) { return slotBytes[slot].data() + (first - spans[slot].First); };
    RebuildChunk(piece.Where, from, std::span(buffer.data() + piece.Into, piece.Length));
  }
  return true;
}

void ArrayLayout::RebuildChunk(Place where, const std::function<const uint8_t*(uint32_t)>& from,
                               std::span<uint8_t> into) const {
  const Rebuild how = RebuildOf(where.Slot, where.Row);
  const auto [p, q] = Parity(where.Row);
  std::fill(into.begin(), into.end(), uint8_t{0});
  if (how.How == Rebuild::Way::FromP) {
    // P is the XOR of the row's data: XOR of P and the data there is leaves the missing chunk.
    for (uint32_t slot = 0; slot < slots_; ++slot) {
      if (slot != where.Slot && slot != q) XorInto(into, from(slot));
    }
    return;
  }
  // Q = sum of g^i * D_i over the row's data chunks: the sum over those there are, with
  // Q added, leaves what the missing ones make of it.
  const std::vector<uint32_t> order = SyndromeOrder(where.Row);
  uint32_t target = 0;
  uint32_t other = 0;
  for (size_t k = order.size(); k-- > 0;) {
    const uint32_t slot = order[k];
    if (slot == where.Slot) target = static_cast<uint32_t>(k);
    if (how.How == Rebuild::Way::FromPAndQ && slot == how.Without) other = static_cast<uint32_t>(k);
    const bool there = slot != where.Slot && !(how.How == Rebuild::Way::FromPAndQ && slot == how.Without);
    TimesTwoAndXor(into, there ? from(slot) : nullptr);
  }
  XorInto(into, from(q));
  if (how.How == Rebuild::Way::FromQ) {
    // What is left is g^t * D_t.
    MultiplyInPlace(into, GfInverse(GfPower(target)));
    return;
  }
  // Left: Qd = g^t*D_t + g^o*D_o, and from P, Pd = D_t + D_o; so D_t = (g^o*Pd + Qd) / (g^o + g^t).
  thread_local std::vector<uint8_t> pd;
  pd.assign(from(p), from(p) + into.size());
  for (const uint32_t slot : order) {
    if (slot != where.Slot && slot != how.Without) XorInto(pd, from(slot));
  }
  const uint8_t divisor = GfInverse(static_cast<uint8_t>(GfPower(other) ^ GfPower(target)));
  MultiplyAndAdd(into, divisor, pd, GfMultiply(GfPower(other), divisor));
}

}  // namespace korvalane::md
