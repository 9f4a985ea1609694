#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvalane {

// A calendar date and time, as the user's clock shows it.
struct CivilTime {
  int Year = 0;
  int Month = 0;
  int Day = 0;
  int Hour = 0;
  int Minute = 0;
  int Second = 0;
  int Millisecond = 0;
};

// Where a drive lies in the file or device it is read from.
struct DrivePlacement {
  uint64_t FirstByte = 0;      // the source's byte where the drive starts (a partition's first byte)
  int64_t SourceBytes = -1;    // the whole source's size; -1 when unknown
  std::string Container;       // the container format the source is read through; empty for a raw
                               // file or device, whose positions are the file's own
};

// How a copy of a volume's bytes straight into a file went (Platform::CopyVolumeToFile).
enum class VolumeCopy {
  Copied,   // every byte is in the file
  Refused,  // the system cannot copy these two by itself; nothing was written
  Failed,   // a read (or write) failed on the way; what reached the file was taken back
};

// What the core needs from the operating system. The core never opens a device or asks the
// system anything itself: a view asks for bytes at a position of a drive ("C:") and never
// cares whether they come from \\.\C:, /dev/sdb1 or disk.img.
class Platform {
 public:
  virtual ~Platform() = default;

  // Reads buffer.size() bytes at byte `position` of the volume of `drive` (a letter and a
  // colon), read-only. The volume's source is opened at the first read and kept open for
  // the reads that follow, until a read of another drive's source or ReleaseVolumes; a
  // source replaced or gone meanwhile is opened anew or fails, never read stale. False
  // when the volume cannot be opened or the read is refused (position or length not a
  // whole multiple of the device's sector size, a read past the end, a device error). On
  // return every byte the read did not deliver is zero: the whole buffer after a failure,
  // the tail after a short read that the system reported as done. Reads may come from
  // several threads at once.
  virtual bool ReadVolume(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) = 0;

  // The same read past the system's cache where it keeps one (a block device read with
  // O_DIRECT): a cached read of a device fails for the whole page around one bad sector,
  // a direct one only for the sectors that really cannot be read. The same rules for the
  // result and the buffer as ReadVolume; a platform without such a cache reads as usual.
  virtual bool ReadVolumeDirect(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) {
    return ReadVolume(drive, position, buffer);
  }

  // Copies `length` bytes at byte `position` of the volume of `drive` into the file at
  // `file` from its first byte on, inside the system, without passing them through the
  // program's memory (on Linux copy_file_range, else splice through a pipe, else
  // sendfile, between a page cache and another). The file has been created empty, and
  // nothing else writes it meanwhile. The same rules as ReadVolume for what may be read. Refused when the platform, the source
  // (a container read through its library) or the pair of files does not allow such a
  // copy: the caller then reads the bytes itself. On Failed the file is empty again where
  // it can be emptied (any other file is overwritten by whatever the caller writes next).
  virtual VolumeCopy CopyVolumeToFile(std::string_view /*drive*/, uint64_t /*position*/, uint64_t /*length*/,
                                      const std::filesystem::path& /*file*/) {
    return VolumeCopy::Refused;
  }

  // Closes whatever reading keeps open; the next read opens its volume again. Choosing a
  // drive calls it, so that a drive chosen again is read as it is now.
  virtual void ReleaseVolumes() {}

  // The name of the file system mounted at a root path such as "C:\" ("FAT", "FAT32",
  // "NTFS", or whatever else the system calls it), or nothing when the query fails.
  virtual std::optional<std::string> FileSystemName(std::string_view rootPath) = 0;

  // Bit i set: the drive whose letter is 'A' + i is present.
  virtual uint32_t LogicalDrives() = 0;

  // The volume's total size in bytes, or -1 when it cannot be had.
  virtual int64_t VolumeTotalBytes(std::string_view drive) = 0;

  // True when the drive names a volume that is there and ready (a medium in it).
  virtual bool IsDriveAccessible(std::string_view drive) = 0;

