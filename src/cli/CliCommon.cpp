#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "cli/Cli.h"
#include "core/text/Utf.h"
#include "platform/SystemPlatform.h"

#ifdef _WIN32
#include <io.h>
#define KORVALANE_ISATTY _isatty
#define KORVALANE_FILENO _fileno
#else
#include <unistd.h>
#define KORVALANE_ISATTY isatty
#define KORVALANE_FILENO fileno
#endif

namespace korvalane::cli {

std::optional<Arguments> ParseArguments(const std::vector<std::string>& args, bool allowForce) {
  Arguments parsed;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--sector-size") {
      if (i + 1 == args.size()) {
        UsageError("--sector-size needs a value (512, 1024, 2048 or 4096)");
        return std::nullopt;
      }
      const std::string& value = args[++i];
      if (value != "512" && value != "1024" && value != "2048" && value != "4096") {
        UsageError("--sector-size must be 512, 1024, 2048 or 4096, not '" + value + "'");
        return std::nullopt;
      }
      parsed.SectorSize = static_cast<uint32_t>(std::stoul(value));
    } else if (arg == "--force" && allowForce) {
      parsed.Force = true;
    } else if (arg == "--map" && allowForce) {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        UsageError("--map needs a file name");
        return std::nullopt;
      }
      parsed.MapFile = args[++i];
    } else if (arg == "--") {
      parsed.Positional.insert(parsed.Positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                               args.end());
      break;
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      UsageError("unknown option '" + arg + "'");
      return std::nullopt;
    } else {
      parsed.Positional.push_back(arg);
    }
  }
  return parsed;
}

std::unique_ptr<Platform> UsePlatform(const std::vector<std::string>& sources, uint32_t sectorSize) {
  for (const std::string& source : sources) {
    // A drive name ("D:") is the system's own; anything else must be there to be read.
    const bool driveName = source.size() == 2 && source[1] == ':';
    std::error_code error;
    if (!driveName && !std::filesystem::exists(PathFromUtf8(source), error)) {
      UsageError("no such source: " + source);
      std::exit(kUsage);
    }
  }
  std::unique_ptr<Platform> platform = MakeSystemPlatform(sources, sectorSize);
  SetPlatform(platform.get());
  return platform;
}

std::string FirstDrive() {
  const uint32_t mask = CurrentPlatform().LogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((mask >> i & 1u) != 0) return std::string(1, static_cast<char>('A' + i)) + ":";
  }
  return {};
}

void PrintLines(const ViewText& lines) {
  const bool terminal = KORVALANE_ISATTY(KORVALANE_FILENO(stdout)) != 0;
  std::string out;
  for (const std::u16string& line : lines) {
    if (terminal) {
      std::u16string safe = line;
      for (char16_t& c : safe) {
        if (c <= 0x1F || (c >= 0x7F && c <= 0x9F)) c = u'.';
      }
      out += ToUtf8(safe);
    } else {
      out += ToUtf8(line);
    }
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
}

int UsageError(const std::string& message) {
  std::cerr << "korvalane-cli: " << message << '\n';
  return kUsage;
}

}  // namespace korvalane::cli
