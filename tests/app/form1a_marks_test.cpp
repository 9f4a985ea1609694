// The main window's marks, driven offscreen against the sample images: the File record
// view keeps the designed text and marks the lines of deleted entries and records (a
// colour, the tooltip "deleted") as the JSON's "deleted" flags say; the view buttons show
// their highlight only while they have the focus.
#include <QHelpEvent>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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

// A line of the text area's place on screen, in its viewport.
QPoint LineCentre(int line) {
  const QTextBlock block = Form1a->InfoList->document()->findBlockByNumber(line);
  return Form1a->InfoList->cursorRect(QTextCursor(block)).center();
}

// The tooltip the text area shows over a line, or empty when none.
QString TipOver(int line) {
  // A tip fades out a moment after it is hidden.
  QToolTip::hideText();
  if (!QTest::qWaitFor([] { return !QToolTip::isVisible(); }, 3000)) return QStringLiteral("(an earlier tip stays)");
  QWidget* viewport = Form1a->InfoList->viewport();
  const QPoint at = LineCentre(line);
  QHelpEvent help(QEvent::ToolTip, at, viewport->mapToGlobal(at));
  QCoreApplication::sendEvent(viewport, &help);
  return QToolTip::isVisible() ? QToolTip::text() : QString();
}

// What korvalane-cli's JSON says of each line of the File record view.
std::vector<bool> DeletedByJson(const std::vector<std::string>& args, const std::vector<std::string>& lines) {
  const CommandResult result = RunCli(args);
  const QJsonObject json = QJsonDocument::fromJson(QByteArray::fromStdString(result.Out)).object();
  std::vector<bool> deleted(lines.size(), false);
  if (json.contains("entries") && !json.contains("directoryBlock")) {
    // FAT and exFAT: one line per entry.
    const QJsonArray entries = json["entries"].toArray();
    for (qsizetype i = 0; i < entries.size() && static_cast<size_t>(i) < lines.size(); ++i) {
      deleted[static_cast<size_t>(i)] = entries[i].toObject()["deleted"].toBool();
    }
  } else if (json.contains("directoryBlock")) {
    // ext: an entry's line is the one that names it.
    for (const QJsonValue entry : json["entries"].toArray()) {
      if (!entry.toObject()["deleted"].toBool()) continue;
      const std::string name = ": " + entry.toObject()["name"].toString().toStdString();
      for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].ends_with(name)) deleted[i] = true;
      }
    }
  } else if (json["deleted"].toBool()) {
    // An MFT record: all of it.
    deleted.assign(lines.size(), true);
  }
  return deleted;
}

std::string Sample(const std::string& name) { return SamplePath(name); }

