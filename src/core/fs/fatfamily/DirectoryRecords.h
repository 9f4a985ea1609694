#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/fs/AllocationScan.h"
#include "core/model/OwnershipIndex.h"

namespace korvalane {

// One entry set of a FAT or exFAT directory (the long-name slots and the short entry; the
// file entry, its stream extension and its name entries), by its bytes in the directory.
struct DirectoryEntrySet {
  uint64_t First = 0;  // its first byte in the directory
  uint64_t End = 0;    // one past its last
  OwnerKind Kind = OwnerKind::File;  // File, Directory, Deleted, or Metadata (exFAT's bitmap and up-case entries)
  std::string Name;                  // the path
  std::optional<uint64_t> Size;
  RecordData Data = RecordData::Elsewhere;
};

// Which entries of FAT and exFAT directories stand in bytes of the volume. A directory's
// entries are the only record of its files (name, size, first cluster): where they are
// lost, the files are. The walk adds each directory it lists; a question reads the
// directories whose clusters hold the bytes again and lists them with `list`.
class DirectoryRecordFinder {
 public:
  // The entry sets of a directory's bytes, whose paths begin with `prefix`.
  using Lister = std::function<std::vector<DirectoryEntrySet>(std::span<const uint8_t> bytes, const std::string& prefix)>;
  // Cluster c stands at sector heapSector + (c - 2) * sectorsPerCluster; a directory is
  // read up to maxDirectoryBytes.
  DirectoryRecordFinder(uint32_t bytesPerSector, uint64_t sectorsPerCluster, uint64_t heapSector, uint64_t maxDirectoryBytes,
                        Lister list);

  // A directory whose owner is `owner` in the index: its clusters, or (without them) the
  // fixed sectors [firstSector, firstSector + sectors) of a FAT12/16 root directory.
  void Add(uint32_t owner, std::vector<ClusterRun> runs, std::string prefix, uint64_t firstSector = 0, uint64_t sectors = 0);

  // As OwnershipIndex::RecordFinder: the entry sets that have bytes in [first, end).
  bool Find(const OwnershipIndex& index, uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out);

  // Sets `finder` as the index's record finder.
  static void Install(OwnershipIndex& index, std::shared_ptr<DirectoryRecordFinder> finder);

 private:
  struct Directory {
    uint32_t Owner;
    std::vector<ClusterRun> Runs;
    std::string Prefix;
    uint64_t FirstSector;
    uint64_t Sectors;
  };
  // The directory's bytes as pieces of the volume: [volume byte, length) in order.
  std::vector<std::pair<uint64_t, uint64_t>> Pieces(const Directory& directory) const;

  uint32_t bytesPerSector_;
  uint64_t sectorsPerCluster_;
  uint64_t heapSector_;
  uint64_t maxDirectoryBytes_;
  Lister list_;
  std::vector<Directory> directories_;
  std::unordered_map<uint32_t, size_t> byOwner_;
  // The directories by their owners' places in the index last asked.
  const OwnershipIndex* pointersOf_ = nullptr;
  std::unordered_map<const Owner*, size_t> byPointer_;
  std::mutex lock_;
  // The last directory listed, kept for the next area, which mostly falls into it too.
  std::optional<size_t> listed_;
  std::vector<DirectoryEntrySet> entries_;
};

}  // namespace korvalane
