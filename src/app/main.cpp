// korvalane: the desktop program. A second start hands its sources to the copy that runs,
// wakes it and exits; the first creates the windows and runs until the main window closes.
#include <QApplication>
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QThread>
#include <cstdio>
#include <cstdlib>
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
partition; the window opens on the first of them that holds a volume. Without sources,
the machine's own disks and volumes are listed. When the program runs already, the
sources are handed to its window instead. Nothing is ever written to a source.

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

// Sources as the running copy must see them: it runs in a directory of its own. A Windows
// drive ("D:") is no path and stays as it is.
QStringList AbsoluteSources(const std::vector<std::string>& sources) {
  QStringList absolute;
  for (const std::string& source : sources) {
    const QString name = QFile::decodeName(QByteArray::fromStdString(source));
#ifdef _WIN32
    if (name.size() == 2 && name[1] == QLatin1Char(':')) {
      absolute.append(name);
      continue;
    }
#endif
    absolute.append(QFileInfo(name).absoluteFilePath());
  }
  return absolute;
}

constexpr char kNoDisplay[] = "korvalane: no display; korvalane-cli works without one\n";
constexpr int kNoDisplayStatus = 2;

#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
// The window systems of a Unix desktop need a display to connect to; Qt would abort
// without one. The platforms that draw elsewhere (offscreen, a frame buffer, VNC) do not.
bool DisplayIsMissing() {
  if (qEnvironmentVariableIsSet("DISPLAY") && !qEnvironmentVariableIsEmpty("DISPLAY")) return false;
  if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) return false;
  const QString platforms = qEnvironmentVariable("QT_QPA_PLATFORM");
  // The first of a ";"-separated list is tried first; its options follow a ":".
  const QString first = platforms.section(QLatin1Char(';'), 0, 0).section(QLatin1Char(':'), 0, 0);
  return first.isEmpty() || first == QLatin1String("xcb") || first.startsWith(QLatin1String("wayland"));
}
#else
bool DisplayIsMissing() { return false; }
#endif

// While the application object is made, a platform plugin that cannot start (a display
// that is named but not there) ends the program through a fatal message. Its messages are
// held back and, on that failure, replaced by one line and the status of a missing display.
QtMessageHandler previousHandler = nullptr;
struct HeldMessage {
  QtMsgType Type;
  // The context's strings point into the code that logged; they live as long as the program.
  const char* File;
  int Line;
  const char* Function;
  const char* Category;
  QString Text;
};
std::vector<HeldMessage> heldMessages;

void StartupMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type == QtFatalMsg) {
    std::fputs(kNoDisplay, stderr);
    std::fflush(stderr);
    std::_Exit(kNoDisplayStatus);
  }
  heldMessages.push_back({type, context.file, context.line, context.function, context.category, message});
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

  if (DisplayIsMissing()) {
    std::fputs(kNoDisplay, stderr);
    return kNoDisplayStatus;
  }
  previousHandler = qInstallMessageHandler(StartupMessageHandler);
  QApplication app(argc, argv);
  qInstallMessageHandler(previousHandler);
  // Through whatever handler was there before.
  for (const HeldMessage& held : heldMessages) {
    qt_message_output(held.Type, QMessageLogContext(held.File, held.Line, held.Function, held.Category), held.Text);
  }
  heldMessages.clear();

  if (korvalane::PostWakeUp(korvalane::InstanceSocketName(), korvalane::kWakeUpWord, 0,
                            AbsoluteSources(options.Sources))) {
    QThread::msleep(kWakeUpPauseMs);
    return 0;
  }

  korvalane::ApplyLook(app);
  QApplication::setApplicationName(QStringLiteral("Korvalane"));

  const std::unique_ptr<korvalane::Platform> platform = korvalane::MakeSystemPlatform(options.Sources, options.SectorSize);
  korvalane::SetPlatform(platform.get());

  korvalane::CreateForms();
  Form1a->StartedWithSources = !options.Sources.empty();
  Form1a->show();
  const int status = QApplication::exec();
  korvalane::DestroyForms();
  korvalane::SetPlatform(nullptr);
  return status;
}
