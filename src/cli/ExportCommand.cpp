// korvalane-cli export: the export dialog's checks, copy and messages, without the dialog.
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory_resource>
#include <new>
#include <optional>
#include <system_error>
#include <string>

#include "cli/Cli.h"
#include "core/export/ExportRange.h"
#include "core/export/RescueMap.h"
#include "core/export/SectorCopy.h"
#include "core/hash/Digest.h"
#include "core/text/NumberFormat.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace korvalane::cli {
namespace {

volatile std::sig_atomic_t interruptRequested = 0;

extern "C" void OnInterrupt(int) { interruptRequested = 1; }

}  // namespace

InterruptGuard::InterruptGuard() {
  interruptRequested = 0;
  previous_ = std::signal(SIGINT, OnInterrupt);
}

InterruptGuard::~InterruptGuard() { std::signal(SIGINT, previous_ == SIG_ERR ? SIG_DFL : previous_); }

bool InterruptRequested() { return interruptRequested != 0; }

namespace {

#ifdef __linux__
// Memory for the one-read buffer, in pages of 2 MiB where the kernel has them to give: a
// 50 MiB buffer then costs 25 page faults instead of 12,800, which on a virtual machine
// is most of the time of the whole export.
class LargePageMemory final : public std::pmr::memory_resource {
 private:
  static constexpr size_t kLargePage = size_t{2} << 20;

  // The mapping is a large page longer than asked for, so that its start can be moved
  // to a large-page boundary; the header in front of the block remembers the mapping.
  struct Mapping {
    void* Start;
    size_t Length;
  };
  static constexpr size_t kHeader = kLargePage;

  void* do_allocate(size_t bytes, size_t alignment) override {
    if (alignment > kHeader || bytes > SIZE_MAX - 2 * kLargePage) throw std::bad_alloc();
    const size_t length = bytes + 2 * kLargePage;
    void* start = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) throw std::bad_alloc();
    const auto address = reinterpret_cast<uintptr_t>(start);
    const uintptr_t block = (address + kHeader + kLargePage - 1) / kLargePage * kLargePage;
    madvise(reinterpret_cast<void*>(block), bytes, MADV_HUGEPAGE);  // a hint; fine if refused
    // Not populated ahead (MADV_POPULATE_WRITE): the kernel zeroes the same pages either
    // way, and measured, populating first gained nothing.
    auto* mapping = reinterpret_cast<Mapping*>(block - sizeof(Mapping));
    *mapping = Mapping{start, length};
    return reinterpret_cast<void*>(block);
  }

  void do_deallocate(void* block, size_t, size_t) override {
    const Mapping mapping = *reinterpret_cast<Mapping*>(reinterpret_cast<uintptr_t>(block) - sizeof(Mapping));
    munmap(mapping.Start, mapping.Length);
  }

  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }
};
#endif

std::string Utf8(std::u16string_view text) { return ToUtf8(text); }

// The first line of a two-line message ("Data saved to file\r"), without its "\r".
std::string FirstLine(std::u16string_view message) {
  const size_t end = message.find(u'\r');
  return Utf8(message.substr(0, end));
}

// Ranges named on the stderr line; the map always has them all.
constexpr size_t kShownRanges = 16;

// "unreadable sectors: 1000-1007, 5000 (9 sectors written as zeros)".
std::string UnreadableLine(const UnreadableSectors& unreadable) {
  const std::vector<SectorRange>& ranges = unreadable.Ranges();
  std::string line = "unreadable sectors: " + UnreadableSectorsText(ranges, kShownRanges) + " (";
  if (ranges.size() > kShownRanges) line += std::to_string(ranges.size()) + " ranges, ";
  line += std::to_string(unreadable.Count()) + (unreadable.Count() == 1 ? " sector" : " sectors");
  return line + " written as zeros)";
}

// Writes the whole text into the file; why not, in the system's words, when it could not.
// A FIFO or a socket is refused: opening one for writing waits for a reader.
std::optional<std::string> WriteTextFile(const std::filesystem::path& path, const std::string& text) {
  std::error_code error;
  const std::filesystem::file_type type = std::filesystem::status(path, error).type();
  if (type == std::filesystem::file_type::fifo || type == std::filesystem::file_type::socket) {
    return std::string("a FIFO or socket, not a file");
  }
  errno = 0;
  std::ofstream out(path, std::ios::binary | std::ios::out | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  if (!out.fail()) return std::nullopt;
  return errno != 0 ? std::generic_category().message(errno) : std::string("the system gave no reason");
}

// Why the thing that already stands at `path` can never take a copy, whatever --force
// says: a directory, a FIFO (opening one for writing waits for a reader) or a socket.
// Nothing for a regular file, a device (/dev/null takes a copy with --force) or nothing.
std::optional<std::string> NeverWritable(const std::filesystem::path& path) {
  std::error_code error;
  switch (std::filesystem::status(path, error).type()) {
    case std::filesystem::file_type::directory: return std::generic_category().message(EISDIR);
    case std::filesystem::file_type::fifo: return std::string("a FIFO, not a regular file");
    case std::filesystem::file_type::socket: return std::string("a socket, not a regular file");
    default: return std::nullopt;
  }
}

// "cannot write the map 'x.map': No such file or directory".
std::string MapFailure(const std::string& mapName, const std::string& why) {
  return "cannot write the map '" + mapName + "': " + why;
}

// Whether two names, one or both of which may not exist yet, name the same file.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  std::error_code error;
  if (std::filesystem::equivalent(a, b, error) && !error) return true;
  const std::filesystem::path first = std::filesystem::weakly_canonical(a, error);
  if (error) return false;
  const std::filesystem::path second = std::filesystem::weakly_canonical(b, error);
  return !error && first == second;
}

}  // namespace

