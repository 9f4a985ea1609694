#include "core/fs/FileSystem.h"

#include <iterator>

#include "core/fs/ReportLineTarget.h"
#include "core/fs/bitlocker/BitlockerFileSystem.h"
#include "core/fs/exfat/ExfatFileSystem.h"
#include "core/fs/ext/ExtFileSystem.h"
#include "core/fs/fat/FatFileSystem.h"
#include "core/fs/luks/LuksFileSystem.h"
#include "core/fs/ntfs/NtfsFileSystem.h"
#include "core/fs/xfs/XfsFileSystem.h"

namespace korvalane {
namespace {

constexpr size_t kNameRunLength = 90;
// The geometry lines up to "Clusters".
constexpr size_t kClusterLines = 5;

void WriteDetailsLine(const DetailsLine& line, ViewText* view, Json* json) {
  if (view) view->push_back(std::u16string(line.Label) + u" - " + line.Text);
  if (json) json->Set(line.Key, line.Value);
}

}  // namespace

std::unique_ptr<OpenedFileSystem> FileSystem::Open() const {
  std::unique_ptr<OpenedFileSystem> volume = NewVolume();
  volume->ReadGeometry();
  return volume;
}

std::u16string_view OpenedFileSystem::Name() const { return type_.Name(Geometry().FileSystemKind); }

Location OpenedFileSystem::LocateMftRecord(uint64_t, const MessagePump&) const {
  return Refuse("the volume is not NTFS: it has no MFT");
}

Location OpenedFileSystem::LocateInode(uint64_t) const {
  return Refuse("the volume is not ext2, ext3 or ext4: it has no inodes");
}

std::optional<JumpTarget> OpenedFileSystem::TargetOfLine(const ViewText& view, size_t line) const {
  return ReportLineTarget(view, line);
}

std::u16string OpenedFileSystem::Refusal() const { return u"Access to boot sector denied"; }

bool OpenedFileSystem::WalkOwnership(OwnershipIndex&, const WalkHooks&, std::string* why) const {
  *why = "the volume's file system is not one whose files Korvalane walks";
  return false;
}

FileLookup OpenedFileSystem::FindFiles(const FileQuery&) const {
  return FileLookup{{}, "the volume's file system is not one whose files Korvalane gives back"};
}

FileData OpenedFileSystem::ReadFileData(const FileEntry&) const {
  FileData data;
  data.Grade = DataGrade::Partial;
  data.Problems.push_back("the volume's file system is not one whose files Korvalane gives back");
  return data;
}

std::span<const FileSystem* const> FileSystems() {
  // The registrations: a new file system adds its folder and one line here.
  static const FileSystem* const kAll[] = {
      &ExfatFileSystem(),
      &BitlockerFileSystem(),  // "-FVE-FS-" where NTFS keeps its OEM name: asked before NTFS
      &NtfsFileSystem(),
      &FatFileSystem(),
      &XfsFileSystem(),
      &ExtFileSystem(),  // its mark lies past sector 0: asked last
      &LuksFileSystem(),  // a damaged LUKS2 is known by its secondary header, past sector 0
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

namespace {

std::unique_ptr<OpenedFileSystem>& CurrentVolumeSlot() {
  static std::unique_ptr<OpenedFileSystem> current;
  return current;
}

}  // namespace

const OpenedFileSystem* CurrentFileSystem() {
  std::unique_ptr<OpenedFileSystem>& current = CurrentVolumeSlot();
  const FileSystem* type = FileSystemOf(Geometry().FileSystemKind);
  if (!type) return nullptr;
  if (!current || &current->Type() != type) current = type->NewVolume();
  return current.get();
}

bool OpenCurrentVolume() {
  std::unique_ptr<OpenedFileSystem>& current = CurrentVolumeSlot();
  const FileSystem* type = FileSystemOf(Geometry().FileSystemKind);
  current = type ? type->Open() : nullptr;
  return current && current->Usable();
}

std::u16string DetailsHeading() {
  const std::string& drive = Geometry().CurrentDrive;
  return u"Drive " + std::u16string(drive.begin(), drive.end()) + u"\\, ";
}

void WriteDetailsLines(std::initializer_list<DetailsLine> lines, ViewText* view, Json* json) {
  for (const DetailsLine& line : lines) WriteDetailsLine(line, view, json);
}

void WriteGeometryLines(const VolumeGeometry& g, GeometryLines reach, ViewText* view, Json* json) {
  const DetailsLine lines[] = {
      NumberLine(u"Bytes per sector", "bytesPerSector", g.BytesPerSector),
      NumberLine(u"Bytes per cluster", "bytesPerCluster", g.BytesPerCluster),
      NumberLine(u"Sectors per cluster", "sectorsPerCluster", g.SectorsPerCluster),
      NumberLine(u"Sectors", "sectors", g.TotalSectors),
      NumberLine(u"Clusters", "clusters", g.Clusters),
      // FAT and exFAT only.
      NumberLine(u"Sectors before FAT", "sectorsBeforeFat", g.ReservedSectors),
      NumberLine(u"FAT copies", "fatCopies", g.FatCopies),
      NumberLine(u"FAT sectors", "fatSectors", g.FatSectors),
      NumberLine(u"FAT size", "fatSizeBytes", g.FatSizeBytes),
      NumberLine(u"Start data sector", "startDataSector", g.StartDataSector),
  };
  const size_t shown = reach == GeometryLines::ToDataStart ? std::size(lines) : kClusterLines;
  for (size_t i = 0; i < shown; ++i) WriteDetailsLine(lines[i], view, json);
}

std::string BootSectorNameText(std::span<const uint8_t> bootSector) {
  std::string text;
  for (size_t i = 0; i < kNameRunLength && i < bootSector.size(); ++i) {
    if (bootSector[i] > 30) text += static_cast<char>(bootSector[i]);
  }
  return text;
}

}  // namespace korvalane
