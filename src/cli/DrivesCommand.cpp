#include <iostream>

#include "cli/Cli.h"
#include "cli/JsonViews.h"
#include "core/disk/StartDrive.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"

namespace korvalane::cli {

int RunDrives(const Arguments& arguments) {
  int status = kOk;
  const std::unique_ptr<Platform> platform = UsePlatform(arguments.Positional, arguments, &status);
  const uint32_t mask = platform ? CurrentPlatform().LogicalDrives() : 0;
  std::vector<std::string> drives;
  for (int i = 0; i < 26; ++i) {
    if ((mask >> i & 1u) != 0) drives.push_back(std::string(1, static_cast<char>('A' + i)) + ":");
  }
  // A named source that cannot be read is listed all the same, and named on stderr once
  // (not for each of its partitions): the list is complete, the status says it is not
  // all readable. The machine's own disks are only listed.
  if (!arguments.Positional.empty()) {
    for (const std::string& line : UnreadableSources(drives)) {
      std::cerr << "korvalane-cli: " << line << '\n';
      status = kFailure;
    }
  }
  if (arguments.Json) {
    Json list = Json::Array();
    for (const std::string& drive : drives) list.Push(DriveJson(drive));
    PrintJson(Json::Object().Set("drives", list).Dump());
    return status;
  }
  ViewText lines;
  for (const std::string& drive : drives) {
    const std::u16string summary = SelectDriveAndDescribe(drive);
    std::string what = CurrentPlatform().DriveDescription(drive);
    const std::string why = CurrentPlatform().OpenError(drive);
    if (!why.empty()) what += " - cannot open: " + why;
    if (const std::string damage = CurrentPlatform().DriveDamage(drive); !damage.empty()) what += " - " + damage;
    lines.push_back(FromUtf8(drive + " ") + summary + u"  " + FromUtf8(what));
  }
  PrintLines(lines);
  return status;
}

}  // namespace korvalane::cli
