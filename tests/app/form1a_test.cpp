// The main window, driven offscreen against the sample images: start-up, drive changes,
// the sector field and its step buttons, the three views and Details against the core's
// renderers (through korvalane-cli, which prints the same lines), Save as txt, About, and
// the return from the export dialog, and images dropped or opened as new drives.
#include <QAbstractItemView>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QUrl>
#include <QTemporaryDir>
#include <algorithm>

#include "app/DriveList.h"
#include "app/SingleInstance.h"
#include "app/Unit1b.h"
#include "app/Unit2a.h"
#include "app/Unit3.h"
#include "core/volume/DriveSelection.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

Q_DECLARE_METATYPE(std::vector<std::string>)

namespace {

std::string Fat16() { return SamplePath("fat16.img"); }
std::string Fat32() { return SamplePath("fat32.img"); }
std::string Ntfs() { return SamplePath("ntfs.img"); }

// The three drives the program is usually shown with: FAT16 as C:, FAT32 as D:, NTFS as E:.
std::vector<std::string> ThreeDrives() { return {Fat16(), Fat32(), Ntfs()}; }

constexpr uint32_t kFat32Sectors = 73728;

void ChooseDrive(int index) {
  Form1a->DriveBox->setCurrentIndex(index);
  emit Form1a->DriveBox->activated(index);
}

QRadioButton* ViewButton(int view) {
  return view == 0 ? Form1a->CheckView1 : view == 1 ? Form1a->CheckView2 : Form1a->CheckView3;
}

// What the text area shows, line by line.
QStringList ScreenLines() {
  const QString text = Form1a->InfoList->toPlainText();
  return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

std::vector<std::string> TextOfFat32Sector(int64_t sector) {
  return CliLines({"text", Fat32(), std::to_string(sector)});
}

// Counts the dialogs shown while it lives, and closes them.
struct DialogsShown : QObject {
  DialogsShown() { qApp->installEventFilter(this); }
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* dialog = qobject_cast<QDialog*>(watched);
    if (event->type() == QEvent::Show && dialog != nullptr) {
      ++Count;
      QTimer::singleShot(0, dialog, &QDialog::reject);
    }
    return false;
  }
  int Count = 0;
};

// Changes the process's current directory for the life of the object.
class CurrentDirectory {
 public:
  explicit CurrentDirectory(const QString& path) : previous_(QDir::currentPath()) { QDir::setCurrent(path); }
  ~CurrentDirectory() { QDir::setCurrent(previous_); }

 private:
  QString previous_;
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-form1a-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
  }

