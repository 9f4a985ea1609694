// Where the Structure window opens, on a virtual X server (xvfb-run) of the screen size
// each case needs; CTest runs each case on its own server (form5_place_*):
//   roomOnTheRight    2560x1440: beside the main window, on its right
//   roomOnlyOnTheLeft 1920x1080, the main window moved to the screen's right edge: on its left
//   tooSmallForBoth   1024x768: over the centre of the main window, as a dialog opens
// Beside it, it covers no part of the main window, so the bytes it marks stay in sight.
#include <QGuiApplication>
#include <QScreen>

#include "app/Unit5.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

namespace {

void OpenStructure() {
  Form1a->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(Form1a));
  QTest::keyClick(Form1a->SectorEdit, Qt::Key_I, Qt::ControlModifier);
  QVERIFY(Form5 != nullptr);
  QVERIFY(QTest::qWaitForWindowExposed(Form5));
}

QRect Screen() { return QGuiApplication::primaryScreen()->availableGeometry(); }

// The main window at `left`, as the user drags it there.
void MoveMainWindow(int left) {
  const QPoint to(left, Form1a->frameGeometry().top());
  Form1a->move(to);
  QTRY_COMPARE(Form1a->frameGeometry().topLeft(), to);
}

// The screen must be the one the case is meant for; anywhere else it says so and skips.
bool OnScreen(int width, int height) {
  if (QGuiApplication::platformName() != QStringLiteral("xcb")) {
    QTest::qSkip("needs an X server of a known size: CTest runs it under xvfb-run (tests form5_place_*)",
                 __FILE__, __LINE__);
    return false;
  }
  if (Screen().size() != QSize(width, height)) {
    QTest::qSkip(qPrintable(QStringLiteral("needs a screen of %1x%2 (xvfb-run -s \"-screen 0 %1x%2x24\")")
                                .arg(width)
                                .arg(height)),
                 __FILE__, __LINE__);
    return false;
  }
  return true;
}

// Beside the main window on the side asked for, at its designed size: the whole window
// on the screen, none of it over the main window, level with its top.
void ExpectBeside(bool right) {
  const QRect main = Form1a->frameGeometry();
  const QRect structure = Form5->frameGeometry();
  QVERIFY(Screen().contains(structure));
  QVERIFY(right ? structure.left() > main.right() : structure.right() < main.left());
  QCOMPARE(structure.top(), main.top());
  QCOMPARE(Form5->size(), QSize(600, 620));
}

}  // namespace

class StructurePlaceTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-place-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
  }

  void roomOnTheRight() {
    if (!OnScreen(2560, 1440)) return;
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    OpenStructure();
    if (QTest::currentTestFailed()) return;
    ExpectBeside(true);
  }

  void roomOnlyOnTheLeft() {
    if (!OnScreen(1920, 1080)) return;
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    MoveMainWindow(Screen().right() - Form1a->frameGeometry().width() - 40);
    OpenStructure();
    if (QTest::currentTestFailed()) return;
    ExpectBeside(false);
  }

  void tooSmallForBoth() {
    if (!OnScreen(1024, 768)) return;
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    OpenStructure();
    if (QTest::currentTestFailed()) return;
    // Centred on the main window, at its designed size.
    QVERIFY((Form5->frameGeometry().center() - Form1a->frameGeometry().center()).manhattanLength() <= 2);
    QCOMPARE(Form5->size(), QSize(600, 620));
  }
};

QTEST_MAIN(StructurePlaceTest)
#include "form5_place_test.moc"
