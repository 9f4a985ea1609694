// The Find dialog, driven offscreen against the sample images: Ctrl+F, Find next, F3 and
// Shift+F3 step through the matches korvalane-cli finds, the matched bytes marked in the
// Text and Hex views; the presets; bad input as one message; unreadable sectors counted;
// and Stop ending a search of a drive of several GiB at once.
#include <QFile>
#include <QTemporaryDir>
#include <QTextBlock>

#include "app/Unit2a.h"
#include "app/Unit4a.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

namespace {

std::string Fat16() { return SamplePath("fat16.img"); }
std::string Fat32() { return SamplePath("fat32.img"); }
std::string Ntfs() { return SamplePath("ntfs.img"); }

struct Found {
  QString Sector;
  uint32_t Offset = 0;
};

// korvalane-cli find's "SECTOR OFFSET" lines.
std::vector<Found> CliMatches(const std::vector<std::string>& args) {
  std::vector<Found> found;
  for (const std::string& line : CliLines(args)) {
    const QStringList parts = QString::fromStdString(line).split(QLatin1Char(' '));
    if (parts.size() == 2) found.push_back({parts[0], parts[1].toUInt()});
  }
  return found;
}

// The text of each mark in the view, in order.
QStringList MarkedTexts() {
  QStringList texts;
  for (const QTextEdit::ExtraSelection& mark : Form1a->InfoList->extraSelections()) texts.append(mark.cursor.selectedText());
  return texts;
}

void OpenFindWithKeys() {
  QTest::keyClick(Form1a->SectorEdit, Qt::Key_F, Qt::ControlModifier);
}

void SetSearch(int kind, const QString& pattern) {
  Form4a->KindBox->setCurrentIndex(kind);
  Form4a->Edit1->setText(pattern);
}

// Presses a key in the main window, which first gets the focus back from the dialog.
void KeyInMainWindow(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  Form1a->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(Form1a));
  QTest::keyClick(Form1a->SectorEdit, key, modifiers);
}

// Runs the next search and gives the message it shows (empty when none). The dialog is
// looked for without waiting in a loop of its own: the search runs its steps in the
// event loop, and a wait inside one of them would hold the search up.
QString MessageOf(const std::function<void()>& search) {
  QString message;
  QTimer look;
  look.setInterval(5);
  QObject::connect(&look, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<TForm2a*>(QApplication::activeModalWidget());
    if (dialog == nullptr || !dialog->isVisible()) return;
    message = dialog->InfoLabel->text();
    QTest::mouseClick(dialog->Button1, Qt::LeftButton);
  });
  look.start();
  search();
  QTest::qWait(20);
  return message;
}

}  // namespace

class FindDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-form4a-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
  }

  void ctrlFFindsAndF3Repeats() {
    ProgramWindows windows({Fat16(), Ntfs()});
    QVERIFY(windows.Started());
    const std::vector<Found> all = CliMatches({"find", "--all", Ntfs(), "text:FILE"});
    QVERIFY(all.size() > 4);

    OpenFindWithKeys();
    QVERIFY(QTest::qWaitForWindowActive(Form4a));
    QCOMPARE(Form4a->windowTitle(), QStringLiteral("Find"));
    QCOMPARE(Form4a->focusWidget(), static_cast<QWidget*>(Form4a->Edit1));
    SetSearch(TForm4a::Text, QStringLiteral("FILE"));
    QTest::mouseClick(Form4a->Button1, Qt::LeftButton);
    QCOMPARE(Form1a->SectorEdit->text(), all[0].Sector);
    QCOMPARE(Form4a->InfoLabel->text(),
             QStringLiteral("Found at sector %1, offset %2").arg(all[0].Sector).arg(all[0].Offset));
    QCOMPARE(ShownLines(), CliLines({"text", Ntfs(), all[0].Sector.toStdString()}));
    QCOMPARE(MarkedTexts(), QStringList{QStringLiteral("FILE")});
    const QTextCursor mark = Form1a->InfoList->extraSelections().first().cursor;
    QCOMPARE(mark.block().blockNumber(), static_cast<int>(all[0].Offset / 64));
    QCOMPARE(mark.selectionStart() - mark.block().position(), static_cast<int>(all[0].Offset % 64));

    // F3 in the dialog, then in the main window, goes on after the match shown.
    QTest::keyClick(Form4a->Edit1, Qt::Key_F3);
    QCOMPARE(Form1a->SectorEdit->text(), all[1].Sector);
    KeyInMainWindow(Qt::Key_F3);
    QCOMPARE(Form1a->SectorEdit->text(), all[2].Sector);
    QCOMPARE(MarkedTexts(), QStringList{QStringLiteral("FILE")});

    // Another view drops the marks; Shift+F3 goes back one match and marks it in hex.
    Form1a->CheckView2->click();
    QVERIFY(MarkedTexts().isEmpty());
    KeyInMainWindow(Qt::Key_F3, Qt::ShiftModifier);
    QCOMPARE(Form1a->SectorEdit->text(), all[1].Sector);
    // The view text is the renderer's, whatever is marked on screen.
    QCOMPARE(ShownLines(), CliLines({"hex", Ntfs(), all[1].Sector.toStdString()}));
    const QStringList hex = MarkedTexts();
    QCOMPARE(hex.size(), 4);
    const char* const bytes[] = {"46 F", "49 I", "4C L", "45 E"};
    for (int i = 0; i < 4; ++i) {
      const uint32_t offset = all[1].Offset + static_cast<uint32_t>(i);
      QVERIFY2(hex[i].startsWith(QStringLiteral("%1($%2)").arg(offset, 4).arg(offset, 3, 16, QLatin1Char('0')).toUpper()),
               qPrintable(hex[i]));
      QVERIFY2(hex[i].endsWith(QLatin1String(bytes[i])), qPrintable(hex[i]));
    }

    // A field changed by hand is the new start.
    Form1a->SectorEdit->setText(all[3].Sector);
    QTest::mouseClick(Form4a->Button1, Qt::LeftButton);
    QCOMPARE(Form1a->SectorEdit->text(), all[3].Sector);
    QTest::mouseClick(Form4a->Button1, Qt::LeftButton);
    QCOMPARE(Form1a->SectorEdit->text(), all[4].Sector);
  }

  // A match that runs on into the next sector marks the part in the sector shown; case
  // is ignored when asked.
  void aMatchAcrossSectorsMarksItsFirstPart() {
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("planted.img"));
    QVERIFY(QFile::copy(QString::fromStdString(Fat32()), copy));
    QFile image(copy);
    QVERIFY(image.open(QIODevice::ReadWrite));
    QVERIFY(image.seek(3000 * 512 + 505));
    image.write("KORVALANE-ACROSS");
    image.close();
    ProgramWindows windows({Fat16(), copy.toStdString()});
    QVERIFY(windows.Started());
    OpenFindWithKeys();
    QVERIFY(QTest::qWaitForWindowActive(Form4a));
    SetSearch(TForm4a::Text, QStringLiteral("korvalane-across"));
    Form4a->IgnoreCaseBox->setChecked(true);
    QTest::keyClick(Form4a->Edit1, Qt::Key_Return);  // Find next is the dialog's default
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("3000"));
    QCOMPARE(MarkedTexts(), QStringList{QStringLiteral("KORVALA")});
    Form1a->CheckView2->click();
    Form1a->SectorEdit->setText(QStringLiteral("2999"));
    KeyInMainWindow(Qt::Key_F3);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("3000"));
    QCOMPARE(MarkedTexts().size(), 7);
    QVERIFY(MarkedTexts().last().endsWith(QStringLiteral("41 A")));
  }

  void presetsFindWhatTheCliFinds_data() {
    QTest::addColumn<std::string>("image");
    QTest::addColumn<int>("kind");
    QTest::addColumn<bool>("backward");
    QTest::addColumn<QString>("start");
    QTest::addColumn<std::vector<std::string>>("cli");
    QTest::addColumn<QStringList>("marks");
    QTest::newRow("next directory cluster") << Fat16() << int{TForm4a::NextDirectoryCluster} << false << "1"
                                            << std::vector<std::string>{"find", "--from", "1", Fat16(), "directory-cluster"}
                                            << QStringList{".", ".."};
    QTest::newRow("previous FILE record") << Ntfs() << int{TForm4a::NextFileRecord} << true << "32767"
                                          << std::vector<std::string>{"find", "--backward", Ntfs(), "file-record"}
                                          << QStringList{"FILE"};
  }
  void presetsFindWhatTheCliFinds() {
    QFETCH(std::string, image);
    QFETCH(int, kind);
    QFETCH(bool, backward);
    QFETCH(QString, start);
    QFETCH(std::vector<std::string>, cli);
    QFETCH(QStringList, marks);
    ProgramWindows windows({Fat16(), image});
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(start);
    OpenFindWithKeys();
    QVERIFY(QTest::qWaitForWindowActive(Form4a));
    Form4a->KindBox->setCurrentIndex(kind);
    QVERIFY(!Form4a->Edit1->isEnabled());
    QVERIFY(!Form4a->AlignedBox->isEnabled());
    (backward ? Form4a->CheckDirection2 : Form4a->CheckDirection1)->click();
    QTest::mouseClick(Form4a->Button1, Qt::LeftButton);
    const std::vector<Found> expected = CliMatches(cli);
    QCOMPARE(expected.size(), size_t{1});
    QCOMPARE(Form1a->SectorEdit->text(), expected[0].Sector);
    QCOMPARE(MarkedTexts(), marks);
    // The view's own buttons still choose one view of three.
    QVERIFY(Form1a->CheckView1->isChecked());
  }

  void badInputIsOneMessage_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("offset");  // empty: not aligned
    QTest::addColumn<QString>("sector");
    QTest::addColumn<QString>("message");
    const int hex = TForm4a::HexBytes;
    const int text = TForm4a::Text;
    QTest::newRow("empty") << hex << "" << "" << "0" << "The pattern is empty";
    QTest::newRow("odd length") << hex << "46 4" << "" << "0" << "Hex pattern '46 4' has an odd number of digits";
    QTest::newRow("not hex") << hex << "zz" << "" << "0" << "Hex pattern 'zz' holds 'z', not a hex digit";
    QTest::newRow("empty text") << text << "" << "" << "0" << "The pattern is empty";
    QTest::newRow("longer than the sector's rest") << text << "FILEFILEFILEFILE" << "500" << "0"
                                                    << "A pattern of 16 bytes at offset 500 does not fit in a sector of 512 bytes";
    QTest::newRow("offset beyond the sector") << text << "F" << "512" << "0"
                                               << "A pattern of 1 bytes at offset 512 does not fit in a sector of 512 bytes";
    QTest::newRow("offset not a number") << text << "FILE" << "x" << "0" << "The offset in the sector is not a number: x";
    QTest::newRow("start beyond the drive") << text << "FILE" << "" << "73728"
                                             << "Sector 73728 is beyond the drive's last sector, 73727";
    QTest::newRow("start not a sector") << text << "FILE" << "" << "abc" << "The sector field does not name a sector: abc";
    QTest::newRow("not there") << text << "no such words here" << "" << "0" << "Not found";
  }
  void badInputIsOneMessage() {
    QFETCH(int, kind);
    QFETCH(QString, pattern);
    QFETCH(QString, offset);
    QFETCH(QString, sector);
    QFETCH(QString, message);
    ProgramWindows windows({Fat16(), Fat32()});
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(sector);
    OpenFindWithKeys();
    QVERIFY(QTest::qWaitForWindowActive(Form4a));
    SetSearch(kind, pattern);
    Form4a->AlignedBox->setChecked(!offset.isEmpty());
    Form4a->Edit2->setText(offset);
    QCOMPARE(MessageOf([] { QTest::mouseClick(Form4a->Button1, Qt::LeftButton); }), message);
    QCOMPARE(Form1a->SectorEdit->text(), sector);
    QVERIFY(!Form4a->Searching());
    QVERIFY(Form4a->Button1->isEnabled());
  }

  // Sectors that cannot be read are passed over, and the user is told how many.
  void unreadableSectorsAreCounted() {
    ProgramWindows windows({Fat16(), Fat32()});
    QVERIFY(windows.Started());
    windows.Platform().BadBytes = {2000 * 512, 2003 * 512};
    OpenFindWithKeys();
    QVERIFY(QTest::qWaitForWindowActive(Form4a));
    SetSearch(TForm4a::Text, QStringLiteral("no such words here"));
    QCOMPARE(MessageOf([] { QTest::mouseClick(Form4a->Button1, Qt::LeftButton); }),
             QStringLiteral("Not found\r3 unreadable sectors were not searched"));
    QCOMPARE(Form4a->InfoLabel->text(), QStringLiteral("Not found\n3 unreadable sectors were not searched"));
  }

  // A search over a drive of 6 GiB for what is not there: Stop ends it at once, the
  // window answers meanwhile, and the next search works. F3 with the dialog closed brings
  // it up once the search takes its time, with Stop in reach.
  void stopEndsALongSearch() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("long.img"));
    QFile image(path);
    QVERIFY(image.open(QIODevice::WriteOnly));
    QVERIFY(image.resize(qint64{6} << 30));  // sparse: nothing is written but the needle
    QVERIFY(image.seek(100 * 512 + 7));
    image.write("NEEDLE-AT-100");
    image.close();
    ProgramWindows windows({Fat16(), path.toStdString()});
    QVERIFY(windows.Started());
    OpenFindWithKeys();
    QVERIFY(QTest::qWaitForWindowActive(Form4a));
    SetSearch(TForm4a::Text, QStringLiteral("not in this image at all"));

    bool stepped = false;
    QTimer watch;
    watch.setInterval(0);
    connect(&watch, &QTimer::timeout, [&] {
      if (!Form4a->Searching() || !Form4a->InfoLabel->text().startsWith(QStringLiteral("Searching: "))) return;
      watch.stop();
      // The main window answers while the search runs.
      QTest::mouseClick(Form1a->SectorButtonRight, Qt::LeftButton);
      stepped = Form1a->SectorEdit->text() == QStringLiteral("1");
      QTest::mouseClick(Form4a->Button2, Qt::LeftButton);
    });
    watch.start();
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(MessageOf([] { QTest::mouseClick(Form4a->Button1, Qt::LeftButton); }), QString());
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(stepped);
    QVERIFY(!Form4a->Searching());
    const QString stopped = Form4a->InfoLabel->text();
    QVERIFY2(stopped.startsWith(QStringLiteral("Stopped at ")), qPrintable(stopped));
    QVERIFY2(stopped.mid(11).chopped(1).toInt() < 50, qPrintable(stopped));
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("1"));

    SetSearch(TForm4a::Text, QStringLiteral("NEEDLE-AT-100"));
    QTest::mouseClick(Form4a->Button1, Qt::LeftButton);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("100"));
    QCOMPARE(MarkedTexts(), QStringList{QStringLiteral("NEEDLE-AT-100")});

    // F3 with the dialog closed: the long search brings the dialog back.
    Form4a->close();
    QVERIFY(!Form4a->isVisible());
    SetSearch(TForm4a::Text, QStringLiteral("not in this image at all"));
    bool cameUp = false;
    QTimer wait;
    wait.setInterval(10);
    connect(&wait, &QTimer::timeout, [&] {
      if (!Form4a->Searching() || !Form4a->isVisible()) return;
      wait.stop();
      cameUp = true;
      QTest::mouseClick(Form4a->Button2, Qt::LeftButton);
    });
    wait.start();
    QCOMPARE(MessageOf([] { KeyInMainWindow(Qt::Key_F3); }), QString());
    QVERIFY(cameUp);
    QVERIFY(Form4a->InfoLabel->text().startsWith(QStringLiteral("Stopped at ")));
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("100"));
  }
};

QTEST_MAIN(FindDialogTest)
#include "form4a_test.moc"
