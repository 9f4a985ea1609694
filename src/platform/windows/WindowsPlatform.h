#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Platform.h"
#include "platform/SystemPlatform.h"

namespace korvalane {

// A drive of the Windows platform: a mounted volume read raw through \\.\D:, an image
// file or a whole physical disk (\\.\PhysicalDrive1) presented as a disk, or one partition
// of such an image or disk.
struct WindowsDrive {
  char Letter = 'C';
  std::string ImagePath;      // the image file or disk device; empty for a mounted volume
  uint32_t SectorSize = 512;  // image files: the sector size reads must be aligned to
  uint64_t FirstByte = 0;     // a partition's first byte in its image or disk
  std::optional<uint64_t> Bytes;  // a partition's length; none: to the end
  bool IsPartition = false;
  std::string Description;    // what the drive is, for the user; the source when empty
};

// The Win32 platform. A read opens the volume (or the image file, or the disk) with
// CreateFileW and reads once at an OVERLAPPED position; the handle is kept for the reads
// that follow, until a read of another volume, a read that fails, or ReleaseVolumes (and
// an image file's until it is deleted or replaced under its name). A
// raw volume refuses reads that are not whole sectors on its own; an image file is held
// to the same rule here, so that the sector-size probe finds the size the image is
// presented with.
class WindowsPlatform final : public Platform {
 public:
  // Every volume the system has, at its own letter.
  WindowsPlatform() = default;

  // Exactly the drives given.
  explicit WindowsPlatform(std::vector<WindowsDrive> drives);

  // The drives named on a command line. A drive name ("D:", "d:", "D:\" or "\\.\D:")
  // keeps its own letter; every other source is an image file or a physical disk and
  // takes the next letter from C: on that no named drive uses, in the order given, and
  // when it carries a partition table its partitions take the letters after it. Sources
  // past Z: are dropped. With a partition asked for, an image or disk gives only that
  // partition; `error` then names a source that lacks it.
  static WindowsPlatform FromSources(const std::vector<std::string>& sources, const SourceOptions& options = {},
                                     std::string* error = nullptr);

  // The letter of a drive name as above, or nothing for anything else.
  static std::optional<char> DriveNameLetter(std::string_view source);

  bool ReadVolume(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) override;
  void ReleaseVolumes() override;
  std::optional<std::string> FileSystemName(std::string_view rootPath) override;
  uint32_t LogicalDrives() override;
  int64_t VolumeTotalBytes(std::string_view drive) override;
  bool IsDriveAccessible(std::string_view drive) override;
  std::string DriveSource(std::string_view drive) override;
  std::string DriveDescription(std::string_view drive) override;
  bool DriveIsPartition(std::string_view drive) override;
  uint32_t DiskSectorSize(std::string_view drive) override;
  std::string OpenError(std::string_view drive) override;
  std::vector<std::string> AddSources(const std::vector<std::string>& sources) override;
  std::optional<CivilTime> FileTimeToLocal(uint64_t fileTime) override;
  std::u16string FormatDateTime(const CivilTime& time) override;
  bool OpenLink(std::string_view url) override;

  const std::vector<WindowsDrive>& Drives() const { return drives_; }

 private:
  // Gives each image file or disk of `sources` (and each of its partitions) the next letter
  // from C: on that `taken` does not hold, adding them to `drives`; the letters given.
  static std::vector<char> PlaceImages(const std::vector<std::string>& sources, const SourceOptions& options,
                                       uint32_t& taken, std::vector<WindowsDrive>& drives, std::string* error);

  // The drive a name such as "C:" or "C:\" stands for, or nothing when the name is not a
  // drive name or (with a list of drives) not in the list.
  std::optional<WindowsDrive> Find(std::string_view drive) const;

  // An open handle of a volume, an image or a disk, closed when its last reader lets go.
  struct KeptHandle;
  // The handle of the drive's volume or source: the kept one when it is of the same path,
  // else a new one, kept instead. Nothing when it cannot be opened.
  std::shared_ptr<KeptHandle> Open(const WindowsDrive& drive);
  void Forget(const std::shared_ptr<KeptHandle>& handle);

  bool restricted_ = false;  // true: only drives_ exist
  std::vector<WindowsDrive> drives_;
  // The handle kept, apart so that the platform can still be moved.
  struct Kept {
    std::mutex Mutex;
    std::shared_ptr<KeptHandle> Handle;
  };
  std::unique_ptr<Kept> kept_ = std::make_unique<Kept>();
};

}  // namespace korvalane
