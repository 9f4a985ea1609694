// A second start of the program wakes the running copy: the real korvalane binary as the
// second process against this test's windows, and this test's own binary as a second
// process that posts other word parameters or a message that is not ours.
#include <QElapsedTimer>
#include <QLocalSocket>
#include <QProcess>
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
  qint64 Milliseconds = 0;
  QByteArray Output;
};

Finished RunServing(const QString& program, const QStringList& arguments) {
  Finished result;
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  QElapsedTimer clock;
  clock.start();
  process.start(program, arguments);
  if (!process.waitForStarted(5000)) return result;
  result.Done = QTest::qWaitFor([&process] { return process.state() == QProcess::NotRunning; }, 20000);
  result.Milliseconds = clock.elapsed();
  result.ExitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
  result.Output = process.readAll();
  return result;
}

QString Korvalane() { return qEnvironmentVariable("KORVALANE_APP"); }

}  // namespace

class SingleInstanceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() { ApplyLook(*qApp); }

  // The real program started a second time: no window of its own, a pause of half a
  // second, exit code 0, and the first copy is back from the task bar and in front.
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

    const Finished second = RunServing(Korvalane(), {QString::fromStdString(SamplePath("ntfs.img"))});
    QVERIFY(second.Done);
    QCOMPARE(second.ExitCode, 0);
    QVERIFY2(second.Milliseconds >= 500, qPrintable(QString::number(second.Milliseconds)));
    QVERIFY(QTest::qWaitFor([] { return !Form1a->isMinimized() && QApplication::activeWindow() == Form1a; }, 2000));
    // The first copy goes on with what it had.
    QCOMPARE(Form1a->DriveBox->count(), 2);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
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
        << QStringList{"--send-raw", QString(200, QLatin1Char('7'))} << 0 << false;
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
    const Finished sender = RunServing(QCoreApplication::applicationFilePath(), QStringList{InstanceSocketName()} + send);
    QVERIFY(sender.Done);
    QCOMPARE(sender.ExitCode, 0);
    // Give a message that did come time to pass the hook, then look.
    if (messages > 0) {
      QVERIFY(QTest::qWaitFor([&] { return counter.Count >= 1; }, 2000));
      QTest::qWait(50);
    } else {
      QTest::qWait(300);
    }
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
