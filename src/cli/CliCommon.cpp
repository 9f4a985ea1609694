#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "cli/Cli.h"
#include "core/export/ExportRange.h"
#include "core/text/SectorField.h"
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

namespace {

// Which commands take which option. Every command that reads a source takes the two that
// say how the source is presented.
struct OptionRule {
  const char* Name;
  bool TakesValue;
  std::vector<std::string> Commands;
};

const std::vector<std::string> kSourceCommands{"drives", "text",   "hex",  "record", "details", "export", "find",
                                               "locate", "fields", "hash", "verify", "owner",   "damaged", "map", "extract"};

const OptionRule kOptions[] = {
    {"--sector-size", true, kSourceCommands},
    {"--partition", true, kSourceCommands},
    {"--volume", true, kSourceCommands},
    {"--no-prompt", false, kSourceCommands},
    {"--force", false, {"export", "extract"}},
    {"--map", true, {"export", "map", "extract"}},
    {"--json", false, {"drives", "details", "record", "find", "locate", "fields", "owner", "damaged", "map", "extract"}},
    {"--cells", true, {"map"}},
    {"--png", true, {"map"}},
    {"--width", true, {"map"}},
    {"--deleted", false, {"extract"}},
    {"--tree", false, {"extract"}},
    {"--report", true, {"extract"}},
    {"--as", true, {"fields"}},
    {"--compare-backup", false, {"fields"}},
    {"--md5", false, {"hash"}},
    {"--sha1", false, {"hash"}},
    {"--sha256", false, {"hash", "export"}},
    {"--from", true, {"find"}},
    {"--backward", false, {"find"}},
    {"--aligned", true, {"find"}},
    {"--ignore-case", false, {"find"}},
    {"--all", false, {"find"}},
};

bool Takes(const OptionRule& rule, const std::string& command) {
  return std::find(rule.Commands.begin(), rule.Commands.end(), command) != rule.Commands.end();
}

// Applies one option with its value; false (after saying why) for a bad value.
bool Apply(const std::string& name, const std::string& value, Arguments& parsed) {
  if (name == "--sector-size") {
    if (value != "512" && value != "1024" && value != "2048" && value != "4096") {
      UsageError("--sector-size must be 512, 1024, 2048 or 4096, not '" + value + "'");
      return false;
    }
    parsed.SectorSize = static_cast<uint32_t>(std::stoul(value));
  } else if (name == "--partition") {
    const std::optional<uint64_t> number = ParseSectorIndex(value);
    if (!number || *number == 0 || *number > UINT32_MAX) {
      UsageError("--partition needs a partition number (1 and on), not '" + value + "'");
      return false;
    }
    parsed.Partition = static_cast<uint32_t>(*number);
  } else if (name == "--volume") {
    // An LVM2 logical volume is VG/LV; an md array is named md/NAME, or mdN (0.90).
    const bool array = value.size() > 2 && value.starts_with("md") &&
                       value.find_first_not_of("0123456789", 2) == std::string::npos;
    if (value.find('/') == std::string::npos && !array) {
      UsageError("--volume needs a logical volume as VG/LV (vg0/root), not '" + value + "'");
      return false;
    }
    parsed.Volume = value;
  } else if (name == "--no-prompt") {
    parsed.NoPrompt = true;
  } else if (name == "--force") {
    parsed.Force = true;
  } else if (name == "--map") {
    if (value.empty()) {
      UsageError("--map needs a file name");
      return false;
    }
    parsed.MapFile = value;
  } else if (name == "--deleted") {
    parsed.Deleted = true;
  } else if (name == "--tree") {
    parsed.Tree = true;
  } else if (name == "--report") {
    if (value.empty()) {
      UsageError("--report needs a file name");
      return false;
    }
    parsed.Report = value;
  } else if (name == "--json") {
    parsed.Json = true;
  } else if (name == "--cells" || name == "--width") {
    const std::optional<uint64_t> number = ParseSectorIndex(value);
    const uint64_t most = name == "--cells" ? uint64_t{1} << 24 : 16384;
    if (!number || *number == 0 || *number > most) {
      UsageError(name + " needs a number from 1 to " + std::to_string(most) + ", not '" + value + "'");
      return false;
    }
    if (name == "--cells") {
      parsed.Cells = *number;
    } else {
      parsed.Width = static_cast<uint32_t>(*number);
    }
  } else if (name == "--png") {
    if (value.empty()) {
      UsageError("--png needs a file name");
      return false;
    }
    parsed.Png = value;
  } else if (name == "--from") {
    parsed.From = value;
  } else if (name == "--backward") {
    parsed.Backward = true;
  } else if (name == "--aligned") {
    parsed.Aligned = value;
  } else if (name == "--ignore-case") {
    parsed.IgnoreCase = true;
  } else if (name == "--all") {
    parsed.All = true;
  } else if (name == "--as") {
    parsed.As = value;
  } else if (name == "--compare-backup") {
    parsed.CompareBackup = true;
  } else if (name == "--md5") {
    parsed.Md5 = true;
  } else if (name == "--sha1") {
    parsed.Sha1 = true;
  } else if (name == "--sha256") {
    parsed.Sha256 = true;
  }
  return true;
}

}  // namespace

