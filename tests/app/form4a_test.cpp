// The Find dialog, driven offscreen against the sample images: Ctrl+F, Find next, F3 and
// Shift+F3 step through the matches korvalane-cli finds, the matched bytes marked in the
// Text and Hex views; bad input and unreadable sectors as one message; and Stop ending a
// search of a drive of several GiB at once.
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
std::string Ntfs() { return SamplePath("ntfs.img"); }

// The text of each mark in the view, in order.
QStringList MarkedTexts() {
  QStringList texts;
  for (const QTextEdit::ExtraSelection& mark : Form1a->InfoList->extraSelections()) texts.append(mark.cursor.selectedText());
  return texts;
}

// Ctrl+F in the main window, then the pattern and its kind.
void OpenFind(int kind, const QString& pattern) {
  QTest::keyClick(Form1a->SectorEdit, Qt::Key_F, Qt::ControlModifier);
  QVERIFY(QTest::qWaitForWindowActive(Form4a));
  QCOMPARE(Form4a->focusWidget(), static_cast<QWidget*>(Form4a->Edit1));
  Form4a->KindBox->setCurrentIndex(kind);
  Form4a->Edit1->setText(pattern);
}

// A key pressed in the main window, which first gets the focus back from the dialog.
void KeyInMainWindow(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
  Form1a->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(Form1a));
  QTest::keyClick(Form1a->SectorEdit, key, modifiers);
}

// Runs a search and gives the message it shows (empty when none).
QString MessageOf(const std::function<void()>& search) {
  const MessageCatcher messages;
  search();
  QTest::qWait(20);
  return messages.Messages.value(0);
}

