// A second start of the program wakes the running copy and hands over its sources: the
// real korvalane binary as the second process against this test's windows, and this
// test's own binary as a second process that posts other word parameters or a message
// that is not ours. And a start without a display says so.
#include <QLocalSocket>
#include <QProcess>
#include <QSignalSpy>
#include <cstring>

#include "app/SingleInstance.h"
#include "app/Unit2a.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

namespace {

std::vector<std::string> TwoDrives() { return {SamplePath("fat16.img"), SamplePath("fat32.img")}; }

// Counts the wake-up messages that reach the application, whatever their parameters.
class WakeUpCounter : public QObject {
 public:
  WakeUpCounter() { qApp->installEventFilter(this); }
  int Count = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == RegisterWakeUpMessage()) ++Count;
    return QObject::eventFilter(watched, event);
  }
};

// Runs a program to its end while this process keeps serving its own events.
struct Finished {
  bool Done = false;
  int ExitCode = -1;
  QByteArray Output;
  // What `atExit` said when this process learnt that the program had ended.
  bool AtExit = false;
};

Finished RunServing(const QString& program, const QStringList& arguments, std::function<bool()> atExit = {},
                    const QString& directory = {}, const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
  Finished result;
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.setWorkingDirectory(directory);
  process.setProcessEnvironment(environment);
  QObject::connect(&process, &QProcess::finished, [&] { result.AtExit = atExit && atExit(); });
  process.start(program, arguments);
  if (!process.waitForStarted(5000)) return result;
  result.Done = QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 20000);
  result.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  result.Output = process.readAll();
  return result;
}

bool InFront() { return !Form1a->isMinimized() && QApplication::activeWindow() == Form1a; }

QString Korvalane() { return qEnvironmentVariable("KORVALANE_APP"); }

}  // namespace

class SingleInstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { ApplyLook(*qApp); }

  // The real program started a second time: no window of its own, exit code 0, and the
  // first copy is back from the task bar and in front before the second one is gone.
  void secondStartRestoresTheFirst() {
    QVERIFY(!Korvalane().isEmpty());
    ProgramWindows windows(TwoDrives());
    QVERIFY(windows.Started());
    QWidget elsewhere;
    elsewhere.setWindowTitle(QStringLiteral("another program"));
    elsewhere.show();
    Form1a->showMinimized();
    elsewhere.activateWindow();
    QVERIFY(QTest::qWaitFor([&] { return QApplication::activeWindow() == &elsewhere; }, 2000));
    QVERIFY(Form1a->isMinimized());

    const Finished second = RunServing(Korvalane(), {}, InFront);
    QVERIFY(second.Done);
    QCOMPARE(second.ExitCode, 0);
    QVERIFY(second.AtExit);
    // The first copy goes on with what it had.
    QCOMPARE(Form1a->DriveBox->count(), 2);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
  }

  // A second start with sources, in another directory and naming them relative to it:
  // they become the next drives, the first partition that holds a volume is chosen, and
  // the window comes to the front.
  void secondStartHandsOverItsSources() {
    ProgramWindows windows(TwoDrives());
    QVERIFY(windows.Started());
    Form1a->showMinimized();
    const QString samples = QString::fromStdString(SamplesDir());
    const Finished second = RunServing(Korvalane(), {QStringLiteral("disk-gpt.img"), QStringLiteral("ntfs.img")},
                                       {}, samples);
    QVERIFY(second.Done);
    QCOMPARE(second.ExitCode, 0);
    // C:, D:, the disk as E: with its partitions 1 to 3 as F: to H:, the NTFS volume as I:
    // (names the first copy could not find would be one drive each).
    QTRY_COMPARE(Form1a->DriveBox->count(), 7);
    QTRY_VERIFY(InFront());
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("F:"));
    QVERIFY(Form1a->InfoLabel->text().startsWith(QStringLiteral("FAT16, ")));
  }

  // Sources that arrive while a modal dialog is open wait for it to close: a copy in the
  // export dialog keeps its drive.
  void handedSourcesWaitForTheModalDialog() {
    ProgramWindows windows(TwoDrives());
    QVERIFY(windows.Started());
    int drivesWhileOpen = -1;
    WhenModal<TForm2a>([&](TForm2a* dialog) {
      QSignalSpy arrived(Form1a->findChild<WakeUpServer*>(), &WakeUpServer::ConnectionEnded);
      QVERIFY(PostWakeUp(InstanceSocketName(), kWakeUpWord, 0, {QString::fromStdString(SamplePath("ntfs.img"))}));
      QVERIFY(arrived.wait(2000));
      QCoreApplication::sendPostedEvents();
      drivesWhileOpen = Form1a->DriveBox->count();
      dialog->close();
    });
    Form2a->InfoLabel->setText(QStringLiteral("Data saved to file\r/tmp/x.bin"));
    Form2a->exec();
    QCOMPARE(drivesWhileOpen, 2);
    QTRY_COMPARE(Form1a->DriveBox->count(), 3);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("E:"));
  }

  // Where no display can be had, one line and status 2, not an abort.
  void noDisplayIsOneLine_data() {
    QTest::addColumn<QString>("display");
    QTest::addColumn<QString>("platform");
    QTest::newRow("none named") << QString() << QString();
    QTest::newRow("one named that is not there") << QStringLiteral(":97") << QStringLiteral("xcb");
  }
  void noDisplayIsOneLine() {
    QFETCH(QString, display);
    QFETCH(QString, platform);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) environment.remove(QLatin1String(name));
    if (!display.isEmpty()) environment.insert(QStringLiteral("DISPLAY"), display);
    if (!platform.isEmpty()) environment.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    const Finished start = RunServing(Korvalane(), {QString::fromStdString(SamplePath("ntfs.img"))}, {}, {}, environment);
    QVERIFY(start.Done);
    QCOMPARE(start.ExitCode, 2);
    QCOMPARE(start.Output, QByteArray("korvalane: no display; korvalane-cli works without one\n"));
  }

  // With a dialog open over the main window, the dialog comes to the front.
  void wakeUpKeepsAnOpenDialogOnTop() {
    ProgramWindows windows(TwoDrives());
    QVERIFY(windows.Started());
    QWidget elsewhere;
    bool elsewhereActive = false;
    bool dialogInFront = false;
    Finished second;
    WhenModal<TForm2a>([&](TForm2a* dialog) {
      elsewhere.show();
      elsewhere.activateWindow();
      elsewhereActive = QTest::qWaitFor([&] { return QApplication::activeWindow() == &elsewhere; }, 2000);
      second = RunServing(Korvalane(), {});
      dialogInFront = QTest::qWaitFor([dialog] { return QApplication::activeWindow() == dialog; }, 2000);
      dialog->close();
    });
    Form2a->InfoLabel->setText(QStringLiteral("Data saved to file\r/tmp/x.bin"));
    Form2a->exec();
    QVERIFY(elsewhereActive);
    QVERIFY(second.Done);
    QCOMPARE(second.ExitCode, 0);
    QVERIFY(dialogInFront);
  }

  // Messages on the socket from another process: only word parameter 1034 restores.
  void onlyTheWakeUpWordRestores_data() {
    QTest::addColumn<QStringList>("send");
    QTest::addColumn<int>("messages");
    QTest::addColumn<bool>("restored");
    QTest::newRow("1034, 0") << QStringList{"--post-wakeup", "1034", "0"} << 1 << true;
    QTest::newRow("1034 with another long parameter") << QStringList{"--post-wakeup", "1034", "7"} << 1 << true;
    QTest::newRow("1035") << QStringList{"--post-wakeup", "1035", "0"} << 1 << false;
    QTest::newRow("0") << QStringList{"--post-wakeup", "0", "0"} << 1 << false;
    QTest::newRow("not our message") << QStringList{"--send-raw", "KLRestorf 1034 0\n"} << 0 << false;
    QTest::newRow("no line end, too long")
        << QStringList{"--send-raw", QString(9000, QLatin1Char('7'))} << 0 << false;
    QTest::newRow("a source, no message")
        << QStringList{"--send-raw", "KLOpen L3RtcC9kaXNrLmltZw==\n"} << 0 << false;
  }
  void onlyTheWakeUpWordRestores() {
    QFETCH(QStringList, send);
    QFETCH(int, messages);
    QFETCH(bool, restored);
    ProgramWindows windows(TwoDrives());
    QVERIFY(windows.Started());
    const WakeUpCounter counter;
    Form1a->showMinimized();
    QVERIFY(Form1a->isMinimized());
    QSignalSpy ended(Form1a->findChild<WakeUpServer*>(), &WakeUpServer::ConnectionEnded);
    const Finished sender = RunServing(QCoreApplication::applicationFilePath(), QStringList{InstanceSocketName()} + send);
    QVERIFY(sender.Done);
    QCOMPARE(sender.ExitCode, 0);
    // The connection is done with once its message, if any, is posted; delivering what is
    // posted then passes it through the hook.
    QTRY_COMPARE(ended.count(), 1);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(counter.Count, messages);
    QCOMPARE(!Form1a->isMinimized(), restored);
  }

  void noRunningCopyIsFound() {
    QVERIFY(!PostWakeUp(QStringLiteral("korvalane-test-nobody-listens")));
  }
};

// Besides the tests, this binary is the second process of the tests above:
//   singleinstance_test SOCKET --post-wakeup WORD LONG
//   singleinstance_test SOCKET --send-raw TEXT
int main(int argc, char** argv) {
  if (argc >= 4 && std::strcmp(argv[2], "--post-wakeup") == 0 && argc == 5) {
    QCoreApplication app(argc, argv);
    return PostWakeUp(QString::fromLocal8Bit(argv[1]), QByteArray(argv[3]).toUInt(), QByteArray(argv[4]).toLongLong())
               ? 0
               : 1;
  }
  if (argc == 4 && std::strcmp(argv[2], "--send-raw") == 0) {
    QCoreApplication app(argc, argv);
    QLocalSocket socket;
    socket.connectToServer(QString::fromLocal8Bit(argv[1]));
    if (!socket.waitForConnected(2000)) return 1;
    socket.write(argv[3]);
    socket.waitForBytesWritten(2000);
    socket.waitForDisconnected(500);
    return 0;
  }
  QApplication app(argc, argv);
  // This copy is "the running program" for the processes the tests start.
  qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-single-") + QByteArray::number(QCoreApplication::applicationPid()));
  SingleInstanceTest test;
  return QTest::qExec(&test, argc, argv);
}

#include "singleinstance_test.moc"
