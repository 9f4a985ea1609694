#pragma once

#include <cstdint>
#include <list>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/AllocationScan.h"

namespace korvalane {

// The entries of one copy of a file allocation table (FAT12, FAT16, FAT32 or exFAT), read
// from the current volume as they are asked for, through a small cache of large blocks:
// the table of a big FAT32 volume is hundreds of MiB and is never held whole.
class FatTable {
 public:
  // `entryBits` 12, 16 or 32; `exfat` keeps all 32 bits (FAT32 uses 28).
  FatTable(uint64_t firstSector, uint64_t sectors, uint32_t bytesPerSector, int entryBits, bool exfat);

  // The entry of `cluster`, or nothing when it lies outside the table or cannot be read.
  std::optional<uint32_t> Entry(uint64_t cluster);

  // What an entry's value means.
  bool IsEnd(uint32_t value) const { return value >= endMark_; }
  bool IsBad(uint32_t value) const { return value == badMark_; }
  // Entries the table has room for (clusters 0 and 1 included).
  uint64_t EntryCount() const { return entryCount_; }

 private:
  std::optional<uint8_t> Byte(uint64_t offset);

  static constexpr size_t kBlockBytes = size_t{256} << 10;
  static constexpr size_t kBlocks = 16;  // at most 4 MiB of the table in memory
  struct Block {
    uint64_t Number;
    std::vector<uint8_t> Bytes;
    std::vector<bool> Unreadable;  // a flag a sector, where the block could not be read whole
  };
  std::list<Block> blocks_;  // the most recently used first

  uint64_t firstSector_;
  uint64_t tableBytes_;
  uint32_t bytesPerSector_;
  int entryBits_;
  uint32_t endMark_;
  uint32_t badMark_;
  uint64_t entryCount_;
};

// Which clusters some chain or stream has already taken: one bit a cluster, so every
// cluster is taken at most once and no walk can go round for ever.
class ClusterClaims {
 public:
  explicit ClusterClaims(uint64_t clusterLimit) : bits_((clusterLimit + 63) / 64, 0), limit_(clusterLimit) {}
  bool Valid(uint64_t cluster) const { return cluster >= 2 && cluster < limit_; }
  bool Claimed(uint64_t cluster) const { return (bits_[cluster / 64] >> (cluster % 64) & 1u) != 0; }
  void Claim(uint64_t cluster) { bits_[cluster / 64] |= uint64_t{1} << (cluster % 64); }
  uint64_t Limit() const { return limit_; }
  // The claimed clusters as runs, in order (read a word of 64 clusters at a time).
  std::vector<ClusterRun> Runs() const;

 private:
  std::vector<uint64_t> bits_;
  uint64_t limit_;  // one past the highest cluster number of the volume
};

// How a chain ended.
enum class ChainEnd {
  EndMark,      // an end-of-chain mark: a sound chain
  Loop,         // it came back to one of its own clusters
  CrossLink,    // it ran into a cluster another chain has
  OutOfRange,   // it pointed past the volume's clusters (or at 0 or 1)
  FreeEntry,    // it pointed at a free entry
  BadCluster,   // it reached a cluster marked bad
  Unreadable,   // the table could not be read there
  LimitReached, // it is longer than the caller allows
};

struct Chain {
  std::vector<ClusterRun> Runs;  // in chain order; consecutive clusters merged
  ChainEnd End = ChainEnd::EndMark;
  uint64_t At = 0;               // the cluster where a faulty chain ended
};

// Follows the chain from `first` through `table`, claiming each cluster in `claims`;
// stops at the end mark, at a cluster already claimed (a loop, or a cross-link), at any
// entry that is not a cluster of the volume, or after `maxClusters` clusters. Takes at
// most one step per cluster of the volume, whatever the table holds.
Chain FollowChain(FatTable& table, ClusterClaims& claims, uint64_t first, uint64_t maxClusters);

// Claims `count` contiguous clusters from `first` (an exFAT stream without a FAT chain);
// the clusters already claimed or outside the volume split it, and are left out.
Chain ClaimContiguous(ClusterClaims& claims, uint64_t first, uint64_t count);

// Adds a chain's runs to `index` for `owner`, each at its byte in the owner, where
// cluster c stands at sector heapSector + (c - 2) * sectorsPerCluster; returns the
// clusters added.
uint64_t AddChainRuns(OwnershipIndex& index, const Chain& chain, uint32_t owner, uint64_t heapSector, uint64_t sectorsPerCluster);

// Words for a faulty end: "loops back to cluster 7", "runs into cluster 9, which
// another chain uses"; empty for a sound end.
std::string ChainFault(const Chain& chain);

}  // namespace korvalane
