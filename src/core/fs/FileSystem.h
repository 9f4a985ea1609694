#pragma once

#include <concepts>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/FileData.h"
#include "core/model/Location.h"
#include "core/model/Structure.h"
#include "core/model/ViewText.h"
#include "core/text/Json.h"
#include "core/text/NumberFormat.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

class OwnershipIndex;
struct WalkHooks;

// What a "File record" view is asked for beside its lines and its JSON.
struct RecordOptions {
  // A FAT directory's later clusters are listed too, found through the FAT chain (with a
  // long name that begins in the cluster before completed from it). The window's view
  // lists only a directory's first cluster, as it always has; the command line asks.
  bool FollowDirectoryChains = false;
  // Where given, the indices of the view's lines that show something deleted: a deleted
  // directory entry, an MFT record or an inode no longer in use. The window marks them.
  std::vector<size_t>* DeletedLines = nullptr;
};

class OpenedFileSystem;

// A file system as the registry lists it: how its volumes are recognised and named, and
// how one is opened. Each file system lives in its own folder (fs/fat, fs/exfat, fs/ntfs,
// fs/ext) and is listed once in FileSystems(); nothing else switches on FileSystemKind.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // Whether `kind` is one of this file system's (FAT answers for FAT12/16 and FAT32).
  virtual bool Handles(FileSystemKind kind) const = 0;

  // The kind's name in the volume label, the drive list and the JSON ("FAT16", "NTFS").
  virtual std::u16string_view Name(FileSystemKind kind) const = 0;

  // The kind the operating system's name of a mounted file system means ("FAT32").
  virtual std::optional<FileSystemKind> FromSystemName(std::string_view name) const = 0;

  // The kind sector 0 of CurrentDrive shows (`bootSector`, at the probed length), when
  // it is this file system's. A file system whose mark lies past sector 0 reads it itself.
  virtual std::optional<FileSystemKind> Recognise(std::span<const uint8_t> bootSector) const = 0;

  // A volume of this file system on CurrentDrive, nothing of it parsed yet.
  virtual std::unique_ptr<OpenedFileSystem> NewVolume() const = 0;

  // Opens CurrentDrive (FileSystemKind is set already): its boot sector or superblock is
  // parsed once into the object, which fills VolumeGeometry as the view of its geometry.
  // The object answers even where the boot sector was refused (Usable() is then false).
  std::unique_ptr<OpenedFileSystem> Open() const;
};

// One opened volume: what its boot sector or superblock gave, parsed once, and what the
// views, the command line and the window ask of it, without knowing which file system
// it is.
//
// A report (Details, a record) is read once and written both as the view's lines and as
// JSON fields from the same values: either output may be null when it is not wanted.
class OpenedFileSystem {
 public:
  explicit OpenedFileSystem(const FileSystem& type) : type_(type) {}
  virtual ~OpenedFileSystem() = default;
  OpenedFileSystem(const OpenedFileSystem&) = delete;
  OpenedFileSystem& operator=(const OpenedFileSystem&) = delete;

  const FileSystem& Type() const { return type_; }

  // Whether the last ReadGeometry could use the boot sector.
  bool Usable() const { return usable_; }

  // Parses the boot sector of CurrentDrive into the object and fills VolumeGeometry from
  // it. False for a boot sector it cannot use.
  bool ReadGeometry() { return usable_ = Parse(); }

  // The volume's name in the label, the drive list and the JSON: its kind's, or what the
  // parse found (ext's "ext4").
  virtual std::u16string_view Name() const;

  // The "Details" report after a successful ReadGeometry: from the "Drive X:\, ..." line
  // on. `json` is an object holding "drive" and "fileSystem"; the report adds the rest.
  virtual void Details(ViewText* view, Json* json, const MessagePump& pump) const = 0;

  // The "File record" view at `sector` (a directory cluster, an MFT record). `json` is
  // an empty object; it is left empty where the sector holds no listing or record that
  // can be shown (FileRecordJson then answers {"found": false}).
  virtual void Record(uint64_t sector, ViewText* view, Json* json, const RecordOptions& options,
                      const MessagePump& pump) const = 0;

  // The first sector of cluster `cluster`, or why there is none.
  virtual Location LocateCluster(uint64_t cluster) const = 0;

