#include "core/fs/FileSystem.h"

#include "core/fs/exfat/ExfatFileSystem.h"
#include "core/fs/ext/ExtFileSystem.h"
#include "core/fs/fat/FatFileSystem.h"
#include "core/fs/ntfs/NtfsFileSystem.h"

namespace korvalane {
namespace {

constexpr size_t kNameRunLength = 90;

}  // namespace

Location FileSystem::LocateMftRecord(uint64_t, const MessagePump&) const {
  return Refuse("the volume is not NTFS: it has no MFT");
}

Location FileSystem::LocateInode(uint64_t) const {
  return Refuse("the volume is not ext2, ext3 or ext4: it has no inodes");
}

std::u16string FileSystem::Refusal() const { return u"Access to boot sector denied"; }

bool FileSystem::WalkOwnership(OwnershipIndex&, const WalkHooks&, std::string* why) const {
  *why = "the volume's file system is not one whose files Korvalane walks";
  return false;
}

std::span<const FileSystem* const> FileSystems() {
  // The registrations: a new file system adds its folder and one line here.
  static const FileSystem* const kAll[] = {
      &ExfatFileSystem(),
      &NtfsFileSystem(),
      &FatFileSystem(),
      &ExtFileSystem(),  // its mark lies past sector 0: asked last
  };
  return kAll;
}

const FileSystem* FileSystemOf(FileSystemKind kind) {
  if (kind == FileSystemKind::Unknown) return nullptr;
  for (const FileSystem* fs : FileSystems()) {
    if (fs->Handles(kind)) return fs;
  }
  return nullptr;
}

const FileSystem* CurrentFileSystem() { return FileSystemOf(Geometry().FileSystemKind); }

std::u16string DetailsHeading() {
  const std::string& drive = Geometry().CurrentDrive;
  return u"Drive " + std::u16string(drive.begin(), drive.end()) + u"\\, ";
}

std::string BootSectorNameText(std::span<const uint8_t> bootSector) {
  std::string text;
  for (size_t i = 0; i < kNameRunLength && i < bootSector.size(); ++i) {
    if (bootSector[i] > 30) text += static_cast<char>(bootSector[i]);
  }
  return text;
}

}  // namespace korvalane
