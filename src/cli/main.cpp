// korvalane-cli: the command-line viewer. It prints the same lines the desktop program
// shows, for scripts and tests.
#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "core/text/Utf.h"

#ifdef _WIN32
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

constexpr const char* kHelp = R"help(Usage: korvalane-cli COMMAND [OPTIONS] ARGUMENTS

A read-only viewer of the raw sectors of a volume or a disk image. SOURCE is a disk
image file or a block device (on Windows also a drive such as D:); it is shown as
drive C:, as the desktop program would show it. Nothing is ever written to a source.

Commands:
  drives [SOURCE...]           One line per drive: "C: ", the volume label of the
                               main window (file system, size in Mb, sectors), two
                               blanks and the source. Without sources, the machine's
                               volumes.
  text SOURCE SECTOR           The "Text" view of a sector.
  hex SOURCE SECTOR            The "Hex" view of a sector.
  record SOURCE SECTOR         The "File record" view: the FAT directory listing of
                               the cluster at SECTOR, or the NTFS file record there.
  details SOURCE               The "Details" report of the volume.
  export [--sector-size N] [--force] [--map MAP] SOURCE START END FILE
                               Copies sectors START to END-1 byte for byte into FILE
                               (START is 0 or at least 1; END at most the volume's
                               sector count). Unreadable sectors are written as
                               zeros and named in a last line on stderr, first-last:
                               "korvalane-cli: unreadable sectors: 1000-1007, 5000
                               (9 sectors written as zeros)" (the first 16 ranges).
                               An existing FILE or MAP is replaced only with
                               --force. On a terminal the percentage is shown on
                               stderr; Ctrl+C stops the copy and keeps the sectors
                               saved so far.
  help, --help                 This text.

Options:
  --sector-size N              Present an image file with N-byte sectors (512, 1024,
                               2048 or 4096; default 512). Devices use their own.
  --map MAP                    export: also write MAP, a GNU ddrescue mapfile of the
                               copy, in byte positions of SOURCE (sector x sector
                               size): "+" copied, "-" unreadable (zeros in FILE),
                               "?" not copied (before START, from END on, after a
                               stop). It lists every unreadable sector. To read them
                               again later into the same FILE (B = sector size):
                               ddrescue -r1 -i START*B -o 0 -s (END-START)*B
                                 SOURCE FILE MAP

SECTOR, START and END are decimal, or hexadecimal after "$", "x" or "0x".

Exit status: 0 done; 1 the volume could not be read (a view prints "Reading error"),
or an export met unreadable sectors or could not write its file or map; 2 a bad command
line or a bad number; 130 an export stopped by Ctrl+C.
)help";

// The arguments as UTF-8. Windows hands a narrow main its arguments in the ANSI code
// page, which cannot hold every file name; the wide command line can.
std::vector<std::string> CommandLine(int argc, char** argv) {
#ifdef _WIN32
  int count = 0;
  wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide != nullptr) {
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
      const std::wstring_view arg(wide[i]);
      args.push_back(korvalane::ToUtf8(std::u16string(arg.begin(), arg.end())));
    }
    LocalFree(wide);
    return args;
  }
#endif
  return std::vector<std::string>(argv + 1, argv + argc);
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  std::vector<std::string> args = CommandLine(argc, argv);
  if (args.empty()) {
    std::cerr << "korvalane-cli: no command given (try --help)\n";
    return korvalane::cli::kUsage;
  }
  const std::string command = args.front();
  args.erase(args.begin());
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kHelp;
    return korvalane::cli::kOk;
  }
  for (const std::string& arg : args) {
    if (arg == "--help" || arg == "-h") {
      std::cout << kHelp;
      return korvalane::cli::kOk;
    }
  }
  if (command == "drives") return korvalane::cli::RunDrives(args);
  if (command == "text" || command == "hex" || command == "record" || command == "details") {
    return korvalane::cli::RunView(command, args);
  }
  if (command == "export") return korvalane::cli::RunExport(args);
  return korvalane::cli::UsageError("unknown command '" + command + "' (try --help)");
}