std::optional<Arguments> ParseCommandLine(const std::vector<std::string>& args) {
  Arguments parsed;
  struct Pending {
    const OptionRule* Rule;
    std::string Value;
  };
  std::vector<Pending> options;
  std::vector<std::string> words;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--") {
      words.insert(words.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    if (arg == "--help" || arg == "-h") {
      parsed.Help = true;
      continue;
    }
    if (arg == "--version") {
      parsed.Version = true;
      continue;
    }
    // "-1" is a (negative) sector number, not an option.
    if (arg.size() > 2 && arg[0] == '-' && arg[1] == '-') {
      const size_t equals = arg.find('=');
      const std::string name = arg.substr(0, equals);
      const OptionRule* rule = nullptr;
      for (const OptionRule& known : kOptions) {
        if (name == known.Name) rule = &known;
      }
      if (rule == nullptr) {
        UsageError("unknown option '" + arg + "' (try --help)");
        return std::nullopt;
      }
      std::string value;
      if (equals != std::string::npos) {
        value = arg.substr(equals + 1);
      } else if (rule->TakesValue) {
        if (i + 1 == args.size()) {
          UsageError(name == "--map" ? "--map needs a file name" : name + " needs a value");
          return std::nullopt;
        }
        value = args[++i];
      }
      options.push_back({rule, value});
      continue;
    }
    words.push_back(arg);
  }
  if (words.empty()) return parsed;
  parsed.Command = words.front();
  parsed.Positional.assign(words.begin() + 1, words.end());
  if (parsed.Help || parsed.Version) return parsed;
  for (const Pending& option : options) {
    if (!Takes(*option.Rule, parsed.Command)) {
      UsageError(std::string(option.Rule->Name) + " is not an option of '" + parsed.Command + "' (try --help)");
      return std::nullopt;
    }
    if (!Apply(option.Rule->Name, option.Value, parsed)) return std::nullopt;
  }
  return parsed;
}

namespace {

// With --volume, a SOURCE that is not there as it is may name a VG's PVs joined by '+'
// ("pv1.img+pv2.img"): each is a source of its own.
std::vector<std::string> VolumeSources(const std::vector<std::string>& named) {
  std::vector<std::string> sources;
  for (const std::string& source : named) {
    std::error_code error;
    if (source.find('+') == std::string::npos || std::filesystem::exists(PathFromUtf8(source), error)) {
      sources.push_back(source);
      continue;
    }
    for (size_t from = 0;;) {
      const size_t plus = source.find('+', from);
      sources.push_back(source.substr(from, plus == std::string::npos ? std::string::npos : plus - from));
      if (plus == std::string::npos) break;
      from = plus + 1;
    }
  }
  return sources;
}

}  // namespace

std::unique_ptr<Platform> UsePlatform(const std::vector<std::string>& named, const Arguments& arguments,
                                      int* listingStatus) {
  const std::vector<std::string> sources = arguments.Volume ? VolumeSources(named) : named;
  std::vector<std::string> usable;
  for (const std::string& source : sources) {
    // A drive name ("D:") is the system's own; anything else must be there to be read.
    const bool driveName = source.size() == 2 && source[1] == ':';
    std::error_code error;
    const bool exists = driveName || std::filesystem::exists(PathFromUtf8(source), error);
    const std::string refusal = driveName ? std::string() : SourceRefusal(source, arguments.SectorSize);
    if (listingStatus != nullptr) {
      // A list goes on past a source that is not there, naming it on stderr.
      if (exists) {
        usable.push_back(source);
      } else {
        std::cerr << "korvalane-cli: cannot open '" << source << "': " << refusal << '\n';
        *listingStatus = kFailure;
      }
      continue;
    }
    if (!exists) {
      UsageError("no such source: " + source);
      std::exit(kUsage);
    }
    if (!refusal.empty()) {
      UsageError("cannot open '" + source + "': " + refusal);
      std::exit(kUsage);
    }
    usable.push_back(source);
  }
  SourceOptions options(arguments.SectorSize);
  options.Partition = arguments.Partition;
  options.Volume = arguments.Volume;
  options.ContainersMustOpen = true;
  // A disk the user may not read is asked for through polkit at once; on a terminal
  // polkit may ask for a password there, a script is refused rather than left waiting.
  options.Authorization = arguments.NoPrompt || !IsTerminal(stdin) ? DeviceAuthorization::NowWithoutPrompt
                                                                   : DeviceAuthorization::NowWithPrompt;
  // Sources were named but none is there: nothing to list (not the machine's disks).
  if (!sources.empty() && usable.empty()) return nullptr;
  std::string error;
  std::unique_ptr<Platform> platform = MakeSystemPlatform(usable, options, &error);
  if (!platform) {
    UsageError(error);
    std::exit(kUsage);
  }
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
  const bool terminal = IsTerminal(stdout);
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

int CannotOpen(const std::string& source, const std::string& drive) {
  const std::string why = CurrentPlatform().OpenError(drive);
  std::cerr << "korvalane-cli: cannot open '" << source << "'" << (why.empty() ? "" : ": " + why) << '\n';
  return kFailure;
}

void PrintJson(const std::string& document) {
  std::fwrite(document.data(), 1, document.size(), stdout);
  std::fflush(stdout);
}

bool IsTerminal(std::FILE* stream) { return KORVALANE_ISATTY(KORVALANE_FILENO(stream)) != 0; }

int UsageError(const std::string& message) {
  std::cerr << "korvalane-cli: " << message << '\n';
  return kUsage;
}

int RangeRefused(std::u16string_view message, uint64_t totalSectors) {
  UsageError(ToUtf8(message));
  if (message != kInvalidEndSector) return kUsage;
  // END is one past the last sector copied, so it may equal the sector count.
  if (totalSectors == 0) return UsageError("END must be at least 1, and the drive has no sectors");
  return UsageError("END must be a number from 1 to " + std::to_string(totalSectors) +
                    ", the drive's sector count (sector END itself is not included)");
}

}  // namespace korvalane::cli
