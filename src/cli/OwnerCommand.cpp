// korvalane-cli owner and damaged: which file uses a sector, and which files the areas a
// rescue did not finish fall into.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "core/export/ExportRange.h"
#include "core/model/OwnershipIndex.h"
#include "core/ownership/BuildIndex.h"
#include "core/ownership/Damage.h"
#include "core/rescue/Mapfile.h"
#include "core/text/Json.h"
#include "core/text/SectorField.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {

// Reads a map as far as kMaxMapBytes and one byte more (so that a larger one is told),
// a piece at a time: the memory is that of the map, whether it is a file, a pipe or a
// terminal. False when it cannot be opened or read.
bool ReadMap(const std::string& name, std::string& text) {
  constexpr size_t kPiece = 64 * 1024;
  const auto path = PathFromUtf8(name);
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  // A file's size is known: the text is made once at that size.
  std::error_code error;
  const uintmax_t size = std::filesystem::file_size(path, error);
  if (!error) text.reserve(static_cast<size_t>(std::min<uintmax_t>(size, kMaxMapBytes)) + kPiece);
  while (text.size() <= kMaxMapBytes) {
    const size_t had = text.size();
    text.resize(had + kPiece);
    in.read(text.data() + had, static_cast<std::streamsize>(kPiece));
    text.resize(had + static_cast<size_t>(in.gcount()));
    if (!in) return in.eof();
  }
  return true;
}

// Selects the source's first drive and builds its index, with the percentage on a
// terminal's stderr; the walk's faults are named on stderr, one line each.
std::optional<OwnershipIndex> IndexOfSource(const std::string& source, int* status) {
  const std::string drive = FirstDrive();
  if (drive.empty()) {
    *status = UsageError(ToUtf8(kDriveNotFound));
    return std::nullopt;
  }
  SelectDrive(drive);
  if (!CurrentPlatform().IsDriveAccessible(drive)) {
    *status = CannotOpen(source, drive);
    return std::nullopt;
  }
  const bool terminal = IsTerminal(stderr);
  WalkHooks hooks;
  int shown = -1;
  if (terminal) {
    hooks.Progress = [&](int32_t percent) {
      if (percent != shown) {
        shown = percent;
        std::fprintf(stderr, "\r%d%%", static_cast<int>(percent));
        std::fflush(stderr);
      }
      return false;
    };
  }
  std::string why;
  std::optional<OwnershipIndex> index = BuildOwnershipIndex(hooks, &why);
  if (terminal && shown >= 0) std::fputs("\r    \r", stderr);
  if (!index) {
    // A partitioned disk comes as the disk and then each partition: the files are in one
    // of those.
    const uint32_t drives = CurrentPlatform().LogicalDrives();
    if ((drives & (drives - 1)) != 0) why += " (a whole disk: choose a partition with --partition N)";
    *status = UsageError("cannot tell the owners of '" + source + "': " + why);
    return std::nullopt;
  }
  for (const std::string& problem : index->Problems()) std::cerr << "korvalane-cli: file-system fault: " << problem << '\n';
  if (index->ProblemCount() > index->Problems().size()) {
    std::cerr << "korvalane-cli: file-system fault: " << index->ProblemCount() - index->Problems().size()
              << " more not named\n";
  }
  return index;
}

// The byte of the disk where a partition drive starts, from the drive list's words for
// it ("disk.img, partition 2 (sectors 34816-67583, ...)"); 0 for a drive of its own.
uint64_t PartitionFirstByte(const std::string& drive) {
  if (!CurrentPlatform().DriveIsPartition(drive)) return 0;
  const std::string description = CurrentPlatform().DriveDescription(drive);
  const size_t at = description.find("(sectors ");
  if (at == std::string::npos) return 0;
  uint64_t sector = 0;
  for (size_t i = at + 9; i < description.size() && description[i] >= '0' && description[i] <= '9'; ++i) {
    if (sector > UINT64_MAX / 10 - 9) return 0;
    sector = sector * 10 + static_cast<uint64_t>(description[i] - '0');
  }
  const uint64_t sectorBytes = static_cast<uint32_t>(Geometry().BytesPerSector);
  return sector > UINT64_MAX / std::max<uint64_t>(sectorBytes, 1) ? 0 : sector * sectorBytes;
}

