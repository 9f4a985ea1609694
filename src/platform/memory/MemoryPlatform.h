#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/Platform.h"

namespace korvalane {

// Volumes held in memory, for tests. A drive behaves like a raw volume (reads must be
// whole sectors within it) and can be told to fail its open, refuse reads of chosen
// sectors, or deliver fewer bytes than asked. Reads come from one thread at a time. Times are shown in UTC as
// "YYYY-MM-DD HH:MM:SS" so that tests do not depend on the machine's zone or locale.
class MemoryPlatform final : public Platform {
 public:
  struct Drive {
    std::vector<uint8_t> Bytes;
    uint32_t SectorSize = 512;
    std::optional<std::string> FileSystemName;  // what the system would call it
    std::string Source;
    bool FailOpen = false;
    std::set<uint64_t> UnreadableSectors;  // in units of SectorSize
    std::optional<size_t> DeliverAtMost;   // a short read: bytes delivered at most
    std::optional<int64_t> TotalBytes;     // overrides the size the system reports
    std::string Description;               // what DriveDescription says (the source when empty)
    bool IsPartition = false;
    std::string OpenError;                 // why it cannot be opened, when FailOpen
    // Like a block device's page cache: a cached read fails when any unreadable sector
    // lies in one of the pages of this many bytes that it touches; a direct read fails
    // only for its own sectors. 0: no cache.
    uint32_t CachePageBytes = 0;
  };

  // Adds (or replaces) the drive of `letter` ('C' for C:).
  Drive& AddDrive(char letter, std::vector<uint8_t> bytes, uint32_t sectorSize = 512);
  void RemoveDrive(char letter);
  Drive* Find(std::string_view drive);

  // Called before every read with the drive, position and length; returning false refuses
  // the read. Lets a test make a source disappear in the middle of a copy.
  std::function<bool(std::string_view drive, uint64_t position, size_t length)> BeforeRead;

  // Stands for the system's copy of a volume's bytes into a file: called with what
  // CopyVolumeToFile is asked. Empty: every such copy is Refused, as on a platform that
  // has none.
  std::function<VolumeCopy(std::string_view drive, uint64_t position, uint64_t length, const std::filesystem::path& file)>
      CopyToFile;

  // As a system platform keeps the drive read last open: a read of another drive closes
  // it and opens that one; ReleaseVolumes, and replacing or removing the drive, close it.
  int Opens = 0;
  int Closes = 0;
  int Reads = 0;   // reads attempted (opened successfully)
  int DirectReads = 0;  // of those, the reads past the cache

  bool ReadVolume(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) override;
  bool ReadVolumeDirect(std::string_view drive, uint64_t position, std::span<uint8_t> buffer) override;
  VolumeCopy CopyVolumeToFile(std::string_view drive, uint64_t position, uint64_t length,
                              const std::filesystem::path& file) override {
    return CopyToFile ? CopyToFile(drive, position, length, file) : VolumeCopy::Refused;
  }
  void ReleaseVolumes() override;
  // The letter of the drive kept open, 0 when none is.
  char KeptDrive() const { return kept_; }
  std::optional<std::string> FileSystemName(std::string_view rootPath) override;
  uint32_t LogicalDrives() override;
  int64_t VolumeTotalBytes(std::string_view drive) override;
  bool IsDriveAccessible(std::string_view drive) override;
  std::string DriveSource(std::string_view drive) override;
  std::string DriveDescription(std::string_view drive) override;
  bool DriveIsPartition(std::string_view drive) override;
  // A partition's SectorSize is its disk's.
  uint32_t DiskSectorSize(std::string_view drive) override;
  std::string OpenError(std::string_view drive) override;
  std::optional<CivilTime> FileTimeToLocal(uint64_t fileTime) override;
  std::u16string FormatDateTime(const CivilTime& time) override;
  bool OpenLink(std::string_view url) override;

  std::vector<std::string> OpenedLinks;
  std::vector<std::string> FileSystemQueries;  // the root paths asked about

 private:
  bool Read(std::string_view drive, uint64_t position, std::span<uint8_t> buffer, bool direct);

  std::map<char, Drive> drives_;
  char kept_ = 0;
};

}  // namespace korvalane
