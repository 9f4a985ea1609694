#include "core/search/Locate.h"

#include <string>

#include "core/fs/FileSystem.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

std::string Number(uint64_t value) { return std::to_string(value); }

}  // namespace

Location LocateCluster(uint64_t cluster) {
  const VolumeGeometry& g = Geometry();
  const OpenedFileSystem* fs = CurrentFileSystem();
  if (!fs || g.BytesPerSector <= 0 || g.SectorsPerCluster <= 0) {
    return Refuse("the volume's clusters are not known (no FAT, exFAT or NTFS boot sector gives them)");
  }
  return fs->LocateCluster(cluster);
}

Location LocateMftRecord(uint64_t record, const MessagePump& pump) {
  const OpenedFileSystem* fs = CurrentFileSystem();
  if (!fs) return Refuse("the volume is not NTFS: it has no MFT");
  return fs->LocateMftRecord(record, pump);
}

Location LocateTarget(const JumpTarget& target, const MessagePump& pump) {
  switch (target.Kind) {
    case JumpKind::Cluster:
      return LocateCluster(target.Number);
    case JumpKind::MftRecord:
      return LocateMftRecord(target.Number, pump);
    case JumpKind::Inode:
      if (const OpenedFileSystem* fs = CurrentFileSystem()) return fs->LocateInode(target.Number);
      return Refuse("the volume is not ext2, ext3 or ext4: it has no inodes");
    case JumpKind::Sector:
      break;
  }
  const uint64_t last = Geometry().TotalSectors;
  if (target.Number > last) {
    return Refuse("sector " + Number(target.Number) + " is outside the volume (its sectors are 0 to " + Number(last) + ")");
  }
  return Location{target.Number, {}};
}

}  // namespace korvalane
