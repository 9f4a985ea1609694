#include "core/fs/ext/OwnershipExt.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/AllocationScan.h"
#include "core/fs/ext/Directory.h"
#include "core/fs/ext/ExtVolume.h"
#include "core/fs/ext/Inode.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

using ext::BlockRun;
using ext::Inode;
using ext::InodeData;
using ext::Superblock;

constexpr uint32_t kResizeInode = 7;
constexpr size_t kDoubleIndirectSlot = 13 * 4;  // i_block[13]
constexpr uint16_t kInodeUninit = 0x1;
constexpr uint16_t kBlockUninit = 0x2;
// Superblock fields of files that stand in no folder: the quota files and the orphan file
// (numbers past the reserved inodes on newer volumes), and the multiple-mount protection
// block.
constexpr size_t kMmpBlockOffset = 0x168;
constexpr size_t kUserQuotaInodeOffset = 0x240;
constexpr size_t kGroupQuotaInodeOffset = 0x244;
constexpr size_t kProjectQuotaInodeOffset = 0x26C;
constexpr size_t kOrphanFileInodeOffset = 0x280;
constexpr uint32_t kIncompatMmp = 0x100;
constexpr uint32_t kIncompatEaInode = 0x400;
constexpr uint32_t kRoCompatBigalloc = 0x200;
// A folder is read up to 256 MiB; the walk lists at most this many folders, and none whose
// path is longer than kMaxPathBytes (a chain of folders would otherwise hold paths whose
// total grows with the square of its depth).
constexpr uint64_t kMaxDirectoryBytes = uint64_t{256} << 20;
constexpr size_t kMaxDirectories = size_t{1} << 22;
constexpr size_t kMaxPathBytes = 4096;
// Inodes are read this many bytes of the volume at a time (a power of two, so that an
// inode never crosses two of them).
constexpr uint64_t kInodeChunkBytes = uint64_t{256} << 10;
// Extended attributes: a list of 16-byte entries (then the name) after the inode's extra
// fields, behind a magic number, and in the block of i_file_acl after a 32-byte header.
// With ea_inode a value too large for either stands in an inode of its own (flagged
// EA_INODE, named by no folder), whose number is the entry's e_value_inum.
constexpr uint32_t kXattrMagic = 0xEA020000;
constexpr size_t kXattrBlockHeaderBytes = 32;
constexpr size_t kXattrEntryBytes = 16;
constexpr size_t kXattrValueInode = 4;  // e_value_inum
constexpr size_t kInodeExtraIsize = 0x80;
constexpr size_t kGoodOldInodeBytes = 128;
constexpr uint32_t kFlagEaInode = 0x200000;
// At most this many distinct attribute blocks are read for their value inodes (a block
// is mostly shared by the files with the same attributes).
constexpr size_t kMaxXattrBlocks = size_t{1} << 20;
// At most this many names of deleted directory entries are kept for deleted inodes.
constexpr size_t kMaxDeletedNames = size_t{1} << 20;
// A deleted inode's map is followed through at most this many blocks: its indirect and
// extent blocks may have been given to other files since.
constexpr uint64_t kMaxDeletedMapReads = 4096;
// An inode's i_mode, i_dtime and i_links_count.
constexpr size_t kModeOffset = 0;
constexpr size_t kDeleteTimeOffset = 20;
constexpr size_t kLinksOffset = 26;
// A folder entry: inode (4), record length (2), name length and type (2), then the name.
constexpr uint64_t kEntryHeaderBytes = 8;
constexpr uint8_t kEntryDirectory = 2;  // the entry's file type for a folder

// Files that no folder names, by the superblock fields that hold their inode numbers.
constexpr std::pair<size_t, const char*> kUnlinkedFiles[] = {{kUserQuotaInodeOffset, "user quota"},
                                                             {kGroupQuotaInodeOffset, "group quota"},
                                                             {kProjectQuotaInodeOffset, "project quota"},
                                                             {kOrphanFileInodeOffset, "orphan file"}};

// Reads whole blocks as ReadBlocks does, but a read that fails is tried again sector by
// sector: a bad sector costs its own block, not the blocks beside it in the system's
// cache.
ext::BlockReader WalkBlockReader(const Superblock& sb, uint32_t sectorsPerBlock) {
  return [&sb, sectorsPerBlock](uint64_t block, std::span<uint8_t> out) {
    if (block >= sb.BlocksCount || (out.size() + sb.BlockBytes - 1) / sb.BlockBytes > sb.BlocksCount - block) return false;
    return ReadSectorsForWalk(block * sectorsPerBlock, out);
  };
}

// An inode the walk named, with the owner it made for it.
struct NamedInode {
  uint32_t Inode = 0;
  uint32_t Owner = 0;
  RecordData Data = RecordData::Elsewhere;
  bool operator<(const NamedInode& other) const { return Inode < other.Inode; }
};

// Which files' inodes stand in bytes of the volume: the group descriptors place each
// group's inode table, and the walk's names tell whose each inode is (ext names a file
// by its folder's entry, not in its inode, so a lost inode's file is still named). An
// inode no walk named that its group's inode bitmap marks in use is named as such.
struct ExtRecordFinder {
  Superblock Sb;
  std::vector<ext::GroupDescriptor> Groups;
  std::vector<NamedInode> Named;  // sorted by inode