std::vector<MapArea> UnfinishedOfDrive(const Mapfile& map, const OwnershipIndex& index, std::vector<std::string>& problems) {
  // A map of the whole disk when the drive is one of its partitions: the drive's bytes
  // start at the partition's first byte. A map no longer than the drive is the drive's own.
  const std::string drive = FirstDrive();
  const uint64_t driveBytes = index.VolumeSectors() * index.BytesPerSector();
  uint64_t first = 0;
  if (map.End > driveBytes) {
    first = PartitionFirstByte(drive);
    if (first == 0) {
      problems.push_back("the map reaches byte " + std::to_string(map.End) + ", past the end of the volume (" +
                         std::to_string(driveBytes) + " bytes): it may be a map of another source");
    }
  }
  if (map.End < first + driveBytes) {
    problems.push_back("the map ends at byte " + std::to_string(map.End) + ", before the end of the volume (byte " +
                       std::to_string(first + driveBytes) + "); what follows was not looked at");
  }
  return UnfinishedWithin(map, first, driveBytes);
}

std::optional<Mapfile> ReadMapfile(const std::string& mapName, int* status) {
  std::string text;
  if (!ReadMap(mapName, text)) {
    *status = UsageError("cannot read the map '" + mapName + "'");
    return std::nullopt;
  }
  if (text.size() > kMaxMapBytes) {
    *status = UsageError("the map '" + mapName + "' is larger than any mapfile (512 MiB)");
    return std::nullopt;
  }
  std::string why;
  std::optional<Mapfile> map = ParseMapfile(text, &why);
  if (!map) *status = UsageError("the map '" + mapName + "': " + why);
  return map;
}

namespace {

Json ProblemsJson(const std::vector<std::string>& problems) {
  Json array = Json::Array();
  for (const std::string& problem : problems) array.Push(problem);
  return array;
}

}  // namespace

int RunOwner(const Arguments& arguments) {
  if (arguments.Positional.size() < 2) return UsageError("owner needs SOURCE SECTOR... (try --help)");
  const std::string& source = arguments.Positional[0];
  const std::unique_ptr<Platform> platform = UsePlatform({source}, arguments);
  // Every sector that can be answered is; each one that cannot is named on stderr, in the
  // order given, and the status says so at the end.
  struct Refusal {
    std::string Argument;
    std::string Reason;
  };
  std::vector<std::pair<std::string, std::optional<uint64_t>>> asked;
  bool any = false;
  for (size_t i = 1; i < arguments.Positional.size(); ++i) {
    asked.emplace_back(arguments.Positional[i], ParseSectorIndex(arguments.Positional[i]));
    any = any || asked.back().second.has_value();
  }
  int status = kOk;
  std::optional<OwnershipIndex> index;
  if (any) {
    index = IndexOfSource(source, &status);
    if (!index) return status;
  }
  std::vector<Refusal> refused;
  std::vector<uint64_t> answered;
  for (const auto& [word, sector] : asked) {
    if (!sector) {
      refused.push_back({word, "'" + word + "' is not a sector number"});
    } else if (*sector >= Geometry().TotalSectors) {
      refused.push_back({word, "sector " + std::to_string(*sector) + " is past the volume's last sector (" +
                                   std::to_string(Geometry().TotalSectors - 1) + ")"});
    } else {
      answered.push_back(*sector);
    }
  }
  for (const Refusal& refusal : refused) UsageError(refusal.Reason);
  const int done = refused.empty() ? kOk : kUsage;
  if (arguments.Json) {
    Json document = Json::Object();
    Json answers = Json::Array();
    for (const uint64_t sector : answered) answers.Push(DescribeSectorJson(*index, sector));
    document.Set("sectors", std::move(answers));
    Json refusals = Json::Array();
    for (const Refusal& refusal : refused) {
      Json item = Json::Object();
      item.Set("argument", refusal.Argument);
      item.Set("reason", refusal.Reason);
      refusals.Push(std::move(item));
    }
    document.Set("refused", std::move(refusals));
    document.Set("problems", ProblemsJson(index ? index->Problems() : std::vector<std::string>{}));
    PrintJson(document.Dump());
    return done;
  }
  ViewText lines;
  for (const uint64_t sector : answered) lines.push_back(FromUtf8(std::to_string(sector) + "  " + DescribeSector(*index, sector)));
  PrintLines(lines);
  return done;
}

