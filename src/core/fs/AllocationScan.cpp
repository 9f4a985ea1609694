#include "core/fs/AllocationScan.h"

#include <algorithm>
#include <bit>

#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr uint64_t kWordBits = 64;

// Bits [low, high) of a word, 0 <= low < high <= 64.
uint64_t BitsBetween(uint64_t low, uint64_t high) {
  const uint64_t width = high - low;
  return (width == kWordBits ? ~uint64_t{0} : (uint64_t{1} << width) - 1) << low;
}

// Up to 8 bytes from `at` as a little-endian word; the bytes past the span read as 0.
uint64_t WordAt(std::span<const uint8_t> bytes, size_t at) {
  uint64_t word = 0;
  const size_t length = std::min<size_t>(8, bytes.size() - at);
  for (size_t i = 0; i < length; ++i) word |= uint64_t{bytes[at + i]} << (8 * i);
  return word;
}

}  // namespace

AllocationScan::AllocationScan(OwnershipIndex& index, std::vector<ClusterRun> reached, FreeWhere freeWhere,
                               uint64_t firstCluster, uint64_t firstSector, uint64_t sectorsPerCluster)
    : index_(index),
      freeWhere_(freeWhere),
      firstCluster_(firstCluster),
      firstSector_(firstSector),
      sectorsPerCluster_(sectorsPerCluster) {
  // Files written one after another lie in order already: then there is nothing to sort.
  const auto byFirst = [](const ClusterRun& a, const ClusterRun& b) { return a.First < b.First; };
  if (!std::is_sorted(reached.begin(), reached.end(), byFirst)) std::sort(reached.begin(), reached.end(), byFirst);
  for (const ClusterRun& run : reached) {
    if (run.Count == 0) continue;
    const uint64_t end = run.First > UINT64_MAX - run.Count ? UINT64_MAX : run.First + run.Count;
    if (!reached_.empty() && run.First <= reached_.back().First + reached_.back().Count) {
      ClusterRun& last = reached_.back();
      last.Count = std::max(last.Count, end - last.First);
    } else {
      reached_.push_back({run.First, end - run.First});
    }
  }
  Owner free;
  free.Kind = OwnerKind::Free;
  freeId_ = index_.AddOwner(free);
  Owner lost;
  lost.Kind = OwnerKind::Lost;
  lostId_ = index_.AddOwner(lost);
}

uint64_t AllocationScan::ReachedBits(uint64_t first, uint64_t count) {
  const uint64_t end = first + count;
  // Chunks come in rising order; one that starts earlier looks again from the start.
  if (next_ > 0 && next_ <= reached_.size() && reached_[next_ - 1].First + reached_[next_ - 1].Count > first) next_ = 0;
  while (next_ < reached_.size() && reached_[next_].First + reached_[next_].Count <= first) ++next_;
  uint64_t bits = 0;
  for (size_t i = next_; i < reached_.size() && reached_[i].First < end; ++i) {
    const uint64_t from = std::max(reached_[i].First, first);
    const uint64_t to = std::min(reached_[i].First + reached_[i].Count, end);
    bits |= BitsBetween(from - first, to - first);
  }
  return bits;
}

void AllocationScan::Extend(uint32_t owner, uint64_t cluster, uint64_t count) {
  if (openCount_ != 0 && openOwner_ == owner && openFirst_ + openCount_ == cluster) {
    openCount_ += count;
    return;
  }
  Finish();
  openOwner_ = owner;
  openFirst_ = cluster;
  openCount_ = count;
}

void AllocationScan::Finish() {
  if (openCount_ == 0) return;
  index_.AddRun(firstSector_ + (openFirst_ - firstCluster_) * sectorsPerCluster_, openCount_ * sectorsPerCluster_, openOwner_);
  openCount_ = 0;
}

