// Where the Structure window opens, on a virtual X server (xvfb-run) of the screen size
// each case needs; CTest runs each case on its own server (form5_place_*):
//   roomOnTheRight    2560x1440: beside the main window, on its right
//   roomOnlyOnTheLeft 1920x1080, the main window moved to the screen's right edge: on its left
//   tooSmallForBoth   1024x768: over the centre of the main window, as a dialog opens
// Beside it, it covers no part of the main window, so the bytes it marks stay in sight.
// placeBesideRule checks the rule itself on screens of every kind, without a server.
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

void CloseStructure() {
  Form5->close();
  QTRY_VERIFY(!Form5->isVisible());
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

// Beside the main window on the side asked for: the whole window on the screen, none of
// it over the main window, level with its top.
void ExpectBeside(bool right) {
  const QRect main = Form1a->frameGeometry();
  const QRect structure = Form5->frameGeometry();
  QVERIFY2(Screen().contains(structure), qPrintable(QStringLiteral("%1,%2 %3x%4").arg(structure.x()).arg(structure.y()).arg(structure.width()).arg(structure.height())));
  QVERIFY(!structure.intersects(main));
  if (right) {
    QVERIFY(structure.left() > main.right());
  } else {
    QVERIFY(structure.right() < main.left());
  }
  QCOMPARE(structure.top(), main.top());
  // As designed where the room allows it.
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

  void placeBesideRule_data() {
    QTest::addColumn<QRect>("main");
    QTest::addColumn<QRect>("screen");
    QTest::addColumn<QRect>("expected");  // empty: no room on either side
    const QRect main(100, 100, 634, 521);
    QTest::newRow("right, 8 px apart") << main << QRect(0, 0, 2000, 1200) << QRect(742, 100, 600, 620);
    QTest::newRow("only the left") << main.translated(1200, 0) << QRect(0, 0, 2000, 1200) << QRect(692, 100, 600, 620);
    QTest::newRow("right, narrowed to the room") << main << QRect(0, 0, 1300, 1200) << QRect(742, 100, 558, 620);
    QTest::newRow("narrower than its minimum on both sides") << main.translated(223, 0) << QRect(0, 0, 1280, 1024)
                                                             << QRect();
    QTest::newRow("lower than the screen's bottom allows") << main.translated(0, 800) << QRect(0, 0, 2000, 1200)
                                                           << QRect(742, 580, 600, 620);
    QTest::newRow("a screen lower than the window") << main.translated(0, -100) << QRect(0, 0, 2000, 600)
                                                    << QRect(742, 0, 600, 600);
    QTest::newRow("a second screen to the left") << main.translated(-1900, 0) << QRect(-1920, 0, 1920, 1080)
                                                 << QRect(-1158, 100, 600, 620);
  }
  void placeBesideRule() {
    QFETCH(QRect, main);
    QFETCH(QRect, screen);
    QFETCH(QRect, expected);
    const std::optional<QRect> place = PlaceBeside(main, QSize(600, 620), QSize(480, 480), screen);
    QCOMPARE(place.value_or(QRect()), expected);
    if (place) {
      QVERIFY(screen.contains(*place));
      QVERIFY(!place->intersects(main));
    }
  }

  void roomOnTheRight() {
    if (!OnScreen(2560, 1440)) return;
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    OpenStructure();
    if (QTest::currentTestFailed()) return;
    ExpectBeside(true);
    // Opened again after the main window has moved near the right edge: on the left now.
    CloseStructure();
    MoveMainWindow(Screen().right() - Form1a->frameGeometry().width() - 100);
    OpenStructure();
    if (QTest::currentTestFailed()) return;
    ExpectBeside(false);
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
    const QPoint mainCentre = Form1a->frameGeometry().center();
    const QPoint centre = Form5->frameGeometry().center();
    QVERIFY2((centre - mainCentre).manhattanLength() <= 2,
             qPrintable(QStringLiteral("%1,%2 against %3,%4").arg(centre.x()).arg(centre.y()).arg(mainCentre.x()).arg(mainCentre.y())));
    QCOMPARE(Form5->size(), QSize(600, 620));
  }
};

QTEST_MAIN(StructurePlaceTest)
#include "form5_place_test.moc"