  bool Find(const OwnershipIndex& index, uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out) {
    const std::lock_guard<std::mutex> hold(lock_);
    if (tables_.empty()) SortTables();
    const uint64_t tableBytes = uint64_t{Sb.InodesPerGroup} * Sb.InodeBytes;
    // Every table has the same length: the first that can reach `first` starts after
    // first - tableBytes.
    auto it = std::upper_bound(tables_.begin(), tables_.end(), std::pair<uint64_t, uint32_t>{first < tableBytes ? 0 : first - tableBytes, UINT32_MAX});
    if (first < tableBytes) it = tables_.begin();
    for (; it != tables_.end() && it->first < end; ++it) {
      const auto [start, group] = *it;
      const uint64_t x = std::max(first, start);
      const uint64_t y = std::min(end, start + tableBytes);
      if (x >= y) continue;
      for (uint64_t i = (x - start) / Sb.InodeBytes; i * Sb.InodeBytes < y - start; ++i) {
        const uint64_t number = uint64_t{group} * Sb.InodesPerGroup + i + 1;
        if (number > Sb.InodesCount) break;
        if (out.size() >= limit) return false;
        const uint64_t at = start + i * Sb.InodeBytes;
        std::optional<HeldRecord> record = Describe(index, static_cast<uint32_t>(number), group, static_cast<uint32_t>(i), std::max(at, x));
        if (record) out.push_back(std::move(*record));
      }
    }
    return FindEntries(index, first, end, limit, out);
  }

 private:
  std::mutex lock_;
  std::vector<std::pair<uint64_t, uint32_t>> tables_;  // each group's inode table: its first byte, the group
  std::map<uint32_t, std::vector<uint8_t>> bitmaps_;   // inode bitmaps read so far; empty: all free

  void SortTables() {
    for (uint32_t g = 0; g < Groups.size(); ++g) {
      const uint64_t table = Groups[g].InodeTable;
      if (table == 0 || table >= Sb.BlocksCount || Sb.InodeTableBlocks() > Sb.BlocksCount - table) continue;
      tables_.emplace_back(table * Sb.BlockBytes, g);
    }
    std::sort(tables_.begin(), tables_.end());
    if (tables_.empty()) tables_.emplace_back(UINT64_MAX, 0);  // asked once: nothing there
  }

  bool MarkedInUse(uint32_t group, uint32_t indexInGroup) {
    auto it = bitmaps_.find(group);
    if (it == bitmaps_.end()) {
      std::vector<uint8_t> bits;
      const ext::GroupDescriptor& d = Groups[group];
      const bool uninit = (Sb.HasGdtCsum() || Sb.HasMetadataCsum()) && (d.Flags & kInodeUninit) != 0;
      if (!uninit && d.InodeBitmap != 0 && d.InodeBitmap < Sb.BlocksCount) {
        bits.resize(Sb.BlockBytes);
        if (!ext::ReadBlocks(Sb, d.InodeBitmap, bits)) bits.clear();
      }
      it = bitmaps_.emplace(group, std::move(bits)).first;
    }
    const std::vector<uint8_t>& bits = it->second;
    return indexInGroup / 8 < bits.size() && (bits[indexInGroup / 8] >> (indexInGroup % 8) & 1u) != 0;
  }

