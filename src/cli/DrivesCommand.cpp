#include "cli/Cli.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"

namespace korvalane::cli {

int RunDrives(const std::vector<std::string>& args) {
  const std::optional<Arguments> parsed = ParseArguments(args, false);
  if (!parsed) return kUsage;
  const std::unique_ptr<Platform> platform = UsePlatform(parsed->Positional, parsed->SectorSize);
  const uint32_t mask = CurrentPlatform().LogicalDrives();
  ViewText lines;
  for (int i = 0; i < 26; ++i) {
    if ((mask >> i & 1u) == 0) continue;
    const std::string drive = std::string(1, static_cast<char>('A' + i)) + ":";
    const std::u16string summary = SelectDriveAndDescribe(drive);
    lines.push_back(FromUtf8(drive + " ") + summary + u"  " + FromUtf8(CurrentPlatform().DriveSource(drive)));
  }
  PrintLines(lines);
  return kOk;
}

}  // namespace korvalane::cli
