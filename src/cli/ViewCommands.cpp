#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/JsonViews.h"
#include "core/text/SectorField.h"
#include "core/text/Utf.h"
#include "core/fs/FileSystem.h"
#include "core/views/Details.h"
#include "core/views/PartitionReport.h"
#include "core/views/SectorView.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {
namespace {

int RunDetails(const std::string& source, bool json) {
  // An unknown volume gets an empty report, as in the window; a source that cannot be
  // opened at all is an error here.
  if (!CurrentPlatform().IsDriveAccessible(FirstDrive())) return CannotOpen(source, FirstDrive());
  ViewText lines;
  Json fields = Json::Object();
  const DetailsResult result = ReadVolumeDetails(json ? nullptr : &lines, json ? &fields : nullptr, NoPump);
  if (json) {
    PrintJson(fields.Dump());
  } else {
    PrintLines(lines);
  }
  return result == DetailsResult::BootSectorDenied ? kFailure : kOk;
}

// Why a "File record" view is empty on a drive without a file system Korvalane reads,
// which the window shows as an empty view: a whole disk's sectors belong to its
// partitions, whose records are read on their own drives.
std::string NoFileRecords(const std::string& source) {
  if (CurrentFileSystem() != nullptr) return {};
  if (!CurrentPlatform().DriveIsPartition(FirstDrive()) && ReadCurrentPartitionTable().Scheme != PartitionScheme::None) {
    return "'" + source + "' is a whole disk, which has no file records: its partition table is in 'details', and " +
           "--partition N reads the records of partition N";
  }
  return "no file system Korvalane reads (FAT, exFAT, NTFS, ext2/3/4) was found on the volume, so it has no file "
         "records";
}

int RunSectorView(const std::string& command, const std::string& source, const std::string& sectorText, bool json) {
  // A source that cannot be opened has no sectors to check the number against; the
  // window shows "Reading error" for it.
  if (!CurrentPlatform().IsDriveAccessible(FirstDrive())) {
    PrintLines({u"Reading error"});
    return CannotOpen(source, FirstDrive());
  }
  const std::optional<FieldNumber> sector = ParseSectorNumber(sectorText);
  if (!sector) return UsageError("sector '" + sectorText + "' is not a number");
  if (sector->Negative) return UsageError("sector " + sectorText + " is negative");
  const uint64_t last = Geometry().TotalSectors;
  if (sector->Magnitude > last) {
    return UsageError("sector " + sectorText + " is beyond the volume's last sector, " + std::to_string(last));
  }

  const ViewKind kind = command == "text"  ? ViewKind::Text
                        : command == "hex" ? ViewKind::Hex
                                           : ViewKind::FileRecord;
  ViewText lines;
  // Unlike the window's designed view, the command line lists a FAT directory's later
  // clusters too, which only the FAT chain tells from file data.
  RecordOptions record;
  record.FollowDirectoryChains = true;
  const SectorViewResult result = ShowSector(FromUtf8(sectorText), kind, lines, NoPump, record);
  if (json) {
    PrintJson((result == SectorViewResult::ReadingError ? Json::Object().Set("error", "Reading error")
                                                         : RecordJson(sector->Magnitude))
                  .Dump());
  } else {
    PrintLines(lines);
  }
  if (result == SectorViewResult::ReadingError) {
    std::cerr << "korvalane-cli: cannot read sector " << sectorText << " of '" << source << "'\n";
    return kFailure;
  }
  if (kind == ViewKind::FileRecord) {
    if (const std::string why = NoFileRecords(source); !why.empty()) std::cerr << "korvalane-cli: " << why << '\n';
  }
  return kOk;
}

}  // namespace

int RunView(const Arguments& arguments) {
  const std::string& command = arguments.Command;
  const std::vector<std::string>& words = arguments.Positional;
  const bool details = command == "details";
  const size_t expected = details ? 1 : 2;
  if (words.size() != expected) {
    return UsageError(details ? "usage: details SOURCE" : "usage: " + command + " SOURCE SECTOR");
  }

  const std::unique_ptr<Platform> platform = UsePlatform({words[0]}, arguments);
  // As the main window does when a drive is chosen: the source is drive C:.
  SelectDrive(FirstDrive());
  return details ? RunDetails(words[0], arguments.Json) : RunSectorView(command, words[0], words[1], arguments.Json);
}

}  // namespace korvalane::cli
