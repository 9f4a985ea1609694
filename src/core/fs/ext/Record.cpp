#include "core/fs/ext/Record.h"

#include <algorithm>

#include "core/fs/ext/ExtVolume.h"
#include "core/text/IsoTime.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::ext {
namespace {

constexpr char16_t kNotARecord[] = u"This sector does not contain information about a file records";
// A directory block's owner is looked for among at most this many inodes, reading at most
// this many extent-tree and indirect blocks of theirs in all.
constexpr uint64_t kOwnerSearchInodes = 1u << 16;
constexpr uint64_t kOwnerSearchMapReads = 1u << 14;
constexpr uint16_t kGroupInodesUninit = 0x1;

std::u16string Hex(uint32_t value, int digits) { return u"0x" + HexUpper(value, digits); }

std::u16string ChecksumLine(const Checksum& c, int digits) {
  if (c.Ok()) return u"Checksum - " + Hex(c.Stored, digits) + u", verified";
  return u"Checksum - mismatch: stored " + Hex(c.Stored, digits) + u", computed " + Hex(c.Computed, digits);
}

std::u16string Octal(uint32_t value) {
  std::u16string text;
  do {
    text.insert(text.begin(), static_cast<char16_t>(u'0' + value % 8));
    value /= 8;
  } while (value != 0);
  return u"0" + text;
}

// How many inodes from the start of a group's table are initialised: none where the group
// says its inodes are not, all but the unused tail where group checksums make that count
// trustworthy (mke2fs with lazy initialisation leaves old bytes there).
uint64_t InitialisedInodes(const Superblock& sb, const GroupDescriptor& gd) {
  if (!sb.HasGdtCsum() && !sb.HasMetadataCsum()) return sb.InodesPerGroup;
  if ((gd.Flags & kGroupInodesUninit) != 0) return 0;
  return gd.ItableUnused <= sb.InodesPerGroup ? sb.InodesPerGroup - gd.ItableUnused : sb.InodesPerGroup;
}

// The group whose inode table holds `block`, with the table's first block.
std::optional<uint32_t> InodeTableGroup(const Superblock& sb, const std::vector<GroupDescriptor>& groups, uint64_t block) {
  const uint32_t tableBlocks = sb.InodeTableBlocks();
  for (uint32_t i = 0; i < groups.size(); ++i) {
    if (block >= groups[i].InodeTable && block - groups[i].InodeTable < tableBlocks) return i;
  }
  return std::nullopt;
}

// The directory inode whose map holds `block`: "." of the block where it starts a
// directory, otherwise a bounded search through the inode tables.
std::optional<Inode> FindOwner(const Superblock& sb, const std::vector<GroupDescriptor>& groups, uint64_t block,
                               const DirectoryBlock& dir, const MessagePump& pump) {
  if (!dir.Entries.empty() && dir.Entries[0].Name == "." && !dir.Entries[0].Deleted) {
    if (auto inode = ReadInode(sb, groups, dir.Entries[0].Inode)) return inode;
  }
  const BlockReader read = CurrentBlockReader(sb);
  uint64_t mapReads = 0;
  const BlockReader counted = [&](uint64_t block, std::span<uint8_t> out) {
    ++mapReads;
    return read(block, out);
  };
  const uint32_t tableBlocks = sb.InodeTableBlocks();
  const uint32_t perBlock = sb.BlockBytes / sb.InodeBytes;
  uint64_t examined = 0;
  std::vector<uint8_t> table;
  for (uint32_t group = 0; group < groups.size() && examined < kOwnerSearchInodes && mapReads < kOwnerSearchMapReads; ++group) {
    if (!pump()) return std::nullopt;
    const uint64_t used = InitialisedInodes(sb, groups[group]);
    const GroupDescriptor& gd = groups[group];
    const uint64_t blocks = std::min<uint64_t>((used + perBlock - 1) / perBlock, tableBlocks);
    if (blocks == 0) continue;
    table.assign(blocks * sb.BlockBytes, 0);
    if (!read(gd.InodeTable, table)) continue;
    for (uint64_t i = 0; i < used && examined < kOwnerSearchInodes; ++i, ++examined) {
      const auto bytes = std::span<const uint8_t>(table).subspan(i * sb.InodeBytes, sb.InodeBytes);
      if ((bytes[1] & 0xF0) != (kTypeDirectory >> 8)) continue;
      const auto number = static_cast<uint32_t>(uint64_t{group} * sb.InodesPerGroup + i + 1);
      Inode inode = ParseInode(sb, number, bytes);
      if (inode.Links == 0) continue;
      if (mapReads >= kOwnerSearchMapReads) return std::nullopt;
      if (MapHolds(MapInode(sb, inode, counted, kOwnerSearchMapReads - mapReads), block)) return inode;
    }
  }
  return std::nullopt;
}

std::u16string EntryLine(const DirectoryEntry& e) {
  return u"Inode " + Decimal(e.Inode) + u", " + Ascii(EntryTypeName(e.FileType)) + u", " + Decimal(e.RecordBytes) + u" b" +
         (e.Deleted ? u", deleted" : u"") + u": " + FromUtf8(e.Name);
}

void AppendEntryLines(const std::vector<DirectoryEntry>& entries, ViewText& view, std::vector<size_t>* deletedLines) {
  for (const DirectoryEntry& e : entries) {
    if (e.Deleted && deletedLines != nullptr) deletedLines->push_back(view.size());
    view.push_back(EntryLine(e));
  }
}

std::u16string RunLine(uint64_t start, uint64_t count) { return Decimal(start) + u" - " + Decimal(count); }

Json TimeJson(const InodeTime& t) { return InodeTimeIso8601(t); }

std::string DirectoryKindName(DirectoryKind kind) {
  switch (kind) {
    case DirectoryKind::HtreeRoot: return "htree root";
    case DirectoryKind::HtreeNode: return "htree node";
    default: return "linear";
  }
}

}  // namespace