int RunDamaged(const Arguments& arguments) {
  if (arguments.Positional.size() != 2) return UsageError("damaged needs SOURCE MAPFILE (try --help)");
  const std::string& source = arguments.Positional[0];
  const std::string& mapName = arguments.Positional[1];
  const std::unique_ptr<Platform> platform = UsePlatform({source}, arguments);

  int status = kOk;
  const std::optional<Mapfile> map = ReadMapfile(mapName, &status);
  if (!map) return status;
  const std::optional<OwnershipIndex> index = IndexOfSource(source, &status);
  if (!index) return status;
  std::vector<std::string> problems = map->Problems;
  const std::vector<MapArea> unfinished = UnfinishedOfDrive(*map, *index, problems);
  for (const std::string& problem : problems) std::cerr << "korvalane-cli: map: " << problem << '\n';

  const Damage damage = FindDamage(*index, unfinished);

  if (arguments.Json) {
    Json owners = Json::Array();
    for (const DamagedOwner& damaged : damage.Owners) {
      Json item = Json::Object();
      const Owner& owner = *damaged.Of;
      item.Set("text", DescribeOwner(*index, owner));
      if (owner.Kind != OwnerKind::Free && owner.Kind != OwnerKind::Lost) item.Set("name", index->NameOf(owner));
      if (owner.HasSize) item.Set("size", owner.Size);
      if (owner.HasMftRecord) item.Set("mftRecord", owner.MftRecord);
      if (owner.HasFirstCluster) item.Set("firstCluster", owner.FirstCluster);
      item.Set("badBytes", damaged.BadBytes);
      Json records = Json::Array();
      for (const HeldRecord& record : damaged.Records) records.Push(HeldRecordJson(record));
      item.Set("records", std::move(records));
      owners.Push(std::move(item));
    }
    Json document = Json::Object();
    document.Set("owners", std::move(owners));
    document.Set("unownedBadBytes", damage.UnownedBytes);
    document.Set("badBytes", damage.BadBytes);
    document.Set("recordsCut", damage.RecordsCut);
    document.Set("problems", ProblemsJson(problems));
    PrintJson(document.Dump());
    return kOk;
  }
  // One line per owner: what it is, its size, and how many of its bytes are bad.
  ViewText lines;
  for (const DamagedOwner& damaged : damage.Owners) {
    const Owner& owner = *damaged.Of;
    std::string line = DescribeOwner(*index, owner);
    if (owner.HasSize) line += "  size " + std::to_string(owner.Size);
    line += "  bad " + std::to_string(damaged.BadBytes);
    lines.push_back(FromUtf8(line));
    for (const HeldRecord& record : damaged.Records) lines.push_back(FromUtf8("  " + DescribeHeldRecord(record)));
  }
  if (damage.RecordsCut) {
    lines.push_back(FromUtf8("more than " + std::to_string(kMaxDamagedRecords) +
                             " records of files stand in the bad bytes; those past them are not listed"));
  }
  if (damage.UnownedBytes != 0) lines.push_back(FromUtf8("not in any cluster  bad " + std::to_string(damage.UnownedBytes)));
  lines.push_back(FromUtf8(std::to_string(damage.BadBytes) + " bad bytes in the volume"));
  PrintLines(lines);
  return kOk;
}

}  // namespace korvalane::cli
