#include "core/fs/xfs/OwnershipXfs.h"

#include <algorithm>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_set>
#include <vector>

#include "core/fs/xfs/Directory.h"
#include "core/fs/xfs/Inode.h"
#include "core/fs/AllocationScan.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

using xfs::BtreePointer;
using xfs::Extent;
using xfs::Inode;
using xfs::ReadBe16;
using xfs::ReadBe32;
using xfs::ReadBe64;
using xfs::Superblock;

// The short-form btrees of an AG: their blocks open with a magic number, a level, a record
// count and the AG blocks of their siblings (16 bytes; 56 with the v5 block number, log
// sequence number, UUID, owning AG and CRC). A node holds as many keys as it could hold
// records, then as many 4-byte pointers.
struct AgBtree {
  const char* Name;
  uint32_t MagicV4;  // 0: v5 only
  uint32_t MagicV5;
  size_t KeyBytes;  // the reverse-mapping btree's nodes keep a low and a high key
  size_t RecordBytes;
};
constexpr AgBtree kByBlock{"free-space btree by block", 0x41425442 /* ABTB */, 0x41423342 /* AB3B */, 8, 8};
constexpr AgBtree kBySize{"free-space btree by size", 0x41425443 /* ABTC */, 0x41423343 /* AB3C */, 8, 8};
constexpr AgBtree kInodes{"inode btree", 0x49414254 /* IABT */, 0x49414233 /* IAB3 */, 4, 16};
constexpr AgBtree kFreeInodes{"free inode btree", 0x46494254 /* FIBT */, 0x46494233 /* FIB3 */, 4, 16};
constexpr AgBtree kReverseMap{"reverse-mapping btree", 0, 0x524D4233 /* RMB3 */, 40, 24};
constexpr AgBtree kRefcount{"reference count btree", 0, 0x52334643 /* R3FC */, 4, 12};
constexpr size_t kShortHeaderV4 = 16;
constexpr size_t kShortHeaderV5 = 56;
// A fork's btree blocks: the same with 8-byte siblings (24 bytes; 72 on v5), keys of 8
// bytes (the first file block below) and 8-byte pointers; a leaf holds extent records.
constexpr uint32_t kBmapMagicV4 = 0x424D4150;  // "BMAP"
constexpr uint32_t kBmapMagicV5 = 0x424D4133;  // "BMA3"
constexpr size_t kLongHeaderV4 = 24;
constexpr size_t kLongHeaderV5 = 72;
constexpr size_t kExtentBytes = 16;
// No XFS btree is this deep: a level of 512-byte blocks holds at least ten times the
// records of the level below, and no AG or fork has 2^64 of them.
constexpr uint32_t kMaxLevels = 20;
// The AGF's offsets of the reverse-mapping and reference count btrees' roots and levels.
constexpr size_t kAgfRmapRoot = 24;
constexpr size_t kAgfRmapLevel = 36;
constexpr size_t kAgfRefcountRoot = 88;
constexpr size_t kAgfRefcountLevel = 92;
constexpr uint32_t kRoCompatRmap = 0x2;
constexpr uint32_t kRoCompatReflink = 0x4;
constexpr uint32_t kIncompatSparseInodes = 0x2;
constexpr uint32_t kNullAgBlock = 0xFFFFFFFF;
constexpr size_t kAgflHeaderV5 = 36;
// An inode btree record: the chunk's first AG inode, then (sparse inodes) a mask of its
// holes, 4 inodes a bit, or a free count; then the mask of its free inodes.
constexpr uint32_t kInodesPerChunk = 64;
constexpr uint32_t kInodesPerHoleBit = 4;
// The quota inodes in the superblock (project quota on v5 only).
constexpr std::pair<size_t, const char*> kQuotaInodes[] = {{160, "user quota"}, {168, "group quota"}, {232, "project quota"}};
// A directory's data blocks are its first 32 GiB; its hash and free index blocks follow.
constexpr uint64_t kDirectoryLeafByte = uint64_t{32} << 30;
// A directory is read up to 256 MiB; the walk lists at most this many, and none whose
// path is longer than kMaxPathBytes.
constexpr uint64_t kMaxDirectoryBytes = uint64_t{256} << 20;
constexpr size_t kMaxDirectories = size_t{1} << 22;
constexpr size_t kMaxPathBytes = 4096;
// Inodes are read this many bytes of the volume at a time (a power of two: an inode
// never crosses two of them).
constexpr uint64_t kInodeCacheBytes = uint64_t{64} << 10;
constexpr uint8_t kEntryDirectory = 2;  // a directory entry's file type for a folder

// An inode the walk named, with the owner it made for it.
struct NamedInode {
  uint64_t Inode = 0;
  uint32_t Owner = 0;
  RecordData Data = RecordData::Elsewhere;
  bool operator<(const NamedInode& other) const { return Inode < other.Inode; }
};

// An inode chunk the inode btree lists: where its first inode stands, its number, the
// holes of a sparse chunk (a bit for each 4 inodes) and its free inodes (a bit each).
struct Chunk {
  uint64_t Byte = 0;
  uint64_t FirstInode = 0;
  uint16_t Holes = 0;
  uint64_t Free = 0;
  bool operator<(const Chunk& other) const { return Byte < other.Byte; }
};

// An entry's bytes: inode number, name length, name, file type and tag, to 8 bytes.
uint64_t EntryBytes(size_t nameLength, bool fileType) { return (8 + 1 + nameLength + (fileType ? 1 : 0) + 2 + 7) / 8 * 8; }