  // The folder entries in the bytes, read again from the folders' blocks. ext keeps a
  // file's name in its folder's entry and the rest in its inode, so only the name is lost
  // with an entry; an entry that cannot be read names nothing.
  bool FindEntries(const OwnershipIndex& index, uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out) {
    const uint64_t sectorBytes = index.BytesPerSector();
    const uint64_t blockBytes = Sb.BlockBytes;
    if (sectorBytes == 0 || blockBytes < sectorBytes) return true;
    const ext::BlockReader read = WalkBlockReader(Sb, static_cast<uint32_t>(blockBytes / sectorBytes));
    std::vector<uint8_t> block(blockBytes);
    std::unordered_set<uint64_t> done;
    bool all = true;
    index.ForEachRunIn(first / sectorBytes, (end + sectorBytes - 1) / sectorBytes, [&](const OwnershipIndex::RunView& run) {
      // A folder's blocks at their place in it; its extent-tree blocks have none.
      if (!all || run.Of->Kind != OwnerKind::Directory || !run.Byte) return;
      const uint64_t runFrom = run.First * sectorBytes;
      const uint64_t x = std::max(first, runFrom);
      const uint64_t y = std::min(end, (run.First + run.Sectors) * sectorBytes);
      for (uint64_t b = x / blockBytes; b * blockBytes < y && all; ++b) {
        if (!done.insert(b).second || !read(b, block)) continue;
        for (const ext::DirectoryEntry& e : ext::ParseDirectoryBlock(Sb, block).Entries) {
          if (e.Deleted || e.Inode == 0 || e.Name == "." || e.Name == "..") continue;
          // The entry's own bytes: its header and name, not the slack after them.
          const uint64_t at = b * blockBytes + e.Offset;
          if (at + kEntryHeaderBytes + e.Name.size() <= x || at >= y) continue;
          if (out.size() >= limit) {
            all = false;
            break;
          }
          HeldRecord record;
          record.Byte = std::max(at, x);
          record.Number = *run.Byte + (at - runFrom);
          record.Record = "entry at byte " + std::to_string(record.Number);
          record.NumberKey = "directoryByte";
          record.Name = (run.Of->Name == "/" ? "" : run.Of->Name) + "/" + e.Name;
          record.NameOnly = true;
          const auto named = std::lower_bound(Named.begin(), Named.end(), NamedInode{e.Inode, 0, RecordData::Elsewhere});
          if (named != Named.end() && named->Inode == e.Inode) {
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

  std::optional<HeldRecord> Describe(const OwnershipIndex& index, uint32_t number, uint32_t group, uint32_t indexInGroup, uint64_t byte) {
    HeldRecord record;
    record.Byte = byte;
    record.Record = "inode " + std::to_string(number);
    record.NumberKey = "inode";
    record.Number = number;
    const auto named = std::lower_bound(Named.begin(), Named.end(), NamedInode{number, 0, RecordData::Elsewhere});
    if (named != Named.end() && named->Inode == number) {
      const Owner& owner = index.OwnerAt(named->Owner);
      record.Kind = owner.Kind;
      record.Name = owner.Name;
      if (owner.HasSize) record.Size = owner.Size;
      record.Data = named->Data;
      return record;
    }
    // The reserved inodes the walk did not name hold nothing.
    if (number < std::max<uint32_t>(Sb.FirstInode, 1) || !MarkedInUse(group, indexInGroup)) return std::nullopt;
    record.Kind = OwnerKind::Lost;
    record.Data = RecordData::Unknown;
    return record;
  }
};

class ExtWalk {
 public:
  ExtWalk(const Superblock& sb, const std::vector<ext::GroupDescriptor>& groups, uint32_t sectorsPerBlock,
          OwnershipIndex& index, const WalkHooks& hooks)
      : sb_(sb), groups_(groups), spb_(sectorsPerBlock), index_(index), hooks_(hooks), read_(WalkBlockReader(sb, sectorsPerBlock)) {}

  bool Run() {
    finder_->Sb = sb_;
    finder_->Groups = groups_;
    finder_->Named.reserve(static_cast<size_t>(std::min<uint64_t>(sb_.InodesCount - std::min(sb_.FreeInodes, sb_.InodesCount), 1u << 24)));
    const uint64_t at = sb_.BlockBytes == 1024 ? 1 : 0;
    std::vector<uint8_t> block(sb_.BlockBytes);
    if (read_(at, block)) {
      const size_t from = sb_.BlockBytes == 1024 ? 0 : 1024;
      superblock_.assign(block.begin() + static_cast<ptrdiff_t>(from), block.begin() + static_cast<ptrdiff_t>(from + 1024));
    }
    AddGroupMetadata();
    AddReservedInodes();
    if (!WalkTree() || !AddDeletedInodes()) return false;
    std::sort(finder_->Named.begin(), finder_->Named.end());
    index_.SetRecordFinder([finder = finder_](const OwnershipIndex& index, uint64_t first, uint64_t end, size_t limit,
                                              std::vector<HeldRecord>& out) { return finder->Find(index, first, end, limit, out); });
    return AddFree();
  }

 private:
  uint32_t Metadata(std::string name, std::string where = {}, std::string part = {}, MetadataClass what = MetadataClass::Other) {
    Owner owner;
    owner.Kind = OwnerKind::Metadata;
    owner.Area = what;
    owner.Name = std::move(name);
    owner.Where = std::move(where);
    owner.Part = std::move(part);
    return index_.AddOwner(std::move(owner));
  }

  // Blocks [first, first + count) for `owner`, cut to the volume; metadata runs are kept
  // to tell a group's metadata from its free blocks where its bitmap is not initialised.
  void Blocks(uint64_t first, uint64_t count, uint32_t owner, std::optional<uint64_t> byte = std::nullopt, bool metadata = false) {
    if (first >= sb_.BlocksCount || count == 0) return;
    count = std::min(count, sb_.BlocksCount - first);
    index_.AddRun(first * spb_, count * spb_, owner, byte);
    reached_.push_back({first, count});
    if (metadata) meta_.push_back({first, first + count});
  }

  void AddGroupMetadata() {
    const uint32_t perBlock = sb_.BlockBytes / sb_.DescriptorBytes;
    const bool metaBg = (sb_.Incompat & ext::kIncompatMetaBg) != 0;
    const uint64_t tableBlocks = (uint64_t{sb_.Groups} + perBlock - 1) / perBlock;
    // Without meta_bg the whole descriptor table follows each superblock copy; with it,
    // only the blocks before FirstMetaBg do, and the rest stand in their meta groups.
    const uint64_t followBlocks = metaBg ? std::min<uint64_t>(sb_.FirstMetaBg, tableBlocks) : tableBlocks;
    if (sb_.FirstDataBlock == 1) Blocks(0, 1, Metadata("boot block", {}, {}, MetadataClass::Boot), std::nullopt, true);
    for (uint32_t g = 0; g < sb_.Groups; ++g) {
      const std::string group = "group " + std::to_string(g);
      if (sb_.GroupHasSuperblock(g)) {
        const uint64_t at = g == 0 ? sb_.FirstDataBlock : sb_.GroupFirstBlock(g);
        const std::string copy = g == 0 ? "" : " backup (" + group + ")";
        Blocks(at, 1, Metadata("superblock" + copy, {}, {}, MetadataClass::Boot), std::nullopt, true);
        Blocks(at + 1, followBlocks, Metadata("group descriptors" + copy, {}, {}, MetadataClass::Boot), std::nullopt, true);
        Blocks(at + 1 + followBlocks, sb_.ReservedGdtBlocks, Metadata("reserved GDT blocks" + copy, {}, {}, MetadataClass::Boot), std::nullopt, true);
      }
      if (metaBg && g / perBlock >= sb_.FirstMetaBg) {
        // A meta group's descriptor block, in its first group, with copies in the second
        // and the last.
        const uint32_t first = g / perBlock * perBlock;
        if (g == first || g == first + 1 || g == first + perBlock - 1) {
          const std::string copy = g == first ? "" : " backup (" + group + ")";
          Blocks(sb_.GroupFirstBlock(g) + (sb_.GroupHasSuperblock(g) ? 1 : 0), 1, Metadata("group descriptors" + copy, {}, {}, MetadataClass::Boot),
                 std::nullopt, true);
        }
      }
      if (g >= groups_.size()) continue;
      const ext::GroupDescriptor& d = groups_[g];
      Blocks(d.BlockBitmap, 1, Metadata("block bitmap (" + group + ")", {}, {}, MetadataClass::Table), std::nullopt, true);
      Blocks(d.InodeBitmap, 1, Metadata("inode bitmap (" + group + ")", {}, {}, MetadataClass::Table), std::nullopt, true);
      const uint64_t firstInode = uint64_t{g} * sb_.InodesPerGroup + 1;
      Blocks(d.InodeTable, sb_.InodeTableBlocks(),
             Metadata("inode table (" + group + ", inodes " + std::to_string(firstInode) + "-" +
                      std::to_string(firstInode + sb_.InodesPerGroup - 1) + ")",
                      {}, {}, MetadataClass::Records),
             std::nullopt, true);
    }
  }

  // Adds the blocks of an inode's map: data runs at their byte in the file, the blocks of
  // its map (extent-tree index blocks, indirect blocks) and its extended attribute block
  // without one.
  void AddMap(const Inode& inode, const InodeData& data, uint32_t owner, const std::string& name, bool metadata = false) {
    for (const ext::Extent& e : data.Extents) {
      Blocks(e.Physical, e.Count, owner, uint64_t{e.Logical} * sb_.BlockBytes, metadata);
    }
    for (const BlockRun& r : data.Runs) Blocks(r.Physical, r.Count, owner, r.Logical * sb_.BlockBytes, metadata);
    for (const uint64_t b : data.IndexBlocks) Blocks(b, 1, owner, std::nullopt, metadata);
    for (const BlockRun& r : data.IndirectRuns) Blocks(r.Physical, r.Count, owner, std::nullopt, metadata);
    if (inode.FileAcl != 0) Blocks(inode.FileAcl, 1, owner, std::nullopt, metadata);
    for (const std::string& problem : data.Problems) index_.AddProblem(name + ": " + problem);
  }

  // The journal, and whatever other reserved inode holds blocks (bad blocks, quota,
  // the boot loader), by their inodes; the resize inode by its double indirect block, the
  // reserved descriptor blocks it lists being named above.
  void AddReservedInodes() {
    const uint32_t last = std::min(std::max<uint32_t>(sb_.FirstInode, 1) - 1, std::min<uint32_t>(sb_.InodesCount, 64));
    for (uint32_t number = 1; number <= last; ++number) {
      if (number == ext::kRootInode) continue;
      const std::optional<Inode> inode = ReadInode(number);
      if (!inode || inode->Unused()) continue;
      if (number == kResizeInode) {
        const uint32_t doubleIndirect = ReadLe32(inode->BlockArea, kDoubleIndirectSlot);
        if ((inode->Flags & ext::kFlagExtents) != 0 || doubleIndirect == 0) continue;
        const uint32_t owner = Metadata("resize inode", "inode 7", {}, MetadataClass::Boot);
        Blocks(doubleIndirect, 1, owner, std::nullopt, true);
        Name(number, owner, RecordData::Elsewhere);
        continue;
      }
      std::string name = number == sb_.JournalInode ? "journal" : "reserved inode " + std::to_string(number);
      for (const auto& [offset, file] : kUnlinkedFiles) {
        if (number != sb_.JournalInode && ReadLe32(superblock_, offset) == number) name = file;
      }
      const InodeData data = ext::MapInode(sb_, *inode, read_);
      const uint32_t owner = Metadata(name, "inode " + std::to_string(number), "file",
                                      number == sb_.JournalInode ? MetadataClass::Journal : MetadataClass::Other);
      AddMap(*inode, data, owner, name, true);
      Name(number, owner, DataPlace(*inode, data));
      taken_.insert(number);
    }
    AddUnlinkedMetadata();
  }

  // What the superblock alone points at: quota and orphan files that no folder names,
  // and the multiple-mount protection block. Without them their blocks, in use by the
  // bitmaps, would seem lost.
  void AddUnlinkedMetadata() {
    if (superblock_.empty()) return;
    if ((sb_.Incompat & kIncompatMmp) != 0) {
      Blocks(ReadLe64(superblock_, kMmpBlockOffset), 1, Metadata("multiple-mount protection block"), std::nullopt, true);
    }
    for (const auto& [offset, name] : kUnlinkedFiles) {
      const uint32_t number = ReadLe32(superblock_, offset);
      if (number == 0 || number > sb_.InodesCount || number == ext::kRootInode || !taken_.insert(number).second) continue;
      const std::optional<Inode> inode = ReadInode(number);
      if (!inode || inode->Unused()) continue;
      const InodeData data = ext::MapInode(sb_, *inode, read_);
      const uint32_t owner = Metadata(name, "inode " + std::to_string(number), "file");
      AddMap(*inode, data, owner, name, true);
      Name(number, owner, DataPlace(*inode, data));
    }
  }

  bool WalkTree() {
    struct Pending {
      uint32_t Inode;
      std::string Path;
    };
    std::vector<Pending> pending = {{ext::kRootInode, "/"}};
    taken_.insert(ext::kRootInode);
    folders_.insert(ext::kRootInode);
    const uint64_t inUse = std::max<uint64_t>(1, sb_.InodesCount - std::min<uint64_t>(sb_.FreeInodes, sb_.InodesCount));
    size_t listed = 0;
    std::vector<uint8_t> block(sb_.BlockBytes);
    while (!pending.empty()) {
      const Pending dir = std::move(pending.back());
      pending.pop_back();
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(std::min<uint64_t>(79, taken_.size() * 80 / inUse)))) return false;
      const std::optional<Inode> inode = ReadInode(dir.Inode);
      if (!inode || inode->Unused()) {
        index_.AddProblem("the folder " + dir.Path + " (inode " + std::to_string(dir.Inode) + ") cannot be read");
        continue;
      }
      const InodeData data = AddFile(*inode, dir.Path);
      if (++listed > kMaxDirectories) {
        index_.AddProblem("more than " + std::to_string(kMaxDirectories) + " folders: the rest are not listed");
        break;
      }
      const auto visit = [&](const ext::DirectoryBlock& entries) {
        for (const ext::DirectoryEntry& e : entries.Entries) {
          if (e.Inode == 0 || e.Name == "." || e.Name == "..") continue;
          const std::string path = (dir.Path == "/" ? "/" : dir.Path + "/") + e.Name;
          if (e.Deleted) {
            // A deleted entry keeps the name and the number of the inode it gave; the first
            // such name of an inode is kept for it.
            if (path.size() <= kMaxPathBytes && deletedNames_.size() < kMaxDeletedNames) deletedNames_.emplace(e.Inode, path);
            continue;
          }
          if (path.size() > kMaxPathBytes) {
            index_.AddProblem("a path longer than " + std::to_string(kMaxPathBytes) + " bytes below " +
                              dir.Path.substr(0, 200) + "...: not followed");
            continue;
          }
          // Each inode once: a second name of a file (a hard link) is not walked twice; a
          // folder met again (ext gives a folder one name, so this is a loop or a
          // cross-link) is named and not followed.
          if (!taken_.insert(e.Inode).second) {
            if (folders_.contains(e.Inode)) {
              index_.AddProblem("the folder of inode " + std::to_string(e.Inode) + " is met again as " + path + ": not followed");
            }
            continue;
          }
          const std::optional<Inode> child = ReadInode(e.Inode);
          if (!child || child->Unused()) {
            AddUnreadable(e, path);
            continue;
          }
          if (child->Type() == ext::kTypeDirectory) {
            folders_.insert(e.Inode);
            pending.push_back({e.Inode, path});
          } else {
            AddFile(*child, path);
          }
        }
      };
      if (data.Kind == ext::DataKind::Inline) {
        const std::vector<uint8_t> bytes(data.InlineBytes.begin(), data.InlineBytes.end());
        visit(ext::ParseInlineDirectory(sb_, bytes, inode->BlockArea.size()));
        continue;
      }
      uint64_t readBytes = 0;
      const auto readRun = [&](uint64_t physical, uint64_t count) {
        for (uint64_t i = 0; i < count && readBytes < kMaxDirectoryBytes; ++i, readBytes += sb_.BlockBytes) {
          if (physical + i >= sb_.BlocksCount || !read_(physical + i, block)) return;
          visit(ext::ParseDirectoryBlock(sb_, block));
        }
      };
      for (const ext::Extent& e : data.Extents) {
        if (!e.Uninitialised) readRun(e.Physical, e.Count);
      }
      for (const BlockRun& r : data.Runs) readRun(r.Physical, r.Count);
    }
    return true;
  }

  // A folder entry whose inode cannot be read, or holds zeros (a rescued copy has zeros
  // where the disk failed): its file keeps its name, by the entry, for the records in
  // the lost bytes; nothing is known of its blocks.
  void AddUnreadable(const ext::DirectoryEntry& e, const std::string& path) {
    if (e.Inode > sb_.InodesCount) return;
    Owner owner;
    owner.Kind = e.FileType == kEntryDirectory ? OwnerKind::Directory : OwnerKind::File;
    owner.Name = path;
    owner.Where = "inode " + std::to_string(e.Inode);
    owner.Part = owner.Kind == OwnerKind::Directory ? "directory" : "file";
    Name(e.Inode, index_.AddOwner(std::move(owner)), RecordData::Unknown);
  }

  // A file's or folder's owner and blocks; its map, for a folder to be listed.
  InodeData AddFile(const Inode& inode, const std::string& path) {
    const bool directory = inode.Type() == ext::kTypeDirectory;
    Owner owner;
    owner.Kind = directory ? OwnerKind::Directory : OwnerKind::File;
    owner.Name = path;
    owner.Where = "inode " + std::to_string(inode.Number);
    owner.Part = directory ? "directory" : "file";
    owner.Size = inode.Size;
    owner.HasSize = !directory;
    InodeData data = ext::MapInode(sb_, inode, read_);
    // Every file gets its owner, blocks or none: a file without blocks is still named
    // where its inode is lost.
    const uint32_t id = index_.AddOwner(std::move(owner));
    AddMap(inode, data, id, path);
    Name(inode.Number, id, DataPlace(inode, data));
    if ((sb_.Incompat & kIncompatEaInode) != 0) AddValueInodes(inode);
    return data;
  }

  // The inodes that hold the values of a file's extended attributes, by the entries in
  // the inode and in its attribute block. A value inode shared by several files (the
  // same value) is named by the first of them the walk meets.
  void AddValueInodes(const Inode& inode) {
    std::vector<uint32_t> values;
    const std::span<const uint8_t> raw = RawInode(inode.Number);
    const size_t inInode = kGoodOldInodeBytes + ReadLe16(raw, kInodeExtraIsize);
    if (raw.size() > kGoodOldInodeBytes && inInode + 4 <= raw.size() && ReadLe32(raw, inInode) == kXattrMagic) {
      ValueInodes(raw.subspan(inInode + 4), values);
    }
    if (inode.FileAcl != 0 && inode.FileAcl < sb_.BlocksCount && xattrBlocks_.size() < kMaxXattrBlocks &&
        xattrBlocks_.insert(inode.FileAcl).second) {
      std::vector<uint8_t> block(sb_.BlockBytes);
      if (read_(inode.FileAcl, block) && ReadLe32(block, 0) == kXattrMagic) {
        ValueInodes(std::span<const uint8_t>(block).subspan(kXattrBlockHeaderBytes), values);
      }
    }
    for (const uint32_t number : values) {
      if (number == 0 || number > sb_.InodesCount || taken_.contains(number)) continue;
      const std::optional<Inode> value = ReadInode(number);
      if (!value || value->Unused() || (value->Flags & kFlagEaInode) == 0) continue;
      taken_.insert(number);
      const std::string name = "extended attribute value of inode " + std::to_string(inode.Number);
      const InodeData data = ext::MapInode(sb_, *value, read_);
      const uint32_t owner = Metadata(name, "inode " + std::to_string(number), "value");
      AddMap(*value, data, owner, name);
      Name(number, owner, DataPlace(*value, data));
    }
  }

  // The e_value_inum of each entry of an attribute list, up to its end (four zero bytes)
  // or the end of `entries`.
  static void ValueInodes(std::span<const uint8_t> entries, std::vector<uint32_t>& out) {
    size_t at = 0;
    while (Fits(entries, at, kXattrEntryBytes) && ReadLe32(entries, at) != 0) {
      const uint32_t number = ReadLe32(entries, at + kXattrValueInode);
      if (number != 0) out.push_back(number);
      at += (kXattrEntryBytes + entries[at] + 3) / 4 * 4;
    }
  }

  // Keeps the owner the walk made for an inode, to name its file where the inode is lost.
  void Name(uint32_t number, uint32_t owner, RecordData data) { finder_->Named.push_back({number, owner, data}); }

  static RecordData DataPlace(const Inode& inode, const InodeData& data) {
    if (!data.Extents.empty() || !data.Runs.empty()) return RecordData::Elsewhere;
    if (data.Kind == ext::DataKind::Inline || data.Kind == ext::DataKind::FastSymlink) {
      return inode.Size == 0 ? RecordData::None : RecordData::InRecord;
    }
    return RecordData::None;
  }

  // Inodes out of use whose block map or extents still point at blocks: e2fsprogs' rm and
  // kill_file leave them so, where the kernel's truncation clears them (then there is
  // nothing to name). Their blocks are named as the deleted file's, with the name a
  // deleted folder entry still gives the inode. With uninit_bg or metadata_csum, every
  // inode a group has used is read (bg_itable_unused says how many); without, only the
  // parts of the inode tables that hold a file the walk reached or an inode a deleted
  // entry names (the tables of a large ext3 volume are gigabytes, mostly never used). The
  // map is followed only through blocks no file in use reaches: an indirect or extent
  // block given to another file since holds that file's bytes, not pointers.
  bool AddDeletedInodes() {
    // Sorted in place: the allocation scan takes them sorted.
    std::sort(reached_.begin(), reached_.end(), [](const ClusterRun& a, const ClusterRun& b) { return a.First < b.First; });
    std::vector<ClusterRun> merged;
    for (const ClusterRun& run : reached_) {
      if (!merged.empty() && run.First <= merged.back().First + merged.back().Count) {
        merged.back().Count = std::max(merged.back().Count, run.First + run.Count - merged.back().First);
      } else {
        merged.push_back(run);
      }
    }
    const auto inUse = [&](uint64_t block, uint64_t count) {
      auto it = std::upper_bound(merged.begin(), merged.end(), block, [](uint64_t b, const ClusterRun& run) { return b < run.First; });
      if (it != merged.begin() && std::prev(it)->First + std::prev(it)->Count > block) return true;
      return it != merged.end() && it->First < block + count;
    };
    const ext::BlockReader readUnused = [&](uint64_t block, std::span<uint8_t> out) {
      return !inUse(block, std::max<uint64_t>(1, out.size() / sb_.BlockBytes)) && read_(block, out);
    };
    const bool csum = sb_.HasGdtCsum() || sb_.HasMetadataCsum();
    for (const auto& [number, path] : deletedNames_) {
      const ext::InodePlace place = ext::LocateInodeByte(sb_, groups_, number);
      if (place.Byte) touched_.insert(*place.Byte / kInodeChunkBytes);
    }
    const uint64_t sectorBytes = index_.BytesPerSector();
    std::vector<uint8_t> chunk;
    for (uint32_t g = 0; g < groups_.size(); ++g) {
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(80 + uint64_t{g} * 10 / groups_.size()))) return false;
      const ext::GroupDescriptor& d = groups_[g];
      if (csum && (d.Flags & kInodeUninit) != 0) continue;
      if (d.InodeTable == 0 || d.InodeTable >= sb_.BlocksCount || sb_.InodeTableBlocks() > sb_.BlocksCount - d.InodeTable) continue;
      const uint64_t used = sb_.InodesPerGroup - (csum ? std::min(d.ItableUnused, sb_.InodesPerGroup) : 0);
      const uint64_t tableByte = d.InodeTable * sb_.BlockBytes;
      const uint64_t perChunk = kInodeChunkBytes / sb_.InodeBytes;
      for (uint64_t i = 0; i < used; i += perChunk) {
        const uint64_t count = std::min(perChunk, used - i);
        if (!csum && !Touched(tableByte + i * sb_.InodeBytes, tableByte + (i + count) * sb_.InodeBytes)) continue;
        chunk.assign(static_cast<size_t>((count * sb_.InodeBytes + sectorBytes - 1) / sectorBytes * sectorBytes), 0);
        ReadSectorsForWalk((tableByte + i * sb_.InodeBytes) / sectorBytes, chunk);
        for (uint64_t k = 0; k < count; ++k) {
          const uint64_t number = uint64_t{g} * sb_.InodesPerGroup + i + k + 1;
          if (number > sb_.InodesCount) return true;
          const std::span<const uint8_t> raw = std::span<const uint8_t>(chunk).subspan(static_cast<size_t>(k * sb_.InodeBytes), sb_.InodeBytes);
          // Only an inode without links that has a mode or a deletion time was deleted:
          // most inodes are told by those three fields alone.
          if (ReadLe16(raw, kLinksOffset) != 0 || (ReadLe16(raw, kModeOffset) == 0 && ReadLe32(raw, kDeleteTimeOffset) == 0)) continue;
          if (number < sb_.FirstInode || taken_.contains(static_cast<uint32_t>(number))) continue;
          const Inode inode = ext::ParseInode(sb_, static_cast<uint32_t>(number), raw);
          if (!inode.Deleted()) continue;
          const InodeData data = ext::MapInode(sb_, inode, readUnused, kMaxDeletedMapReads);
          if (data.Extents.empty() && data.Runs.empty()) continue;
          AddDeleted(inode, data);
        }
      }
    }
    return true;
  }

  // Whether the walk read any inode of volume bytes [from, to) (or a deleted entry names one).
  bool Touched(uint64_t from, uint64_t to) const {
    for (uint64_t c = from / kInodeChunkBytes; c <= (to - 1) / kInodeChunkBytes; ++c) {
      if (touched_.contains(c)) return true;
    }
    return false;
  }

  void AddDeleted(const Inode& inode, const InodeData& data) {
    const bool directory = inode.Type() == ext::kTypeDirectory;
    Owner owner;
    owner.Kind = OwnerKind::Deleted;
    const auto name = deletedNames_.find(inode.Number);
    owner.Name = name != deletedNames_.end() ? name->second : "/$OrphanFiles/inode " + std::to_string(inode.Number);
    owner.Where = "deleted, inode " + std::to_string(inode.Number);
    owner.Part = directory ? "directory" : "file";
    owner.Size = inode.Size;
    owner.HasSize = !directory;
    const uint32_t id = index_.AddOwner(std::move(owner));
    // Not among the blocks reached: what the bitmaps mark in use and only a deleted file
    // points at is still lost.
    const auto add = [&](uint64_t first, uint64_t count, std::optional<uint64_t> byte) {
      if (first >= sb_.BlocksCount || count == 0) return;
      index_.AddRun(first * spb_, std::min(count, sb_.BlocksCount - first) * spb_, id, byte);
    };
    for (const ext::Extent& e : data.Extents) add(e.Physical, e.Count, uint64_t{e.Logical} * sb_.BlockBytes);
    for (const BlockRun& r : data.Runs) add(r.Physical, r.Count, r.Logical * sb_.BlockBytes);
    for (const uint64_t b : data.IndexBlocks) add(b, 1, std::nullopt);
    for (const BlockRun& r : data.IndirectRuns) add(r.Physical, r.Count, std::nullopt);
    Name(inode.Number, id, DataPlace(inode, data));
  }

  // Free blocks by each group's block bitmap, and blocks it marks in use that nothing
  // walked reaches (lost), in runs. A group marked BLOCK_UNINIT has no bitmap on disk:
  // all its blocks are free but the metadata standing in it.
  bool AddFree() {
    // With bigalloc a bit stands for a cluster of blocks, which this walk does not map:
    // nothing is called lost there.
    if ((sb_.RoCompat & kRoCompatBigalloc) != 0) reached_.push_back({0, sb_.BlocksCount});
    AllocationScan scan(index_, std::move(reached_), FreeWhere::Anywhere, 0, 0, spb_);
    // Sorted and merged, so that the run before a group's first block is the only one
    // that can reach into the group from before it.
    std::sort(meta_.begin(), meta_.end());
    std::vector<std::pair<uint64_t, uint64_t>> merged;
    for (const auto& run : meta_) {
      if (!merged.empty() && run.first <= merged.back().second) {
        merged.back().second = std::max(merged.back().second, run.second);
      } else {
        merged.push_back(run);
      }
    }
    meta_ = std::move(merged);
    std::vector<uint8_t> bits(sb_.BlockBytes);
    for (uint32_t g = 0; g < groups_.size(); ++g) {
      if (hooks_.Progress && hooks_.Progress(static_cast<int32_t>(90 + uint64_t{g} * 10 / groups_.size()))) return false;
      const uint64_t first = sb_.GroupFirstBlock(g);
      if (first >= sb_.BlocksCount) break;
      const uint64_t count = std::min<uint64_t>(sb_.BlocksPerGroup, sb_.BlocksCount - first);
      const bool uninit = sb_.HasGdtCsum() || sb_.HasMetadataCsum() ? (groups_[g].Flags & kBlockUninit) != 0 : false;
      if (uninit) {
        std::fill(bits.begin(), bits.end(), 0);
        auto it = std::upper_bound(meta_.begin(), meta_.end(), std::pair<uint64_t, uint64_t>{first, UINT64_MAX});
        if (it != meta_.begin()) --it;
        for (; it != meta_.end() && it->first < first + count; ++it) {
          for (uint64_t b = std::max(it->first, first); b < std::min(it->second, first + count); ++b) {
            bits[(b - first) / 8] |= static_cast<uint8_t>(1u << ((b - first) % 8));
          }
        }
      } else if (!read_(groups_[g].BlockBitmap, bits)) {
        index_.AddProblem("the block bitmap of group " + std::to_string(g) + " cannot be read");
        continue;
      }
      scan.AddBitmap(first, count, bits);
    }
    scan.Finish();
    return true;
  }

  // An inode through a cache of 256 KiB of the volume: the inodes of one folder mostly
  // stand together in a table, and one read of the platform per inode costs more than
  // the walk. Nothing for an inode in a sector that cannot be read.
  std::optional<Inode> ReadInode(uint32_t number) {
    const std::span<const uint8_t> raw = RawInode(number);
    if (raw.empty()) return std::nullopt;
    return ext::ParseInode(sb_, number, raw);
  }

  // The inode's bytes in the cache (valid until the next inode is read); empty where it
  // stands outside the volume or in a sector that cannot be read.
  std::span<const uint8_t> RawInode(uint32_t number) {
    const ext::InodePlace place = ext::LocateInodeByte(sb_, groups_, number);
    if (!place.Byte) return {};
    const uint64_t sectorBytes = index_.BytesPerSector();
    const uint64_t chunk = *place.Byte / kInodeChunkBytes;
    if (!cached_ || *cached_ != chunk) {
      cached_.reset();
      const uint64_t first = chunk * kInodeChunkBytes / sectorBytes;
      if (first >= index_.VolumeSectors()) return {};
      const uint64_t sectors = std::min<uint64_t>(kInodeChunkBytes / sectorBytes, index_.VolumeSectors() - first);
      chunkBytes_.assign(static_cast<size_t>(sectors * sectorBytes), 0);
      unreadable_.clear();
      touched_.insert(chunk);
      if (!ReadSectors(first, chunkBytes_)) {
        // Sector by sector past the cache: only the inodes of a bad sector are lost.
        unreadable_.assign(static_cast<size_t>(sectors), false);
        for (uint64_t i = 0; i < sectors; ++i) {
          const std::span<uint8_t> sector = std::span<uint8_t>(chunkBytes_).subspan(static_cast<size_t>(i * sectorBytes), sectorBytes);
          unreadable_[static_cast<size_t>(i)] = !ReadSectorsDirect(first + i, sector);
        }
      }
      cached_ = chunk;
    }
    const uint64_t at = *place.Byte - chunk * kInodeChunkBytes;
    if (at + sb_.InodeBytes > chunkBytes_.size()) return {};
    for (uint64_t s = at / sectorBytes; s <= (at + sb_.InodeBytes - 1) / sectorBytes && !unreadable_.empty(); ++s) {
      if (unreadable_[static_cast<size_t>(s)]) return {};
    }
    return std::span<const uint8_t>(chunkBytes_).subspan(static_cast<size_t>(at), sb_.InodeBytes);
  }

  const Superblock& sb_;
  const std::vector<ext::GroupDescriptor>& groups_;
  const uint32_t spb_;
  OwnershipIndex& index_;
  const WalkHooks& hooks_;
  const ext::BlockReader read_;
  std::vector<std::pair<uint64_t, uint64_t>> meta_;  // metadata blocks [first, end)
  std::vector<ClusterRun> reached_;                   // blocks of everything walked
  std::unordered_set<uint32_t> taken_;                // inodes walked
  std::unordered_set<uint32_t> folders_;              // those of them that are folders
  std::unordered_set<uint64_t> xattrBlocks_;          // attribute blocks read for value inodes
  std::vector<uint8_t> superblock_;                   // its 1024 bytes; empty if unreadable
  std::unordered_map<uint32_t, std::string> deletedNames_;  // deleted folder entries' inodes and paths
  std::shared_ptr<ExtRecordFinder> finder_ = std::make_shared<ExtRecordFinder>();
  std::vector<uint8_t> chunkBytes_;
  std::vector<bool> unreadable_;    // its sectors that cannot be read; empty when all can
  std::unordered_set<uint64_t> touched_;  // the chunks the walk read inodes from
  std::optional<uint64_t> cached_;  // the chunk of kInodeChunkBytes in chunkBytes_
};

}  // namespace

bool WalkExtOwnership(const ext::VolumeState& state, OwnershipIndex& index, const WalkHooks& hooks, std::string* why) {
  const VolumeGeometry& g = Geometry();
  const std::optional<Superblock>& sb = state.Sb;
  if (!sb || g.BytesPerSector <= 0) {
    *why = state.Problem.empty() ? "the volume has no ext superblock that can be read" : state.Problem;
    return false;
  }
  const uint32_t sectorsPerBlock = sb->BlockBytes / static_cast<uint32_t>(g.BytesPerSector);
  if (sectorsPerBlock == 0) {
    *why = "the blocks are smaller than the sectors";
    return false;
  }
  const ext::DescriptorTable table = ext::ReadCurrentDescriptors(*sb);
  if (table.Groups.empty()) {
    *why = table.Problem.empty() ? "the group descriptors cannot be read" : table.Problem;
    return false;
  }
  index.Begin(sb->BlocksCount * sectorsPerBlock, static_cast<uint32_t>(g.BytesPerSector));
  if (!table.Problem.empty()) index.AddProblem(table.Problem);
  ExtWalk walk(*sb, table.Groups, sectorsPerBlock, index, hooks);
  if (!walk.Run()) {
    *why = "stopped";
    return false;
  }
  return true;
}

}  // namespace korvalane
