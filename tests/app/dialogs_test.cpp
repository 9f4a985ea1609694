// The information and confirmation dialogs as their callers use them: set InfoLabel,
// show modally, read Choice.
#include <QLabel>

#include "app/Unit2a.h"
#include "app/Unit2b.h"
#include "app/Unit3.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

namespace {

std::vector<std::string> ThreeDrives() {
  return {SamplePath("fat16.img"), SamplePath("fat32.img"), SamplePath("ntfs.img")};
}

// What the user sees in a message label (the text QLabel draws).
QString Drawn(MessageLabel* label) { return static_cast<QLabel*>(label)->text(); }

bool CentredOnMainWindow(QWidget* dialog) {
  const QPoint offset = dialog->frameGeometry().center() - Form1a->frameGeometry().center();
  return offset.manhattanLength() <= 2;
}

// Presses a key on whatever has the keyboard focus, as the user's keyboard would.
void PressKey(Qt::Key key) {
  QWidget* target = QApplication::focusWidget();
  QTest::keyClick(target != nullptr ? target : QApplication::activeModalWidget(), key);
}

}  // namespace

class DialogsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-dialogs-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
  }

  void informationShowsLinesAndCloses() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->move(40, 30);
    Form2a->InfoLabel->setText(QStringLiteral("Information saved to file\rDrive C Sector 0.txt"));
    QCOMPARE(Form2a->InfoLabel->text(), QStringLiteral("Information saved to file\rDrive C Sector 0.txt"));
    QCOMPARE(Drawn(Form2a->InfoLabel), QStringLiteral("Information saved to file\nDrive C Sector 0.txt"));

    bool centred = false;
    bool focusOnOk = false;
    bool escapeIgnored = false;
    bool closedByEnter = false;
    WhenModal<TForm2a>([&](TForm2a* dialog) {
      centred = CentredOnMainWindow(dialog);
      focusOnOk = dialog->Button1->hasFocus();
      PressKey(Qt::Key_Escape);
      escapeIgnored = dialog->isVisible();
      PressKey(Qt::Key_Return);
      closedByEnter = !dialog->isVisible();
      if (!closedByEnter) dialog->close();
    });
    Form2a->exec();
    QVERIFY(centred);
    QVERIFY(focusOnOk);
    QVERIFY(escapeIgnored);
    QVERIFY(closedByEnter);
    QCOMPARE(Form2a->windowTitle(), QStringLiteral("Information"));
    QCOMPARE(Form2a->minimumSize(), QSize(300, 160));
    QCOMPARE(Form2a->maximumSize(), QSize(300, 160));
    QVERIFY(!(Form2a->windowFlags() & Qt::WindowMaximizeButtonHint));
  }

  // A digest, one word wider than the label, is drawn in groups of 16 digits that may
  // wrap, and the dialog grows until every line shows; an ordinary message keeps 300 x 160.
  void informationShowsAWholeDigest() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    const QString digest = QStringLiteral("1ad2205c1287af7596f2cfb908f07eb403d67897717faaa3899d63735c1ab34b");
    const QString message = QStringLiteral("Data saved to file\r/tmp/Drive D sectors 0-2048.bin\rSHA-256: ") + digest;
    Form2a->InfoLabel->setText(message);
    QCOMPARE(Form2a->InfoLabel->text(), message);
    const QChar gap(0x200B);
    QVERIFY(Drawn(Form2a->InfoLabel).endsWith(digest.left(16) + gap + digest.mid(16, 16) + gap + digest.mid(32, 16) + gap + digest.mid(48)));
    // The dialog's height when every line of its message shows, else -1.
    const auto shownHeight = [] {
      int height = -1;
      WhenModal<TForm2a>([&height](TForm2a* dialog) {
        if (dialog->InfoLabel->height() >= dialog->InfoLabel->heightForWidth(dialog->InfoLabel->width())) height = dialog->height();
        dialog->close();
      });
      Form2a->exec();
      return height;
    };
    QVERIFY(shownHeight() > 160);
    Form2a->InfoLabel->setText(QStringLiteral("Invalid sectors range!"));
    QCOMPARE(shownHeight(), 160);
  }

  // How the question is left, and the Choice it gives. Choice starts at 1 each time, as
  // a Yes to an earlier question would have left it.
  void confirmationChoice_data() {
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("choice");
    QTest::newRow("Yes") << "yes" << 1;
    QTest::newRow("No") << "no" << 0;
    QTest::newRow("close box") << "close" << 0;
    QTest::newRow("Enter at once") << "enter" << 1;
    QTest::newRow("Tab to No, Space") << "tab space" << 0;
    QTest::newRow("Escape is ignored, then Yes") << "escape yes" << 1;
  }
  void confirmationChoice() {
    QFETCH(QString, answer);
    QFETCH(int, choice);
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->move(100, 50);
    Form2b->InfoLabel->setText(QStringLiteral("This file already exists. Overwrite?"));
    Form2b->Choice = 1;
    bool centred = false;
    bool openAfterEscape = true;
    WhenModal<TForm2b>([&](TForm2b* dialog) {
      centred = CentredOnMainWindow(dialog);
      if (answer == QLatin1String("yes")) QTest::mouseClick(dialog->Button1, Qt::LeftButton);
      if (answer == QLatin1String("no")) QTest::mouseClick(dialog->Button2, Qt::LeftButton);
      if (answer == QLatin1String("close")) dialog->close();
      if (answer == QLatin1String("enter")) PressKey(Qt::Key_Return);
      if (answer == QLatin1String("tab space")) {
        PressKey(Qt::Key_Tab);
        PressKey(Qt::Key_Space);
      }
      if (answer == QLatin1String("escape yes")) {
        PressKey(Qt::Key_Escape);
        openAfterEscape = dialog->isVisible();
        QTest::mouseClick(dialog->Button1, Qt::LeftButton);
      }
      if (dialog->isVisible()) {
        QFAIL("the answer did not close the question");
      }
    });
    Form2b->exec();
    QVERIFY(!Form2b->isVisible());
    QVERIFY(centred);
    QVERIFY(openAfterEscape);
    QCOMPARE(int{Form2b->Choice}, choice);
  }

  void aYesDoesNotCarryOver() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form2b->InfoLabel->setText(QStringLiteral("Are you sure you want to cancel operation?"));
    WhenModal<TForm2b>([](TForm2b* dialog) { QTest::mouseClick(dialog->Button1, Qt::LeftButton); });
    Form2b->exec();
    QCOMPARE(int{Form2b->Choice}, 1);
    WhenModal<TForm2b>([](TForm2b* dialog) { dialog->close(); });
    Form2b->exec();
    QCOMPARE(int{Form2b->Choice}, 0);
  }

  // The About box's caption names the release; the version that CMake declares, which
  // --version and the packages carry, must be the same release.
  void aboutNamesTheBuiltVersion() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    const TForm3 about(Form1a);
    QCOMPARE(about.VersionLabel->text(), QStringLiteral("Version: " KORVALANE_VERSION));
  }
};

QTEST_MAIN(DialogsTest)
#include "dialogs_test.moc"