  // Where the drive's bytes come from (a device path or an image file), for showing to
  // the user and for refusing to export a volume into itself; empty when unknown.
  virtual std::string DriveSource(std::string_view drive) = 0;

  // What the drive is, for the user: its source, and for a partition of a disk which one
  // ("disk.img, partition 2 (sectors 34816-131071, NTFS/exFAT 0x07)").
  virtual std::string DriveDescription(std::string_view drive) { return DriveSource(drive); }

  // Every file the drive's bytes are read from: its source, and for a container all of
  // its parts (segment, extent, parent and backing files). None of them may be written.
  virtual std::vector<std::string> DriveFiles(std::string_view drive) { return {DriveSource(drive)}; }

  // True when the drive is one partition of a partitioned disk rather than a whole disk or
  // a volume of its own.
  virtual bool DriveIsPartition(std::string_view) { return false; }

  // The logical sector size of the disk the drive lies on, which is the drive's whatever
  // its own first sector holds: a partition's disk's, a container's own (stored in it or
  // found as it was opened). 0 where only reading the drive can tell (an image file or a
  // device of its own).
  virtual uint32_t DiskSectorSize(std::string_view) { return 0; }

  // What is wrong with the container the drive is read from though it opens, in words
  // for the user ("damaged or cut short: its tables point past its end at byte
  // 2000000"); empty when nothing is known to be.
  virtual std::string DriveDamage(std::string_view) { return {}; }

  // Where the drive lies in its source. A platform whose drives are whole volumes has them
  // at the start of sources of their own size.
  virtual DrivePlacement PlaceInSource(std::string_view drive) { return {0, VolumeTotalBytes(drive), {}}; }

  // Adds image files (or devices) while the program runs, as the drives after the last one
  // there is, a partitioned disk as the disk and then each partition. The names of their
  // drives ("F:", "G:", ...), in order; where the platform can tell that a source is
  // there already, the drives it has rather than new ones. None where the platform cannot add sources or no letter
  // is left.
  virtual std::vector<std::string> AddSources(const std::vector<std::string>&) { return {}; }

  // Why the drive's source cannot be opened for reading, in words for the user
  // ("Permission denied (reading a disk needs root or membership of its group, here
  // 'disk')"); empty when it can be.
  virtual std::string OpenError(std::string_view) { return {}; }

  // True while the drive waits for the read access that AuthorizeDrive asks for: its
  // OpenError is no reason it can never be read.
  virtual bool AwaitsAuthorization(std::string_view) { return false; }

  // Asks the system for read access to a drive that needs it (on Linux a disk only an
  // administrator may read, through UDisks2 and polkit, which may show the desktop's
  // password dialog); once had, it is kept while the program runs. Empty when the drive
  // can be read, else why not.
  virtual std::string AuthorizeDrive(std::string_view) { return {}; }

  // What the user should hear about how the drive's reads went (direct reads that had
  // to go through the cache), empty when nothing.
  virtual std::string ReadRemark(std::string_view) { return {}; }

  // A FILETIME (100 ns ticks since 1601-01-01 UTC) as local calendar time, or nothing when
  // the system cannot convert it.
  virtual std::optional<CivilTime> FileTimeToLocal(uint64_t fileTime) = 0;

  // The date in the user's short date format, a blank, and the time in the user's long
  // time format.
  virtual std::u16string FormatDateTime(const CivilTime& time) = 0;

  // Asks the desktop to open a web page or a mailto: link. False when it could not.
  virtual bool OpenLink(std::string_view url) = 0;

  // Sets the modification and access times of a file or folder the program has written
  // (nanoseconds since 1970-01-01 UTC; a time not given is left as it is), without
  // following a symbolic link. False where the system refused or cannot set them.
  virtual bool SetFileTimes(const std::filesystem::path& /*path*/, std::optional<int64_t> /*modified*/,
                            std::optional<int64_t> /*accessed*/) {
    return false;
  }
};

// The platform in use. The program sets it once at start-up; tests set their own.
Platform& CurrentPlatform();
void SetPlatform(Platform* platform);

}  // namespace korvalane