RecordView ReadRecord(const VolumeState& state, uint64_t sector, const MessagePump& pump) {
  RecordView view;
  if (!state.Sb) {
    view.Problem = state.Problem.empty() ? "no ext superblock has been read" : state.Problem;
    return view;
  }
  const Superblock& sb = *state.Sb;
  const VolumeGeometry& g = Geometry();
  if (g.BytesPerSector <= 0) return view;
  const auto sectorBytes = static_cast<uint64_t>(g.BytesPerSector);
  const uint64_t sectorsPerBlock = sb.BlockBytes / sectorBytes;
  if (sectorsPerBlock == 0 || sector / sectorsPerBlock >= sb.BlocksCount) {
    view.NotARecord = true;
    return view;
  }
  const uint64_t block = sector / sectorsPerBlock;
  const DescriptorTable table = ReadCurrentDescriptors(sb);

  if (const std::optional<uint32_t> group = InodeTableGroup(sb, table.Groups, block)) {
    // Every inode stored in this sector (an inode may also span several sectors; then the
    // sector that starts it shows it).
    const uint64_t byte = sector * sectorBytes;
    const uint64_t tableByte = table.Groups[*group].InodeTable * sb.BlockBytes;
    const uint64_t firstIndex = (byte - tableByte + sb.InodeBytes - 1) / sb.InodeBytes;
    const uint64_t endIndex = std::min<uint64_t>((byte + sectorBytes - tableByte + sb.InodeBytes - 1) / sb.InodeBytes,
                                                 sb.InodesPerGroup);
    if (firstIndex >= endIndex) {
      view.NotARecord = true;
      return view;
    }
    const uint64_t firstByte = tableByte + firstIndex * sb.InodeBytes;
    const uint64_t firstSector = firstByte / sectorBytes;
    const uint64_t endSector = (tableByte + endIndex * sb.InodeBytes + sectorBytes - 1) / sectorBytes;
    std::vector<uint8_t> bytes((endSector - firstSector) * sectorBytes);
    if (!ReadSectors(firstSector, bytes)) return view;
    const BlockReader read = CurrentBlockReader(sb);
    const uint64_t initialised = InitialisedInodes(sb, table.Groups[*group]);
    for (uint64_t index = firstIndex; index < endIndex; ++index) {
      if (!pump()) return RecordView{};
      const uint64_t at = tableByte + index * sb.InodeBytes - firstSector * sectorBytes;
      const auto number = static_cast<uint32_t>(uint64_t{*group} * sb.InodesPerGroup + index + 1);
      InodeRecord record;
      if (index >= initialised) {
        record.Value.Number = number;
        record.Uninitialised = true;
      } else {
        record.Value = ParseInode(sb, number, std::span<const uint8_t>(bytes).subspan(at, sb.InodeBytes));
        if (!record.Value.Unused()) record.Data = MapInode(sb, record.Value, read);
        if (record.Data.Kind == DataKind::Inline && record.Value.Type() == kTypeDirectory) {
          const std::vector<uint8_t> inlineBytes(record.Data.InlineBytes.begin(), record.Data.InlineBytes.end());
          record.InlineDirectory = ParseInlineDirectory(sb, inlineBytes, record.Value.BlockArea.size());
        }
      }
      view.Inodes.push_back(std::move(record));
    }
    return view;
  }

  std::vector<uint8_t> bytes(sb.BlockBytes);
  if (!ReadBlocks(sb, block, bytes)) return view;
  DirectoryBlock dir = ParseDirectoryBlock(sb, bytes);
  if (dir.Kind == DirectoryKind::NotADirectory) {
    view.NotARecord = true;
    return view;
  }
  DirectoryRecord record;
  record.Block = block;
  if (const std::optional<Inode> owner = FindOwner(sb, table.Groups, block, dir, pump)) {
    record.Owner = owner->Number;
    if (dir.StoredChecksum) {
      record.TailChecksum = Checksum{*dir.StoredChecksum, DirectoryChecksum(sb, dir, bytes, owner->Number, owner->Generation)};
    }
  }
  record.Dir = std::move(dir);
  view.Directory = std::move(record);
  return view;
}

