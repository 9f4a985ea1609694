#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace korvalane {

// Where a cluster of the current FAT volume stands in a directory that does not begin
// there: a directory's later clusters hold entries like its first, but only the first
// opens with "." and ".." (or is FAT32's root cluster), so they are known only from the
// FAT chain that leads to them.
struct DirectoryChainPlace {
  uint64_t FirstCluster = 0;  // the directory's first cluster
  uint64_t Index = 0;         // the cluster's place in the chain: 1 for the second cluster
  uint64_t Previous = 0;      // the cluster before it in the chain
};

// The place of `cluster` in a directory's chain, when it is a later cluster of a
// directory: the chain is walked back from it, through the FAT's first copy, to a
// cluster that starts a directory. Nothing for a directory's first cluster, a free,
// bad or unreadable entry, a chain longer than a directory can be (65,536 entries), or
// one that leads back to no directory.
std::optional<DirectoryChainPlace> FindInDirectoryChain(uint64_t cluster);

// Whether a cluster's first bytes open a directory: its "." entry, then "..".
bool OpensFatDirectory(std::span<const uint8_t> bytes);

// The cluster whose first sector is `sector` in the current FAT volume's data area.
std::optional<uint64_t> ClusterStartingAt(uint64_t sector);

}  // namespace korvalane
