// The Structure window, driven offscreen against the sample images: Ctrl+I opens it on the
// shown sector, it follows the main window, a selected field's bytes (and only those) are
// marked in the Hex view, and the inspector reads a GUID, a FILETIME and a DOS time and
// date from the selected field.
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QTextBlock>

#include "app/Unit5.h"
#include "core/views/Dumps.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

namespace {

// The row of the field named `name` under the heading `group` (empty: before any heading).
int RowOf(const QString& group, const QString& name) {
  QString heading;
  for (int row = 0; row < Form5->FieldGrid->rowCount(); ++row) {
    if (Form5->FieldOfRow(row) < 0) {
      heading = Form5->FieldGrid->item(row, 0)->text();
    } else if (heading == group && Form5->FieldGrid->item(row, 2)->text() == name) {
      return row;
    }
  }
  return -1;
}

QString Inspected(const QString& name) {
  for (int row = 0; row < Form5->InspectorGrid->rowCount(); ++row) {
    if (Form5->InspectorGrid->item(row, 0)->text() == name) return Form5->InspectorGrid->item(row, 1)->text();
  }
  return {};
}

void ShowSector(const QString& sector) { Form1a->SectorEdit->setText(sector); }

// Picks a drive as the user does.
void ChooseDrive(int index) {
  Form1a->DriveBox->setCurrentIndex(index);
  emit Form1a->DriveBox->activated(index);
}

void OpenStructure() {
  Form1a->activateWindow();
  QVERIFY(QTest::qWaitForWindowActive(Form1a));
  QTest::keyClick(Form1a->SectorEdit, Qt::Key_I, Qt::ControlModifier);
  QVERIFY(Form5 != nullptr);
  QVERIFY(QTest::qWaitForWindowExposed(Form5));
}

}  // namespace

class StructureWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-form5-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
  }

  void aSelectedFieldMarksExactlyItsBytes() {
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    Form1a->CheckView2->click();
    OpenStructure();
    if (QTest::currentTestFailed()) return;
    QCOMPARE(Form5->TitleLabel->text(), QStringLiteral("NTFS boot sector at sector 0"));
    const int row = RowOf({}, QStringLiteral("Volume serial number"));
    QVERIFY(row >= 0);
    QCOMPARE(Form5->FieldGrid->item(row, 3)->text(), QStringLiteral("0x34F5EE1202469FF7"));
    Form5->FieldGrid->selectRow(row);
    // Bytes 72-79, each its own cell of the column-major hex view.
    const QList<QTextEdit::ExtraSelection> marks = Form1a->InfoList->extraSelections();
    QCOMPARE(marks.size(), 8);
    for (int i = 0; i < 8; ++i) {
      const ViewCell cell = HexViewCell(72u + static_cast<uint32_t>(i), 512);
      QCOMPARE(static_cast<size_t>(marks[i].cursor.block().blockNumber()), cell.Line);
      QCOMPARE(static_cast<size_t>(marks[i].cursor.selectionStart() - marks[i].cursor.block().position()), cell.Column);
      QCOMPARE(static_cast<size_t>(marks[i].cursor.selectionEnd() - marks[i].cursor.selectionStart()), cell.Length);
    }
    // The mark redrew the same sector: the table kept its selection.
    QCOMPARE(Form5->FieldGrid->currentRow(), row);

    // A click on a byte of the total sector count (bytes 40-47) selects that field.
    const ViewCell cell = HexViewCell(43, 512);
    QTextCursor at(Form1a->InfoList->document()->findBlockByNumber(static_cast<int>(cell.Line)));
    at.setPosition(at.position() + static_cast<int>(cell.Column) + 2);
    Form1a->InfoList->setTextCursor(at);
    Form1a->InfoList->ensureCursorVisible();
    QTest::mouseClick(Form1a->InfoList->viewport(), Qt::LeftButton, {}, Form1a->InfoList->cursorRect(at).center());
    QCOMPARE(Form5->FieldGrid->currentRow(), RowOf({}, QStringLiteral("Total sectors")));
    QCOMPARE(Form1a->InfoList->extraSelections().size(), 8);

    // The window follows the sector field.
    ShowSector(QStringLiteral("1"));
    QCOMPARE(Form5->TitleLabel->text(), QStringLiteral("No structure is known at sector 1"));
    QCOMPARE(Form5->FieldGrid->rowCount(), 0);
    const std::vector<std::string> located = CliLines({"locate", SamplePath("ntfs.img"), "mft-record", "0"});
    QVERIFY(!located.empty());
    const std::string record = located.front();
    ShowSector(QString::fromStdString(record));
    QCOMPARE(Form5->TitleLabel->text(), QStringLiteral("MFT FILE record at sector ") + QString::fromStdString(record));
    QVERIFY(Form5->CheckList->item(1)->text().startsWith(QStringLiteral("Update sequence at 0x1FE (end of stride 1): holds")));
    // The inspector reads the selected field's FILETIME as the field shows it.
    const int created = RowOf(QStringLiteral("Attribute 2: $FILE_NAME"), QStringLiteral("Created"));
    QVERIFY(created >= 0);
    Form5->FieldGrid->selectRow(created);
    QVERIFY(Form5->FieldGrid->item(created, 3)->text().startsWith(Inspected(QStringLiteral("FILETIME")) + " (0x"));
  }

  void inspectorReadsGuidsAndDosTimes() {
    ProgramWindows windows({SamplePath("disk-gpt.img"), SamplePath("fat16.img")});
    QVERIFY(windows.Started());
    // C: is the disk with its GPT, then come its three partitions and the FAT16 volume.
    ChooseDrive(0);
    OpenStructure();
    if (QTest::currentTestFailed()) return;
    QCOMPARE(Form5->TitleLabel->text(), QStringLiteral("Protective MBR at sector 0"));
    ShowSector(QStringLiteral("2"));
    const int guid = RowOf(QStringLiteral("Entry 1"), QStringLiteral("Unique GUID"));
    QVERIFY(guid >= 0);
    Form5->FieldGrid->selectRow(guid);
    QCOMPARE(Inspected(QStringLiteral("GUID")), QStringLiteral("4B4F5256-0000-4000-8000-000000000011"));
    QCOMPARE(Inspected(QStringLiteral("u32 LE")), QStringLiteral("1263489622"));

    // The FAT16 volume's root directory: README.TXT's write time and date.
    ChooseDrive(Form1a->DriveBox->count() - 1);
    ShowSector(QStringLiteral("68"));
    QCOMPARE(Form5->TitleLabel->text(), QStringLiteral("FAT directory entries at sector 68"));
    const int written = RowOf(QStringLiteral("Entry 2"), QStringLiteral("Write time"));
    QVERIFY(written >= 0);
    Form5->FieldGrid->selectRow(written);
    QCOMPARE(Inspected(QStringLiteral("DOS time and date")), QStringLiteral("2009-03-07 14:05:00"));
  }

  // The window beside the marked field, for the README with KORVALANE_SCREENSHOTS naming
  // a folder (scripts/screenshot, on a real X server); in the test run into a scratch
  // folder, where the pictures are only checked to be the windows' size.
  void screenshot() {
    const QTemporaryDir scratch;
    QString folder = qEnvironmentVariable("KORVALANE_SCREENSHOTS");
    if (folder.isEmpty()) folder = scratch.path();
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("ntfs.img")});
    QVERIFY(windows.Started());
    Form1a->CheckView2->click();
    OpenStructure();
    if (QTest::currentTestFailed()) return;
    Form5->move(Form1a->frameGeometry().topRight() + QPoint(8, 0));
    Form5->FieldGrid->selectRow(RowOf({}, QStringLiteral("MFT cluster")));
    QTest::qWait(100);
    for (const auto& [window, name] : {std::pair<QWidget*, const char*>{Form5, "window-structure"},
                                       std::pair<QWidget*, const char*>{Form1a, "main-structure-marked"}}) {
      const QPixmap picture = window->grab();
      const QString path = QDir(folder).filePath(QString::fromLatin1(name) + QStringLiteral(".png"));
      QVERIFY(picture.save(path, "PNG"));
      QCOMPARE(QImage(path).size(), picture.size());
    }
  }
};

QTEST_MAIN(StructureWindowTest)
#include "form5_test.moc"
