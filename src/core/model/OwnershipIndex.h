#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "core/text/Json.h"

namespace korvalane {

// What can use a sector of a volume.
enum class OwnerKind : uint8_t {
  Free,        // an allocation table or bitmap marks it free
  Metadata,    // boot sector, reserved sectors, a FAT copy, a root directory, an NTFS system file
  File,
  Directory,
  Deleted,     // a deleted entry's guessed run: the first cluster and the size, contiguous
  Lost,        // marked in use, but no file or directory reaches it
};

// Which kind of file-system metadata an owner is, set by the walk that adds it: the map
// of a volume colours each kind of its own.
enum class MetadataClass : uint8_t {
  Other,    // an up-case table, $Secure, a quota file, a bad-cluster mark
  Boot,     // boot sectors and regions, reserved sectors, superblocks, group descriptors
  Table,    // a FAT copy, an allocation bitmap, ext's block and inode bitmaps
  Records,  // the MFT and its mirror, ext's inode tables
  Journal,  // NTFS's $LogFile, ext's journal
};

// One thing that uses sectors: a file, a directory, a metadata area, free space.
struct Owner {
  OwnerKind Kind = OwnerKind::Free;
  std::string Name;      // "/Photos/IMG_0042.JPG", "FAT 1", "$MFT" (UTF-8)
  std::string Where;     // "first cluster 57"; empty when there is none (or, with an MFT
                         // record, "MFT record 70" is meant)
  std::string Part;      // "file", "directory", "stream 'Zone.Identifier'": "byte N of the <Part>"
  uint64_t Size = 0;     // in bytes, for files and streams
  bool HasSize = false;
  uint64_t MftRecord = 0;  // NTFS
  bool HasMftRecord = false;
  uint64_t FirstCluster = 0;  // FAT, exFAT
  bool HasFirstCluster = false;
  MetadataClass Area = MetadataClass::Other;  // Metadata owners only
};

// Where a file's data stands, seen from one of its records.
enum class RecordData : uint8_t {
  Elsewhere,  // in clusters or blocks of its own
  InRecord,   // in the record itself (resident NTFS data, ext inline data, a fast symlink)
  None,       // it has none (an empty file)
  Unknown,    // the record itself is lost, and with it where the data lies
};

// One file's record in a metadata area: an MFT record in $MFT, an inode in an inode table,
// an entry set in a directory. Where its bytes are lost, the file's metadata is lost (its
// name, size, times, where its data lies), even though its data may be sound.
struct HeldRecord {
  uint64_t Byte = 0;              // the record's first byte within the bytes asked about
  std::string Record;             // "MFT record 582", "inode 91", "entry at byte 96"
  const char* NumberKey = nullptr;  // the JSON key of Number ("mftRecord", "inode"); none: null
  uint64_t Number = 0;
  // File, Directory, Metadata (a system file, the journal), Deleted; Lost: the allocation
  // state says the record is in use, but nothing that can be read names its file.
  OwnerKind Kind = OwnerKind::File;
  std::string Name;               // the path; empty for Lost
  std::optional<uint64_t> Size;   // files only
  RecordData Data = RecordData::Elsewhere;
  // A folder entry that holds the file's name alone (ext): the inode keeps the rest, so
  // only the name is lost with it.
  bool NameOnly = false;
  std::string Note;               // how it was named when not by the record itself
};

// One use of a sector: the owner, and where in the owner's bytes the sector begins.
struct SectorUse {
  const Owner* Of = nullptr;
  std::optional<uint64_t> Byte;
};

// The map of a volume from sectors to what uses them, made by walking its file system
// once. It holds runs (a first sector, a count, an owner), never one entry per cluster,
// so its size follows the volume's fragmentation, not its size. Runs may overlap where
// the file system is damaged (cross-linked chains) or a deleted file's guess lies over
// free space: a sector then has every owner whose run holds it.
class OwnershipIndex {
 public:
  // The volume's size and sector size, before any run is added.
  void Begin(uint64_t volumeSectors, uint32_t bytesPerSector);
  uint32_t AddOwner(Owner owner);
  void ReserveOwners(size_t more) { owners_.reserve(owners_.size() + more); }

  // Owners made only when a question reaches them. A walk of a large volume knows each
  // file by a few numbers (an MFT record, an attribute); the whole Owner, with its path,
  // is made for the few files an answer names, not for every file of the volume. `make`
  // gets the number AddLazyOwner returned for the owner's place among the lazy ones.
  void SetOwnerMaker(std::function<Owner(uint32_t lazy)> make);
  // The id of the next lazy owner; its number among the lazy ones is `LazyCount() - 1`
  // after the call.
  uint32_t AddLazyOwner();
  static uint32_t LazyId(uint32_t number) { return kLazy | number; }
  static uint32_t LazyNumber(uint32_t id) { return id & ~kLazy; }
  uint32_t LazyCount() const { return lazyCount_; }