// A copy of ntfs.img whose README.TXT record is no longer in use, as deleting the file
// leaves it (its in-use flag, bit 0 of the header's flags at byte 22, cleared).
std::string NtfsWithDeletedRecord(const QTemporaryDir& dir, uint64_t* sector) {
  const std::string copy = dir.filePath("ntfs-deleted.img").toStdString();
  std::filesystem::copy_file(Sample("ntfs.img"), copy);
  const CommandResult record = Run({"ifind", "-n", "README.TXT", copy});
  const std::vector<std::string> located = Lines(RunCli({"locate", copy, "mft-record", Lines(record.Out).at(0)}).Out);
  *sector = std::stoull(located.at(0));
  std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
  file.seekg(static_cast<std::streamoff>(*sector * 512 + 22));
  char flags = 0;
  file.read(&flags, 1);
  flags = static_cast<char>(flags & ~1);
  file.seekp(static_cast<std::streamoff>(*sector * 512 + 22));
  file.write(&flags, 1);
  return copy;
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

  void deletedLinesAreMarked_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<QString>("sector");
    QTest::addColumn<int>("marked");  // how many lines the JSON calls deleted
    // The root directories, each with "deleted file.txt" among live entries.
    QTest::newRow("FAT16 root") << QString::fromStdString(Sample("fat16.img")) << "68" << 1;
    QTest::newRow("FAT32 root") << QString::fromStdString(Sample("fat32.img")) << "1166" << 1;
    QTest::newRow("exFAT root") << QString::fromStdString(Sample("exfat.img")) << "4120" << 1;
    QTest::newRow("ext2 root block") << QString::fromStdString(Sample("ext2.img")) << "392" << 1;
    // Lines of live entries and records only.
    QTest::newRow("FAT16 DOCS") << QString::fromStdString(Sample("fat16.img")) << "112" << 0;
    QTest::newRow("NTFS record in use") << QString::fromStdString(Sample("ntfs.img")) << "160" << 0;
  }
  void deletedLinesAreMarked() {
    QFETCH(QString, image);
    QFETCH(QString, sector);
    QFETCH(int, marked);
    ProgramWindows windows({image.toStdString()}, 512, Started::AsNamedSources);
    QVERIFY(windows.Started());
    QTest::mouseClick(Form1a->CheckView3, Qt::LeftButton);
    Form1a->SectorEdit->setText(sector);
    const std::vector<std::string> args{"record", image.toStdString(), sector.toStdString()};
    const std::vector<std::string> lines = CliLines(args);
    QVERIFY(!lines.empty());
    // The text is the designed one, marks or not.
    QCOMPARE(ShownLines(), lines);
    std::vector<std::string> json = args;
    json.insert(json.begin() + 1, "--json");
    const std::vector<bool> deleted = DeletedByJson(json, lines);
    QCOMPARE(static_cast<int>(std::count(deleted.begin(), deleted.end(), true)), marked);
    int selections = 0;
    for (const QTextEdit::ExtraSelection& mark : Form1a->InfoList->extraSelections()) {
      QCOMPARE(mark.format.foreground().color(), DeletedLineMarks::kColour);
      QVERIFY(deleted.at(static_cast<size_t>(mark.cursor.block().blockNumber())));
      ++selections;
    }
    QCOMPARE(selections, marked);
    for (size_t i = 0; i < lines.size(); ++i) {
      QCOMPARE(Form1a->DeletedMarks().IsMarked(i), static_cast<bool>(deleted[i]));
      QCOMPARE(TipOver(static_cast<int>(i)), deleted[i] ? QStringLiteral("deleted") : QString());
    }
    // The Text view of the same sector has no such marks.
    QTest::mouseClick(Form1a->CheckView1, Qt::LeftButton);
    QVERIFY(Form1a->InfoList->extraSelections().isEmpty());
    QVERIFY(!Form1a->DeletedMarks().IsMarked(0));
  }

  // Every line of a deleted MFT record or ext inode is marked; the inodes beside a
  // deleted one in its sector are not.
  void deletedRecordsAreMarkedWhole() {
    QTemporaryDir dir;
    uint64_t sector = 0;
    const std::string ntfs = NtfsWithDeletedRecord(dir, &sector);
    {
      ProgramWindows windows({ntfs}, 512, Started::AsNamedSources);
      QVERIFY(windows.Started());
      QTest::mouseClick(Form1a->CheckView3, Qt::LeftButton);
      Form1a->SectorEdit->setText(QString::number(sector));
      QCOMPARE(ShownLines(), CliLines({"record", ntfs, std::to_string(sector)}));
      QVERIFY(ShownLines().size() >= 5);
      QVERIFY(RunCli({"record", "--json", ntfs, std::to_string(sector)}).Out.find("\"deleted\": true") != std::string::npos);
      for (size_t i = 0; i < ShownLines().size(); ++i) QVERIFY(Form1a->DeletedMarks().IsMarked(i));
    }
    const std::string ext2 = Sample("ext2.img");
    const std::string inodeSector = Lines(RunCli({"locate", ext2, "inode", "17"}).Out).at(0);
    ProgramWindows windows({ext2}, 512, Started::AsNamedSources);
    QVERIFY(windows.Started());
    QTest::mouseClick(Form1a->CheckView3, Qt::LeftButton);
    Form1a->SectorEdit->setText(QString::fromStdString(inodeSector));
    const std::vector<std::string> lines = ShownLines();
    QCOMPARE(lines, CliLines({"record", ext2, inodeSector}));
    // Inode 17 ("deleted file.txt") runs from its heading to the blank line that parts it
    // from the next inode.
    const auto heading = [&](size_t from, const std::string& start) {
      for (size_t i = from; i < lines.size(); ++i) {
        if (lines[i].starts_with(start)) return i;
      }
      return lines.size() + 1;
    };
    const size_t first = heading(0, "Inode 17,");
    const size_t next = heading(first + 1, "Inode ");
    QVERIFY(first < lines.size());
    QVERIFY(next - 1 - first >= 5);
    for (size_t i = 0; i < lines.size(); ++i) {
      QCOMPARE(Form1a->DeletedMarks().IsMarked(i), i >= first && i + 1 < next);
    }
  }

  // Only the view button that has the focus shows the highlight colour.
  void onlyTheFocusedViewButtonIsHighlighted() {
    ProgramWindows windows({Sample("fat16.img")}, 512, Started::AsNamedSources);
    QVERIFY(windows.Started());
    Form1a->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(Form1a));
    QRadioButton* const buttons[] = {Form1a->CheckView1, Form1a->CheckView2, Form1a->CheckView3};
    Form1a->SectorEdit->setFocus();
    QTRY_VERIFY(Form1a->SectorEdit->hasFocus());
    for (QRadioButton* button : buttons) QCOMPARE(HighlightPixels(button), 0);
    for (QRadioButton* focused : buttons) {
      focused->setFocus(Qt::TabFocusReason);
      QTRY_VERIFY(focused->hasFocus());
      for (QRadioButton* button : buttons) {
        const int pixels = HighlightPixels(button);
        if (button == focused) {
          QVERIFY2(pixels > button->width() * button->height() / 4, qPrintable(button->text()));
        } else {
          QVERIFY2(pixels == 0, qPrintable(button->text()));
        }
      }
    }
    // The checked one is not highlighted for being checked.
    QVERIFY(Form1a->CheckView1->isChecked());
    Form1a->InfoList->setFocus();
    QTRY_VERIFY(Form1a->InfoList->hasFocus());
    QCOMPARE(HighlightPixels(Form1a->CheckView1), 0);
  }
};

QTEST_MAIN(MainWindowMarksTest)
#include "form1a_marks_test.moc"
