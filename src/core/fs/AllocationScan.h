#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/model/OwnershipIndex.h"

namespace korvalane {

// A run of clusters (or ext blocks).
struct ClusterRun {
  uint64_t First = 0;
  uint64_t Count = 0;
};

// Where a cluster the allocation state marks free is said to be free.
enum class FreeWhere : uint8_t {
  Unreached,  // only where no file reaches it: a FAT chain into a free entry is the file's alone
  Anywhere,   // wherever it is marked free, under a file too (NTFS, ext: both are named)
};

// Adds the owners of what the walk of a file system did not name: "free" where the
// allocation bitmap or table marks a cluster free, and "allocated, no file" (Lost) where
// it marks it in use but no file, directory or metadata area reaches it. The allocation
// state is given in rising order of clusters, as bitmap chunks or one cluster at a time
// (a FAT); a bitmap is read 64 clusters a word, and a run of clusters of one owner makes
// one run of the index, however long.
class AllocationScan {
 public:
  // `reached`: the clusters the walk gave to files, directories and metadata, in any
  // order, overlapping or not. Cluster c stands at sector
  // firstSector + (c - firstCluster) * sectorsPerCluster; no cluster below firstCluster
  // is ever given.
  AllocationScan(OwnershipIndex& index, std::vector<ClusterRun> reached, FreeWhere freeWhere, uint64_t firstCluster,
                 uint64_t firstSector, uint64_t sectorsPerCluster);

  // Clusters [first, first + count) by a bitmap: bit i (bit i % 8 of byte i / 8) is
  // cluster first + i, set when the cluster is in use. A bitmap shorter than `count`
  // bits covers only the clusters it has.
  void AddBitmap(uint64_t first, uint64_t count, std::span<const uint8_t> bits);

  // Clusters [first, end) one at a time: `ownerOf` names a cluster's owner, FreeOwner(),
  // LostOwner() or one of the caller's (a FAT's bad-cluster mark); it is asked only
  // about the clusters no file reaches (and with FreeWhere::Anywhere also about the
  // others, of which only a free one is added).
  void AddEach(uint64_t first, uint64_t end, const std::function<uint32_t(uint64_t cluster)>& ownerOf);

  uint32_t FreeOwner() const { return freeId_; }
  uint32_t LostOwner() const { return lostId_; }

  // Adds the run still open; called once, after the last chunk.
  void Finish();

 private:
  // The clusters of [first, first + count) (count 1 to 64) that files reach, as bits.
  uint64_t ReachedBits(uint64_t first, uint64_t count);
  void Extend(uint32_t owner, uint64_t cluster, uint64_t count);

  OwnershipIndex& index_;
  std::vector<ClusterRun> reached_;  // sorted, merged: no two touch
  size_t next_ = 0;                  // the first reached run that does not end before the scan
  FreeWhere freeWhere_;
  uint64_t firstCluster_;
  uint64_t firstSector_;
  uint64_t sectorsPerCluster_;
  uint32_t freeId_;
  uint32_t lostId_;
  // The run being gathered.
  uint32_t openOwner_ = 0;
  uint64_t openFirst_ = 0;
  uint64_t openCount_ = 0;
};

// The owner of a deleted FAT or exFAT entry's guessed clusters: its first cluster, and as
// many contiguous clusters from it as its size needs, as recovery tools guess them. The
// caller adds the run.
Owner DeletedGuessOwner(const std::string& path, uint64_t firstCluster, uint64_t size, bool directory);

// Reads sectors of the current volume for a walk: where the read fails, it is tried again
// sector by sector past the system's cache, so that only the sectors that cannot be read
// are zeros (a directory or a run of MFT records is not lost whole for one bad sector,
// nor a sector whose page of the cache holds a bad one). False when any sector could not
// be read.
bool ReadSectorsForWalk(uint64_t sector, std::span<uint8_t> buffer);

// The first sector of the current volume, or nothing with `why` set: for a walk that
// starts from a boot sector.
std::optional<std::vector<uint8_t>> ReadBootSectorForWalk(std::string* why);

}  // namespace korvalane
