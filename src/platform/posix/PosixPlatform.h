#pragma once

#include <memory>
#include <mutex>

#include "core/Platform.h"
#include "platform/posix/DriveTable.h"

namespace korvalane {

// Image files, block devices and their partitions, through a drive table. Every read
// checks that position and length are whole sectors of the source's logical sector size
// and lie within the drive (as a raw Windows volume refuses them otherwise), and reads
// from the drive's source at the drive's first byte onward. The source last read is kept
// open (a raw image's or a device's descriptor) until a read of another source or
// ReleaseVolumes, so that a walk over a volume does not open and close it for each of its
// thousands of reads.
class PosixPlatform final : public Platform {
 public:
  explicit PosixPlatform(DriveTable table) : table_(std::move(table)) {}

  bool ReadVolume(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) override;
  bool ReadVolumeDirect(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) override;
  // From a raw image or a device into a regular file or a block device; a container, a
  // character device (/dev/null, /dev/full) or anything else is Refused.
  VolumeCopy CopyVolumeToFile(std::string_view drive, uint64_t position, uint64_t length,
                              const std::filesystem::path& file) override;
  void ReleaseVolumes() override;
  std::optional<std::string> FileSystemName(std::string_view rootPath) override;
  uint32_t LogicalDrives() override { return table_.LetterMask(); }
  int64_t VolumeTotalBytes(std::string_view drive) override;
  bool IsDriveAccessible(std::string_view drive) override;
  std::string DriveSource(std::string_view drive) override;
  std::string DriveDescription(std::string_view drive) override;
  std::vector<std::string> DriveFiles(std::string_view drive) override;
  bool DriveIsPartition(std::string_view drive) override;
  DrivePlacement PlaceInSource(std::string_view drive) override;
  uint32_t DiskSectorSize(std::string_view drive) override;
  std::string DriveDamage(std::string_view drive) override;
  bool AwaitsAuthorization(std::string_view drive) override;
  std::string OpenError(std::string_view drive) override;
  std::string AuthorizeDrive(std::string_view drive) override;
  std::string ReadRemark(std::string_view drive) override;
  std::vector<std::string> AddSources(const std::vector<std::string>& sources) override;
  std::optional<CivilTime> FileTimeToLocal(uint64_t fileTime) override;
  std::u16string FormatDateTime(const CivilTime& time) override;
  bool OpenLink(std::string_view url) override;
  bool SetFileTimes(const std::filesystem::path& path, std::optional<int64_t> modified,
                    std::optional<int64_t> accessed) override;

  const DriveTable& Table() const { return table_; }

 private:
  bool Read(std::string_view drive, uint64_t position, std::span<uint8_t> buffer, bool direct);
  // The drive's entry when `length` bytes at `position` are whole sectors within it,
  // else null (as a raw Windows volume refuses the read).
  const DriveEntry* Readable(std::string_view drive, uint64_t position, uint64_t length) const;

  // The source that is kept open: the one of the drive read last.
  void Keep(const std::shared_ptr<Source>& source);

  DriveTable table_;
  std::mutex keptMutex_;
  std::shared_ptr<Source> kept_;
};

}  // namespace korvalane