  std::string NameOf(const Owner& owner) const { return owner.Name; }
  void ReserveRuns(size_t more) { runs_.reserve(runs_.size() + more); }
  // `byteInOwner`: the owner's byte at firstSector (files, directories, streams).
  void AddRun(uint64_t firstSector, uint64_t sectors, uint32_t owner, std::optional<uint64_t> byteInOwner = std::nullopt);
  // What the walk leaves to tell which files' records stand in a range of the volume's
  // bytes: `find` adds them in rising order of their bytes, at most `limit`, and returns
  // false when there were more. It may read the volume again, so it is asked only while
  // the volume the index was built from is the current one.
  using RecordFinder = std::function<bool(const OwnershipIndex& index, uint64_t firstByte, uint64_t endByte, size_t limit,
                                          std::vector<HeldRecord>& out)>;
  void SetRecordFinder(RecordFinder find) { recordFinder_ = std::move(find); }
  // The records of files in bytes [firstByte, endByte) of the volume, at most `limit`;
  // false when there were more. None where the walk left no finder.
  bool RecordsIn(uint64_t firstByte, uint64_t endByte, size_t limit, std::vector<HeldRecord>& out) const {
    return !recordFinder_ || recordFinder_(*this, firstByte, endByte, limit, out);
  }

  // A fault of the file system met by the walk (a loop, a cross-link, a missing record),
  // in one line. The first kMaxProblems are kept; the rest are only counted.
  void AddProblem(std::string problem);

  // Sorts the runs; called once when the walk is done, before any lookup.
  void Finish();

  // The owners of a sector, in the order of their runs: what uses it now, then the deleted
  // files that did, then free.
  std::vector<SectorUse> Lookup(uint64_t sector) const;

  // Every run that holds a sector of [firstSector, endSector), in order of their first
  // sectors: its owner, its sectors and the owner's byte at its first sector.
  struct RunView {
    const Owner* Of;
    uint64_t First;
    uint64_t Sectors;
    std::optional<uint64_t> Byte;
  };
  void ForEachRunIn(uint64_t firstSector, uint64_t endSector, const std::function<void(const RunView&)>& visit) const;

  // A lazy owner is made on its first call here, and kept: the reference stays valid for
  // the life of the index.
  const Owner& OwnerAt(uint32_t id) const;
  size_t OwnerCount() const { return owners_.size() + lazyCount_; }
  size_t RunCount() const { return runs_.size(); }
  uint64_t VolumeSectors() const { return volumeSectors_; }
  uint32_t BytesPerSector() const { return bytesPerSector_; }
  const std::vector<std::string>& Problems() const { return problems_; }
  uint64_t ProblemCount() const { return problemCount_; }

  static constexpr size_t kMaxProblems = 100;

 private:
  // Lazy owners' ids have the top bit set; the rest is their number among the lazy ones.
  static constexpr uint32_t kLazy = 0x80000000u;
  static constexpr uint64_t kNoByte = UINT64_MAX;
  struct Run {
    uint64_t First;
    uint64_t Sectors;
    uint64_t Byte;  // kNoByte: the run has no position in its owner
    uint32_t Owner;
  };
  // The lazy owners made so far. Behind a pointer, so the index stays movable; the lock
  // lets two threads ask the same index.
  struct LazyOwners {
    std::function<Owner(uint32_t)> Make;
    std::mutex Lock;
    std::vector<std::unique_ptr<Owner>> Made;
  };
  bool Known(uint32_t id) const { return (id & kLazy) != 0 ? (id & ~kLazy) < lazyCount_ : id < owners_.size(); }
  std::vector<Owner> owners_;
  std::unique_ptr<LazyOwners> lazy_;
  uint32_t lazyCount_ = 0;
  std::vector<Run> runs_;
  std::vector<uint64_t> maxEnd_;  // the highest end of runs_[0..i]: where a backward scan may stop
  RecordFinder recordFinder_;
  std::vector<std::string> problems_;
  uint64_t problemCount_ = 0;
  uint64_t volumeSectors_ = 0;
  uint32_t bytesPerSector_ = 0;
};

// How a walk reports its progress and learns that it is to stop.
struct WalkHooks {
  // Called now and then with the part done (0 to 100); true asks the walk to stop.
  std::function<bool(int32_t percent)> Progress;
};

// The answer for one sector in one line, after the sector number and two blanks:
// "/Photos/IMG_0042.JPG  (MFT record 70, byte 4096 of the file)", "free", "FAT 1",
// "file-system metadata: $MFT  (MFT record 0, byte 0 of the file)". Several owners are
// joined by " | ".
std::string DescribeSector(const OwnershipIndex& index, uint64_t sector);
// The same as a JSON object: {"sector": N, "owners": [...]}.
Json DescribeSectorJson(const OwnershipIndex& index, uint64_t sector);
// One owner's text without position: "/a.txt  (first cluster 57)".
std::string DescribeOwner(const OwnershipIndex& index, const Owner& owner);
// The kind's name in JSON: "free", "metadata", "file", "directory", "deleted", "lost".
const char* OwnerKindName(OwnerKind kind);

}  // namespace korvalane