bool HasFileType(const Superblock& sb) { return (sb.IncompatFeatures & 0x1) != 0 || (sb.Features2 & xfs::kVersion2FtypeBit) != 0; }

RecordData DataPlace(const Inode& inode, bool hasExtents) {
  if (hasExtents) return RecordData::Elsewhere;
  if (inode.Format == static_cast<uint8_t>(xfs::ForkFormat::Local)) return inode.Size == 0 ? RecordData::None : RecordData::InRecord;
  return RecordData::None;
}

// Which files' inodes stand in bytes of the volume: the inode btrees place the chunks,
// the walk's names tell whose each inode is. An inode in use that no walk named is lost.
// XFS keeps a file's name in its folder's entry, so the entries in the bytes are named
// too.
struct XfsRecordFinder {
  Superblock Sb;
  std::vector<Chunk> Chunks;       // sorted by byte
  std::vector<NamedInode> Named;   // sorted by inode

  bool Find(const OwnershipIndex& index, uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out) {
    const std::lock_guard<std::mutex> hold(lock_);
    const uint64_t chunkBytes = uint64_t{kInodesPerChunk} * Sb.InodeBytes;
    // Every chunk has the same length: the first that can reach `first` starts after
    // first - chunkBytes.
    auto it = first < chunkBytes ? Chunks.begin() : std::upper_bound(Chunks.begin(), Chunks.end(), Chunk{first - chunkBytes});
    for (; it != Chunks.end() && it->Byte < end; ++it) {
      for (uint32_t i = 0; i < kInodesPerChunk; ++i) {
        const uint64_t at = it->Byte + uint64_t{i} * Sb.InodeBytes;
        if (at + Sb.InodeBytes <= first || (it->Holes >> (i / kInodesPerHoleBit) & 1u) != 0) continue;
        if (at >= end) break;
        if (out.size() >= limit) return false;
        std::optional<HeldRecord> record = Describe(index, it->FirstInode + i, (it->Free >> i & 1u) == 0, std::max(at, first));
        if (record) out.push_back(std::move(*record));
      }
    }
    return FindEntries(index, first, end, limit, out);
  }

 private:
  std::mutex lock_;

  const NamedInode* NamedAs(uint64_t number) const {
    const auto named = std::lower_bound(Named.begin(), Named.end(), NamedInode{number, 0, RecordData::Elsewhere});
    return named != Named.end() && named->Inode == number ? &*named : nullptr;
  }

  std::optional<HeldRecord> Describe(const OwnershipIndex& index, uint64_t number, bool inUse, uint64_t byte) {
    HeldRecord record;
    record.Byte = byte;
    record.Record = "inode " + std::to_string(number);
    record.NumberKey = "inode";
    record.Number = number;
    if (const NamedInode* named = NamedAs(number)) {
      const Owner& owner = index.OwnerAt(named->Owner);
      record.Kind = owner.Kind;
      record.Name = owner.Name;
      if (owner.HasSize) record.Size = owner.Size;
      record.Data = named->Data;
      return record;
    }
    if (!inUse) return std::nullopt;
    record.Kind = OwnerKind::Lost;
    record.Data = RecordData::Unknown;
    return record;
  }

  // The entries of the folders' data blocks in the bytes, read again: only a file's name
  // is lost with its entry.
  bool FindEntries(const OwnershipIndex& index, uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out) {
    const uint64_t sectorBytes = index.BytesPerSector();
    const uint64_t dirBytes = Sb.DirectoryBlockBytes();
    if (sectorBytes == 0 || dirBytes < sectorBytes) return true;
    const bool fileType = HasFileType(Sb);
    std::vector<uint8_t> block(static_cast<size_t>(dirBytes));
    std::unordered_set<uint64_t> done;
    bool all = true;
    index.ForEachRunIn(first / sectorBytes, (end + sectorBytes - 1) / sectorBytes, [&](const OwnershipIndex::RunView& run) {
      if (!all || run.Of->Kind != OwnerKind::Directory || !run.Byte) return;
      const uint64_t runFrom = run.First * sectorBytes;
      const uint64_t runEnd = (run.First + run.Sectors) * sectorBytes;
      const uint64_t x = std::max(first, runFrom);
      const uint64_t y = std::min(end, runEnd);
      // The directory blocks the bytes touch, where the run holds them whole.
      for (uint64_t at = x; at < y && all;) {
        const uint64_t ownerByte = *run.Byte + (at - runFrom);
        if (ownerByte >= kDirectoryLeafByte) return;
        const uint64_t into = ownerByte % dirBytes;
        if (into > at - runFrom) {
          // The directory block begins before the run: on to the next one.
          at += dirBytes - into;
          continue;
        }
        const uint64_t blockStart = at - into;
        at = blockStart + dirBytes;
        if (blockStart + dirBytes > runEnd || !done.insert(blockStart).second) continue;
        if (!ReadSectorsForWalk(blockStart / sectorBytes, block)) continue;
        const xfs::DirectoryBlock dir = xfs::ParseDirectoryBlock(Sb, block);
        for (const xfs::DirectoryEntry& e : dir.Entries) {
          if (e.Deleted || e.Name == "." || e.Name == "..") continue;
          const uint64_t entry = blockStart + e.Offset;
          if (entry + EntryBytes(e.Name.size(), fileType) <= x || entry >= y) continue;
          if (out.size() >= limit) {
            all = false;
            break;
          }
          HeldRecord record;
          record.Byte = std::max(entry, x);
          record.Number = *run.Byte + (entry - runFrom);
          record.Record = "entry at byte " + std::to_string(record.Number);
          record.NumberKey = "directoryByte";
          record.Name = (run.Of->Name == "/" ? "" : run.Of->Name) + "/" + e.Name;
          record.NameOnly = true;
          if (const NamedInode* named = NamedAs(e.Inode)) {
            const Owner& owner = index.OwnerAt(named->Owner);
            record.Kind = owner.Kind;
            if (owner.HasSize) record.Size = owner.Size;
          } else {
            record.Kind = e.FileType == kEntryDirectory ? OwnerKind::Directory : OwnerKind::File;
          }
          out.push_back(std::move(record));
        }
      }
    });
    return all;
  }
};

