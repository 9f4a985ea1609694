#include "core/fs/xfs/Record.h"

#include <charconv>

#include "core/fs/xfs/XfsDetails.h"
#include "core/text/IsoTime.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::xfs {
namespace {

std::string TimeText(const Timestamp& t) {
  return UnixTimeIso8601(t.Seconds, SecondFraction{t.Nanoseconds, 9});
}

// A mode as ls -l's octal: "0100644".
std::u16string Octal(uint32_t value) {
  char digits[16];
  const std::to_chars_result end = std::to_chars(digits, digits + sizeof digits, value, 8);
  return u"0" + Ascii(std::string(digits, end.ptr));
}

// "0 -> 0/20, 1": file block, AG and block in it, length.
std::u16string ExtentLine(const Superblock& sb, const Extent& e) {
  return u"Extent - " + Decimal(e.Offset) + u" -> " + Decimal(sb.AgOf(e.StartBlock)) + u"/" +
         Decimal(sb.AgBlockOf(e.StartBlock)) + u", " + Decimal(e.Count) + (e.Unwritten ? u", unwritten" : u"");
}

Json ExtentsJson(const Superblock& sb, const std::vector<Extent>& extents) {
  Json list = Json::Array();
  for (const Extent& e : extents) {
    list.Push(Json::Object()
                  .Set("logical", e.Offset)
                  .Set("ag", sb.AgOf(e.StartBlock))
                  .Set("agBlock", sb.AgBlockOf(e.StartBlock))
                  .Set("block", sb.LinearBlock(sb.AgOf(e.StartBlock), sb.AgBlockOf(e.StartBlock)))
                  .Set("length", e.Count)
                  .Set("unwritten", e.Unwritten));
  }
  return list;
}

void WriteInode(const Superblock& sb, const Inode& n, ViewText& view, std::vector<size_t>* deletedLines) {
  const size_t first = view.size();
  const InodeAddress a = AddressOfInode(sb, n.Number);
  const std::u16string where = u" - AG " + Decimal(a.Ag) + u", block " + Decimal(a.AgBlock) + u", slot " + Decimal(a.Slot);
  if (!n.InUse()) {
    view.push_back(u"Inode " + Decimal(n.Number) + u", unused" + where);
  } else {
    view.push_back(u"Inode " + Decimal(n.Number) + u", " + Ascii(FileTypeName(n.Mode)) + where);
    view.push_back(u"Mode - " + Octal(n.Mode));
    view.push_back(u"Links - " + Decimal(n.Links));
    view.push_back(u"Owner - user " + Decimal(n.Uid) + u", group " + Decimal(n.Gid));
    view.push_back(u"File size - " + Decimal(n.Size) + u" b");
    view.push_back(u"Blocks - " + Decimal(n.Blocks));
    view.push_back(u"Accessed - " + Ascii(TimeText(n.Access)));
    view.push_back(u"Modified - " + Ascii(TimeText(n.Modify)));
    view.push_back(u"Changed - " + Ascii(TimeText(n.Change)));
    if (n.Creation) view.push_back(u"Created - " + Ascii(TimeText(*n.Creation)));
    view.push_back(u"Generation - " + Decimal(n.Generation));
    view.push_back(u"Data fork - " + Ascii(ForkFormatName(n.Format)) + u", " + Decimal(n.DataExtents) + u" extents");
    for (const Extent& e : n.DataFork) view.push_back(ExtentLine(sb, e));
    if (n.BtreeLevel) view.push_back(u"Btree root - level " + Decimal(*n.BtreeLevel) + u", " + Decimal(n.BtreeRoot.size()) + u" pointers");
    for (const BtreePointer& p : n.BtreeRoot) {
      view.push_back(u"Btree pointer - " + Decimal(p.FirstOffset) + u" -> " + Decimal(sb.AgOf(p.Block)) + u"/" +
                     Decimal(sb.AgBlockOf(p.Block)));
    }
    if (!n.Local.empty()) view.push_back(u"Local data - " + FromUtf8(n.Local));
    if (n.Parent) view.push_back(u"Parent - inode " + Decimal(*n.Parent));
    for (const ShortformEntry& e : n.Entries) view.push_back(u"Entry - inode " + Decimal(e.Inode) + u": " + FromUtf8(e.Name));
    if (n.ForkOffset == 0) {
      view.push_back(u"Attribute fork - none");
    } else {
      view.push_back(u"Attribute fork - " + Ascii(ForkFormatName(n.AttrFormat)) + u" at fork byte " +
                     Decimal(uint32_t{n.ForkOffset} * 8) + u", " + Decimal(n.AttrExtents) + u" extents");
      for (const Extent& e : n.AttrFork) view.push_back(ExtentLine(sb, e));
    }
  }
  if (n.Crc) view.push_back(u"Inode checksum - " + ChecksumText(*n.Crc));
  if (!n.MagicOk()) view.push_back(u"Problem - no inode magic \"IN\"");
  for (const std::string& p : n.Problems) view.push_back(u"Problem - " + FromUtf8(p));
  if (deletedLines != nullptr && !n.InUse()) {
    for (size_t i = first; i < view.size(); ++i) deletedLines->push_back(i);
  }
}

Json InodeJson(const Superblock& sb, const Inode& n) {
  const InodeAddress a = AddressOfInode(sb, n.Number);
  Json j = Json::Object().Set("number", n.Number).Set("ag", a.Ag).Set("agBlock", a.AgBlock).Set("slot", a.Slot).Set("inUse", n.InUse());
  if (n.InUse()) {
    j.Set("type", FileTypeName(n.Mode))
        .Set("mode", n.Mode)
        .Set("links", n.Links)
        .Set("uid", n.Uid)
        .Set("gid", n.Gid)
        .Set("size", n.Size)
        .Set("blocks", n.Blocks)
        .Set("accessed", TimeText(n.Access))
        .Set("modified", TimeText(n.Modify))
        .Set("changed", TimeText(n.Change))
        .Set("created", n.Creation ? Json(TimeText(*n.Creation)) : Json())
        .Set("generation", n.Generation)
        .Set("dataFork", Json::Object()
                             .Set("format", ForkFormatName(n.Format))
                             .Set("extentCount", n.DataExtents)
                             .Set("extents", ExtentsJson(sb, n.DataFork)));
    if (n.BtreeLevel) {
      Json pointers = Json::Array();
      for (const BtreePointer& p : n.BtreeRoot) {
        pointers.Push(Json::Object().Set("firstLogical", p.FirstOffset).Set("ag", sb.AgOf(p.Block)).Set("agBlock", sb.AgBlockOf(p.Block)));
      }
      j.Set("btreeRoot", Json::Object().Set("level", *n.BtreeLevel).Set("pointers", pointers));
    }
    if (!n.Local.empty()) j.Set("localData", n.Local);
    if (n.Parent) {
      Json entries = Json::Array();
      for (const ShortformEntry& e : n.Entries) entries.Push(Json::Object().Set("name", e.Name).Set("inode", e.Inode).Set("offset", e.Offset));
      j.Set("parent", *n.Parent).Set("entries", entries);
    }
    if (n.ForkOffset != 0) {
      j.Set("attributeFork", Json::Object()
                                 .Set("format", ForkFormatName(n.AttrFormat))
                                 .Set("forkByte", uint32_t{n.ForkOffset} * 8)
                                 .Set("extentCount", n.AttrExtents)
                                 .Set("extents", ExtentsJson(sb, n.AttrFork)));
    } else {
      j.Set("attributeFork", Json());
    }
  }
  if (n.Crc) j.Set("checksum", ChecksumJson(*n.Crc));
  Json problems = Json::Array();
  if (!n.MagicOk()) problems.Push(Json("no inode magic \"IN\""));
  for (const std::string& p : n.Problems) problems.Push(Json(p));
  j.Set("problems", problems);
  return j;
}

const char* DirectoryKindName(const DirectoryBlock& d) {
  if (d.Kind == DirectoryBlockKind::Block) return d.V5 ? "single-block directory (XDB3)" : "single-block directory (XD2B)";
  return d.V5 ? "directory data block (XDD3)" : "directory data block (XD2D)";
}

void WriteDirectory(const DirectoryBlock& d, const RecordView& where, ViewText& view, std::vector<size_t>* deletedLines) {
  view.push_back(u"Directory block - " + Ascii(DirectoryKindName(d)) + u", AG " + Decimal(where.Ag) + u", block " +
                 Decimal(where.AgBlock));
  if (d.V5) view.push_back(u"Owner - inode " + Decimal(d.Owner));
  if (d.Crc) view.push_back(u"Directory block checksum - " + ChecksumText(*d.Crc));
  std::u16string best;
  for (const FreeRegion& f : d.BestFree) {
    if (!best.empty()) best += u", ";
    best += Decimal(f.Offset) + u"/" + Decimal(f.Length);
  }
  view.push_back(u"Best free (offset/length) - " + best);
  if (d.Kind == DirectoryBlockKind::Block) {
    view.push_back(u"Hash entries - " + Decimal(d.LeafCount) + u", stale " + Decimal(d.LeafStale));
  }
  for (const DirectoryEntry& e : d.Entries) {
    if (e.Deleted && deletedLines != nullptr) deletedLines->push_back(view.size());
    view.push_back(u"Entry - inode " + Decimal(e.Inode) + (e.Deleted ? u", deleted" : u"") + u", offset " +
                   Decimal(e.Offset) + u": " + FromUtf8(e.Name));
  }
  for (const FreeRegion& f : d.Free) view.push_back(u"Free - offset " + Decimal(f.Offset) + u", length " + Decimal(f.Length));
  for (const std::string& p : d.Problems) view.push_back(u"Problem - " + FromUtf8(p));
}

Json DirectoryJson(const DirectoryBlock& d) {
  Json entries = Json::Array();
  for (const DirectoryEntry& e : d.Entries) {
    entries.Push(Json::Object()
                     .Set("offset", e.Offset)
                     .Set("inode", e.Inode)
                     .Set("name", e.Name)
                     .Set("fileType", e.FileType ? Json(*e.FileType) : Json())
                     .Set("deleted", e.Deleted));
  }
  Json free = Json::Array();
  for (const FreeRegion& f : d.Free) free.Push(Json::Object().Set("offset", f.Offset).Set("length", f.Length));
  Json problems = Json::Array();
  for (const std::string& p : d.Problems) problems.Push(Json(p));
  Json j = Json::Object().Set("kind", DirectoryKindName(d)).Set("entries", entries).Set("free", free).Set("problems", problems);
  if (d.V5) j.Set("owner", d.Owner);
  if (d.Crc) j.Set("checksum", ChecksumJson(*d.Crc));
  if (d.Kind == DirectoryBlockKind::Block) j.Set("hashEntries", d.LeafCount).Set("staleHashEntries", d.LeafStale);
  return j;
}

}  // namespace

