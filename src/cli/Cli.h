#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/Platform.h"
#include "core/model/OwnershipIndex.h"
#include "core/model/ViewText.h"
#include "core/rescue/Mapfile.h"

namespace korvalane::cli {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailure = 1;  // the command ran but the volume could not be read
constexpr int kUsage = 2;    // bad command line or bad numbers

// The command line: the command, its options (taken from anywhere before "--", before or
// after the command word), and the other words in order.
struct Arguments {
  std::string Command;
  uint32_t SectorSize = 0;  // 0: an image's sector size is found from its content
  std::optional<uint32_t> Partition;
  std::optional<std::string> Volume;  // --volume VG/LV
  bool Force = false;
  bool NoPrompt = false;  // a disk only an administrator may read is refused, never asked for
  bool Json = false;  // one JSON document instead of the view's lines
  // find
  std::optional<std::string> From;
  bool Backward = false;
  std::optional<std::string> Aligned;
  bool IgnoreCase = false;
  bool All = false;
  std::string MapFile;  // export --map FILE; map and extract --map MAPFILE
  // map
  std::optional<uint64_t> Cells;  // --cells N
  std::string Png;                // --png FILE
  uint32_t Width = 512;           // --width W
  // extract
  bool Deleted = false;
  bool Tree = false;
  std::string Report;
  // fields
  std::string As;             // --as NAME: the structure to decode the sector as
  bool CompareBackup = false;  // --compare-backup
  // hash: the digests asked for (none: SHA-256)
  bool Md5 = false;
  bool Sha1 = false;
  bool Sha256 = false;
  bool Help = false;
  bool Version = false;
  std::vector<std::string> Positional;
};

// Parses the whole command line (without the program's name). An option that the command
// does not take, a bad value or an unknown option prints a one-line message on stderr and
// returns nothing.
std::optional<Arguments> ParseCommandLine(const std::vector<std::string>& args);

// Sets up the system platform for the sources (drives C:, D:, ... in order, a partitioned
// disk as the disk and then each partition; with --partition N only partition N of each)
// and makes it current. Keep the result alive while the command runs. A source that does
// not exist, can never be read as a disk (a directory, a FIFO, a file without one whole
// sector), lacks the partition asked for, or is a container that cannot be opened (a
// missing segment, extent or parent file), ends the program with a one-line message
// and status 2.
// With `listingStatus` (a list of drives), a source that does not exist is named on
// stderr with its reason and left out, and the status set to kFailure; any other is a
// drive, which says why it cannot be read. Nothing (and no platform) when sources were
// named and none exists.
std::unique_ptr<Platform> UsePlatform(const std::vector<std::string>& sources, const Arguments& arguments,
                                      int* listingStatus = nullptr);

// "C:" for the lowest drive present, empty when none is.
std::string FirstDrive();

// "cannot open 'SOURCE': <why>" on stderr (why the system refused, where it says);
// returns kFailure.
int CannotOpen(const std::string& source, const std::string& drive);

// Writes the lines as UTF-8, one per line. On a terminal, characters a terminal would act
// on (U+0000 to U+001F, U+007F to U+009F) are written as "." so that a hostile sector
// cannot send escape sequences; into a pipe or file the text goes unchanged.
void PrintLines(const ViewText& lines);

// True when the stream is a terminal (progress and escaped control characters are for
// people, not for pipes).
bool IsTerminal(std::FILE* stream);

// "korvalane-cli: " + message on stderr; returns kUsage.
int UsageError(const std::string& message);

// A START END range refused (export, hash): its message on stderr and, where END is
// what is wrong, a second line saying what END may be on a drive of `totalSectors`
// sectors. Returns kUsage.
int RangeRefused(std::u16string_view message, uint64_t totalSectors);

// Commands.
int RunDrives(const Arguments& arguments);
int RunView(const Arguments& arguments);  // text, hex, record, details
int RunExport(const Arguments& arguments);
int RunFind(const Arguments& arguments);
int RunLocate(const Arguments& arguments);
int RunFields(const Arguments& arguments);
int RunHash(const Arguments& arguments);
int RunVerify(const Arguments& arguments);
int RunOwner(const Arguments& arguments);
int RunDamaged(const Arguments& arguments);
int RunMap(const Arguments& arguments);

// The largest mapfile read: a map of kMaxMapAreas areas is far smaller.
constexpr uint64_t kMaxMapBytes = uint64_t{512} << 20;
// Reads a map as far as kMaxMapBytes and one byte more (so that a larger one is told);
// false when it cannot be opened or read.
bool ReadMap(const std::string& name, std::string& text);
// Reads and parses a GNU ddrescue mapfile; nothing, with the message said and `status`
// set, when it cannot be read or is no mapfile.
std::optional<Mapfile> ReadMapfile(const std::string& mapName, int* status);
// The unfinished areas of a map of the current drive, or of its disk when the drive is a
// partition, in the drive's own bytes; what does not fit is added to `problems`.
std::vector<MapArea> UnfinishedOfDrive(const Mapfile& map, const OwnershipIndex& index, std::vector<std::string>& problems);
// Selects the source's first drive and builds its index, with the percentage on a
// terminal's stderr; the walk's faults are named on stderr. Nothing, with `status` set,
// when it cannot.
std::optional<OwnershipIndex> IndexOfSource(const std::string& source, int* status);
// The byte of the disk where a partition drive starts; 0 for a drive of its own.
uint64_t PartitionFirstByte(const std::string& drive);
int RunExtract(const Arguments& arguments);

// Ctrl+C is caught while one lives, and then only noted (InterruptRequested): a copy
// stops cleanly at its next chunk.
class InterruptGuard {
 public:
  InterruptGuard();
  ~InterruptGuard();
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  void (*previous_)(int) = nullptr;
};
bool InterruptRequested();

// The shell's status for a command ended by Ctrl+C (128 + SIGINT).
inline constexpr int kInterrupted = 130;

// Writes a JSON document on stdout.
void PrintJson(const std::string& document);

}  // namespace korvalane::cli