class XfsWalk {
 public:
  XfsWalk(const Superblock& sb, OwnershipIndex& index, const WalkHooks& hooks)
      : sb_(sb), spb_(sb.SectorsPerBlock()), index_(index), hooks_(hooks), block_(sb.BlockBytes) {}

  bool Run() {
    finder_->Sb = sb_;
    for (uint32_t ag = 0; ag < sb_.AgCount; ++ag) {
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(uint64_t{ag} * 20 / sb_.AgCount))) return false;
      AddAg(ag);
    }
    AddLog();
    AddMetadataInodes();
    if (!WalkTree()) return false;
    std::sort(finder_->Named.begin(), finder_->Named.end());
    std::sort(finder_->Chunks.begin(), finder_->Chunks.end());
    index_.SetRecordFinder([finder = finder_](const OwnershipIndex& index, uint64_t first, uint64_t end, size_t limit,
                                              std::vector<HeldRecord>& out) { return finder->Find(index, first, end, limit, out); });
    return AddFree();
  }

 private:
  uint32_t Metadata(std::string name, std::string where = {}, std::string part = {},
                    MetadataClass area = MetadataClass::Other) {
    Owner owner;
    owner.Kind = OwnerKind::Metadata;
    owner.Area = area;
    owner.Name = std::move(name);
    owner.Where = std::move(where);
    owner.Part = std::move(part);
    return index_.AddOwner(std::move(owner));
  }

  static std::string AgName(uint32_t ag) { return " (AG " + std::to_string(ag) + ")"; }

  // Linear blocks [first, first + count) for `owner`, cut to the volume.
  void Blocks(uint64_t first, uint64_t count, uint32_t owner, std::optional<uint64_t> byte = std::nullopt) {
    if (first >= sb_.DataBlocks || count == 0) return;
    count = std::min(count, sb_.DataBlocks - first);
    index_.AddRun(first * spb_, count * spb_, owner, byte);
    reached_.push_back({first, count});
  }

  // Sectors [first, first + count) for `owner`, cut to the volume (the last AG may be
  // shorter than its headers).
  void Sectors(uint64_t first, uint64_t count, uint32_t owner) {
    if (first >= index_.VolumeSectors()) return;
    index_.AddRun(first, std::min(count, index_.VolumeSectors() - first), owner);
  }

  // AG block `agBlock` of AG `ag` as a linear block, or nothing past the AG.
  std::optional<uint64_t> AgLinear(uint32_t ag, uint64_t agBlock) const {
    if (ag >= sb_.AgCount || agBlock >= sb_.AgLength(ag)) return std::nullopt;
    return sb_.LinearBlock(ag, static_cast<uint32_t>(agBlock));
  }
  std::optional<uint64_t> Linear(uint64_t fsblock) const {
    if (sb_.AgBlockLog < 64 && (fsblock >> sb_.AgBlockLog) >= sb_.AgCount) return std::nullopt;
    return AgLinear(sb_.AgOf(fsblock), sb_.AgBlockOf(fsblock));
  }

  bool ReadBlock(uint64_t linear, std::vector<uint8_t>& out) {
    out.resize(sb_.BlockBytes);
    return linear < sb_.DataBlocks && ReadSectorsForWalk(linear * spb_, out);
  }

  // The headers, the free list, the btrees and the inode chunks of AG `ag`.
  void AddAg(uint32_t ag) {
    const std::string name = AgName(ag);
    const uint64_t agSector = sb_.LinearBlock(ag, 0) * spb_;
    Sectors(agSector, 1, Metadata(ag == 0 ? "superblock" : "superblock backup" + name, {}, {}, MetadataClass::Boot));
    Sectors(agSector + 1, 1, Metadata("AGF" + name, {}, {}, MetadataClass::Boot));
    Sectors(agSector + 2, 1, Metadata("AGI" + name, {}, {}, MetadataClass::Boot));
    Sectors(agSector + 3, 1, Metadata("AGFL" + name, {}, {}, MetadataClass::Boot));
    // The headers' blocks: with blocks larger than four sectors, the rest of the first.
    const uint64_t headerBlocks = (4 * uint64_t{sb_.SectorBytes} + sb_.BlockBytes - 1) / sb_.BlockBytes;
    if (headerBlocks * spb_ > 4) Sectors(agSector + 4, headerBlocks * spb_ - 4,
                                     Metadata("AG headers" + name, {}, {}, MetadataClass::Boot));
    reached_.push_back({sb_.LinearBlock(ag, 0), std::min<uint64_t>(headerBlocks, sb_.AgLength(ag))});

    std::vector<uint8_t> sector(sb_.SectorBytes);
    std::vector<std::pair<uint32_t, uint32_t>> byBlock, bySize;  // free extents: AG block, length
    bool byBlockWhole = false, bySizeWhole = false;
    if (ReadSectorsForWalk(agSector + 1, sector)) {
      const xfs::Agf agf = xfs::ParseAgf(sb_, sector);
      if (!agf.MagicOk()) {
        index_.AddProblem("the AGF of AG " + std::to_string(ag) + " has no magic \"XAGF\"");
      } else {
        const auto freeExtents = [](std::vector<std::pair<uint32_t, uint32_t>>& into) {
          return [&into](std::span<const uint8_t> r) { into.emplace_back(ReadBe32(r, 0), ReadBe32(r, 4)); };
        };
        byBlockWhole = WalkAgBtree(ag, agf.FreeRoot, agf.FreeLevel, kByBlock, freeExtents(byBlock));
        bySizeWhole = WalkAgBtree(ag, agf.CountRoot, agf.CountLevel, kBySize, freeExtents(bySize));
        if ((sb_.RoCompatFeatures & kRoCompatRmap) != 0 && sb_.HasCrc()) {
          WalkAgBtree(ag, ReadBe32(sector, kAgfRmapRoot), ReadBe32(sector, kAgfRmapLevel), kReverseMap, nullptr);
        }
        if ((sb_.RoCompatFeatures & kRoCompatReflink) != 0 && sb_.HasCrc()) {
          WalkAgBtree(ag, ReadBe32(sector, kAgfRefcountRoot), ReadBe32(sector, kAgfRefcountLevel), kRefcount, nullptr);
        }
        AddFreeList(ag, agf, agSector + 3);
      }
    } else {
      index_.AddProblem("the AGF of AG " + std::to_string(ag) + " cannot be read");
    }
    // The free extents by block; by size where that btree could not be read whole.
    free_.push_back(byBlockWhole || !bySizeWhole ? std::move(byBlock) : std::move(bySize));

    if (ReadSectorsForWalk(agSector + 2, sector)) {
      const xfs::Agi agi = xfs::ParseAgi(sb_, sector);
      if (!agi.MagicOk()) {
        index_.AddProblem("the AGI of AG " + std::to_string(ag) + " has no magic \"XAGI\"");
      } else {
        WalkAgBtree(ag, agi.Root, agi.Level, kInodes, [&](std::span<const uint8_t> r) { AddChunk(ag, r); });
        if (agi.FreeRoot != 0 && sb_.HasCrc()) WalkAgBtree(ag, agi.FreeRoot, agi.FreeLevel, kFreeInodes, nullptr);
      }
    } else {
      index_.AddProblem("the AGI of AG " + std::to_string(ag) + " cannot be read");
    }
  }

  // The blocks the AGFL keeps for the btrees to grow into: a ring of AG block numbers
  // from its first to its last entry.
  void AddFreeList(uint32_t ag, const xfs::Agf& agf, uint64_t sector) {
    if (agf.FreeListCount == 0) return;
    std::vector<uint8_t> bytes(sb_.SectorBytes);
    if (!ReadSectorsForWalk(sector, bytes)) return;
    const size_t header = sb_.HasCrc() ? kAgflHeaderV5 : 0;
    const uint32_t slots = static_cast<uint32_t>((bytes.size() - header) / 4);
    if (agf.FreeListFirst >= slots || agf.FreeListCount > slots) {
      index_.AddProblem("the free list of AG " + std::to_string(ag) + " counts " + std::to_string(agf.FreeListCount) +
                        " blocks from slot " + std::to_string(agf.FreeListFirst) + "; it has " + std::to_string(slots));
      return;
    }
    const uint32_t owner = Metadata("free list" + AgName(ag), {}, {}, MetadataClass::Table);
    for (uint32_t i = 0; i < agf.FreeListCount; ++i) {
      const uint32_t agBlock = ReadBe32(bytes, header + 4 * ((agf.FreeListFirst + i) % slots));
      if (agBlock == kNullAgBlock) continue;
      if (const std::optional<uint64_t> b = AgLinear(ag, agBlock)) Blocks(*b, 1, owner);
    }
  }

  // Every block of an AG btree from its root, given to the btree's owner, and each leaf
  // record to `leaf`. True when the whole tree was read; each block is read once, and
  // only where its level is one below its parent's.
  bool WalkAgBtree(uint32_t ag, uint32_t root, uint32_t levels, const AgBtree& tree,
                   const std::function<void(std::span<const uint8_t>)>& leaf) {
    const std::string where = " of AG " + std::to_string(ag);
    if (levels == 0 || levels > kMaxLevels) {
      index_.AddProblem(std::string("the ") + tree.Name + where + " has " + std::to_string(levels) + " levels");
      return false;
    }
    const uint32_t owner = Metadata(tree.Name + AgName(ag), {}, {}, MetadataClass::Table);
    const size_t header = sb_.HasCrc() ? kShortHeaderV5 : kShortHeaderV4;
    const uint32_t magic = sb_.HasCrc() ? tree.MagicV5 : tree.MagicV4;
    std::vector<std::pair<uint32_t, uint32_t>> pending = {{root, levels - 1}};
    std::unordered_set<uint32_t> seen;
    bool whole = true;
    while (!pending.empty()) {
      const auto [agBlock, level] = pending.back();
      pending.pop_back();
      const std::optional<uint64_t> linear = AgLinear(ag, agBlock);
      if (!linear || !seen.insert(agBlock).second) {
        index_.AddProblem(std::string("the ") + tree.Name + where + (linear ? " reaches block " : " points past its AG at block ") +
                          std::to_string(agBlock) + (linear ? " twice" : ""));
        whole = false;
        continue;
      }
      if (!ReadBlock(*linear, block_) || ReadBe32(block_, 0) != magic || ReadBe16(block_, 4) != level) {
        index_.AddProblem(std::string("block ") + std::to_string(agBlock) + where + " is no block of level " +
                          std::to_string(level) + " of its " + tree.Name);
        whole = false;
        continue;
      }
      Blocks(*linear, 1, owner);
      const uint32_t records = ReadBe16(block_, 6);
      const size_t room = block_.size() - header;
      const size_t most = level == 0 ? room / tree.RecordBytes : room / (tree.KeyBytes + 4);
      if (records > most) {
        index_.AddProblem(std::string("block ") + std::to_string(agBlock) + where + " of its " + tree.Name + " counts " +
                          std::to_string(records) + " records; " + std::to_string(most) + " fit it");
        whole = false;
        continue;
      }
      for (uint32_t i = 0; i < records; ++i) {
        if (level == 0) {
          if (leaf) leaf(std::span<const uint8_t>(block_).subspan(header + i * tree.RecordBytes, tree.RecordBytes));
        } else {
          pending.emplace_back(ReadBe32(block_, header + most * tree.KeyBytes + 4 * i), level - 1);
        }
      }
    }
    return whole;
  }

  // An inode btree record: its chunk's inodes, less the holes of a sparse one.
  void AddChunk(uint32_t ag, std::span<const uint8_t> r) {
    const uint32_t firstAgInode = ReadBe32(r, 0);
    const uint16_t holes = (sb_.IncompatFeatures & kIncompatSparseInodes) != 0 && sb_.HasCrc() ? ReadBe16(r, 4) : 0;
    const uint64_t agBlock = firstAgInode >> sb_.InodesPerBlockLog;
    const uint64_t chunkBytes = uint64_t{kInodesPerChunk} * sb_.InodeBytes;
    const std::optional<uint64_t> linear = AgLinear(ag, agBlock);
    const uint64_t slot = firstAgInode & (uint64_t{sb_.InodesPerBlock} - 1);
    if (!linear || agBlock * sb_.BlockBytes + slot * sb_.InodeBytes + chunkBytes > uint64_t{sb_.AgLength(ag)} * sb_.BlockBytes) {
      index_.AddProblem("the inode chunk of AG inode " + std::to_string(firstAgInode) + " in AG " + std::to_string(ag) +
                        " lies past its AG");
      return;
    }
    Chunk chunk;
    chunk.Byte = *linear * sb_.BlockBytes + slot * sb_.InodeBytes;
    chunk.FirstInode = xfs::InodeNumber(sb_, ag, static_cast<uint32_t>(agBlock), static_cast<uint32_t>(slot));
    chunk.Holes = holes;
    chunk.Free = ReadBe64(r, 8);
    finder_->Chunks.push_back(chunk);
    const uint32_t owner = Metadata("inode chunk " + std::to_string(chunk.FirstInode) + "-" +
                                    std::to_string(chunk.FirstInode + kInodesPerChunk - 1),
                                    {}, {}, MetadataClass::Records);
    const uint64_t sectorBytes = sb_.SectorBytes;
    // Each run of inodes without holes, in sectors and in blocks.
    for (uint32_t i = 0; i < kInodesPerChunk;) {
      if ((holes >> (i / kInodesPerHoleBit) & 1u) != 0) {
        i += kInodesPerHoleBit;
        continue;
      }
      uint32_t j = i;
      while (j < kInodesPerChunk && (holes >> (j / kInodesPerHoleBit) & 1u) == 0) j += kInodesPerHoleBit;
      const uint64_t from = chunk.Byte + uint64_t{i} * sb_.InodeBytes;
      const uint64_t to = chunk.Byte + uint64_t{j} * sb_.InodeBytes;
      Sectors(from / sectorBytes, (to + sectorBytes - 1) / sectorBytes - from / sectorBytes, owner);
      reached_.push_back({from / sb_.BlockBytes, (to + sb_.BlockBytes - 1) / sb_.BlockBytes - from / sb_.BlockBytes});
      i = j;
    }
  }

  // The internal log (an external one has no start).
  void AddLog() {
    if (sb_.LogStart == 0) return;
    const std::optional<uint64_t> start = Linear(sb_.LogStart);
    if (!start) {
      index_.AddProblem("the log's start block " + std::to_string(sb_.LogStart) + " lies past the volume");
      return;
    }
    Blocks(*start, sb_.LogBlocks, Metadata("log", {}, {}, MetadataClass::Journal));
  }

  // The files that no folder names: the realtime bitmap and summary, the quota files.
  void AddMetadataInodes() {
    std::vector<std::pair<uint64_t, std::string>> files = {{sb_.RealtimeBitmapInode, "realtime bitmap"},
                                                           {sb_.RealtimeSummaryInode, "realtime summary"}};
    std::vector<uint8_t> sector(sb_.SectorBytes);
    if (ReadSectorsForWalk(0, sector)) {
      for (const auto& [offset, name] : kQuotaInodes) {
        if (offset < xfs::kSuperblockCrcOffset || sb_.HasCrc()) files.emplace_back(ReadBe64(sector, offset), name);
      }
    }
    for (const auto& [number, name] : files) {
      if (number == 0 || number == UINT64_MAX || number == sb_.RootInode || !taken_.insert(number).second) continue;
      const std::optional<Inode> inode = ReadInode(number);
      if (!inode || !inode->InUse()) continue;
      const uint32_t owner = Metadata(name, "inode " + std::to_string(number), "file");
      const bool any = AddForks(*inode, owner, name);
      Name(number, owner, DataPlace(*inode, any));
    }
  }

  // A fork's extents: the inode's own, or those of its btree's leaves (whose blocks are
  // the owner's too).
  std::vector<Extent> ForkExtents(const Inode& inode, bool attribute, uint32_t owner, const std::string& name) {
    const auto format = static_cast<xfs::ForkFormat>(attribute ? inode.AttrFormat : inode.Format);
    if (format == xfs::ForkFormat::Extents) return attribute ? inode.AttrFork : inode.DataFork;
    if (format != xfs::ForkFormat::Btree) return {};
    const std::optional<uint16_t>& rootLevel = attribute ? inode.AttrBtreeLevel : inode.BtreeLevel;
    const std::vector<BtreePointer>& root = attribute ? inode.AttrBtreeRoot : inode.BtreeRoot;
    const std::string fork = attribute ? "attribute fork" : "data fork";
    if (!rootLevel || *rootLevel == 0 || *rootLevel > kMaxLevels) {
      index_.AddProblem(name + ": the btree root of its " + fork + " has level " + std::to_string(rootLevel.value_or(0)));
      return {};
    }
    std::vector<Extent> extents;
    const size_t header = sb_.HasCrc() ? kLongHeaderV5 : kLongHeaderV4;
    const uint32_t magic = sb_.HasCrc() ? kBmapMagicV5 : kBmapMagicV4;
    std::vector<std::pair<uint64_t, uint32_t>> pending;
    for (auto it = root.rbegin(); it != root.rend(); ++it) pending.emplace_back(it->Block, *rootLevel - 1);
    std::unordered_set<uint64_t> seen;
    while (!pending.empty()) {
      const auto [fsblock, level] = pending.back();
      pending.pop_back();
      const std::optional<uint64_t> linear = Linear(fsblock);
      if (!linear || !seen.insert(*linear).second) {
        index_.AddProblem(name + ": the btree of its " + fork + (linear ? " reaches a block twice" : " points past the volume"));
        continue;
      }
      if (!ReadBlock(*linear, block_) || ReadBe32(block_, 0) != magic || ReadBe16(block_, 4) != level) {
        index_.AddProblem(name + ": block " + std::to_string(*linear) + " is no block of level " + std::to_string(level) +
                          " of the btree of its " + fork);
        continue;
      }
      Blocks(*linear, 1, owner);
      const uint32_t records = ReadBe16(block_, 6);
      const size_t room = block_.size() - header;
      const size_t most = room / kExtentBytes;  // extent records, or an 8-byte key and pointer each
      if (records > most) {
        index_.AddProblem(name + ": block " + std::to_string(*linear) + " of the btree of its " + fork + " counts " +
                          std::to_string(records) + " records; " + std::to_string(most) + " fit it");
        continue;
      }
      if (level == 0) {
        const std::vector<Extent> leaf = xfs::ParseExtents(std::span<const uint8_t>(block_).subspan(header), records);
        extents.insert(extents.end(), leaf.begin(), leaf.end());
        continue;
      }
      // Pushed last to first, so that the leaves come in the order of the file.
      for (uint32_t i = records; i-- > 0;) pending.emplace_back(ReadBe64(block_, header + most * 8 + 8 * i), level - 1);
    }
    return extents;
  }

  // The blocks of an inode's forks: data extents at their byte in the file (those of a
  // realtime file stand on another device), attribute extents and btree blocks without
  // one. Whether the data fork has any extent.
  bool AddForks(const Inode& inode, uint32_t owner, const std::string& name, std::vector<Extent>* data = nullptr) {
    for (const std::string& problem : inode.Problems) index_.AddProblem(name + ": " + problem);
    std::vector<Extent> extents = ForkExtents(inode, false, owner, name);
    const bool any = !extents.empty();
    if (!inode.IsRealtime()) {
      for (const Extent& e : extents) AddExtent(e, owner, e.Offset * sb_.BlockBytes, name);
    }
    for (const Extent& e : ForkExtents(inode, true, owner, name)) AddExtent(e, owner, std::nullopt, name);
    if (data) *data = std::move(extents);
    return any;
  }

  void AddExtent(const Extent& e, uint32_t owner, std::optional<uint64_t> byte, const std::string& name) {
    const uint32_t ag = sb_.AgOf(e.StartBlock);
    const uint32_t agBlock = sb_.AgBlockOf(e.StartBlock);
    const std::optional<uint64_t> linear = Linear(e.StartBlock);
    if (!linear) {
      index_.AddProblem(name + ": an extent starts past the volume (block " + std::to_string(e.StartBlock) + ")");
      return;
    }
    const uint64_t count = std::min<uint64_t>(e.Count, sb_.AgLength(ag) - agBlock);
    if (count < e.Count) index_.AddProblem(name + ": an extent runs past the end of AG " + std::to_string(ag));
    Blocks(*linear, count, owner, byte);
  }

  bool WalkTree() {
    struct Pending {
      uint64_t Inode;
      std::string Path;
    };
    std::vector<Pending> pending = {{sb_.RootInode, "/"}};
    taken_.insert(sb_.RootInode);
    const uint64_t inUse = std::max<uint64_t>(1, sb_.InodeCount - std::min(sb_.FreeInodes, sb_.InodeCount));
    size_t listed = 0;
    while (!pending.empty()) {
      const Pending dir = std::move(pending.back());
      pending.pop_back();
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(20 + std::min<uint64_t>(69, taken_.size() * 70 / inUse)))) {
        return false;
      }
      const std::optional<Inode> inode = ReadInode(dir.Inode);
      if (!inode || !inode->InUse() || !inode->IsDirectory()) {
        index_.AddProblem("the folder " + dir.Path + " (inode " + std::to_string(dir.Inode) + ") cannot be read");
        continue;
      }
      if (++listed > kMaxDirectories) {
        index_.AddProblem("more than " + std::to_string(kMaxDirectories) + " folders: the rest are not listed");
        break;
      }
      std::vector<Extent> extents;
      AddFile(*inode, dir.Path, &extents);
      const auto visit = [&](const std::string& name, uint64_t number, std::optional<uint8_t> type) {
        if (name == "." || name == "..") return;
        const std::string path = (dir.Path == "/" ? "/" : dir.Path + "/") + name;
        if (path.size() > kMaxPathBytes) {
          index_.AddProblem("a path longer than " + std::to_string(kMaxPathBytes) + " bytes below " + dir.Path.substr(0, 200) +
                            "...: not followed");
          return;
        }
        // Each inode once: a hard link's second name is not walked again; a folder met
        // again (a loop or a cross-link) is named and not followed.
        if (!taken_.insert(number).second) {
          if (folders_.contains(number)) {
            index_.AddProblem("the folder of inode " + std::to_string(number) + " is met again as " + path + ": not followed");
          }
          return;
        }
        const std::optional<Inode> child = ReadInode(number);
        if (!child || !child->InUse()) {
          AddUnreadable(number, path, type);
          return;
        }
        if (child->IsDirectory()) {
          folders_.insert(number);
          pending.push_back({number, path});
        } else {
          AddFile(*child, path);
        }
      };
      if (inode->Format == static_cast<uint8_t>(xfs::ForkFormat::Local)) {
        for (const xfs::ShortformEntry& e : inode->Entries) visit(e.Name, e.Inode, e.FileType);
        continue;
      }
      ReadDirectory(extents, [&](std::span<const uint8_t> bytes) {
        for (const xfs::DirectoryEntry& e : xfs::ParseDirectoryBlock(sb_, bytes).Entries) {
          if (!e.Deleted) visit(e.Name, e.Inode, e.FileType);
        }
      });
    }
    return true;
  }

  // A directory's data blocks (its first 32 GiB), each whole, up to kMaxDirectoryBytes.
  void ReadDirectory(std::vector<Extent> extents, const std::function<void(std::span<const uint8_t>)>& visit) {
    const uint64_t dirBlocks = uint64_t{1} << sb_.DirectoryBlockLog;
    const uint64_t leafBlock = kDirectoryLeafByte >> sb_.BlockLog;
    std::sort(extents.begin(), extents.end(), [](const Extent& a, const Extent& b) { return a.Offset < b.Offset; });
    // The linear block of file block `logical`, or nothing in a hole.
    const auto physical = [&](uint64_t logical) -> std::optional<uint64_t> {
      auto it = std::upper_bound(extents.begin(), extents.end(), logical, [](uint64_t l, const Extent& e) { return l < e.Offset; });
      if (it == extents.begin()) return std::nullopt;
      --it;
      if (logical - it->Offset >= it->Count || it->Unwritten) return std::nullopt;
      const std::optional<uint64_t> start = Linear(it->StartBlock);
      if (!start || logical - it->Offset >= sb_.AgLength(sb_.AgOf(it->StartBlock)) - sb_.AgBlockOf(it->StartBlock)) return std::nullopt;
      return *start + (logical - it->Offset);
    };
    std::vector<uint8_t> bytes(static_cast<size_t>(dirBlocks * sb_.BlockBytes));
    uint64_t read = 0;
    uint64_t next = 0;  // the first file block not yet read
    for (const Extent& e : extents) {
      for (uint64_t l = std::max(next, e.Offset / dirBlocks * dirBlocks); l < e.Offset + e.Count && l < leafBlock;
           l += dirBlocks) {
        if (read >= kMaxDirectoryBytes) return;
        next = l + dirBlocks;
        bool whole = true;
        for (uint64_t k = 0; k < dirBlocks && whole; ++k) {
          const std::optional<uint64_t> b = physical(l + k);
          whole = b && ReadSectorsForWalk(*b * spb_, std::span<uint8_t>(bytes).subspan(k * sb_.BlockBytes, sb_.BlockBytes));
        }
        read += bytes.size();
        if (whole) visit(bytes);
      }
    }
  }

  // An entry whose inode cannot be read or holds zeros: its file keeps its name, by the
  // entry, for the records in the lost bytes.
  void AddUnreadable(uint64_t number, const std::string& path, std::optional<uint8_t> type) {
    Owner owner;
    owner.Kind = type == kEntryDirectory ? OwnerKind::Directory : OwnerKind::File;
    owner.Name = path;
    owner.Where = "inode " + std::to_string(number);
    owner.Part = owner.Kind == OwnerKind::Directory ? "directory" : "file";
    Name(number, index_.AddOwner(std::move(owner)), RecordData::Unknown);
  }

  void AddFile(const Inode& inode, const std::string& path, std::vector<Extent>* data = nullptr) {
    const bool directory = inode.IsDirectory();
    Owner owner;
    owner.Kind = directory ? OwnerKind::Directory : OwnerKind::File;
    owner.Name = path;
    owner.Where = "inode " + std::to_string(inode.Number);
    owner.Part = directory ? "directory" : "file";
    owner.Size = inode.Size;
    owner.HasSize = !directory;
    const uint32_t id = index_.AddOwner(std::move(owner));
    const bool any = AddForks(inode, id, path, data);
    Name(inode.Number, id, DataPlace(inode, any));
  }

  void Name(uint64_t number, uint32_t owner, RecordData data) { finder_->Named.push_back({number, owner, data}); }

  // Free extents by the free-space btrees, and blocks they leave in use that nothing
  // walked reaches (lost), AG by AG.
  bool AddFree() {
    AllocationScan scan(index_, std::move(reached_), FreeWhere::Anywhere, 0, 0, spb_);
    std::vector<uint8_t> bits;
    for (uint32_t ag = 0; ag < sb_.AgCount && ag < free_.size(); ++ag) {
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(90 + uint64_t{ag} * 10 / sb_.AgCount))) return false;
      const uint32_t length = sb_.AgLength(ag);
      bits.assign((length + 7) / 8, 0xFF);
      for (const auto& [start, count] : free_[ag]) {
        const uint64_t end = std::min<uint64_t>(uint64_t{start} + count, length);
        uint64_t b = start;
        for (; b < end && b % 8 != 0; ++b) bits[b / 8] &= static_cast<uint8_t>(~(1u << (b % 8)));
        // Whole bytes at a time between the extent's ends.
        if (b + 8 <= end) {
          std::fill(bits.begin() + static_cast<ptrdiff_t>(b / 8), bits.begin() + static_cast<ptrdiff_t>(end / 8), uint8_t{0});
          b = end / 8 * 8;
        }
        for (; b < end; ++b) bits[b / 8] &= static_cast<uint8_t>(~(1u << (b % 8)));
      }
      scan.AddBitmap(sb_.LinearBlock(ag, 0), length, bits);
    }
    scan.Finish();
    return true;
  }

  // An inode through a cache of kInodeCacheBytes of the volume: a folder's inodes mostly
  // stand together in a chunk. Nothing for an inode past its AG; zeros (no magic) where
  // its sector cannot be read.
  std::optional<Inode> ReadInode(uint64_t number) {
    const xfs::InodeAddress a = xfs::AddressOfInode(sb_, number);
    if (xfs::InodeNumber(sb_, a.Ag, a.AgBlock, a.Slot) != number) return std::nullopt;
    const std::optional<uint64_t> linear = AgLinear(a.Ag, a.AgBlock);
    if (!linear) return std::nullopt;
    const uint64_t byte = *linear * sb_.BlockBytes + uint64_t{a.Slot} * sb_.InodeBytes;
    const uint64_t chunk = byte / kInodeCacheBytes;
    if (!cached_ || *cached_ != chunk) {
      const uint64_t first = chunk * kInodeCacheBytes / sb_.SectorBytes;
      const uint64_t sectors = std::min<uint64_t>(kInodeCacheBytes / sb_.SectorBytes, index_.VolumeSectors() - first);
      cache_.assign(static_cast<size_t>(sectors * sb_.SectorBytes), 0);
      ReadSectorsForWalk(first, cache_);
      cached_ = chunk;
    }
    const uint64_t at = byte - chunk * kInodeCacheBytes;
    if (at + sb_.InodeBytes > cache_.size()) return std::nullopt;
    return xfs::ParseInode(sb_, number, std::span<const uint8_t>(cache_).subspan(static_cast<size_t>(at), sb_.InodeBytes));
  }

  const Superblock& sb_;
  const uint32_t spb_;
  OwnershipIndex& index_;
  const WalkHooks& hooks_;
  std::vector<uint8_t> block_;
  std::vector<ClusterRun> reached_;  // linear blocks of everything walked
  std::vector<std::vector<std::pair<uint32_t, uint32_t>>> free_;  // each AG's free extents
  std::unordered_set<uint64_t> taken_;    // inodes walked
  std::unordered_set<uint64_t> folders_;  // those of them that are folders
  std::shared_ptr<XfsRecordFinder> finder_ = std::make_shared<XfsRecordFinder>();
  std::vector<uint8_t> cache_;
  std::optional<uint64_t> cached_;  // the piece of kInodeCacheBytes in cache_
};

}  // namespace

bool WalkXfsOwnership(const xfs::VolumeState& state, OwnershipIndex& index, const WalkHooks& hooks, std::string* why) {
  const VolumeGeometry& g = Geometry();
  if (!state.Sb || g.BytesPerSector <= 0 || static_cast<uint32_t>(g.BytesPerSector) != state.Sb->SectorBytes) {
    *why = state.Problem.empty() ? "the volume has no XFS superblock that can be used" : state.Problem;
    return false;
  }
  const Superblock& sb = *state.Sb;
  index.Begin(sb.DataBlocks * sb.SectorsPerBlock(), sb.SectorBytes);
  XfsWalk walk(sb, index, hooks);
  if (!walk.Run()) {
    *why = "stopped";
    return false;
  }
  return true;
}

}  // namespace korvalane