void FindNext() { QTest::mouseClick(Form4a->Button1, Qt::LeftButton); }

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
    // korvalane-cli find's "SECTOR OFFSET" lines.
    QList<QStringList> all;
    for (const std::string& line : CliLines({"find", "--all", Ntfs(), "text:FILE"})) {
      all.append(QString::fromStdString(line).split(QLatin1Char(' ')));
    }
    QVERIFY(all.size() > 4);
    const auto offset = [&all](int i) { return all[i][1].toInt(); };

    OpenFind(TForm4a::Text, QStringLiteral("FILE"));
    FindNext();
    QCOMPARE(Form1a->SectorEdit->text(), all[0][0]);
    QCOMPARE(Form4a->InfoLabel->text(), QStringLiteral("Found at sector %1, offset %2").arg(all[0][0], all[0][1]));
    QCOMPARE(ShownLines(), CliLines({"text", Ntfs(), all[0][0].toStdString()}));
    QCOMPARE(MarkedTexts(), QStringList{QStringLiteral("FILE")});
    const QTextCursor mark = Form1a->InfoList->extraSelections().first().cursor;
    QCOMPARE(mark.block().blockNumber(), offset(0) / 64);
    QCOMPARE(mark.selectionStart() - mark.block().position(), offset(0) % 64);

    // F3, in the dialog and in the main window, goes on after the match shown.
    QTest::keyClick(Form4a->Edit1, Qt::Key_F3);
    QCOMPARE(Form1a->SectorEdit->text(), all[1][0]);
    KeyInMainWindow(Qt::Key_F3);
    QCOMPARE(Form1a->SectorEdit->text(), all[2][0]);

    // The match stays marked from Text to Hex and back; a sector without a match has no
    // marks. Shift+F3 goes back one match and marks it in hex, while the view text stays
    // the renderer's.
    Form1a->CheckView2->click();
    QCOMPARE(MarkedTexts().size(), 4);
    QVERIFY(MarkedTexts().first().endsWith(QStringLiteral(" 46 F")));
    Form1a->CheckView1->click();
    QCOMPARE(MarkedTexts(), QStringList{QStringLiteral("FILE")});
    QTest::mouseClick(Form1a->SectorButtonRight, Qt::LeftButton);
    QVERIFY(MarkedTexts().isEmpty());
    QTest::mouseClick(Form1a->SectorButtonLeft, Qt::LeftButton);
    QVERIFY(MarkedTexts().isEmpty());
    Form1a->CheckView2->click();
    KeyInMainWindow(Qt::Key_F3, Qt::ShiftModifier);
    QCOMPARE(Form1a->SectorEdit->text(), all[1][0]);
    QCOMPARE(ShownLines(), CliLines({"hex", Ntfs(), all[1][0].toStdString()}));
    const QStringList hex = MarkedTexts();
    QCOMPARE(hex.size(), 4);
    for (int i = 0; i < 4; ++i) {
      const int at = offset(1) + i;
      const char byte = "FILE"[i];
      QCOMPARE(hex[i], QStringLiteral("%1($%2) %3 %4")
                           .arg(at, 4)
                           .arg(QString::number(at, 16).toUpper().rightJustified(3, QLatin1Char('0')))
                           .arg(QString::number(byte, 16).toUpper())
                           .arg(QLatin1Char(byte)));
    }

    // A sector typed into the field is where the next search starts.
    Form1a->SectorEdit->setText(all[3][0]);
    FindNext();
    QCOMPARE(Form1a->SectorEdit->text(), all[3][0]);
  }

  void badInputIsOneMessage_data() {
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("pattern");
    QTest::addColumn<QString>("offset");  // empty: not aligned
    QTest::addColumn<QString>("sector");
    QTest::addColumn<bool>("badSectors");
    QTest::addColumn<QString>("message");
    const int hex = TForm4a::HexBytes;
    const int text = TForm4a::Text;
    QTest::newRow("empty") << hex << "" << "" << "0" << false << "The pattern is empty";
    QTest::newRow("odd length") << hex << "46 4" << "" << "0" << false << "Hex pattern '46 4' has an odd number of digits";
    QTest::newRow("not hex") << hex << "zz" << "" << "0" << false << "Hex pattern 'zz' holds 'z', not a hex digit";
    QTest::newRow("longer than the sector's rest") << text << "FILEFILEFILEFILE" << "500" << "0" << false
                                                    << "A pattern of 16 bytes at offset 500 does not fit in a sector of 512 bytes";
    QTest::newRow("offset not a number") << text << "FILE" << "x" << "0" << false << "The offset in the sector is not a number: x";
    QTest::newRow("start beyond the drive") << text << "FILE" << "" << "32768" << false
                                             << "Sector 32768 is beyond the drive's last sector, 32767";
    QTest::newRow("not there") << text << "no such words here" << "" << "0" << false << "Not found";
    QTest::newRow("unreadable sectors") << text << "no such words here" << "" << "0" << true
                                        << "Not found\r3 unreadable sectors were not searched";
  }
  void badInputIsOneMessage() {
    QFETCH(int, kind);
    QFETCH(QString, pattern);
    QFETCH(QString, offset);
    QFETCH(QString, sector);
    QFETCH(bool, badSectors);
    QFETCH(QString, message);
    ProgramWindows windows({Fat16(), Fat16()});
    QVERIFY(windows.Started());
    if (badSectors) windows.Platform().BadBytes = {2000 * 512, 2003 * 512};
    Form1a->SectorEdit->setText(sector);
    OpenFind(kind, pattern);
    Form4a->AlignedBox->setChecked(!offset.isEmpty());
    Form4a->Edit2->setText(offset);
    QCOMPARE(MessageOf(FindNext), message);
    QCOMPARE(Form1a->SectorEdit->text(), sector);
    QVERIFY(!Form4a->Searching());
  }

  // A search over a drive of 6 GiB for what is not there: Stop ends it at once, the
  // window answers meanwhile, and the next search works. F3 with the dialog closed brings
  // the dialog up once the search takes its time, with Stop in reach.
  void stopEndsALongSearch() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("long.img"));
    QFile image(path);
    QVERIFY(image.open(QIODevice::WriteOnly));
    QVERIFY(image.resize(qint64{6} << 30));  // sparse: nothing is written but the needle
    QVERIFY(image.seek(100 * 512 + 505));    // running on into sector 101
    image.write("NEEDLE-AT-100");
    image.close();
    ProgramWindows windows({Fat16(), path.toStdString()});
    QVERIFY(windows.Started());
    OpenFind(TForm4a::Text, QStringLiteral("not in this image at all"));

    bool stepped = false;
    QTimer watch;
    watch.setInterval(0);
    connect(&watch, &QTimer::timeout, [&] {
      if (!Form4a->Searching()) return;
      watch.stop();
      QTest::mouseClick(Form1a->SectorButtonRight, Qt::LeftButton);
      stepped = Form1a->SectorEdit->text() == QStringLiteral("1");
      QTest::mouseClick(Form4a->Button2, Qt::LeftButton);
    });
    watch.start();
    QCOMPARE(MessageOf(FindNext), QString());
    QVERIFY(stepped);
    QVERIFY(!Form4a->Searching());
    const QString stopped = Form4a->InfoLabel->text();
    QVERIFY2(stopped.startsWith(QStringLiteral("Stopped at ")) && stopped.mid(11).chopped(1).toInt() < 50, qPrintable(stopped));

    Form4a->Edit1->setText(QStringLiteral("NEEDLE-AT-100"));
    FindNext();
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("100"));
    QCOMPARE(MarkedTexts(), QStringList{QStringLiteral("NEEDLE-")});

    Form4a->close();
    Form4a->Edit1->setText(QStringLiteral("not in this image at all"));
    QTimer comeUp;
    comeUp.setInterval(0);
    connect(&comeUp, &QTimer::timeout, [&] {
      if (!Form4a->Searching() || !Form4a->isVisible()) return;
      comeUp.stop();
      QTest::mouseClick(Form4a->Button2, Qt::LeftButton);
    });
    comeUp.start();
    QCOMPARE(MessageOf([] { KeyInMainWindow(Qt::Key_F3); }), QString());
    QVERIFY(Form4a->InfoLabel->text().startsWith(QStringLiteral("Stopped at ")));
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("100"));
  }
};

QTEST_MAIN(FindDialogTest)
#include "form4a_test.moc"
