#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/Platform.h"
#include "core/views/ViewText.h"

namespace korvalane::cli {

// Exit statuses.
constexpr int kOk = 0;
constexpr int kFailure = 1;  // the command ran but the volume could not be read
constexpr int kUsage = 2;    // bad command line or bad numbers

// The command line after the command word: options taken out, the rest in order.
struct Arguments {
  uint32_t SectorSize = 512;
  bool Force = false;
  std::string MapFile;  // export --map FILE
  std::vector<std::string> Positional;
};

// Parses --sector-size N (and export's --force and --map FILE where `allowForce`). On an error prints a one-line
// message on stderr and returns nothing.
std::optional<Arguments> ParseArguments(const std::vector<std::string>& args, bool allowForce);

// Sets up the system platform for the sources (drives C:, D:, ... in order) and makes it
// current. Keep the result alive while the command runs. A source that does not exist
// ends the program with a one-line message and status 2.
std::unique_ptr<Platform> UsePlatform(const std::vector<std::string>& sources, uint32_t sectorSize);

// "C:" for the lowest drive present, empty when none is.
std::string FirstDrive();

// Writes the lines as UTF-8, one per line. On a terminal, characters a terminal would act
// on (U+0000 to U+001F, U+007F to U+009F) are written as "." so that a hostile sector
// cannot send escape sequences; into a pipe or file the text goes unchanged.
void PrintLines(const ViewText& lines);

// "korvalane-cli: " + message on stderr; returns kUsage.
int UsageError(const std::string& message);

// Commands; each takes the words after the command name.
int RunDrives(const std::vector<std::string>& args);
int RunView(const std::string& command, const std::vector<std::string>& args);  // text, hex, record, details
int RunExport(const std::vector<std::string>& args);

}  // namespace korvalane::cli
