// The main window run by `nobody` on a disk only root may read: the drive list shows it
// without asking anything ("needs authentication"), and choosing it gets a descriptor
// from a private UDisks2 (tests/fixtures/UDisksStack.h) whose polkit rule allows it.
// Run as root, the test starts the stack and runs itself again as nobody for the window.
#include <QProcessEnvironment>
#include <cstdlib>
#include <memory>

#include "fixtures/UDisksStack.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

namespace {

// Set in the run as nobody: the loop device to show.
constexpr const char* kLoopVariable = "KORVALANE_UDISKS_LOOP";

void ChooseDrive(int index) {
  Form1a->DriveBox->setCurrentIndex(index);
  emit Form1a->DriveBox->activated(index);
}

QString Tip(int index) { return Form1a->DriveBox->itemData(index, Qt::ToolTipRole).toString(); }

}  // namespace

class UDisksWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void ChosenDiskIsReadAsRootReadsIt() {
    const char* loop = std::getenv(kLoopVariable);
    if (loop == nullptr) {
      // As root: the stack, then this test again as nobody.
      const UDisksStack stack(SamplePath("fat16.img"));
      if (!stack.SkipReason().empty()) QSKIP(stack.SkipReason().c_str());
      QVERIFY2(stack.Failure().empty(), stack.Failure().c_str());
      const std::string runtime = stack.Dir + "/out";
      const CommandResult nobody = Run(stack.AsNobody(
          {std::string(kLoopVariable) + "=" + stack.Loop, "XDG_RUNTIME_DIR=" + runtime,
           "KORVALANE_INSTANCE=korvalane-udisks-test", "QT_QPA_PLATFORM=offscreen",
           QCoreApplication::applicationFilePath().toStdString()}));
      QVERIFY2(nobody.Status == 0, (nobody.Out + nobody.Err).c_str());
      QVERIFY2(nobody.Out.find("PASS   : UDisksWindowTest::ChosenDiskIsReadAsRootReadsIt") != std::string::npos,
               nobody.Out.c_str());
      return;
    }

    // As nobody: the image as C: and D:, the disk as E:.
    const ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat16.img"), loop});
    QVERIFY(windows.Started());
    QCOMPARE(Form1a->DriveBox->count(), 3);
    QVERIFY2(Tip(2).contains(QStringLiteral("needs authentication")), qPrintable(Tip(2)));
    const QString imageLabel = Form1a->InfoLabel->text();
    const std::vector<std::string> imageSector0 = ShownLines();

    ChooseDrive(2);
    QCOMPARE(Form1a->InfoLabel->text(), imageLabel);
    QVERIFY(!imageSector0.empty());
    QCOMPARE(ShownLines(), imageSector0);
    QVERIFY2(!Tip(2).contains(QStringLiteral("Cannot open")), qPrintable(Tip(2)));
  }
};

QTEST_MAIN(UDisksWindowTest)
#include "udisks_window_test.moc"