void AppendInodeLines(const InodeRecord& record, ViewText& view, std::vector<size_t>* deletedLines) {
  const Inode& n = record.Value;
  if (record.Uninitialised) {
    view.push_back(u"Inode " + Decimal(n.Number) + u", unused (its group's table is not initialised this far)");
    return;
  }
  if (n.Unused()) {
    view.push_back(u"Inode " + Decimal(n.Number) + u", unused");
    return;
  }
  view.push_back(u"Inode " + Decimal(n.Number) + u", " + Ascii(TypeName(n.Mode)) + (n.Deleted() ? u", deleted" : u""));
  view.push_back(u"Mode - " + Ascii(ModeText(n.Mode)) + u" (" + Octal(n.Mode) + u")");
  view.push_back(u"Links - " + Decimal(n.Links));
  view.push_back(u"Owner - user " + Decimal(n.Uid) + u", group " + Decimal(n.Gid));
  view.push_back(u"File size - " + Decimal(n.Size) + u" b");
  view.push_back(u"Accessed - " + LocalTime(n.Access.Seconds, n.Access.Nanoseconds));
  view.push_back(u"Changed - " + LocalTime(n.Change.Seconds, n.Change.Nanoseconds));
  view.push_back(u"Modified - " + LocalTime(n.Modify.Seconds, n.Modify.Nanoseconds));
  if (n.Create) view.push_back(u"Created - " + LocalTime(n.Create->Seconds, n.Create->Nanoseconds));
  if (n.DeleteTime != 0) view.push_back(u"Deleted - " + LocalTime(n.DeleteTime));
  view.push_back(u"Flags - " + Ascii(InodeFlagNames(n.Flags)));
  if (n.FileAcl != 0) view.push_back(u"Extended attribute block - " + Decimal(n.FileAcl));
  if (n.InodeChecksum) view.push_back(ChecksumLine(*n.InodeChecksum, 8));
  const InodeData& d = record.Data;
  for (const std::string& problem : d.Problems) view.push_back(u"Problem - " + FromUtf8(problem));
  switch (d.Kind) {
    case DataKind::Inline:
      view.push_back(u"Inline data - " + Decimal(d.InlineBytes.size()) + u" b");
      if (record.InlineDirectory) {
        // The folder's entries, as a directory block lists them.
        view.emplace_back(u"Entries in the inode:");
        for (const std::string& problem : record.InlineDirectory->Problems) view.push_back(u"Problem - " + FromUtf8(problem));
        AppendEntryLines(record.InlineDirectory->Entries, view, deletedLines);
      }
      break;
    case DataKind::FastSymlink:
      view.push_back(u"Symlink target - " + FromUtf8(d.InlineBytes));
      break;
    case DataKind::Extents:
      view.push_back(u"Extent tree depth - " + Decimal(d.Depth));
      if (!d.IndexBlocks.empty()) {
        view.emplace_back();
        view.emplace_back(u"Index block - blocks count:");
        for (const uint64_t b : d.IndexBlocks) view.push_back(RunLine(b, 1));
      }
      if (!d.Extents.empty()) {
        view.emplace_back();
        view.emplace_back(u"Start block - blocks count, logical block:");
        for (const Extent& e : d.Extents) {
          view.push_back(RunLine(e.Physical, e.Count) + u", logical " + Decimal(e.Logical) +
                         (e.Uninitialised ? u", uninitialised" : u""));
        }
      }
      break;
    case DataKind::BlockMap:
      if (!d.IndirectRuns.empty()) {
        view.emplace_back();
        view.emplace_back(u"Indirect block - blocks count:");
        for (const BlockRun& r : d.IndirectRuns) view.push_back(RunLine(r.Physical, r.Count));
      }
      if (!d.Runs.empty()) {
        view.emplace_back();
        view.emplace_back(u"Start block - blocks count, logical block:");
        for (const BlockRun& r : d.Runs) view.push_back(RunLine(r.Physical, r.Count) + u", logical " + Decimal(r.Logical));
      }
      break;
    case DataKind::None:
      break;
  }
}

