#include "cli/Cli.h"
#include "cli/JsonViews.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"

namespace korvalane::cli {

int RunDrives(const Arguments& arguments) {
  const std::unique_ptr<Platform> platform = UsePlatform(arguments.Positional, arguments);
  const uint32_t mask = CurrentPlatform().LogicalDrives();
  if (arguments.Json) {
    Json drives = Json::Array();
    for (int i = 0; i < 26; ++i) {
      if ((mask >> i & 1u) != 0) drives.Push(DriveJson(std::string(1, static_cast<char>('A' + i)) + ":"));
    }
    PrintJson(Json::Object().Set("drives", drives).Dump());
    return kOk;
  }
  ViewText lines;
  for (int i = 0; i < 26; ++i) {
    if ((mask >> i & 1u) == 0) continue;
    const std::string drive = std::string(1, static_cast<char>('A' + i)) + ":";
    const std::u16string summary = SelectDriveAndDescribe(drive);
    std::string what = CurrentPlatform().DriveDescription(drive);
    const std::string why = CurrentPlatform().OpenError(drive);
    if (!why.empty()) what += " - cannot open: " + why;
    lines.push_back(FromUtf8(drive + " ") + summary + u"  " + FromUtf8(what));
  }
  PrintLines(lines);
  return kOk;
}

}  // namespace korvalane::cli
