#include "core/fs/xfs/AgHeaders.h"

namespace korvalane::xfs {

Agf ParseAgf(const Superblock& sb, std::span<const uint8_t> b) {
  Agf agf;
  agf.Magic = ReadBe32(b, 0);
  agf.Version = ReadBe32(b, 4);
  agf.SeqNo = ReadBe32(b, 8);
  agf.Length = ReadBe32(b, 12);
  agf.FreeRoot = ReadBe32(b, 16);
  agf.CountRoot = ReadBe32(b, 20);
  agf.RmapRoot = ReadBe32(b, 24);
  agf.FreeLevel = ReadBe32(b, 28);
  agf.CountLevel = ReadBe32(b, 32);
  agf.RmapLevel = ReadBe32(b, 36);
  agf.FreeListFirst = ReadBe32(b, 40);
  agf.FreeListLast = ReadBe32(b, 44);
  agf.FreeListCount = ReadBe32(b, 48);
  agf.FreeBlocks = ReadBe32(b, 52);
  agf.Longest = ReadBe32(b, 56);
  agf.BtreeBlocks = ReadBe32(b, 60);
  if (sb.HasCrc()) agf.Crc = MetadataChecksum(b, kAgfCrcOffset);
  return agf;
}

Agi ParseAgi(const Superblock& sb, std::span<const uint8_t> b) {
  Agi agi;
  agi.Magic = ReadBe32(b, 0);
  agi.Version = ReadBe32(b, 4);
  agi.SeqNo = ReadBe32(b, 8);
  agi.Length = ReadBe32(b, 12);
  agi.Count = ReadBe32(b, 16);
  agi.Root = ReadBe32(b, 20);
  agi.Level = ReadBe32(b, 24);
  agi.FreeCount = ReadBe32(b, 28);
  agi.NewInode = ReadBe32(b, 32);
  if (sb.HasCrc()) {
    agi.FreeRoot = ReadBe32(b, 328);
    agi.FreeLevel = ReadBe32(b, 332);
    agi.Crc = MetadataChecksum(b, kAgiCrcOffset);
  }
  return agi;
}

uint64_t AgHeaderSector(const Superblock& sb, uint32_t ag, AgSector which) {
  return sb.LinearBlock(ag, 0) * sb.SectorsPerBlock() + static_cast<uint32_t>(which);
}

}  // namespace korvalane::xfs
