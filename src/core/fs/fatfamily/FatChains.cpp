#include "core/fs/fatfamily/FatChains.h"

#include <algorithm>
#include <bit>
#include <string>

#include "core/Bytes.h"
#include "core/volume/SectorReader.h"

namespace korvalane {

FatTable::FatTable(uint64_t firstSector, uint64_t sectors, uint32_t bytesPerSector, int entryBits, bool exfat)
    : firstSector_(firstSector),
      tableBytes_(bytesPerSector != 0 && sectors <= UINT64_MAX / bytesPerSector ? sectors * bytesPerSector : 0),
      bytesPerSector_(bytesPerSector),
      entryBits_(entryBits) {
  switch (entryBits) {
    case 12:
      endMark_ = 0xFF8;
      badMark_ = 0xFF7;
      entryCount_ = tableBytes_ * 2 / 3;
      break;
    case 16:
      endMark_ = 0xFFF8;
      badMark_ = 0xFFF7;
      entryCount_ = tableBytes_ / 2;
      break;
    default:
      // exFAT keeps all 32 bits (0xFFFFFFF8 and above end a chain); FAT32 only the low 28.
      endMark_ = exfat ? 0xFFFFFFF8u : 0x0FFFFFF8u;
      badMark_ = exfat ? 0xFFFFFFF7u : 0x0FFFFFF7u;
      entryBits_ = exfat ? 33 : 32;  // 33: all 32 bits kept
      entryCount_ = tableBytes_ / 4;
      break;
  }
}

std::optional<uint8_t> FatTable::Byte(uint64_t offset) {
  if (offset >= tableBytes_ || bytesPerSector_ == 0) return std::nullopt;
  const uint64_t number = offset / kBlockBytes;
  const auto byteOf = [&](const Block& block) -> std::optional<uint8_t> {
    const size_t at = static_cast<size_t>(offset % kBlockBytes);
    if (!block.Unreadable.empty() && block.Unreadable[at / bytesPerSector_]) return std::nullopt;
    return block.Bytes[at];
  };
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
    if (it->Number != number) continue;
    if (it != blocks_.begin()) blocks_.splice(blocks_.begin(), blocks_, it);
    return byteOf(blocks_.front());
  }
  if (blocks_.size() >= kBlocks) blocks_.pop_back();
  // A block is whole sectors (kBlockBytes is a multiple of every sector size up to 4 KiB);
  // the last one is as long as what is left of the table.
  const uint64_t blockStart = number * kBlockBytes;
  const uint64_t length = std::min<uint64_t>(kBlockBytes, tableBytes_ - blockStart);
  const uint64_t sectors = (length + bytesPerSector_ - 1) / bytesPerSector_;
  const uint64_t firstSector = firstSector_ + blockStart / bytesPerSector_;
  Block block{number, std::vector<uint8_t>(static_cast<size_t>(sectors * bytesPerSector_)), {}};
  if (!ReadSectors(firstSector, block.Bytes)) {
    // Sector by sector, so that one bad sector of the table costs only its own entries.
    block.Unreadable.assign(static_cast<size_t>(sectors), false);
    for (uint64_t i = 0; i < sectors; ++i) {
      const std::span<uint8_t> sector = std::span<uint8_t>(block.Bytes).subspan(static_cast<size_t>(i * bytesPerSector_), bytesPerSector_);
      block.Unreadable[static_cast<size_t>(i)] = !ReadSectorsDirect(firstSector + i, sector);
    }
  }
  blocks_.push_front(std::move(block));
  return byteOf(blocks_.front());
}

std::vector<ClusterRun> ClusterClaims::Runs() const {
  std::vector<ClusterRun> runs;
  const auto add = [&](uint64_t first, uint64_t count) {
    if (!runs.empty() && runs.back().First + runs.back().Count == first) {
      runs.back().Count += count;
    } else {
      runs.push_back({first, count});
    }
  };
  for (size_t w = 0; w < bits_.size(); ++w) {
    const uint64_t word = bits_[w];
    if (word == 0) continue;
    if (word == ~uint64_t{0}) {
      add(uint64_t{w} * 64, 64);
      continue;
    }
    for (int at = 0; at < 64;) {
      const uint64_t rest = word >> at;
      if (rest == 0) break;
      const int zeros = std::countr_zero(rest);
      at += zeros;
      const int ones = std::countr_one(word >> at);
      add(uint64_t{w} * 64 + static_cast<uint64_t>(at), static_cast<uint64_t>(ones));
      at += ones;
    }
  }
  return runs;
}