void AllocationScan::AddBitmap(uint64_t first, uint64_t count, std::span<const uint8_t> bits) {
  if (first < firstCluster_) return;
  count = std::min({count, uint64_t{bits.size()} * 8, UINT64_MAX - first});
  for (uint64_t done = 0; done < count; done += kWordBits) {
    const uint64_t width = std::min(kWordBits, count - done);
    const uint64_t all = BitsBetween(0, width);
    const uint64_t used = WordAt(bits, static_cast<size_t>(done / 8)) & all;
    const uint64_t reached = ReachedBits(first + done, width);
    const uint64_t lost = used & ~reached;
    const uint64_t free = ~used & all & (freeWhere_ == FreeWhere::Unreached ? ~reached : ~uint64_t{0});
    if (lost == all) {
      Extend(lostId_, first + done, width);
      continue;
    }
    if (free == all) {
      Extend(freeId_, first + done, width);
      continue;
    }
    // A word of mixed clusters: one step a run of equal bits.
    for (uint64_t at = 0; at < width;) {
      const uint64_t freeFrom = free >> at;
      const uint64_t lostFrom = lost >> at;
      uint64_t length;
      if ((freeFrom & 1u) != 0) {
        length = static_cast<uint64_t>(std::countr_one(freeFrom));
        Extend(freeId_, first + done + at, length);
      } else if ((lostFrom & 1u) != 0) {
        length = static_cast<uint64_t>(std::countr_one(lostFrom));
        Extend(lostId_, first + done + at, length);
      } else {
        length = std::min(width - at, static_cast<uint64_t>(std::countr_zero(freeFrom | lostFrom)));
      }
      at += length;
    }
  }
}

void AllocationScan::AddEach(uint64_t first, uint64_t end, const std::function<uint32_t(uint64_t cluster)>& ownerOf) {
  first = std::max(first, firstCluster_);
  for (uint64_t cluster = first; cluster < end;) {
    const uint64_t width = std::min(kWordBits, end - cluster);
    const uint64_t reached = ReachedBits(cluster, width);
    if (reached == BitsBetween(0, width) && freeWhere_ == FreeWhere::Unreached) {
      cluster += width;
      continue;
    }
    for (uint64_t at = 0; at < width; ++at) {
      const bool isReached = (reached >> at & 1u) != 0;
      if (isReached && freeWhere_ == FreeWhere::Unreached) continue;
      const uint32_t owner = ownerOf(cluster + at);
      if (!isReached || owner == freeId_) Extend(owner, cluster + at, 1);
    }
    cluster += width;
  }
}

Owner DeletedGuessOwner(const std::string& path, uint64_t firstCluster, uint64_t size, bool directory) {
  Owner owner;
  owner.Kind = OwnerKind::Deleted;
  owner.Name = path;
  owner.Where = "deleted, guessed; first cluster " + std::to_string(firstCluster);
  owner.Part = directory ? "directory" : "file";
  owner.Size = size;
  owner.HasSize = !directory;
  owner.FirstCluster = firstCluster;
  owner.HasFirstCluster = true;
  return owner;
}

bool ReadSectorsForWalk(uint64_t sector, std::span<uint8_t> buffer) {
  if (ReadSectors(sector, buffer)) return true;
  // A cached read fails for the whole page around a bad sector: even one sector is read
  // again past the cache.
  const uint32_t sectorBytes = static_cast<uint32_t>(std::max<int32_t>(Geometry().BytesPerSector, 0));
  if (sectorBytes == 0) return false;
  bool all = true;
  for (size_t at = 0; at < buffer.size(); at += sectorBytes) {
    const size_t length = std::min<size_t>(sectorBytes, buffer.size() - at);
    if (!ReadSectorsDirect(sector + at / sectorBytes, buffer.subspan(at, length))) all = false;
  }
  return all;
}

std::optional<std::vector<uint8_t>> ReadBootSectorForWalk(std::string* why) {
  const uint32_t sectorBytes = static_cast<uint32_t>(std::max<int32_t>(Geometry().BytesPerSector, 0));
  if (sectorBytes == 0) {
    *why = "the volume has no sector size";
    return std::nullopt;
  }
  std::vector<uint8_t> boot(sectorBytes);
  if (!ReadSectorsForWalk(0, boot)) {
    *why = "the boot sector cannot be read";
    return std::nullopt;
  }
  return boot;
}

}  // namespace korvalane
