// The main window offscreen on the samples: the File record view keeps the designed text
// and marks the lines of deleted entries and records (a colour, the tooltip "deleted");
// the view buttons show their highlight only while they have the focus.
#include <QHelpEvent>
#include <QImage>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QToolTip>
#include <filesystem>
#include <fstream>

#include "app/DeletedLines.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

namespace {

// The tooltip over a line of the text area, or empty when none.
QString TipOver(int line) {
  QToolTip::hideText();  // a tip fades out a moment after it is hidden
  if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 3000)) return QStringLiteral("(an earlier tip stays)");
  QWidget* viewport = Form1a->InfoList->viewport();
  const QPoint at = Form1a->InfoList->cursorRect(QTextCursor(Form1a->InfoList->document()->findBlockByNumber(line))).center();
  QHelpEvent help(QEvent::ToolTip, at, viewport->mapToGlobal(at));
  QCoreApplication::sendEvent(viewport, &help);
  return QToolTip::isVisible() ? QToolTip::text() : QString();
}

// Shows the File record view of `sector` and checks that exactly the lines `deleted`
// says are marked, in the marks' colour and with their tooltip, and that the text is
// the command line's.
void ExpectMarks(const std::string& image, uint64_t sector, const std::function<bool(size_t, const std::string&)>& deleted) {
  QTest::mouseClick(Form1a->CheckView3, Qt::LeftButton);
  Form1a->SectorEdit->setText(QString::number(sector));
  const std::vector<std::string> lines = ShownLines();
  QCOMPARE(lines, CliLines({"record", image, std::to_string(sector)}));
  size_t marked = 0;
  for (size_t i = 0; i < lines.size(); ++i) {
    QCOMPARE(Form1a->DeletedMarks().IsMarked(i), deleted(i, lines[i]));
    QCOMPARE(TipOver(static_cast<int>(i)), deleted(i, lines[i]) ? QStringLiteral("deleted") : QString());
    marked += deleted(i, lines[i]) ? 1 : 0;
  }
  QCOMPARE(static_cast<size_t>(Form1a->InfoList->extraSelections().size()), marked);
  for (const QTextEdit::ExtraSelection& mark : Form1a->InfoList->extraSelections()) {
    QCOMPARE(mark.format.foreground().color(), DeletedLineMarks::kColour);
  }
  // The Text view of the same sector has none.
  QTest::mouseClick(Form1a->CheckView1, Qt::LeftButton);
  QVERIFY(Form1a->InfoList->extraSelections().isEmpty());
}

// Pixels of the view buttons' designed colour (red 137, green 184, blue 249).
int HighlightPixels(QWidget* button) {
  const QImage image = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
  int count = 0;
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) count += image.pixel(x, y) == qRgb(137, 184, 249) ? 1 : 0;
  }
  return count;
}

}  // namespace

class MainWindowMarksTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-marks-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
  }

  // Each sample's root holds "deleted file.txt" among live entries (the JSON's "deleted"
  // entries); DOCS and an MFT record in use hold none.
  void deletedEntriesAreMarked_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<qulonglong>("sector");
    QTest::newRow("FAT16 root") << "fat16.img" << 68ull;
    QTest::newRow("FAT32 root") << "fat32.img" << 1166ull;
    QTest::newRow("exFAT root") << "exfat.img" << 4120ull;
    QTest::newRow("ext2 root block") << "ext2.img" << 392ull;
    QTest::newRow("FAT16 DOCS") << "fat16.img" << 112ull;
    QTest::newRow("NTFS record in use") << "ntfs.img" << 160ull;
  }
  void deletedEntriesAreMarked() {
    QFETCH(QString, image);
    QFETCH(qulonglong, sector);
    const std::string path = SamplePath(image.toStdString());
    ProgramWindows windows({path}, 512, Started::AsNamedSources);
    QVERIFY(windows.Started());
    const std::string json = RunCli({"record", "--json", path, std::to_string(sector)}).Out;
    const bool any = json.find("\"deleted\": true") != std::string::npos;
    QCOMPARE(any, json.find("deleted file.txt") != std::string::npos);
    ExpectMarks(path, sector, [](size_t, const std::string& line) { return line.find("deleted file.txt") != std::string::npos; });
  }

  // Every line of an MFT record no longer in use (README.TXT's, its in-use flag at byte 22
  // cleared as deleting the file does) and of a deleted ext inode; none of the inodes
  // beside it.
  void deletedRecordsAreMarkedWhole() {
    QTemporaryDir dir;
    const std::string ntfs = dir.filePath("ntfs.img").toStdString();
    std::filesystem::copy_file(SamplePath("ntfs.img"), ntfs);
    const uint64_t record = 160;
    QVERIFY(CliLines({"record", ntfs, std::to_string(record)}).at(0) == "File README.TXT");
    {
      std::fstream file(ntfs, std::ios::in | std::ios::out | std::ios::binary);
      file.seekp(record * 512 + 22);
      file.put(0);
    }
    {
      ProgramWindows windows({ntfs}, 512, Started::AsNamedSources);
      QVERIFY(windows.Started());
      ExpectMarks(ntfs, record, [](size_t, const std::string&) { return true; });
    }
    // Inode 17 ("deleted file.txt") from its heading to the blank line before inode 18.
    const std::string ext2 = SamplePath("ext2.img");
    const std::vector<std::string> lines = CliLines({"record", ext2, "144"});
    const auto heading = [&](const std::string& start) {
      return static_cast<size_t>(std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(start); }) - lines.begin());
    };
    const size_t first = heading("Inode 17,");
    const size_t next = heading("Inode 18,");
    QVERIFY(first + 5 < next && next < lines.size());
    ProgramWindows windows({ext2}, 512, Started::AsNamedSources);
    QVERIFY(windows.Started());
    ExpectMarks(ext2, 144, [&](size_t i, const std::string&) { return i >= first && i + 1 < next; });
  }

  // Only the view button that has the focus shows the highlight colour, checked or not.
  void onlyTheFocusedViewButtonIsHighlighted() {
    ProgramWindows windows({SamplePath("fat16.img")}, 512, Started::AsNamedSources);
    QVERIFY(windows.Started());
    Form1a->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Form1a));
    QRadioButton* const buttons[] = {Form1a->CheckView1, Form1a->CheckView2, Form1a->CheckView3};
    for (QWidget* focused : std::initializer_list<QWidget*>{Form1a->SectorEdit, buttons[0], buttons[1], buttons[2]}) {
      focused->setFocus(Qt::TabFocusReason);
      QTRY_VERIFY(focused->hasFocus());
      for (QRadioButton* button : buttons) {
        const int pixels = HighlightPixels(button);
        QVERIFY2(button == focused ? pixels > button->width() * button->height() / 4 : pixels == 0, qPrintable(button->text()));
      }
    }
  }
};

QTEST_MAIN(MainWindowMarksTest)
#include "form1a_marks_test.moc"