  // The first sector of MFT record `record`; only NTFS numbers its records so.
  virtual Location LocateMftRecord(uint64_t record, const MessagePump& pump) const;

  // Which of its on-disk structures sector `sector` holds (the decoders' names, as
  // `fields --as` takes them), and the structures it keeps a backup copy of.
  virtual std::optional<StructureChoice> StructureAt(uint64_t) const { return std::nullopt; }
  virtual std::vector<StructureBackup> StructureBackups() const { return {}; }

  // The sector that holds inode `inode`; only ext numbers its files so.
  virtual Location LocateInode(uint64_t inode) const;

  // Where line `line` of a view of this volume points, if anywhere. FAT, exFAT and NTFS
  // share the forms of their report lines (ReportLineTarget); ext has its own.
  virtual std::optional<JumpTarget> TargetOfLine(const ViewText& view, size_t line) const;

  // What the volume calls the units LocateCluster counts: "cluster", or ext's "block".
  virtual std::u16string_view ClusterName() const { return u"cluster"; }

  // The one line Details shows when ReadGeometry refused the volume.
  virtual std::u16string Refusal() const;

  // Walks the volume once into `index`: what uses each of its sectors. False, with `why`,
  // where the walk cannot be made or was stopped, or this file system has none.
  virtual bool WalkOwnership(OwnershipIndex& index, const WalkHooks& hooks, std::string* why) const;

  // The files and folders `query` names (a path, a record, a folder's entries), live ones
  // and, where the query asks, deleted ones. Nothing, with Why, where none is found or
  // this file system gives no files back.
  virtual FileLookup FindFiles(const FileQuery& query) const;

  // Where the bytes of `entry` (as FindFiles gave it) are: its pieces in file order.
  virtual FileData ReadFileData(const FileEntry& entry) const;

 private:
  virtual bool Parse() = 0;

  const FileSystem& type_;
  bool usable_ = false;
};

// Every file system, in the order detection asks them (the first that recognises a boot
// sector decides: exFAT's name holds "FAT", so exFAT is asked before FAT).
std::span<const FileSystem* const> FileSystems();

// The file system of `kind`; nothing for FileSystemKind::Unknown.
const FileSystem* FileSystemOf(FileSystemKind kind);

// The opened file system of the current volume, if its kind (Geometry().FileSystemKind)
// has one: the object the last OpenCurrentVolume made, or, where the kind was since set
// to another, a new object of that kind with nothing parsed.
const OpenedFileSystem* CurrentFileSystem();

// Opens CurrentDrive as its FileSystemKind says and keeps the object as the current one
// (none for Unknown). True when its boot sector could be used.
bool OpenCurrentVolume();

// The text of the first 90 bytes of a boot sector without the bytes of value 30 or below:
// the jump, the OEM name at 3 ("NTFS    ", "EXFAT   ") and the BIOS parameter block
// with FAT's type labels at 54 ("FAT16   ") and 82 ("FAT32   "); the padding between
// the names drops out.
std::string BootSectorNameText(std::span<const uint8_t> bootSector);

// "Drive C:\, ": how the first line of every details report begins.
std::u16string DetailsHeading();

// One number of a details report: its line ("Bytes per sector - 512") and its JSON field.
struct DetailsLine {
  std::u16string_view Label;
  const char* Key;
  std::u16string Text;
  Json Value;
};
template <std::integral T>
DetailsLine NumberLine(std::u16string_view label, const char* key, T value) {
  return DetailsLine{label, key, Decimal(value), Json(value)};
}

// The lines in order, and their fields in the same order (either output may be null).
void WriteDetailsLines(std::initializer_list<DetailsLine> lines, ViewText* view, Json* json);

// The geometry lines details reports open with after the heading, and the same values as
// JSON fields (either output may be null): from "Bytes per sector" to "Clusters" (NTFS),
// or on to the FATs' lines and "Start data sector" (FAT and exFAT).
enum class GeometryLines { ToClusters, ToDataStart };
void WriteGeometryLines(const VolumeGeometry& g, GeometryLines reach, ViewText* view, Json* json);

// A refusal of a locate request.
inline Location Refuse(std::string why) { return Location{std::nullopt, std::move(why)}; }

}  // namespace korvalane
