#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/xfs/Superblock.h"

namespace korvalane::xfs {

// Each allocation group opens with four sectors: its copy of the superblock, the free
// space header (AGF), the inode header (AGI) and the free list (AGFL).
enum class AgSector : uint32_t { Superblock = 0, FreeSpace = 1, Inodes = 2, FreeList = 3 };

constexpr uint32_t kAgfMagic = 0x58414746;   // "XAGF"
constexpr uint32_t kAgiMagic = 0x58414749;   // "XAGI"
constexpr uint32_t kAgflMagic = 0x5841464C;  // "XAFL"
constexpr size_t kAgfCrcOffset = 216;
constexpr size_t kAgiCrcOffset = 312;
constexpr size_t kAgflCrcOffset = 32;

// The free space header of an AG.
struct Agf {
  uint32_t Magic = 0;
  uint32_t Version = 0;
  uint32_t SeqNo = 0;
  uint32_t Length = 0;
  uint32_t FreeRoot = 0;   // by-block btree (bnobt)
  uint32_t CountRoot = 0;  // by-size btree (cntbt)
  uint32_t RmapRoot = 0;
  uint32_t FreeLevel = 0;
  uint32_t CountLevel = 0;
  uint32_t RmapLevel = 0;
  uint32_t FreeListFirst = 0;
  uint32_t FreeListLast = 0;
  uint32_t FreeListCount = 0;
  uint32_t FreeBlocks = 0;
  uint32_t Longest = 0;
  uint32_t BtreeBlocks = 0;
  std::optional<Checksum> Crc;  // v5 only
  bool MagicOk() const { return Magic == kAgfMagic; }
};

// The inode header of an AG.
struct Agi {
  uint32_t Magic = 0;
  uint32_t Version = 0;
  uint32_t SeqNo = 0;
  uint32_t Length = 0;
  uint32_t Count = 0;  // inodes allocated
  uint32_t Root = 0;   // inode btree (inobt)
  uint32_t Level = 0;
  uint32_t FreeCount = 0;
  uint32_t NewInode = 0;
  uint32_t FreeRoot = 0;  // free inode btree (finobt), v5
  uint32_t FreeLevel = 0;
  std::optional<Checksum> Crc;
  bool MagicOk() const { return Magic == kAgiMagic; }
};

// `bytes` is the header's whole sector (the v5 checksum covers it).
Agf ParseAgf(const Superblock& sb, std::span<const uint8_t> bytes);
Agi ParseAgi(const Superblock& sb, std::span<const uint8_t> bytes);

// The volume sector of one header of AG `ag`.
uint64_t AgHeaderSector(const Superblock& sb, uint32_t ag, AgSector which);

}  // namespace korvalane::xfs
