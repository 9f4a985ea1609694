#include "core/fs/ext/ExtDetails.h"

#include "core/fs/ext/ExtVolume.h"
#include "core/text/IsoTime.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::ext {
namespace {

constexpr char16_t kNotUsable[] = u"Superblock not usable - ";

std::u16string StateText(uint16_t state) {
  std::u16string text = (state & 1u) != 0 ? u"clean" : u"not clean";
  if ((state & 2u) != 0) text += u", errors";
  if ((state & 4u) != 0) text += u", orphans being recovered";
  return text;
}

std::u16string TimeText(int64_t seconds) { return seconds == 0 ? u"never" : LocalTime(seconds); }
Json TimeJson(int64_t seconds) { return seconds == 0 ? Json() : Json(UnixTimeIso8601(seconds)); }

std::u16string ChecksumText(const Checksum& c, int digits) {
  if (c.Ok()) return u"0x" + HexUpper(c.Stored, digits) + u", verified";
  return u"mismatch: stored 0x" + HexUpper(c.Stored, digits) + u", computed 0x" + HexUpper(c.Computed, digits);
}

std::u16string GroupLine(const Superblock& sb, uint32_t number, const GroupDescriptor& gd) {
  std::u16string line = u"Group " + Decimal(number) + u" - block bitmap " + Decimal(gd.BlockBitmap) + u", inode bitmap " +
                        Decimal(gd.InodeBitmap) + u", inode table " + Decimal(gd.InodeTable) + u"-" +
                        Decimal(gd.InodeTable + sb.InodeTableBlocks() - 1) + u", free blocks " + Decimal(gd.FreeBlocks) +
                        u", free inodes " + Decimal(gd.FreeInodes);
  const std::string flags = GroupFlagNames(gd.Flags);
  if (!flags.empty()) line += u", " + Ascii(flags);
  if (gd.DescriptorChecksum && !gd.DescriptorChecksum->Ok()) line += u", checksum " + ChecksumText(*gd.DescriptorChecksum, 4);
  return line;
}

}  // namespace

