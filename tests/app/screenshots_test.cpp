// Pictures of the windows for the documentation. scripts/screenshot runs this under a
// real X server (xvfb-run) with KORVALANE_SCREENSHOTS naming the folder; in the test run
// the pictures go to a temporary folder and are only checked to be the windows' size.
#include <QDir>
#include <QImage>
#include <QPixmap>
#include <QTemporaryDir>

#include "app/Unit1b.h"
#include "app/Unit2a.h"
#include "app/Unit2b.h"
#include "app/Unit3.h"
#include "app/Unit4a.h"
#include "app/Unit4b.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

class ScreenshotsTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-shots-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
    QVERIFY(scratch_.isValid());
    folder_ = qEnvironmentVariable("KORVALANE_SCREENSHOTS");
    if (folder_.isEmpty()) folder_ = scratch_.path();
    QVERIFY(QDir().mkpath(folder_));
  }

  void mainWindow_data() {
    QTest::addColumn<int>("drive");
    QTest::addColumn<int>("view");
    QTest::addColumn<QString>("sector");
    QTest::addColumn<bool>("details");
    QTest::newRow("main-text") << 1 << 0 << "0" << false;
    QTest::newRow("main-hex") << 1 << 1 << "0" << false;
    QTest::newRow("main-fat-listing") << 1 << 2 << "1166" << false;
    QTest::newRow("main-ntfs-record") << 2 << 2 << "166" << false;
    QTest::newRow("main-details") << 2 << 0 << "0" << true;
  }
  void mainWindow() {
    QFETCH(int, drive);
    QFETCH(int, view);
    QFETCH(QString, sector);
    QFETCH(bool, details);
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat32.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    Form1a->DriveBox->setCurrentIndex(drive);
    emit Form1a->DriveBox->activated(drive);
    QRadioButton* buttons[] = {Form1a->CheckView1, Form1a->CheckView2, Form1a->CheckView3};
    buttons[view]->click();
    Form1a->SectorEdit->setText(sector);
    if (details) Form1a->DetailLabelClick();
    Form1a->SectorEdit->setFocus();
    Save(Form1a, QTest::currentDataTag());
  }

  void dialogs() {
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat32.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    Form2a->InfoLabel->setText(QStringLiteral("Information saved to file\rDrive D Sector 0.txt"));
    Save(Form2a, "dialog-information");
    Form2b->InfoLabel->setText(QStringLiteral("This file already exists. Overwrite?"));
    Save(Form2b, "dialog-confirmation");
    TForm3 about(Form1a);
    Save(&about, "dialog-about");
    Save(Form1b, "dialog-export");
  }

  // A match found on NTFS, marked in the text view, and the Find and Go to dialogs.
  void findAndGoTo() {
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat32.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    Form1a->DriveBox->setCurrentIndex(2);
    emit Form1a->DriveBox->activated(2);
    Form4a->KindBox->setCurrentIndex(TForm4a::Utf16Text);
    Form4a->Edit1->setText(QStringLiteral("$MFTMirr"));
    Form4a->FindAgain(false);
    QVERIFY(Form1a->SectorEdit->text() != QStringLiteral("0"));
    QVERIFY(!Form1a->InfoList->extraSelections().isEmpty());
    Save(Form1a, "main-find");
    Save(Form4a, "dialog-find");
    Form4b->KindBox->setCurrentIndex(TForm4b::MftRecord);
    Form4b->Edit1->setText(QStringLiteral("5"));
    Save(Form4b, "dialog-goto");
  }

 private:
  void Save(QWidget* window, const char* name) {
    window->show();
    window->activateWindow();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QTest::qWait(100);  // let the view and the focus frame settle
    const QPixmap picture = window->grab();
    window->hide();
    QCOMPARE(picture.size() / picture.devicePixelRatio(), window->size());
    const QString path = QDir(folder_).filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
    QVERIFY(picture.save(path, "PNG"));
    QVERIFY(!QImage(path).isNull());
  }

  QTemporaryDir scratch_;
  QString folder_;
};

QTEST_MAIN(ScreenshotsTest)
#include "screenshots_test.moc"