RecordView ReadRecord(const VolumeState& state, uint64_t sector) {
  RecordView view;
  if (!state.Sb) return view;
  const Superblock& sb = *state.Sb;
  const uint64_t block = sector / sb.SectorsPerBlock();
  if (block >= sb.DataBlocks) return view;
  std::vector<uint8_t> bytes(sb.BlockBytes);
  if (!ReadBlocks(sb, block, bytes)) return view;
  view.Ag = static_cast<uint32_t>(block / sb.AgBlocks);
  view.AgBlock = static_cast<uint32_t>(block % sb.AgBlocks);
  // A block of inodes has the magic in every slot (a sparse chunk's holes are no blocks).
  for (uint32_t slot = 0; slot < sb.InodesPerBlock; ++slot) {
    if (ReadBe16(bytes, size_t{slot} * sb.InodeBytes) == kInodeMagic) continue;
    // A directory block may span several blocks; it is read from this one on.
    if (sb.DirectoryBlockBytes() > bytes.size()) {
      bytes.assign(sb.DirectoryBlockBytes(), 0);
      if (!ReadBlocks(sb, block, bytes)) return view;
    }
    DirectoryBlock dir = ParseDirectoryBlock(sb, bytes);
    if (dir.Kind != DirectoryBlockKind::NotADirectory) view.Directory = std::move(dir);
    return view;
  }
  for (uint32_t slot = 0; slot < sb.InodesPerBlock; ++slot) {
    const std::span<const uint8_t> own = std::span<const uint8_t>(bytes).subspan(size_t{slot} * sb.InodeBytes, sb.InodeBytes);
    view.Inodes.push_back(ParseInode(sb, InodeNumber(sb, view.Ag, view.AgBlock, slot), own));
  }
  return view;
}

void WriteRecord(const VolumeState& state, uint64_t sector, ViewText* view, Json* json,
                 std::vector<size_t>* deletedLines, const MessagePump& pump) {
  const RecordView record = ReadRecord(state, sector);
  if (record.Directory) {
    if (view != nullptr) WriteDirectory(*record.Directory, record, *view, deletedLines);
    if (json != nullptr) json->Set("ag", record.Ag).Set("agBlock", record.AgBlock).Set("directory", DirectoryJson(*record.Directory));
    return;
  }
  if (record.Inodes.empty()) {
    if (view != nullptr) view->push_back(u"No inodes in this block");
    return;
  }
  const Superblock& sb = *state.Sb;
  Json inodes = Json::Array();
  for (size_t i = 0; i < record.Inodes.size(); ++i) {
    if (!pump()) return;
    if (view != nullptr) {
      if (i > 0) view->emplace_back();
      WriteInode(sb, record.Inodes[i], *view, deletedLines);
    }
    if (json != nullptr) inodes.Push(InodeJson(sb, record.Inodes[i]));
  }
  if (json != nullptr) json->Set("ag", record.Ag).Set("agBlock", record.AgBlock).Set("inodes", inodes);
}

}  // namespace korvalane::xfs