void AppendDirectoryLines(const DirectoryRecord& record, ViewText& view, std::vector<size_t>* deletedLines) {
  const DirectoryBlock& dir = record.Dir;
  std::u16string head = dir.Kind == DirectoryKind::Linear ? u"Directory block " : u"Directory index block ";
  head += Decimal(record.Block);
  if (record.Owner) head += u" of inode " + Decimal(*record.Owner);
  view.push_back(head);
  if (dir.StoredChecksum) {
    view.push_back(record.TailChecksum ? ChecksumLine(*record.TailChecksum, 8)
                                       : u"Checksum - " + Hex(*dir.StoredChecksum, 8) + u", not verified (the directory's inode is not known)");
  }
  for (const std::string& problem : dir.Problems) view.push_back(u"Problem - " + FromUtf8(problem));
  if (dir.Index) {
    const HtreeIndex& x = *dir.Index;
    view.push_back(std::u16string(x.Root ? u"Htree root" : u"Htree node") + u" - " + Decimal(x.Count) + u" of " +
                   Decimal(x.Limit) + u" entries" +
                   (x.Root ? u", hash version " + Decimal(x.HashVersion) + u", levels " + Decimal(x.Levels) : u""));
  }
  AppendEntryLines(dir.Entries, view, deletedLines);
  if (dir.Index) {
    view.emplace_back();
    view.emplace_back(u"Hash - logical block:");
    for (const auto& [hash, logical] : dir.Index->Entries) view.push_back(Hex(hash, 8) + u" - " + Decimal(logical));
  }
}

