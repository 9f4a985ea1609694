#include "core/fs/xfs/XfsDetails.h"

#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::xfs {
namespace {

constexpr char16_t kNotUsable[] = u"Superblock not usable - ";

// A header's own problem: a wrong magic, a failed checksum, an unreadable sector.
std::u16string HeaderProblem(const char16_t* name, bool magicOk, const std::optional<Checksum>& crc) {
  if (!magicOk) return std::u16string(u", ") + name + u" magic wrong";
  if (crc && !crc->Ok()) return std::u16string(u", ") + name + u" checksum " + ChecksumText(*crc);
  return {};
}

}  // namespace

std::u16string ChecksumText(const Checksum& c) {
  if (c.Ok()) return u"0x" + HexUpper(c.Stored, 8) + u", verified";
  return u"mismatch: stored 0x" + HexUpper(c.Stored, 8) + u", computed 0x" + HexUpper(c.Computed, 8);
}

Json ChecksumJson(const Checksum& c) {
  return Json::Object().Set("stored", c.Stored).Set("computed", c.Computed).Set("verified", c.Ok());
}

void WriteDetails(const VolumeState& state, const std::u16string& heading, ViewText* view, Json* json,
                  const MessagePump& pump) {
  const Superblock& sb = *state.Sb;
  const VolumeGeometry& g = Geometry();
  const std::string uuid = UuidText(sb.Uuid);
  const std::string features = FeatureNames(sb);
  const std::u16string logStart = Decimal(sb.AgOf(sb.LogStart)) + u"/" + Decimal(sb.AgBlockOf(sb.LogStart));
  if (view != nullptr) {
    view->push_back(heading + u"XFS");
    view->push_back(u"Bytes per sector - " + Decimal(g.BytesPerSector));
    view->push_back(u"Bytes per block - " + Decimal(sb.BlockBytes));
    view->push_back(u"Sectors per block - " + Decimal(g.SectorsPerCluster));
    view->push_back(u"Sectors - " + Decimal(g.TotalSectors));
    view->push_back(u"Blocks - " + Decimal(sb.DataBlocks));
    view->push_back(u"Free blocks - " + Decimal(sb.FreeDataBlocks));
    view->push_back(u"Allocation groups - " + Decimal(sb.AgCount));
    view->push_back(u"Blocks per allocation group - " + Decimal(sb.AgBlocks));
    view->push_back(u"Inodes - " + Decimal(sb.InodeCount));
    view->push_back(u"Free inodes - " + Decimal(sb.FreeInodes));
    view->push_back(u"Inode size - " + Decimal(sb.InodeBytes));
    view->push_back(u"Inodes per block - " + Decimal(sb.InodesPerBlock));
    view->push_back(u"Root inode - " + Decimal(sb.RootInode));
    view->push_back(u"Log start (AG/block) - " + logStart);
    view->push_back(u"Log blocks - " + Decimal(sb.LogBlocks));
    view->push_back(u"Directory block size - " + Decimal(sb.DirectoryBlockBytes()));
    view->push_back(u"Volume name - " + FromUtf8(sb.Name));
    view->push_back(u"UUID - " + Ascii(uuid));
    view->push_back(u"Version - " + Decimal(sb.Version()));
    view->push_back(u"Features - " + Ascii(features));
    if (sb.SuperblockChecksum) view->push_back(u"Superblock checksum - " + ChecksumText(*sb.SuperblockChecksum));
  }
  if (json != nullptr) {
    json->Set("bytesPerSector", g.BytesPerSector)
        .Set("bytesPerBlock", sb.BlockBytes)
        .Set("sectorsPerBlock", g.SectorsPerCluster)
        .Set("sectors", g.TotalSectors)
        .Set("blocks", sb.DataBlocks)
        .Set("freeBlocks", sb.FreeDataBlocks)
        .Set("allocationGroups", sb.AgCount)
        .Set("blocksPerAllocationGroup", sb.AgBlocks)
        .Set("inodes", sb.InodeCount)
        .Set("freeInodes", sb.FreeInodes)
        .Set("inodeSize", sb.InodeBytes)
        .Set("inodesPerBlock", sb.InodesPerBlock)
        .Set("rootInode", sb.RootInode)
        .Set("logStartAg", sb.AgOf(sb.LogStart))
        .Set("logStartBlock", sb.AgBlockOf(sb.LogStart))
        .Set("logBlocks", sb.LogBlocks)
        .Set("directoryBlockSize", sb.DirectoryBlockBytes())
        .Set("volumeName", sb.Name)
        .Set("uuid", uuid)
        .Set("version", sb.Version())
        .Set("features", features);
    if (sb.SuperblockChecksum) json->Set("superblockChecksum", ChecksumJson(*sb.SuperblockChecksum));
  }

  if (view != nullptr) {
    view->emplace_back();
    view->reserve(view->size() + sb.AgCount);
  }
  Json groups = Json::Array();
  for (uint32_t ag = 0; ag < sb.AgCount; ++ag) {
    if (ag % 256 == 0 && !pump()) return;
    const std::optional<Agf> agf = ReadAgf(sb, ag);
    const std::optional<Agi> agi = ReadAgi(sb, ag);
    const uint64_t start = sb.LinearBlock(ag, 0);
    if (view != nullptr) {
      std::u16string line = u"AG " + Decimal(ag) + u" - start block " + Decimal(start) + u", blocks " + Decimal(sb.AgLength(ag));
      if (agf) line += u", free blocks " + Decimal(agf->FreeBlocks) + HeaderProblem(u"AGF", agf->MagicOk(), agf->Crc);
      else line += u", AGF unreadable";
      if (agi) {
        line += u", inodes " + Decimal(agi->Count) + u", free inodes " + Decimal(agi->FreeCount) +
                HeaderProblem(u"AGI", agi->MagicOk(), agi->Crc);
      } else {
        line += u", AGI unreadable";
      }
      view->push_back(line);
    }
    if (json == nullptr) continue;
    Json group = Json::Object().Set("ag", ag).Set("startBlock", start).Set("blocks", sb.AgLength(ag));
    if (agf) {
      group.Set("freeBlocks", agf->FreeBlocks).Set("agfMagicOk", agf->MagicOk());
      if (agf->Crc) group.Set("agfChecksumVerified", agf->Crc->Ok());
    }
    if (agi) {
      group.Set("inodes", agi->Count).Set("freeInodes", agi->FreeCount).Set("agiMagicOk", agi->MagicOk());
      if (agi->Crc) group.Set("agiChecksumVerified", agi->Crc->Ok());
    }
    groups.Push(group);
  }
  if (json != nullptr) json->Set("groups", groups);
}

std::u16string NotUsableLine(const VolumeState& state) { return kNotUsable + FromUtf8(state.Problem); }

}  // namespace korvalane::xfs