int RunExport(const Arguments& arguments) {
  if (arguments.Positional.size() != 4) {
    return UsageError("export needs SOURCE START END FILE (try --help)");
  }
  const std::string& source = arguments.Positional[0];
  const std::string& startText = arguments.Positional[1];
  const std::string& endText = arguments.Positional[2];
  const std::string& fileName = arguments.Positional[3];

  const std::unique_ptr<Platform> platform = UsePlatform({source}, arguments);

  // As the dialog's Start does: choose the drive afresh, make sure it is there, then
  // check the range against what the volume says of itself.
  const std::string drive = FirstDrive();
  if (drive.empty()) return UsageError(Utf8(kDriveNotFound));
  SelectDrive(drive);
  if (!CurrentPlatform().IsDriveAccessible(drive)) {
    const std::string why = CurrentPlatform().OpenError(drive);
    return UsageError(Utf8(kDriveNotFound) + " (cannot open '" + source + "'" + (why.empty() ? "" : ": " + why) + ")");
  }

  const RangeCheck check =
      CheckSectorRange(TrimBlanks(FromUtf8(startText)), TrimBlanks(FromUtf8(endText)), Geometry().TotalSectors);
  if (!check.Range) return RangeRefused(check.Message, Geometry().TotalSectors);
  const SectorRange range = *check.Range;
  if (arguments.Sha256 && !DigestsAvailable()) {
    return UsageError("export --sha256: this build has no digest library (Nettle)");
  }

  // The name is taken in the encoding the system handed it over in, as the path type
  // expects a narrow name to be.
  const std::filesystem::path path = PathFromUtf8(fileName);
  if (IsDriveSource(path, drive)) {
    UsageError(Utf8(kInvalidFileName));
    return UsageError("cannot create '" + fileName + "': the drive is read from it");
  }
  if (const std::optional<std::string> why = NeverWritable(path)) {
    UsageError(Utf8(kInvalidFileName));
    return UsageError("cannot create '" + fileName + "': " + *why);
  }
  std::error_code error;
  if (std::filesystem::exists(path, error) && !arguments.Force) {
    return UsageError("'" + fileName + "' already exists (use --force to replace it)");
  }

  // The map is checked and made first: when it cannot be, nothing has been touched.
  const std::string& mapName = arguments.MapFile;
  const std::filesystem::path mapPath = PathFromUtf8(mapName);
  const uint32_t sectorBytes = static_cast<uint32_t>(Geometry().BytesPerSector);
  RescueMapFacts map;
  bool mapCreated = false;
  if (!mapName.empty()) {
    if (IsDriveSource(mapPath, drive) || SameFile(mapPath, path)) {
      return UsageError("the map '" + mapName + "' must be a file of its own, not the source or FILE");
    }
    if (const std::optional<std::string> why = NeverWritable(mapPath)) return UsageError(MapFailure(mapName, *why));
    const bool mapExisted = std::filesystem::exists(mapPath, error);
    if (mapExisted && !arguments.Force) {
      return UsageError("'" + mapName + "' already exists (use --force to replace it)");
    }
    // ddrescue reads the map against the file or device named in it, so its positions
    // are that source's: a partition's are counted from the disk's first byte.
    const DrivePlacement placement = CurrentPlatform().PlaceInSource(drive);
    map.Range = range;
    map.BytesPerSector = sectorBytes;
    map.DriveFirstByte = placement.FirstByte;
    map.SourceBytes = placement.SourceBytes > 0 ? static_cast<uint64_t>(placement.SourceBytes) : 0;
    map.Comments = {"Mapfile. Created by korvalane-cli export", "Source: " + CurrentPlatform().DriveSource(drive)};
    if (!placement.Container.empty()) {
      map.Comments.push_back("Positions are those of the disk inside the " + placement.Container +
                             " container, not of its file");
    }
    if (CurrentPlatform().DriveIsPartition(drive)) {
      map.Comments.push_back("Drive: " + CurrentPlatform().DriveDescription(drive) + ", from byte " +
                             std::to_string(placement.FirstByte) + " of the source");
    }
    map.Comments.push_back("Copied into: " + fileName);
    map.Comments.push_back("Sectors " + std::to_string(range.Start) + " to " + std::to_string(range.End) +
                           " (not included) of the drive, of " + std::to_string(sectorBytes) + " bytes");
    // Until the copy ends the map says that nothing has been copied, which is never
    // more than the truth, however the program ends.
    const std::optional<std::string> text = RescueMapText(map);
    if (!text) return UsageError("the range's byte positions do not fit a mapfile");
    if (const std::optional<std::string> why = WriteTextFile(mapPath, *text)) {
      return UsageError(MapFailure(mapName, *why));
    }
    mapCreated = !mapExisted;
  }

  ExportFile file;
  if (!file.Create(path)) {
    if (mapCreated) std::filesystem::remove(mapPath, error);
    UsageError(Utf8(kInvalidFileName));
    const std::string& why = file.FailureReason();
    return UsageError("cannot create '" + fileName + "'" + (why.empty() ? "" : ": " + why));
  }

  const bool showProgress = IsTerminal(stderr);
  CopyHooks hooks;
#ifdef __linux__
  LargePageMemory largePages;
  hooks.BufferMemory = &largePages;
#endif
  hooks.Pump = [] {
    if (InterruptRequested()) ExportBusy = false;
  };
  if (showProgress) {
    hooks.ShowPercent = [](int32_t percent) {
      std::fprintf(stderr, "\r%d%%", static_cast<int>(percent));
      std::fflush(stderr);
    };
  }

  // The digest is of the bytes handed to the file, taken while they are written: the
  // source is not read a second time, nor the file.
  std::optional<Digest> written256;
  if (arguments.Sha256) {
    written256.emplace(DigestKind::Sha256);
    hooks.Digests = {&*written256};
  }

  CopyOutcome outcome;
  {
    const InterruptGuard guard;
    ExportBusy = true;
    outcome = CopySectorRange(range, file, hooks);
    ExportBusy = false;
  }
  const bool written = file.Close() && outcome.End != CopyEnd::WriteFailed;
  if (showProgress && !outcome.OneRead && range.Count() != 0) std::fputs("\r    \r", stderr);

  std::optional<std::string> mapFailure;
  if (!mapName.empty()) {
    // Only what the system has taken counts as copied; the rest is left to be tried again.
    const uint64_t inFile = sectorBytes != 0 ? file.BytesWritten() / sectorBytes : 0;
    map.SectorsDone = std::min(outcome.SectorsWritten, inFile);
    map.Unreadable = &outcome.Unreadable;
    map.Finished = written && outcome.End == CopyEnd::Complete;
    map.Comments.push_back(map.Finished ? "Finished"
                           : written    ? "Stopped"
                                        : "Stopped: the copy could not be written");
    const std::optional<std::string> text = RescueMapText(map);
    mapFailure = text ? WriteTextFile(mapPath, *text) : "the range's byte positions do not fit a mapfile";
  }

  int status = kOk;
  if (!written) {
    std::cerr << "korvalane-cli: " << FirstLine(kErrorWriting) << '\n' << fileName << '\n';
    const std::string& why = file.FailureReason();
    std::cerr << "korvalane-cli: cannot write '" << fileName << "'" << (why.empty() ? "" : ": " + why) << '\n';
    status = kFailure;
  } else {
    std::cout << FirstLine(kDataSaved) << '\n' << fileName << '\n';
    const std::string saved = Utf8(Decimal(outcome.SectorsWritten)) + " of " +
                              Utf8(Decimal(range.Count())) + " sectors saved";
    std::cout << saved << (outcome.End == CopyEnd::Stopped ? " (stopped)\n" : "\n");
    // Only a file that holds the whole range gets a digest, in sha256sum --tag's form,
    // so that sha256sum -c checks it; a stopped one is incomplete (and a later rescue
    // into it would change it), and a failed write leaves it in no known state.
    if (written256 && outcome.End == CopyEnd::Complete) {
      std::cout << DigestLine(DigestKind::Sha256, fileName, written256->Hex()) << '\n';
    }
  }
  if (written256 && (!written || outcome.End != CopyEnd::Complete)) {
    std::cout.flush();
    std::cerr << "korvalane-cli: no SHA-256: the file does not hold the whole range\n";
  }
  std::cout.flush();
  if (mapFailure) {
    std::cerr << "korvalane-cli: " << MapFailure(mapName, *mapFailure) << '\n';
    status = kFailure;
  }
  if (const std::string remark = CurrentPlatform().ReadRemark(drive); !remark.empty()) {
    std::cerr << "korvalane-cli: " << remark << '\n';
  }
  if (!outcome.Unreadable.Empty()) {
    std::cerr << "korvalane-cli: " << UnreadableLine(outcome.Unreadable) << '\n';
    status = kFailure;
  }
  if (written && outcome.End == CopyEnd::Stopped) return kInterrupted;
  return status;
}

}  // namespace korvalane::cli