namespace {

Json EntriesJson(const std::vector<DirectoryEntry>& list) {
  Json entries = Json::Array();
  for (const DirectoryEntry& e : list) {
    entries.Push(Json::Object()
                     .Set("inode", e.Inode)
                     .Set("type", EntryTypeName(e.FileType))
                     .Set("recordLength", e.RecordBytes)
                     .Set("name", e.Name)
                     .Set("deleted", e.Deleted));
  }
  return entries;
}

Json ViewJson(const RecordView& read) {
  // A sector that holds no record, and one the view shows nothing of, answer as on every
  // other volume: nothing found.
  if (read.NotARecord || (read.Inodes.empty() && !read.Directory)) return Json::Object();
  if (read.Directory) {
    const DirectoryRecord& r = *read.Directory;
    const Json entries = EntriesJson(r.Dir.Entries);
    Json json = Json::Object().Set("directoryBlock", r.Block).Set("kind", DirectoryKindName(r.Dir.Kind));
    if (r.Owner) json.Set("inode", *r.Owner);
    if (r.Dir.StoredChecksum) {
      Json checksum = Json::Object().Set("stored", *r.Dir.StoredChecksum);
      if (r.TailChecksum) checksum.Set("computed", r.TailChecksum->Computed).Set("verified", r.TailChecksum->Ok());
      json.Set("checksum", checksum);
    }
    if (r.Dir.Index) {
      Json index = Json::Array();
      for (const auto& [hash, logical] : r.Dir.Index->Entries) index.Push(Json::Object().Set("hash", hash).Set("block", logical));
      json.Set("htree", Json::Object()
                            .Set("levels", r.Dir.Index->Levels)
                            .Set("hashVersion", r.Dir.Index->HashVersion)
                            .Set("limit", r.Dir.Index->Limit)
                            .Set("count", r.Dir.Index->Count)
                            .Set("entries", index));
    }
    Json problems = Json::Array();
    for (const std::string& p : r.Dir.Problems) problems.Push(p);
    return json.Set("entries", entries).Set("problems", problems);
  }
  Json inodes = Json::Array();
  for (const InodeRecord& record : read.Inodes) {
    const Inode& n = record.Value;
    Json json = Json::Object().Set("inode", n.Number).Set("unused", record.Uninitialised || n.Unused());
    if (record.Uninitialised) json.Set("initialised", false);
    if (record.Uninitialised || n.Unused()) {
      inodes.Push(json);
      continue;
    }
    const InodeData& d = record.Data;
    json.Set("type", TypeName(n.Mode))
        .Set("mode", n.Mode)
        .Set("deleted", n.Deleted())
        .Set("links", n.Links)
        .Set("uid", n.Uid)
        .Set("gid", n.Gid)
        .Set("size", n.Size)
        .Set("accessed", TimeJson(n.Access))
        .Set("changed", TimeJson(n.Change))
        .Set("modified", TimeJson(n.Modify));
    if (n.Create) json.Set("created", TimeJson(*n.Create));
    if (n.DeleteTime != 0) json.Set("deletedTime", UnixTimeIso8601(n.DeleteTime));
    json.Set("flags", InodeFlagNames(n.Flags));
    if (n.InodeChecksum) json.Set("checksumVerified", n.InodeChecksum->Ok());
    Json extents = Json::Array();
    for (const Extent& e : d.Extents) {
      extents.Push(Json::Object()
                       .Set("logical", e.Logical)
                       .Set("start", e.Physical)
                       .Set("count", e.Count)
                       .Set("uninitialised", e.Uninitialised));
    }
    Json runs = Json::Array();
    for (const BlockRun& r : d.Runs) runs.Push(Json::Object().Set("logical", r.Logical).Set("start", r.Physical).Set("count", r.Count));
    Json indirect = Json::Array();
    for (const BlockRun& r : d.IndirectRuns) indirect.Push(Json::Object().Set("start", r.Physical).Set("count", r.Count));
    Json index = Json::Array();
    for (const uint64_t b : d.IndexBlocks) index.Push(b);
    Json problems = Json::Array();
    for (const std::string& p : d.Problems) problems.Push(p);
    if (d.Kind == DataKind::Extents) json.Set("depth", d.Depth).Set("indexBlocks", index).Set("extents", extents);
    if (d.Kind == DataKind::BlockMap) json.Set("indirectBlocks", indirect).Set("runs", runs);
    if (d.Kind == DataKind::Inline) json.Set("inlineBytes", d.InlineBytes.size());
    if (record.InlineDirectory) json.Set("entries", EntriesJson(record.InlineDirectory->Entries));
    if (d.Kind == DataKind::FastSymlink) json.Set("symlinkTarget", d.InlineBytes);
    inodes.Push(json.Set("problems", problems));
  }
  return Json::Object().Set("inodes", inodes);
}

}  // namespace

void WriteRecord(const VolumeState& state, uint64_t sector, ViewText* view, Json* json,
                 std::vector<size_t>* deletedLines, const MessagePump& pump) {
  const RecordView read = ReadRecord(state, sector, pump);
  if (json != nullptr) *json = ViewJson(read);
  if (view == nullptr) return;
  if (read.NotARecord) {
    view->emplace_back(kNotARecord);
    return;
  }
  for (size_t i = 0; i < read.Inodes.size(); ++i) {
    if (i != 0) view->emplace_back();
    const size_t first = view->size();
    const InodeRecord& record = read.Inodes[i];
    // Every line of a deleted inode is its.
    const bool deleted = !record.Uninitialised && record.Value.Deleted();
    AppendInodeLines(record, *view, deleted ? nullptr : deletedLines);
    if (deleted && deletedLines != nullptr) {
      for (size_t line = first; line < view->size(); ++line) deletedLines->push_back(line);
    }
  }
  if (read.Directory) AppendDirectoryLines(*read.Directory, *view, deletedLines);
}

}  // namespace korvalane::ext
