#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvalane {

enum class PartitionScheme {
  None,  // no partition table: a volume of its own, or nothing known
  Mbr,   // the DOS table of sector 0, with its chain of extended boot records
  Gpt,   // the GUID partition table (a protective or hybrid MBR gives way to it)
};

// One partition of a disk, in the disk's sectors.
struct Partition {
  // The number Linux and sfdisk give it: MBR 1-4 for the primary entries, 5 and on for
  // the logical partitions in the order of their chain; GPT the entry's index + 1.
  uint32_t Number = 0;
  uint64_t FirstSector = 0;
  uint64_t SectorCount = 0;  // at least 1
  uint8_t MbrType = 0;       // MBR: the type byte
  std::string TypeGuid;      // GPT: the type GUID, upper case ("EBD0A0A2-B9E5-...")
  std::string TypeName;      // "NTFS/exFAT", "Linux filesystem", ...
  std::u16string Name;       // GPT: the partition's name, empty when none
  bool Extended = false;     // MBR: an extended partition, the container of logical ones

  uint64_t LastSector() const { return FirstSector + SectorCount - 1; }
};

struct PartitionTable {
  PartitionScheme Scheme = PartitionScheme::None;
  uint32_t SectorSize = 512;
  uint64_t DiskSectors = 0;
  // The partitions that lie within the disk, in table order. A partition that reaches
  // past the disk, or has no sectors, is left out and named in Notes instead.
  std::vector<Partition> Partitions;
  // What was damaged, refused or odd about the table, one sentence each, for the user.
  std::vector<std::u16string> Notes;
};

// Reads whole sectors of the disk: `buffer.size()` bytes from sector `sector` on. False
// when they cannot be read.
using DiskReader = std::function<bool(uint64_t sector, std::span<uint8_t> buffer)>;

// Reads the partition table of a disk of `diskSectors` sectors of `sectorSize` bytes.
// A disk whose sector 0 is the boot sector of a FAT, exFAT or NTFS volume is that volume,
// not a partitioned disk, whatever else sector 0 holds (as libblkid and sfdisk decide).
// Whatever the disk holds, every read stays within the disk, every loop is bounded and
// every buffer is sized before it is read.
PartitionTable ReadPartitionTable(const DiskReader& read, uint32_t sectorSize, uint64_t diskSectors);

// True when the bytes (sector 0, at least 512 of them) are the boot sector of a FAT,
// exFAT or NTFS volume.
bool IsVolumeBootSector(std::span<const uint8_t> sector0);

// The sector size an image's content declares: N when a GPT header stands at byte N
// (512, 1024, 2048 or 4096); for a bare FAT, exFAT or NTFS volume the bytes per sector of
// its boot sector when that is one of those; otherwise 512. `head` is the start of the
// image (8 KiB or what there is of it).
uint32_t DetectImageSectorSize(std::span<const uint8_t> head);

// How many bytes of an image's start DetectImageSectorSize looks at.
inline constexpr size_t kSectorSizeProbeBytes = 8192;

// "NTFS/exFAT", "Linux", ... for an MBR type byte; "Unknown" for a byte not known here.
std::string MbrTypeName(uint8_t type);

// "EFI System", "Linux filesystem", ... for a GPT type GUID in upper case; the GUID itself
// for one not known here.
std::string GptTypeName(const std::string& typeGuid);

// The scheme's name as the details report shows it: "MBR", "GPT" or "none".
std::u16string SchemeName(PartitionScheme scheme);

// What the partition is, after its number: "sectors 34816-131071, NTFS/exFAT 0x07", or for
// GPT "sectors 2048-34815, Microsoft basic data, \"data\"" (the name only where there is one).
std::u16string DescribePartition(const Partition& partition, PartitionScheme scheme);

}  // namespace korvalane
