// korvalane-cli hash: the digests of a sector range, of the very bytes export writes of it.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "core/export/ExportRange.h"
#include "core/export/SectorCopy.h"
#include "core/hash/RangeHash.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane::cli {
namespace {

constexpr size_t kShownRanges = 16;

// "unreadable sectors: 1000-1007, 5000 (9 sectors hashed as zeros)", as export names them.
std::string UnreadableLine(const UnreadableSectors& unreadable) {
  const std::vector<SectorRange>& ranges = unreadable.Ranges();
  std::string line = "unreadable sectors: " + UnreadableSectorsText(ranges, kShownRanges) + " (";
  if (ranges.size() > kShownRanges) line += std::to_string(ranges.size()) + " ranges, ";
  line += std::to_string(unreadable.Count()) + (unreadable.Count() == 1 ? " sector" : " sectors");
  return line + " hashed as zeros)";
}

}  // namespace

int RunHash(const Arguments& arguments) {
  if (arguments.Positional.size() != 3) return UsageError("hash needs SOURCE START END (try --help)");
  if (!DigestsAvailable()) return UsageError("hash: this build has no digest library (Nettle)");
  const std::string& source = arguments.Positional[0];
  const std::unique_ptr<Platform> platform = UsePlatform({source}, arguments);
  const std::string drive = FirstDrive();
  if (drive.empty()) return UsageError(ToUtf8(kDriveNotFound));
  SelectDrive(drive);
  if (!CurrentPlatform().IsDriveAccessible(drive)) return CannotOpen(source, drive);

  // The range is checked as export checks it: START 0 or at least 1, END up to the
  // volume's sector count, END not below START.
  const RangeCheck check = CheckSectorRange(TrimBlanks(FromUtf8(arguments.Positional[1])),
                                            TrimBlanks(FromUtf8(arguments.Positional[2])), Geometry().TotalSectors);
  if (!check.Range) return RangeRefused(check.Message, Geometry().TotalSectors);

  std::vector<DigestKind> kinds;
  if (arguments.Md5) kinds.push_back(DigestKind::Md5);
  if (arguments.Sha1) kinds.push_back(DigestKind::Sha1);
  if (arguments.Sha256 || kinds.empty()) kinds.push_back(DigestKind::Sha256);

  CopyHooks hooks;
  ExportBusy = true;
  const RangeHashOutcome outcome = HashSectorRange(*check.Range, kinds, hooks);
  ExportBusy = false;

  // "SHA256 (disk.img, sectors 0-2048) = ...", as sha256sum --tag names what it hashed;
  // the sectors of a partition are counted from its own first sector, so the line names
  // it ("disk.img, partition 2, sectors 0-2048").
  std::string what = source;
  if (arguments.Partition) what += ", partition " + std::to_string(*arguments.Partition);
  what += ", sectors " + std::to_string(check.Range->Start) + "-" + std::to_string(check.Range->End);
  for (const auto& [kind, hex] : outcome.Digests) std::cout << DigestLine(kind, what, hex) << '\n';
  std::cout.flush();
  if (!outcome.Unreadable.Empty()) {
    std::cerr << "korvalane-cli: " << UnreadableLine(outcome.Unreadable) << '\n';
    return kFailure;
  }
  return kOk;
}

}  // namespace korvalane::cli
