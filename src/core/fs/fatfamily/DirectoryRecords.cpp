#include "core/fs/fatfamily/DirectoryRecords.h"

#include <algorithm>
#include <unordered_set>

namespace korvalane {

namespace {

constexpr uint64_t kSlotBytes = 32;  // a FAT or exFAT directory entry

}  // namespace

DirectoryRecordFinder::DirectoryRecordFinder(uint32_t bytesPerSector, uint64_t sectorsPerCluster, uint64_t heapSector,
                                             uint64_t maxDirectoryBytes, Lister list)
    : bytesPerSector_(bytesPerSector),
      sectorsPerCluster_(sectorsPerCluster),
      heapSector_(heapSector),
      maxDirectoryBytes_(maxDirectoryBytes),
      list_(std::move(list)) {}

void DirectoryRecordFinder::Add(uint32_t owner, std::vector<ClusterRun> runs, std::string prefix, uint64_t firstSector,
                                uint64_t sectors) {
  if (!byOwner_.emplace(owner, directories_.size()).second) return;
  directories_.push_back({owner, std::move(runs), std::move(prefix), firstSector, sectors});
}

void DirectoryRecordFinder::Install(OwnershipIndex& index, std::shared_ptr<DirectoryRecordFinder> finder) {
  index.SetRecordFinder([finder = std::move(finder)](const OwnershipIndex& asked, uint64_t first, uint64_t end, size_t limit,
                                                     std::vector<HeldRecord>& out) {
    return finder->Find(asked, first, end, limit, out);
  });
}

std::vector<std::pair<uint64_t, uint64_t>> DirectoryRecordFinder::Pieces(const Directory& directory) const {
  std::vector<std::pair<uint64_t, uint64_t>> pieces;
  uint64_t length = 0;
  const auto add = [&](uint64_t sector, uint64_t sectors) {
    const uint64_t bytes = std::min(sectors * bytesPerSector_, maxDirectoryBytes_ - length);
    if (bytes == 0) return;
    pieces.emplace_back(sector * bytesPerSector_, bytes);
    length += bytes;
  };
  if (directory.Runs.empty()) add(directory.FirstSector, directory.Sectors);
  for (const ClusterRun& run : directory.Runs) {
    if (run.First < 2) continue;
    add(heapSector_ + (run.First - 2) * sectorsPerCluster_, run.Count * sectorsPerCluster_);
  }
  return pieces;
}

bool DirectoryRecordFinder::Find(const OwnershipIndex& index, uint64_t first, uint64_t end, size_t limit,
                                 std::vector<HeldRecord>& out) {
  const std::lock_guard<std::mutex> hold(lock_);
  const uint64_t sectorBytes = bytesPerSector_;
  // The directories whose runs hold the bytes, each once, in the order of those runs.
  if (pointersOf_ != &index) {
    byPointer_.clear();
    for (const auto& [owner, at] : byOwner_) byPointer_.emplace(&index.OwnerAt(owner), at);
    pointersOf_ = &index;
  }
  std::vector<size_t> asked;
  std::unordered_set<size_t> seen;
  index.ForEachRunIn(first / sectorBytes, (end + sectorBytes - 1) / sectorBytes, [&](const OwnershipIndex::RunView& run) {
    const auto it = byPointer_.find(run.Of);
    if (it != byPointer_.end() && seen.insert(it->second).second) asked.push_back(it->second);
  });
  for (const size_t at : asked) {
    const Directory& directory = directories_[at];
    const std::vector<std::pair<uint64_t, uint64_t>> pieces = Pieces(directory);
    if (listed_ != at) {
      std::vector<uint8_t> bytes;
      for (const auto& [volumeByte, length] : pieces) {
        const size_t from = bytes.size();
        bytes.resize(from + static_cast<size_t>(length));
        // An unreadable sector reads as zeros, which end the listing there.
        ReadSectorsForWalk(volumeByte / sectorBytes, std::span<uint8_t>(bytes).subspan(from));
      }
      entries_ = list_(bytes, directory.Prefix);
      listed_ = at;
    }
    for (const DirectoryEntrySet& set : entries_) {
      // The set's first slot within [first, end), through the pieces it lies in.
      std::optional<uint64_t> byte;
      uint64_t pieceStart = 0;  // in the directory
      for (const auto& [volumeByte, length] : pieces) {
        for (uint64_t slot = std::max(set.First, pieceStart); slot < set.End && slot < pieceStart + length && !byte; slot += kSlotBytes) {
          const uint64_t at = volumeByte + (slot - pieceStart);
          if (at + kSlotBytes > first && at < end) byte = std::max(at, first);
        }
        pieceStart += length;
        if (byte || pieceStart >= set.End) break;
      }
      if (!byte) continue;
      if (out.size() >= limit) return false;
      HeldRecord record;
      record.Byte = *byte;
      record.Record = "entry at byte " + std::to_string(set.First);
      record.NumberKey = "directoryByte";
      record.Number = set.First;
      record.Kind = set.Kind;
      record.Name = set.Name;
      record.Size = set.Size;
      record.Data = set.Data;
      out.push_back(std::move(record));
    }
  }
  return true;
}

}  // namespace korvalane