void WriteDetails(const VolumeState& state, const std::u16string& heading, ViewText* view, Json* json,
                  const MessagePump& pump) {
  const Superblock& sb = *state.Sb;
  const VolumeGeometry& g = Geometry();
  if (view != nullptr) {
    view->push_back(heading + VersionLabel(state));
    view->push_back(u"Bytes per sector - " + Decimal(g.BytesPerSector));
    view->push_back(u"Bytes per block - " + Decimal(sb.BlockBytes));
    view->push_back(u"Sectors per block - " + Decimal(g.SectorsPerCluster));
    view->push_back(u"Sectors - " + Decimal(g.TotalSectors));
    view->push_back(u"Blocks - " + Decimal(sb.BlocksCount));
    view->push_back(u"Free blocks - " + Decimal(sb.FreeBlocks));
    view->push_back(u"First data block - " + Decimal(sb.FirstDataBlock));
    view->push_back(u"Block groups - " + Decimal(sb.Groups));
    view->push_back(u"Blocks per group - " + Decimal(sb.BlocksPerGroup));
    view->push_back(u"Inodes - " + Decimal(sb.InodesCount));
    view->push_back(u"Free inodes - " + Decimal(sb.FreeInodes));
    view->push_back(u"Inodes per group - " + Decimal(sb.InodesPerGroup));
    view->push_back(u"Inode size - " + Decimal(sb.InodeBytes));
    view->push_back(u"Group descriptor size - " + Decimal(sb.DescriptorBytes));
    view->push_back(u"Volume name - " + FromUtf8(sb.VolumeName));
    view->push_back(u"UUID - " + Ascii(UuidText(sb.Uuid)));
    view->push_back(u"State - " + StateText(sb.State));
    view->push_back(u"Last mount time - " + TimeText(sb.MountTime));
    view->push_back(u"Last write time - " + TimeText(sb.WriteTime));
    view->push_back(u"Last mounted on - " + FromUtf8(sb.LastMounted));
    view->push_back(u"Compatible features - " + Ascii(CompatNames(sb.Compat)));
    view->push_back(u"Incompatible features - " + Ascii(IncompatNames(sb.Incompat)));
    view->push_back(u"Read-only compatible features - " + Ascii(RoCompatNames(sb.RoCompat)));
    view->push_back(u"Journal inode - " + Decimal(sb.JournalInode));
    if (sb.SuperblockChecksum) view->push_back(u"Superblock checksum - " + ChecksumText(*sb.SuperblockChecksum, 8));
  }
  if (json != nullptr) {
    json->Set("bytesPerSector", g.BytesPerSector)
        .Set("bytesPerBlock", sb.BlockBytes)
        .Set("sectorsPerBlock", g.SectorsPerCluster)
        .Set("sectors", g.TotalSectors)
        .Set("blocks", sb.BlocksCount)
        .Set("freeBlocks", sb.FreeBlocks)
        .Set("firstDataBlock", sb.FirstDataBlock)
        .Set("blockGroups", sb.Groups)
        .Set("blocksPerGroup", sb.BlocksPerGroup)
        .Set("inodes", sb.InodesCount)
        .Set("freeInodes", sb.FreeInodes)
        .Set("inodesPerGroup", sb.InodesPerGroup)
        .Set("inodeSize", sb.InodeBytes)
        .Set("groupDescriptorSize", sb.DescriptorBytes)
        .Set("volumeName", sb.VolumeName)
        .Set("uuid", UuidText(sb.Uuid))
        .Set("state", StateText(sb.State))
        .Set("lastMountTime", TimeJson(sb.MountTime))
        .Set("lastWriteTime", TimeJson(sb.WriteTime))
        .Set("lastMountedOn", sb.LastMounted)
        .Set("compatibleFeatures", CompatNames(sb.Compat))
        .Set("incompatibleFeatures", IncompatNames(sb.Incompat))
        .Set("readOnlyCompatibleFeatures", RoCompatNames(sb.RoCompat))
        .Set("journalInode", sb.JournalInode);
    if (sb.SuperblockChecksum) {
      json->Set("superblockChecksum", Json::Object()
                                          .Set("stored", sb.SuperblockChecksum->Stored)
                                          .Set("computed", sb.SuperblockChecksum->Computed)
                                          .Set("verified", sb.SuperblockChecksum->Ok()));
    }
  }

  const DescriptorTable table = ReadCurrentDescriptors(sb);
  if (view != nullptr) {
    view->emplace_back();
    view->reserve(view->size() + table.Groups.size() + 1);
  }
  Json groups = Json::Array();
  for (uint32_t i = 0; i < table.Groups.size(); ++i) {
    if (i % 1024 == 0 && !pump()) return;
    const GroupDescriptor& gd = table.Groups[i];
    if (view != nullptr) view->push_back(GroupLine(sb, i, gd));
    if (json == nullptr) continue;
    Json group = Json::Object()
                     .Set("group", i)
                     .Set("blockBitmap", gd.BlockBitmap)
                     .Set("inodeBitmap", gd.InodeBitmap)
                     .Set("inodeTableFirst", gd.InodeTable)
                     .Set("inodeTableLast", gd.InodeTable + sb.InodeTableBlocks() - 1)
                     .Set("freeBlocks", gd.FreeBlocks)
                     .Set("freeInodes", gd.FreeInodes)
                     .Set("flags", GroupFlagNames(gd.Flags));
    if (gd.DescriptorChecksum) group.Set("checksumVerified", gd.DescriptorChecksum->Ok());
    groups.Push(group);
  }
  if (view != nullptr && !table.Problem.empty()) view->push_back(u"Group descriptors - " + FromUtf8(table.Problem));
  if (json != nullptr) {
    json->Set("groups", groups);
    if (!table.Problem.empty()) json->Set("groupProblem", table.Problem);
  }
}

std::u16string NotUsableLine(const VolumeState& state) { return kNotUsable + FromUtf8(state.Problem); }

}  // namespace korvalane::ext
