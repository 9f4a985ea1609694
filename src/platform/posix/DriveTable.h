#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/disk/PartitionTable.h"
#include "platform/Source.h"
#include "platform/SystemPlatform.h"

namespace korvalane {

// One drive letter and the bytes behind it: a whole source (an image, a disk, a volume),
// or one partition of it.
struct DriveEntry {
  char Letter = 'C';
  std::shared_ptr<Source> From;
  std::string Path;           // the source's name, as the user gave it
  uint32_t SectorSize = 512;  // the logical sector size reads are aligned to
  uint64_t FirstByte = 0;     // where the drive starts in its source
  std::optional<uint64_t> Bytes;  // the drive's length; none: to the source's end
  bool IsPartition = false;
  std::string Description;    // what the drive is, for the user
  std::string Volume;         // a logical volume's name, "vg0/root", as --volume picks it
};

class LvmAssembly;

// Maps drive letters to sources, from C: on.
class DriveTable {
 public:
  // The named sources, in order from C: on (at most 24 drives). A source that carries a
  // partition table gives the whole disk, then each partition in table order.
  static DriveTable FromSources(const std::vector<std::string>& sources, const SourceOptions& options = {});

  // The machine's block devices in kernel order: each whole disk, then its partitions.
  // Where the system made no device nodes for a disk's partitions (a loop device attached
  // without -P), the partitions come from the table read through the whole disk. Devices
  // of size 0 (empty loops, absent media) are left out.
  static DriveTable FromMachine(const std::string& sysClassBlock = "/sys/class/block",
                                const std::string& devDir = "/dev");

  // Adds sources after the drives there are; the letters of their drives, in order. A
  // source the table has already (the same file, by whatever path) is not added again:
  // its letters are those of the drives it has.
  std::vector<char> Append(const std::vector<std::string>& sources, const SourceOptions& options = {});

  // The entry of a drive name such as "C:" (only its first character counts).
  const DriveEntry* Find(std::string_view drive) const;

  uint32_t LetterMask() const;
  const std::vector<DriveEntry>& Entries() const { return entries_; }

  // Why the table could not be made as asked (a partition that a source does not have),
  // empty when it could.
  const std::string& Error() const { return error_; }

 private:
  // Adds the drives of one source; false once every letter is taken.
  bool AddSource(const std::shared_ptr<Source>& source, const SourceOptions& options);
  bool Add(DriveEntry entry);
  // Looks for PVs on the drives from index `first` on and adds the LVs of the VGs that
  // are complete now; false once every letter is taken.
  bool AddLogicalVolumes(size_t first);
  // Keeps only the drive of the logical volume named, as C:.
  void KeepVolume(const std::string& volume);
  // Adds the md RAID arrays the drives' members make, each after the drives there are,
  // with its partitions; false once every letter is taken.
  bool AddArrays();
  // The drives of the source that names the same file as `path`: its own, then its
  // partitions; none when no source does.
  std::vector<char> DrivesOf(const std::string& path) const;

  std::vector<DriveEntry> entries_;
  std::string error_;
  // The PVs found on the drives so far, and the VGs whose LVs are drives already.
  std::shared_ptr<LvmAssembly> lvm_;
};

// Whether a sector size is one the program can present an image with.
bool IsSupportedSectorSize(uint32_t size);

// The source behind a path: a block device with its own sector size, or an image file
// with the one asked for, or (0) the one its content declares. A device the user may not
// open is asked for through UDisks2 `when` said.
std::shared_ptr<Source> OpenSource(const std::string& path, uint32_t imageSectorSize,
                                   DeviceAuthorization when = DeviceAuthorization::WhenSelected);

// The partition table of a source, read through it at its sector size.
PartitionTable ReadSourcePartitionTable(Source& source);

}  // namespace korvalane