std::optional<uint32_t> FatTable::Entry(uint64_t cluster) {
  if (cluster >= entryCount_) return std::nullopt;
  // A scan of the table asks for one entry after another: those in the block read last
  // are taken from it at once.
  if (entryBits_ != 12 && !blocks_.empty()) {
    const uint64_t width = entryBits_ == 16 ? 2 : 4;
    const uint64_t offset = cluster * width;
    const Block& block = blocks_.front();
    const size_t at = static_cast<size_t>(offset % kBlockBytes);
    if (block.Unreadable.empty() && block.Number == offset / kBlockBytes && at + width <= block.Bytes.size() && offset + width <= tableBytes_) {
      if (width == 2) return ReadLe16(block.Bytes, at);
      const uint32_t value = ReadLe32(block.Bytes, at);
      return entryBits_ == 32 ? value & 0x0FFFFFFF : value;
    }
  }
  switch (entryBits_) {
    case 12: {
      // Two entries share three bytes: the even one takes the low 12 bits of the pair.
      const uint64_t offset = cluster + cluster / 2;
      const std::optional<uint8_t> low = Byte(offset);
      const std::optional<uint8_t> high = Byte(offset + 1);
      if (!low || !high) return std::nullopt;
      const uint32_t pair = static_cast<uint32_t>(*low) | static_cast<uint32_t>(*high) << 8;
      return cluster % 2 == 0 ? pair & 0xFFF : pair >> 4;
    }
    case 16: {
      const std::optional<uint8_t> low = Byte(cluster * 2);
      const std::optional<uint8_t> high = Byte(cluster * 2 + 1);
      if (!low || !high) return std::nullopt;
      return static_cast<uint32_t>(*low) | static_cast<uint32_t>(*high) << 8;
    }
    default: {
      uint32_t value = 0;
      for (int i = 3; i >= 0; --i) {
        const std::optional<uint8_t> byte = Byte(cluster * 4 + static_cast<uint64_t>(i));
        if (!byte) return std::nullopt;
        value = value << 8 | *byte;
      }
      return entryBits_ == 32 ? value & 0x0FFFFFFF : value;
    }
  }
}

namespace {

void Append(std::vector<ClusterRun>& runs, uint64_t cluster) {
  if (!runs.empty() && runs.back().First + runs.back().Count == cluster) {
    ++runs.back().Count;
  } else {
    runs.push_back({cluster, 1});
  }
}

bool InRuns(const std::vector<ClusterRun>& runs, uint64_t cluster) {
  for (const ClusterRun& run : runs) {
    if (cluster >= run.First && cluster - run.First < run.Count) return true;
  }
  return false;
}

}  // namespace

Chain FollowChain(FatTable& table, ClusterClaims& claims, uint64_t first, uint64_t maxClusters) {
  Chain chain;
  uint64_t cluster = first;
  uint64_t taken = 0;
  while (true) {
    if (!claims.Valid(cluster)) {
      chain.End = ChainEnd::OutOfRange;
      chain.At = cluster;
      return chain;
    }
    if (claims.Claimed(cluster)) {
      // Only this chain's own clusters can make it a loop; the scan runs once, at the end.
      chain.End = InRuns(chain.Runs, cluster) ? ChainEnd::Loop : ChainEnd::CrossLink;
      chain.At = cluster;
      return chain;
    }
    if (taken == maxClusters) {
      chain.End = ChainEnd::LimitReached;
      chain.At = cluster;
      return chain;
    }
    claims.Claim(cluster);
    Append(chain.Runs, cluster);
    ++taken;
    const std::optional<uint32_t> next = table.Entry(cluster);
    if (!next) {
      chain.End = ChainEnd::Unreadable;
      chain.At = cluster;
      return chain;
    }
    if (table.IsEnd(*next)) return chain;
    if (table.IsBad(*next)) {
      chain.End = ChainEnd::BadCluster;
      chain.At = cluster;
      return chain;
    }
    if (*next == 0) {
      chain.End = ChainEnd::FreeEntry;
      chain.At = cluster;
      return chain;
    }
    cluster = *next;
  }
}

Chain ClaimContiguous(ClusterClaims& claims, uint64_t first, uint64_t count) {
  Chain chain;
  if (first >= claims.Limit() || first < 2) {
    chain.End = ChainEnd::OutOfRange;
    chain.At = first;
    return count == 0 ? Chain{} : chain;
  }
  const uint64_t end = count > claims.Limit() - first ? claims.Limit() : first + count;
  for (uint64_t cluster = first; cluster < end; ++cluster) {
    if (claims.Claimed(cluster)) {
      if (chain.End == ChainEnd::EndMark) {
        chain.End = ChainEnd::CrossLink;
        chain.At = cluster;
      }
      continue;
    }
    claims.Claim(cluster);
    Append(chain.Runs, cluster);
  }
  if (end - first < count && chain.End == ChainEnd::EndMark) {
    chain.End = ChainEnd::OutOfRange;
    chain.At = claims.Limit();
  }
  return chain;
}

uint64_t AddChainRuns(OwnershipIndex& index, const Chain& chain, uint32_t owner, uint64_t heapSector, uint64_t sectorsPerCluster) {
  uint64_t byte = 0;
  uint64_t clusters = 0;
  for (const ClusterRun& run : chain.Runs) {
    index.AddRun(heapSector + (run.First - 2) * sectorsPerCluster, run.Count * sectorsPerCluster, owner, byte);
    byte += run.Count * sectorsPerCluster * index.BytesPerSector();
    clusters += run.Count;
  }
  return clusters;
}

std::string ChainFault(const Chain& chain) {
  const std::string at = std::to_string(chain.At);
  switch (chain.End) {
    case ChainEnd::EndMark:
      return {};
    case ChainEnd::Loop:
      return "loops back to cluster " + at;
    case ChainEnd::CrossLink:
      return "runs into cluster " + at + ", which another file or directory uses (cross-linked)";
    case ChainEnd::OutOfRange:
      return "points at cluster " + at + ", outside the volume";
    case ChainEnd::FreeEntry:
      return "ends at cluster " + at + ", whose entry says free";
    case ChainEnd::BadCluster:
      return "ends at cluster " + at + ", whose entry says bad";
    case ChainEnd::Unreadable:
      return "cannot be followed past cluster " + at + " (the FAT cannot be read there)";
    case ChainEnd::LimitReached:
      return "is longer than its size allows; not followed past cluster " + at;
  }
  return {};
}

}  // namespace korvalane
