// korvalane: the desktop program. A second start wakes the copy that runs and exits;
// the first creates the windows and runs until the main window closes.
#include <QApplication>
#include <QFile>
#include <QStringList>
#include <QThread>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/Look.h"
#include "app/SingleInstance.h"
#include "app/Startup.h"
#include "app/Unit1a.h"
#include "core/Platform.h"
#include "platform/SystemPlatform.h"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#endif

namespace {

constexpr char kUsage[] = R"(Usage: korvalane [--sector-size N] [SOURCE...]

Shows the raw sectors of volumes and disks. Each SOURCE (a disk image file or a block
device; on Windows also a drive such as D:) becomes a drive, C: for the first, D: for the
second and so on; a source with a partition table becomes the whole disk and then each
partition. Without sources, the machine's own disks and volumes are listed. Nothing is
ever written to a source.

Options:
  --sector-size N   Present image files with N-byte sectors (512, 1024, 2048 or 4096).
                    Without it, the size each image declares (its GPT header's place,
                    or its boot sector's bytes per sector), otherwise 512. Devices use
                    their own.
  --help            This text.
  --version         The program's name and version.
)";

// The second start waits this long after posting the wake-up, so that the running copy
// has come forward before this one is gone.
constexpr unsigned long kWakeUpPauseMs = 500;

struct Options {
  uint32_t SectorSize = 0;  // 0: found from each image's content
  std::vector<std::string> Sources;
};

// False (after saying why on stderr) on a bad command line.
bool ParseOptions(const QStringList& arguments, Options& options, bool& help, bool& version) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& argument = arguments[i];
    if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
      help = true;
    } else if (argument == QLatin1String("--version")) {
      version = true;
    } else if (argument == QLatin1String("--sector-size")) {
      const QString value = i + 1 < arguments.size() ? arguments[++i] : QString();
      if (value != QLatin1String("512") && value != QLatin1String("1024") && value != QLatin1String("2048") &&
          value != QLatin1String("4096")) {
        std::fprintf(stderr, "korvalane: --sector-size must be 512, 1024, 2048 or 4096\n");
        return false;
      }
      options.SectorSize = value.toUInt();
    } else if (argument == QLatin1String("--")) {
      for (++i; i < arguments.size(); ++i) options.Sources.push_back(arguments[i].toStdString());
    } else if (argument.startsWith(QLatin1String("--"))) {
      std::fprintf(stderr, "korvalane: unknown option '%s' (try --help)\n", qPrintable(argument));
      return false;
    } else {
      options.Sources.push_back(QFile::encodeName(argument).toStdString());
    }
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // The command line is read before the application object exists, so that --help and a
  // bad option are answered even where no display can be opened.
  QStringList arguments;
#ifdef _WIN32
  // A narrow argv holds the ANSI code page, which cannot spell every file name.
  int count = 0;
  if (wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count)) {
    for (int i = 0; i < count; ++i) arguments.append(QString::fromWCharArray(wide[i]));
    LocalFree(wide);
  }
#else
  for (int i = 0; i < argc; ++i) arguments.append(QString::fromLocal8Bit(argv[i]));
#endif
  Options options;
  bool help = false;
  bool version = false;
  if (!ParseOptions(arguments, options, help, version)) return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (version) {
    std::fputs("korvalane " KORVALANE_VERSION "\n", stdout);
    return 0;
  }

  QApplication app(argc, argv);

  if (korvalane::PostWakeUp(korvalane::InstanceSocketName())) {
    QThread::msleep(kWakeUpPauseMs);
    return 0;
  }

  korvalane::ApplyLook(app);
  QApplication::setApplicationName(QStringLiteral("Korvalane"));

  const std::unique_ptr<korvalane::Platform> platform = korvalane::MakeSystemPlatform(options.Sources, options.SectorSize);
  korvalane::SetPlatform(platform.get());

  korvalane::CreateForms();
  Form1a->show();
  const int status = QApplication::exec();
  korvalane::DestroyForms();
  korvalane::SetPlatform(nullptr);
  return status;
}