  void startsOnTheSecondDriveWithEachSourceAsTooltip() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    QCOMPARE(Form1a->windowTitle(), QStringLiteral("Korvalane"));
    QCOMPARE(Form1a->DriveBox->count(), 3);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
    QCOMPARE(Form1a->InfoLabel->text(), QStringLiteral("FAT32, 36 Mb,73728 sectors"));
    QCOMPARE(Geometry().CurrentDrive, std::string("D:"));
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("0"));
    QVERIFY(Form1a->CheckView1->isChecked());
    QCOMPARE(ShownLines(), TextOfFat32Sector(0));
    const std::vector<std::string> sources = ThreeDrives();
    for (int i = 0; i < 3; ++i) {
      QCOMPARE(Form1a->DriveBox->itemData(i, Qt::ToolTipRole).toString().toStdString(), sources[static_cast<size_t>(i)]);
    }
    QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Form1a->DriveBox));
  }

  void aPartitionedDiskGivesADriveForEachPartitionTheTooltipSaysWhich() {
    const std::string disk = SamplePath("disk-mbr.img");
    const std::string missing = SamplePath("no such disk.img");
    ProgramWindows windows({disk, missing});
    QVERIFY(windows.Started());
    QCOMPARE(Form1a->DriveBox->count(), 7);  // the disk, partitions 1, 2, 3, 5, 6, the missing source
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
    QCOMPARE(Form1a->InfoLabel->text(), QStringLiteral("FAT16, 16 Mb,32768 sectors"));
    const auto tip = [](int index) { return Form1a->DriveBox->itemData(index, Qt::ToolTipRole).toString().toStdString(); };
    QCOMPARE(tip(0), disk);
    QCOMPARE(tip(1), disk + ", partition 1 (sectors 2048-34815, FAT16 0x06)");
    QCOMPARE(tip(4), disk + ", partition 5 (sectors 69632-86015, FAT16 0x06)");
    QCOMPARE(tip(6), missing + "\nCannot open: No such file or directory");
  }

  void aContainerIsItsDisksDrivesAndOneThatCannotOpenSaysWhyInItsTooltip() {
    const std::string e01 = SamplePath("containers/disk.E01");
    QTemporaryDir dir;
    const std::string overlay = dir.filePath("disk-overlay.qcow2").toStdString();
    QVERIFY(QFile::copy(QString::fromStdString(SamplePath("containers/disk-overlay.qcow2")), QString::fromStdString(overlay)));
    ProgramWindows windows({e01, overlay});
    QVERIFY(windows.Started());
    QCOMPARE(Form1a->DriveBox->count(), 7);  // the disk, partitions 1, 2, 3, 5, 6, the overlay
    QCOMPARE(Form1a->InfoLabel->text(), QStringLiteral("FAT16, 16 Mb,32768 sectors"));
    const auto tip = [](int index) { return Form1a->DriveBox->itemData(index, Qt::ToolTipRole).toString().toStdString(); };
    QCOMPARE(tip(0), e01 + " (EWF, 4 segments)");
    QCOMPARE(tip(2), e01 + " (EWF, 4 segments), partition 2 (sectors 34816-67583, NTFS/exFAT 0x07)");
    QCOMPARE(tip(6), overlay + " (QCOW2)\nCannot open: backing file '" + dir.filePath("disk.qcow2").toStdString() +
                         "' is missing");
  }

  // Sources the user named: the window opens on the first drive of the first of them that
  // holds a volume, and so does the export dialog.
  void namedSourcesOpenOnTheirFirstVolume_data() {
    const std::string missing = SamplePath("no such disk.img");
    QTest::addColumn<std::vector<std::string>>("sources");
    QTest::addColumn<QString>("drive");
    QTest::addColumn<QString>("label");
    QTest::newRow("one bare volume") << std::vector<std::string>{Fat16()} << "C:" << "FAT16, 16 Mb,32768 sectors";
    QTest::newRow("a GPT disk: its first partition")
        << std::vector<std::string>{SamplePath("disk-gpt.img")} << "D:" << "FAT16, 8 Mb,16384 sectors";
    QTest::newRow("one missing, then an MBR disk")
        << std::vector<std::string>{missing, SamplePath("disk-mbr.img")} << "E:" << "FAT16, 16 Mb,32768 sectors";
  }
  void namedSourcesOpenOnTheirFirstVolume() {
    QFETCH(std::vector<std::string>, sources);
    QFETCH(QString, drive);
    QFETCH(QString, label);
    const MessageCatcher missingSaid;
    ProgramWindows windows(sources, 512, Started::AsNamedSources);
    QVERIFY(windows.Started());
    QCOMPARE(Form1a->DriveBox->currentText(), drive);
    QCOMPARE(Form1a->InfoLabel->text(), label);
    QVERIFY(ShownLines() != std::vector<std::string>{"Reading error"});
    QString exportDrive;
    bool seen = false;
    WhenModal<TForm1b>([&exportDrive](TForm1b* dialog) {
      exportDrive = dialog->DriveBox->currentText();
      dialog->close();
    }, &seen);
    QTest::mouseClick(Form1a->Button2, Qt::LeftButton);
    QVERIFY(seen);
    QCOMPARE(exportDrive, drive);
    QCOMPARE(Geometry().CurrentDrive, drive.toStdString());
  }

  // A folder and a path that is not there, named at start, are drives that say why only
  // in their tooltips: the information dialog says it once, at start, the window still
  // opening on the volume named with them. The machine's own drives are only listed.
  void namedSourcesThatCannotBeReadAreToldOnceAtStart() {
    QTemporaryDir dir;
    const std::string folder = dir.path().toStdString();
    const std::string missing = SamplePath("no such disk.img");
    {
      const MessageCatcher catcher;
      ProgramWindows windows({folder, missing, Fat16()}, 512, Started::AsNamedSources);
      QVERIFY(windows.Started());
      QTRY_COMPARE(catcher.Messages.size(), qsizetype{1});
      QCOMPARE(catcher.Messages[0], QString::fromStdString("Cannot open '" + folder + "': Is a directory\rCannot open '" +
                                                           missing + "': No such file or directory"));
      QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("E:"));
      QCOMPARE(Form1a->InfoLabel->text(), QStringLiteral("FAT16, 16 Mb,32768 sectors"));
      ChooseDrive(0);
      QTest::qWait(50);
      QCOMPARE(catcher.Messages.size(), qsizetype{1});
      QCOMPARE(Form1a->DriveBox->itemData(0, Qt::ToolTipRole).toString().toStdString(),
               folder + "\nCannot open: Is a directory");
    }
    const MessageCatcher catcher;
    ProgramWindows windows({folder, missing, Fat16()});
    QVERIFY(windows.Started());
    QTest::qWait(50);
    QVERIFY2(catcher.Messages.isEmpty(), qPrintable(catcher.Messages.join(QLatin1Char('|'))));
  }

  // An image opened again (Ctrl+O, a drop, a second start's hand-over), by whatever
  // path, is chosen where it is already rather than listed twice; one that cannot be read
  // says why.
  void anImageOpenedAgainIsChosenNotAddedTwice() {
    ProgramWindows windows({Fat16(), Fat32()});
    QVERIFY(windows.Started());
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
    const QString disk = QString::fromStdString(SamplePath("disk-mbr.img"));
    Form1a->OpenSources({disk});
    QCOMPARE(Form1a->DriveBox->count(), 8);  // E: the disk, F: to J: its partitions
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("F:"));

    // Ctrl+O of C:'s image by another spelling of its path.
    const QString fat16 = QString::fromStdString(Fat16());
    const QString roundabout = QFileInfo(fat16).absolutePath() + QStringLiteral("/../") +
                               QFileInfo(fat16).absoluteDir().dirName() + QLatin1Char('/') + QFileInfo(fat16).fileName();
    Form1a->FOpenDialog = [roundabout] { return QStringList{roundabout}; };
    QTest::keyClick(Form1a->SectorEdit, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(Form1a->DriveBox->count(), 8);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("C:"));
    QCOMPARE(Form1a->InfoLabel->text(), QStringLiteral("FAT16, 16 Mb,32768 sectors"));

    // The disk dropped again: its first volume, partition 1, is chosen again.
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(disk)});
    QDragEnterEvent enter(QPoint(300, 200), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Form1a, &enter);
    QDropEvent drop(QPointF(300, 200), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Form1a, &drop);
    QTRY_COMPARE(Form1a->DriveBox->currentText(), QStringLiteral("F:"));
    QCOMPARE(Form1a->DriveBox->count(), 8);

    // Handed over by a second start, with a new image beside it.
    QVERIFY(PostWakeUp(InstanceSocketName(), kWakeUpWord, 0, {QString::fromStdString(Fat32()), QString::fromStdString(Ntfs())}));
    QTRY_COMPARE(Form1a->DriveBox->count(), 9);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
    QCOMPARE(Form1a->DriveBox->itemText(8), QStringLiteral("K:"));

    // A folder opened is a drive that says why it cannot be read, and says so once more
    // when it is opened again.
    QTemporaryDir dir;
    const MessageCatcher catcher;
    Form1a->OpenSources({dir.path()});
    Form1a->OpenSources({dir.path()});
    QCOMPARE(Form1a->DriveBox->count(), 10);
    QTRY_COMPARE(catcher.Messages.size(), qsizetype{2});
    QCOMPARE(catcher.Messages[0], QStringLiteral("Cannot open '") + dir.path() + QStringLiteral("': Is a directory"));
  }

  // A container cut short: each of its drives says so in the open list and the tooltip,
  // and a partition whose first sector is gone keeps the disk's 512-byte sectors.
  void aCutContainerSaysSoInTheDriveList() {
    QTemporaryDir dir;
    const std::string cut = dir.filePath(QStringLiteral("cut.qcow2")).toStdString();
    const uint64_t size = CutQcow2Copy(cut, 34816 * 512);  // where partition 2 begins
    QVERIFY(size > 0);
    const QString damage = QStringLiteral("damaged or cut short: its tables point past its end at byte ") + QString::number(size);
    ProgramWindows windows({cut});
    QVERIFY(windows.Started());
    QCOMPARE(Form1a->DriveBox->count(), 4);  // the disk, partitions 1 to 3
    const std::vector<std::string> lines = CliLines({"drives", cut});
    QCOMPARE(lines.size(), size_t{4});
    for (int i = 0; i < 4; ++i) {
      const std::string& line = lines[static_cast<size_t>(i)];
      // "C: <label>  <what the drive is>" as the open list shows "C:  <what the drive is>".
      const QString what = QString::fromStdString(line.substr(line.find("  ") + 2));
      QCOMPARE(DriveListText(Form1a->DriveBox, i), Form1a->DriveBox->itemText(i) + QStringLiteral("  ") + what);
      QVERIFY2(what.endsWith(QStringLiteral(" - ") + damage), qPrintable(what));
      const QString tip = Form1a->DriveBox->itemData(i, Qt::ToolTipRole).toString();
      QVERIFY2(tip.endsWith(QStringLiteral(")\nD") + damage.mid(1)), qPrintable(tip));
    }
    ChooseDrive(2);
    QCOMPARE(Form1a->InfoLabel->text(), QStringLiteral("Unknown, 16 Mb,32768 sectors"));
    QCOMPARE(ShownLines(), std::vector<std::string>{"Reading error"});
    Form1a->CheckView2->click();
    Form1a->SectorEdit->setText(QStringLiteral("300"));
    QCOMPARE(ShownLines(), CliLines({"hex", "--partition", "2", cut, "300"}));
    QCOMPARE(ShownLines().size(), size_t{128});
  }

  // The text area's menu offers every command that has a key; its Open image... is
  // Ctrl+O, whose file dialog has every image and container read in one filter.
  void theTextMenuOffersTheKeyedCommands() {
    ProgramWindows windows({Fat16(), Fat32()});
    QVERIFY(windows.Started());
    QStringList entries;
    QString filter;
    QTimer::singleShot(0, [&entries, &filter] {
      QMenu* menu = nullptr;
      if (!QTest::qWaitFor([&menu] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())); }, 2000)) return;
      for (QAction* action : menu->actions()) {
        entries.append(action->text() + QLatin1Char('\t') + action->shortcut().toString());
        if (action->text() == QStringLiteral("Open image...")) menu->setActiveAction(action);
      }
      WhenModal<QFileDialog>([&filter](QFileDialog* dialog) {
        filter = dialog->nameFilters().value(0);
        dialog->reject();
      });
      QTest::keyClick(menu, Qt::Key_Return);
      menu->close();
    });
    emit Form1a->InfoList->customContextMenuRequested(QPoint(10, 10));
    for (const char* entry : {"Open image...\tCtrl+O", "Find...\tCtrl+F", "Find next\tF3", "Find previous\tShift+F3",
                              "Go to...\tCtrl+G", "Structure...\tCtrl+I"}) {
      QVERIFY2(entries.contains(QLatin1String(entry)), qPrintable(entries.join(QLatin1String(" | "))));
    }
    QCOMPARE(filter, QStringLiteral("Disk images and containers (*.img *.ima *.dd *.raw *.bin *.iso *.E01 *.Ex01 *.vmdk "
                                    "*.vhd *.vhdx *.qcow2 *.001 *.aa)"));
  }

  // The open drive list names what each drive is and is as wide as that needs; the
  // closed box and the drive the window reads keep the letter alone.
  void theDriveListSaysWhatEachDriveIs() {
    const std::string disk = SamplePath("disk-mbr.img");
    ProgramWindows windows({Fat16(), disk});
    QVERIFY(windows.Started());
    Form1a->DriveBox->showPopup();
    QAbstractItemView* list = Form1a->DriveBox->view();
    const QString partition = "E:  " + QString::fromStdString(disk) + ", partition 1 (sectors 2048-34815, FAT16 0x06)";
    QCOMPARE(DriveListText(Form1a->DriveBox, 2), partition);
    // The list draws that text: its entry, and the list, are as wide as the text.
    const int needed = list->fontMetrics().horizontalAdvance(partition);
    QVERIFY(list->sizeHintForColumn(0) >= needed && list->width() >= needed);
    Form1a->DriveBox->hidePopup();
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
  }

  void oneDriveSelectsNothing() {
    ProgramWindows windows({Fat16()});
    QVERIFY(windows.Started());
    QCOMPARE(Form1a->DriveBox->count(), 1);
    QCOMPARE(Form1a->DriveBox->currentIndex(), -1);
    QCOMPARE(Form1a->InfoLabel->text(), QStringLiteral("Unknown, 0 Mb,0 sectors"));
    QCOMPARE(ShownLines(), std::vector<std::string>{"Reading error"});
  }

  // Each drive's label is the one the drives command prints for it.
  void driveChangeDescribesTheVolume_data() {
    QTest::addColumn<int>("index");
    QTest::newRow("FAT16 C:") << 0;
    QTest::newRow("FAT32 D:") << 1;
    QTest::newRow("NTFS E:") << 2;
  }
  void driveChangeDescribesTheVolume() {
    QFETCH(int, index);
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->CheckView2->click();
    Form1a->SectorEdit->setText(QStringLiteral("7"));
    ChooseDrive(index);
    const std::vector<std::string> drives = CliLines({"drives", Fat16(), Fat32(), Ntfs()});
    const std::string& line = drives.at(static_cast<size_t>(index));
    const std::string label = line.substr(3, line.rfind("  ") - 3);
    QCOMPARE(Form1a->InfoLabel->text().toStdString(), label);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("0"));
    QVERIFY(Form1a->CheckView2->isChecked());
    QCOMPARE(ShownLines(), CliLines({"hex", ThreeDrives()[static_cast<size_t>(index)], "0"}));
  }

  void viewsMatchTheRenderers_data() {
    QTest::addColumn<std::vector<std::string>>("sources");
    QTest::addColumn<int>("sectorSize");
    QTest::addColumn<int>("view");
    QTest::addColumn<QString>("sector");
    QTest::addColumn<std::vector<std::string>>("cli");
    const std::vector<std::string> three = ThreeDrives();
    // The program starts on D:, the second source.
    QTest::newRow("FAT32 text of the boot sector") << three << 512 << 0 << "0" << std::vector<std::string>{"text", Fat32(), "0"};
    QTest::newRow("FAT32 hex of the first FAT") << three << 512 << 1 << "32" << std::vector<std::string>{"hex", Fat32(), "32"};
    QTest::newRow("FAT32 listing of the root folder") << three << 512 << 2 << "1166" << std::vector<std::string>{"record", Fat32(), "1166"};
    QTest::newRow("FAT32 listing of DOCS") << three << 512 << 2 << "1171" << std::vector<std::string>{"record", Fat32(), "1171"};
    QTest::newRow("FAT32 listing of a file's data") << three << 512 << 2 << "1169" << std::vector<std::string>{"record", Fat32(), "1169"};
    const std::vector<std::string> ntfsSecond{Fat16(), Ntfs()};
    QTest::newRow("NTFS record of $MFT") << ntfsSecond << 512 << 2 << "32" << std::vector<std::string>{"record", Ntfs(), "32"};
    QTest::newRow("NTFS record of the root folder") << ntfsSecond << 512 << 2 << "42" << std::vector<std::string>{"record", Ntfs(), "42"};
    QTest::newRow("NTFS hex of a record") << ntfsSecond << 512 << 1 << "$20" << std::vector<std::string>{"hex", Ntfs(), "32"};
    const std::string fat4k = SamplePath("fat16-4k.img");
    QTest::newRow("4096-byte sector hex") << std::vector<std::string>{fat4k, fat4k} << 4096 << 1 << "1"
                                          << std::vector<std::string>{"hex", "--sector-size", "4096", fat4k, "1"};
    QTest::newRow("4096-byte sector text") << std::vector<std::string>{fat4k, fat4k} << 4096 << 0 << "0"
                                           << std::vector<std::string>{"text", "--sector-size", "4096", fat4k, "0"};
  }
  void viewsMatchTheRenderers() {
    QFETCH(std::vector<std::string>, sources);
    QFETCH(int, sectorSize);
    QFETCH(int, view);
    QFETCH(QString, sector);
    QFETCH(std::vector<std::string>, cli);
    ProgramWindows windows(sources, static_cast<uint32_t>(sectorSize));
    QVERIFY(windows.Started());
    QTest::mouseClick(ViewButton(view), Qt::LeftButton);
    QVERIFY(ViewButton(view)->isChecked());
    Form1a->SectorEdit->setText(sector);
    const std::vector<std::string> expected = CliLines(cli);
    QVERIFY(!expected.empty());
    QCOMPARE(ShownLines(), expected);
    QCOMPARE(ScreenLines().size(), static_cast<qsizetype>(expected.size()));
  }

  // What the sector field accepts: -1 = nothing shown, -2 = "Reading error".
  void sectorFieldInput_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<qint64>("shows");
    QTest::newRow("decimal") << "63" << qint64{63};
    QTest::newRow("leading blanks") << "  7" << qint64{7};
    QTest::newRow("dollar hex") << "$10" << qint64{16};
    QTest::newRow("0x hex") << "0x1f" << qint64{31};
    QTest::newRow("x hex") << "X20" << qint64{32};
    QTest::newRow("plus sign") << "+5" << qint64{5};
    QTest::newRow("the last sector") << "73727" << qint64{73727};
    QTest::newRow("TotalSectors itself") << "73728" << qint64{-2};
    QTest::newRow("above TotalSectors") << "73729" << qint64{-1};
    QTest::newRow("negative") << "-1" << qint64{-1};
    QTest::newRow("empty") << "" << qint64{-1};
    QTest::newRow("blanks") << "   " << qint64{-1};
    QTest::newRow("garbage") << "abc" << qint64{-1};
    QTest::newRow("trailing garbage") << "12abc" << qint64{-1};
    QTest::newRow("bare prefix") << "$" << qint64{-1};
    QTest::newRow("huge") << "99999999999999999999999" << qint64{-1};
    QTest::newRow("2^32") << "4294967296" << qint64{-1};
    QTest::newRow("huge hex") << "$FFFFFFFFFFFF" << qint64{-1};
  }
  void sectorFieldInput() {
    QFETCH(QString, text);
    QFETCH(qint64, shows);
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(QStringLiteral("1"));
    Form1a->SectorEdit->setText(text);
    if (shows == -1) {
      QVERIFY(Form1a->ViewLines().empty());
      QVERIFY(Form1a->InfoList->toPlainText().isEmpty());
    } else if (shows == -2) {
      QCOMPARE(ShownLines(), std::vector<std::string>{"Reading error"});
    } else {
      QCOMPARE(ShownLines(), TextOfFat32Sector(shows));
    }
  }

  // -1 in `shows`: the view is left empty.
  void stepping_data() {
    QTest::addColumn<QString>("start");
    QTest::addColumn<int>("direction");
    QTest::addColumn<QString>("after");
    QTest::addColumn<qint64>("shows");
    QTest::newRow("< at 0") << "0" << -1 << "0" << qint64{-1};
    QTest::newRow("> at TotalSectors") << "73728" << +1 << "73728" << qint64{-1};
    QTest::newRow("> to TotalSectors") << "73727" << +1 << "73728" << qint64{-2};
    QTest::newRow("< from TotalSectors") << "73728" << -1 << "73727" << qint64{73727};
    QTest::newRow("< from 5") << "5" << -1 << "4" << qint64{4};
    QTest::newRow("> from $10") << "$10" << +1 << "17" << qint64{17};
    QTest::newRow("> on garbage") << "abc" << +1 << "abc" << qint64{-1};
    QTest::newRow("< on a negative number") << "-3" << -1 << "-3" << qint64{-1};
    QTest::newRow("> above TotalSectors") << "80000" << +1 << "80000" << qint64{-1};
  }
  void stepping() {
    QFETCH(QString, start);
    QFETCH(int, direction);
    QFETCH(QString, after);
    QFETCH(qint64, shows);
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(start);
    QTest::mouseClick(direction < 0 ? Form1a->SectorButtonLeft : Form1a->SectorButtonRight, Qt::LeftButton);
    QCOMPARE(Form1a->SectorEdit->text(), after);
    if (shows == -1) {
      QVERIFY(Form1a->ViewLines().empty());
      QVERIFY(Form1a->InfoList->toPlainText().isEmpty());
    } else if (shows == -2) {
      QCOMPARE(ShownLines(), std::vector<std::string>{"Reading error"});
    } else {
      QCOMPARE(ShownLines(), TextOfFat32Sector(shows));
    }
  }

  // ">" is the default button: Enter in the sector field, or on any control that does not
  // take Enter itself, steps to the next sector.
  void enterPressesNext() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(QStringLiteral("$10"));
    QTest::keyClick(Form1a->SectorEdit, Qt::Key_Return);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("17"));
    QCOMPARE(ShownLines(), TextOfFat32Sector(17));
    QTest::keyClick(Form1a->InfoList, Qt::Key_Enter);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("18"));
    QTest::keyClick(Form1a->CheckView1, Qt::Key_Return);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("19"));
    // Escape does not close the main window.
    QTest::keyClick(Form1a->SectorEdit, Qt::Key_Escape);
    QVERIFY(Form1a->isVisible());
  }

  void detailsMatchTheReport_data() {
    QTest::addColumn<std::string>("image");
    QTest::newRow("FAT16") << Fat16();
    QTest::newRow("FAT32") << Fat32();
    QTest::newRow("NTFS") << Ntfs();
    QTest::newRow("NTFS with 4096-byte records") << SamplePath("ntfs-4k.img");
  }
  void detailsMatchTheReport() {
    QFETCH(std::string, image);
    const bool big = image.find("-4k") != std::string::npos;
    ProgramWindows windows({image, Fat32()}, big ? 4096 : 512);
    QVERIFY(windows.Started());
    ChooseDrive(0);
    QTest::mouseClick(Form1a->DetailLabel, Qt::LeftButton);
    const std::vector<std::string> expected =
        big ? CliLines({"details", "--sector-size", "4096", image}) : CliLines({"details", image});
    QVERIFY(expected.size() > 5);
    QCOMPARE(ShownLines(), expected);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("0"));
  }

  void saveAsText_data() {
    QTest::addColumn<int>("view");
    QTest::addColumn<QString>("sector");
    QTest::addColumn<bool>("details");
    QTest::addColumn<QString>("fileName");
    QTest::newRow("text of sector 0") << 0 << "0" << false << "Drive D Sector 0.txt";
    QTest::newRow("hex as typed") << 1 << "$10" << false << "Drive D Sector $10.txt";
    QTest::newRow("FAT listing") << 2 << "1166" << false << "Drive D Sector 1166.txt";
    QTest::newRow("unreadable sector") << 0 << "73728" << false << "Drive D Sector 73728.txt";
    QTest::newRow("details") << 0 << "0" << true << "Info Drive D.txt";
  }
  void saveAsText() {
    QFETCH(int, view);
    QFETCH(QString, sector);
    QFETCH(bool, details);
    QFETCH(QString, fileName);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const CurrentDirectory inside(dir.path());
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    ViewButton(view)->click();
    Form1a->SectorEdit->setText(sector);
    if (details) QTest::mouseClick(Form1a->DetailLabel, Qt::LeftButton);
    const std::vector<std::string> lines = ShownLines();
    QVERIFY(!lines.empty());
    // A file of that name is replaced.
    QFile old(dir.filePath(fileName));
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write(QByteArray(100000, 'x'));
    old.close();

    QString message;
    bool seen = false;
    WhenModal<TForm2a>([&message](TForm2a* dialog) {
      message = dialog->InfoLabel->text();
      QTest::mouseClick(dialog->Button1, Qt::LeftButton);
    }, &seen);
    QTest::mouseClick(Form1a->Button1, Qt::LeftButton);
    QVERIFY(seen);
    QCOMPARE(message, QStringLiteral("Information saved to file\r") + fileName);

    // Each line and CR LF; on Linux the locale's encoding is UTF-8.
    QByteArray expected;
    for (const std::string& line : lines) expected += QByteArray::fromStdString(line) + "\r\n";
    QFile saved(dir.filePath(fileName));
    QVERIFY(saved.open(QIODevice::ReadOnly));
    QCOMPARE(saved.readAll(), expected);
    // Drive, sector and view are as before.
    QCOMPARE(ShownLines(), lines);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
    QVERIFY(ViewButton(view)->isChecked());
  }

  void saveAsTextNeedsLines() {
    QTemporaryDir dir;
    const CurrentDirectory inside(dir.path());
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(QStringLiteral("abc"));
    QVERIFY(Form1a->ViewLines().empty());
    // Saving and its message or error box happen within the click.
    const DialogsShown shown;
    QTest::mouseClick(Form1a->Button1, Qt::LeftButton);
    QCOMPARE(shown.Count, 0);
    QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
  }

  // A file that cannot be created gets the standard error box and no information dialog.
  void saveAsTextFailure() {
    QTemporaryDir dir;
    const CurrentDirectory inside(dir.path());
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("Drive D Sector 0.txt")));
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form2a->InfoLabel->setText(QStringLiteral("untouched"));
    QString error;
    bool seen = false;
    WhenModal<QMessageBox>([&error](QMessageBox* box) {
      error = box->text();
      box->accept();
    }, &seen);
    QTest::mouseClick(Form1a->Button1, Qt::LeftButton);
    QVERIFY(seen);
    QVERIFY2(error.contains(QStringLiteral("Drive D Sector 0.txt")), qPrintable(error));
    QCOMPARE(Form2a->InfoLabel->text(), QStringLiteral("untouched"));
    QVERIFY(!Form2a->isVisible());
  }

  void aboutBoxIsMadeForEachShowing() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->CheckView2->click();
    Form1a->SectorEdit->setText(QStringLiteral("3"));
    const std::vector<std::string> before = ShownLines();
    QPointer<TForm3> shown;
    bool stayedOpen = false;
    WhenModal<TForm3>([&](TForm3* about) {
      shown = about;
      QVERIFY(about != Form3);
      QCOMPARE(about->windowTitle(), QStringLiteral("About"));
      QCOMPARE(about->VersionLabel->text(), QStringLiteral("Version: 1.1"));
      QCOMPARE(about->HomePageLabel2->toolTip(), QStringLiteral("Visit to homepage"));
      QCOMPARE(about->SupportLabel2->toolTip(), QStringLiteral("Send letter to support"));
      QTest::mouseClick(about->HomePageLabel2, Qt::LeftButton);
      QTest::mouseClick(about->SupportLabel2, Qt::LeftButton);
      stayedOpen = about->isVisible();
      QTest::mouseClick(about->Button1, Qt::LeftButton);
    });
    QTest::mouseClick(Form1a->Button4, Qt::LeftButton);
    QVERIFY(stayedOpen);
    QVERIFY(shown.isNull());  // released when it closed
    QVERIFY(!Form3->isVisible());
    QCOMPARE(windows.Platform().OpenedLinks,
             (std::vector<std::string>{"https://example.org",
                                       "mailto:support@example.org?subject=Korvalane support"}));
    QCOMPARE(ShownLines(), before);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("3"));
  }

  void siblingLinksOpenTheirPages() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    QTest::mouseClick(Form1a->Label1a, Qt::LeftButton);
    QTest::mouseClick(Form1a->Label2a, Qt::LeftButton);
    QTest::mouseClick(Form1a->Label3a, Qt::LeftButton);
    QCOMPARE(windows.Platform().OpenedLinks,
             (std::vector<std::string>{TForm1a::kSiblingPages[0], TForm1a::kSiblingPages[1], TForm1a::kSiblingPages[2]}));
    for (QLabel* label : std::initializer_list<QLabel*>{Form1a->Label1a, Form1a->Label2a, Form1a->Label3a}) {
      QVERIFY(!label->toolTip().isEmpty());
      QVERIFY(label->font().underline());
    }
  }

  // The export dialog selects drives of its own; afterwards the main window's drive is
  // selected again, and nothing it shows has changed.
  void exportDialogLeavesTheOwnDrive() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(QStringLiteral("5"));
    const std::vector<std::string> before = ShownLines();
    const QString label = Form1a->InfoLabel->text();
    bool seen = false;
    WhenModal<TForm1b>([](TForm1b* dialog) {
      SelectDrive("E:");
      QCOMPARE(Geometry().FileSystemKind, FileSystemKind::Ntfs);
      dialog->close();
    }, &seen);
    QTest::mouseClick(Form1a->Button2, Qt::LeftButton);
    QVERIFY(seen);
    QCOMPARE(Geometry().CurrentDrive, std::string("D:"));
    QCOMPARE(Geometry().FileSystemKind, FileSystemKind::Fat32);
    QCOMPARE(Geometry().TotalSectors, kFat32Sectors);
    QCOMPARE(Form1a->InfoLabel->text(), label);
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("5"));
    QCOMPARE(ShownLines(), before);
    QTest::mouseClick(Form1a->SectorButtonRight, Qt::LeftButton);
    QCOMPARE(ShownLines(), TextOfFat32Sector(6));
  }

  // Steps that arrive while a 1024-line hex view is being drawn abandon it: the view
  // ends as exactly the last sector asked for, never a mixture.
  void rapidSteppingNeverMixesSectors() {
    const std::string fat4k = SamplePath("fat16-4k.img");
    ProgramWindows windows({fat4k, fat4k}, 4096);
    QVERIFY(windows.Started());
    Form1a->CheckView2->click();
    constexpr int kSteps = 12;
    int clicks = 0;
    int clicksDuringRedraw = 0;
    // Each click schedules the next before it presses ">", so the next one comes in
    // through the message pump of the redraw that this click starts.
    std::function<void()> step = [&] {
      if (clicks == kSteps) return;
      ++clicks;
      // A click that lands while the view is empty is one that came in mid-redraw.
      if (Form1a->ViewLines().empty()) ++clicksDuringRedraw;
      QTimer::singleShot(0, step);
      Form1a->SectorButtonRight->click();
    };
    QTimer::singleShot(0, step);
    QVERIFY(QTest::qWaitFor([&] { return clicks == kSteps; }, 20000));
    QTest::qWait(20);
    QCOMPARE(Form1a->SectorEdit->text(), QString::number(kSteps));
    QVERIFY2(clicksDuringRedraw > kSteps / 2, qPrintable(QString::number(clicksDuringRedraw)));
    const std::vector<std::string> expected =
        CliLines({"hex", "--sector-size", "4096", fat4k, std::to_string(kSteps)});
    QCOMPARE(expected.size(), size_t{1024});
    QCOMPARE(ShownLines(), expected);
    QCOMPARE(ScreenLines().size(), qsizetype{1024});
    QCOMPARE(ScreenLines().first().toStdString(), expected.front());
    QCOMPARE(ScreenLines().last().toStdString(), expected.back());
  }

  // "Close" closes the main window, and with the last window closed the program ends;
  // Escape is not a way out.
  void closeEndsTheProgram() {
    ProgramWindows windows(ThreeDrives());
    QVERIFY(windows.Started());
    bool visibleAfterEscape = false;
    QTimer::singleShot(0, [&] {
      QTest::keyClick(Form1a->SectorEdit, Qt::Key_Escape);
      visibleAfterEscape = Form1a->isVisible();
      QTest::mouseClick(Form1a->Button3, Qt::LeftButton);
    });
    // Should the program not end, this ends the loop instead, with a status of 1.
    QTimer::singleShot(5000, [] { QCoreApplication::exit(1); });
    QCOMPARE(QApplication::exec(), 0);
    QVERIFY(visibleAfterEscape);
    QVERIFY(!Form1a->isVisible());
  }

  // A long name with a line break in it, as a hostile volume may hold: the view text
  // keeps the name as it is (and Save as txt writes it so), the screen shows it on its
  // one line.
  void nameWithLineBreakStaysOnItsLine() {
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("hostile.img"));
    QVERIFY(QFile::copy(QString::fromStdString(Fat32()), copy));
    QFile image(copy);
    QVERIFY(image.open(QIODevice::ReadWrite));
    constexpr qint64 kRootFolder = 1166 * 512;
    QVERIFY(image.seek(kRootFolder));
    QByteArray folder = image.read(512);
    // The first characters of "Quarterly report.txt" in its first long-name entry.
    const qsizetype at = folder.indexOf(QByteArray("Q\0u\0a\0r\0", 8));
    QVERIFY(at > 0);
    folder[at + 2] = '\n';
    folder[at + 4] = '\r';
    QVERIFY(image.seek(kRootFolder));
    QCOMPARE(image.write(folder), qint64{512});
    image.close();

    ProgramWindows windows({Fat16(), copy.toStdString()});
    QVERIFY(windows.Started());
    Form1a->CheckView3->click();
    Form1a->SectorEdit->setText(QStringLiteral("1166"));
    const korvalane::ViewText& lines = Form1a->ViewLines();
    const auto hostile = std::find_if(lines.begin(), lines.end(),
                                      [](const std::u16string& line) { return line.find(u"Q\n\rrterly") == 0; });
    QVERIFY(hostile != lines.end());
    QCOMPARE(ScreenLines().size(), static_cast<qsizetype>(lines.size()));
    const QString shown = ScreenLines().at(hostile - lines.begin());
    QVERIFY(shown.startsWith(QStringLiteral("Q\uFFFD\uFFFDrterly report.txt")));
  }

  // Image files dropped onto the window become the next drives, a disk with its
  // partitions, and the first of them is chosen; Ctrl+O adds them through the file
  // dialog; the export dialog lists them too. A drag of anything but files is refused.
  void droppedAndOpenedImagesBecomeDrives() {
    ProgramWindows windows({Fat16(), Fat32()});
    QVERIFY(windows.Started());
    const std::string disk = SamplePath("disk-mbr.img");
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(QString::fromStdString(disk))});
    QDragEnterEvent enter(QPoint(300, 200), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Form1a, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(300, 200), Qt::CopyAction, &files, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Form1a, &drop);
    QVERIFY(drop.isAccepted());
    // C:, D:, then the disk as E: and its partitions 1, 2, 3, 5 and 6 as F: to J:; the
    // first partition, which holds a volume, is chosen.
    QTRY_COMPARE(Form1a->DriveBox->count(), 8);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("F:"));
    const auto tip = [](int index) { return Form1a->DriveBox->itemData(index, Qt::ToolTipRole).toString().toStdString(); };
    QCOMPARE(tip(2), disk);
    QCOMPARE(tip(3), disk + ", partition 1 (sectors 2048-34815, FAT16 0x06)");
    const std::vector<std::string> drives = CliLines({"drives", Fat16(), Fat32(), disk});
    QCOMPARE(drives.size(), size_t{8});
    const std::string& line = drives[3];
    QCOMPARE(Form1a->InfoLabel->text().toStdString(), line.substr(3, line.rfind("  ") - 3));
    QCOMPARE(ShownLines(), CliLines({"text", "--partition", "1", disk, "0"}));

    QMimeData notFiles;
    notFiles.setUrls({QUrl(QStringLiteral("https://example.org/disk.img"))});
    notFiles.setText(QStringLiteral("disk.img"));
    QDragEnterEvent refused(QPoint(300, 200), Qt::CopyAction, &notFiles, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Form1a, &refused);
    QVERIFY(!refused.isAccepted());

    Form1a->FOpenDialog = [] { return QStringList{QString::fromStdString(Ntfs())}; };
    QTest::keyClick(Form1a->SectorEdit, Qt::Key_O, Qt::ControlModifier);
    QCOMPARE(Form1a->DriveBox->count(), 9);
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("K:"));
    QVERIFY(Form1a->InfoLabel->text().startsWith(QStringLiteral("NTFS, ")));

    int listed = 0;
    QString chosen;
    bool seen = false;
    WhenModal<TForm1b>([&listed, &chosen](TForm1b* dialog) {
      listed = dialog->DriveBox->count();
      chosen = dialog->DriveBox->currentText();
      dialog->close();
    }, &seen);
    QTest::mouseClick(Form1a->Button2, Qt::LeftButton);
    QVERIFY(seen);
    QCOMPARE(listed, 9);
    QCOMPARE(chosen, QStringLiteral("K:"));
  }

  // A drive whose image goes away while it is selected: every read fails, nothing breaks.
  void sourceDisappears() {
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("vanishing.img"));
    QVERIFY(QFile::copy(QString::fromStdString(Fat32()), copy));
    ProgramWindows windows({Fat16(), copy.toStdString()});
    QVERIFY(windows.Started());
    QCOMPARE(ShownLines(), TextOfFat32Sector(0));
    QVERIFY(QFile::remove(copy));
    QTest::mouseClick(Form1a->SectorButtonRight, Qt::LeftButton);
    QCOMPARE(ShownLines(), std::vector<std::string>{"Reading error"});
    Form1a->CheckView3->click();
    QCOMPARE(ShownLines(), std::vector<std::string>{"Reading error"});
    QTest::mouseClick(Form1a->DetailLabel, Qt::LeftButton);
    ChooseDrive(1);
    QVERIFY(Form1a->InfoLabel->text().startsWith(QStringLiteral("Unknown, ")));
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("0"));
    QTest::mouseClick(Form1a->SectorButtonRight, Qt::LeftButton);
    QVERIFY(Form1a->isVisible());
  }
};

QTEST_MAIN(MainWindowTest)
#include "form1a_test.moc"
