// The volume map window (Ctrl+M) on the FAT32 sample: its legend is korvalane-cli map's,
// a click on a cell shows the cell's first sector in the main window, hovering a cell of a
// known file names it as ifind and ffind do, and a screenshot's pixels have the classes'
// colours.
#include <QAction>
#include <QApplication>
#include <QHelpEvent>
#include <QFile>
#include <QImage>
#include <QMenu>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <map>
#include <regex>
#include <set>

#include "app/AppFixture.h"
#include "app/Unit1a.h"
#include "app/VolumeMapWindow.h"
#include "core/map/VolumeMap.h"

using namespace korvalane;
using namespace korvalane::testing;

namespace {

// Opens the map by its key, as the user does.
bool OpenByKey() {
  QTest::keyClick(Form1a, Qt::Key_M, Qt::ControlModifier);
  return QTest::qWaitFor([] { return FormVolumeMap != nullptr && FormVolumeMap->isVisible() && FormVolumeMap->Map() != nullptr; },
                         5000);
}

// The first sector of /BIG.DAT, as istat lists its sectors.
uint64_t FirstSectorOfBigDat(const std::string& image) {
  const std::string inode = Lines(testing::Run({"ifind", "-n", "/BIG.DAT", image}).Out).at(0);
  const std::string istat = testing::Run({"istat", image, inode}).Out;
  std::smatch m;
  if (!std::regex_search(istat, m, std::regex(R"(Sectors:\s+(\d+))"))) return 0;
  return std::stoull(m[1]);
}

}  // namespace

class VolumeMapWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-map-") + QByteArray::number(QCoreApplication::applicationPid()));
  }

  void theLegendIsTheCommandsAndTheMenuOffersTheMap() {
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat32.img")});  // D: is FAT32
    QVERIFY(windows.Started());
    bool offered = false;
    for (QAction* action : Form1a->actions()) {
      offered = offered || (action->text() == QStringLiteral("Volume map...") && action->shortcut().toString() == QStringLiteral("Ctrl+M"));
    }
    QVERIFY(offered);
    QVERIFY(OpenByKey());
    std::map<std::string, std::string> cli;
    const std::regex line(R"(^([a-z]+)  (\d+) units  (\d+) bytes  \((.*)\)$)");
    std::smatch m;
    for (const std::string& text : Lines(RunCli({"map", SamplePath("fat32.img")}).Out)) {
      if (std::regex_match(text, m, line)) cli[m[4]] = m[2].str() + " " + m[3].str();
    }
    QCOMPARE(FormVolumeMap->LegendTable->rowCount(), static_cast<int>(kMapClassCount));
    QCOMPARE(cli.size(), kMapClassCount);
    for (int row = 0; row < FormVolumeMap->LegendTable->rowCount(); ++row) {
      const std::string caption = FormVolumeMap->LegendTable->item(row, 0)->text().toStdString();
      const std::string counts = FormVolumeMap->LegendTable->item(row, 1)->text().toStdString() + " " +
                                 FormVolumeMap->LegendTable->item(row, 2)->text().toStdString();
      QCOMPARE(counts, cli[caption]);
    }
  }

  void aClickShowsTheCellsFirstSector() {
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat32.img")});
    QVERIFY(windows.Started());
    QVERIFY(OpenByKey());
    MapGridView* grid = FormVolumeMap->Grid();
    QVERIFY(grid->Cells().size() > 40);
    const size_t cell = grid->Cells().size() / 3;
    const uint64_t sector = FormVolumeMap->Map()->SectorOf(grid->Cells()[cell].First);
    QTest::mouseClick(grid, Qt::LeftButton, {}, grid->CellRect(cell).center());
    QTRY_COMPARE(Form1a->SectorEdit->text(), QString::number(sector));
    QTRY_COMPARE(ShownLines(), CliLines({"text", SamplePath("fat32.img"), std::to_string(sector)}));
    // The main window's sector is framed: a pixel of the frame is black.
    const QRect frame = grid->CellRect(cell);
    QTRY_COMPARE(grid->grab().toImage().pixelColor(frame.left() + 1, frame.center().y()), QColor(Qt::black));
  }

  void hoveringACellNamesItsFile() {
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat32.img")});
    QVERIFY(windows.Started());
    QVERIFY(OpenByKey());
    const uint64_t sector = FirstSectorOfBigDat(SamplePath("fat32.img"));
    QVERIFY(sector != 0);
    MapGridView* grid = FormVolumeMap->Grid();
    // Zoomed in all the way: one unit (a sector, on FAT) a cell from the file's first.
    grid->ShowUnits(sector, FormVolumeMap->Map()->Units());
    grid->ShowUnits(sector, sector + grid->Cells().size());
    QCOMPARE(grid->Cells().front().Count, uint64_t{1});
    const QPoint at = grid->CellRect(0).center();
    QHelpEvent help(QEvent::ToolTip, at, grid->mapToGlobal(at));
    QApplication::sendEvent(grid, &help);
    const QString tip = QToolTip::text();
    QVERIFY2(tip.contains(QStringLiteral("/BIG.DAT")), qPrintable(tip));
    QVERIFY2(tip.contains(QStringLiteral("byte 0 of the file")), qPrintable(tip));
    QVERIFY2(tip.startsWith(QStringLiteral("Sector %1\nfile data  100%").arg(sector)), qPrintable(tip));
    // The wheel zooms out about the pointer and in again, never below a unit a cell.
    QWheelEvent out(QPointF(at), QPointF(grid->mapToGlobal(at)), {}, QPoint(0, -120), Qt::NoButton, {}, Qt::NoScrollPhase, false);
    QApplication::sendEvent(grid, &out);
    QVERIFY(grid->End() - grid->First() > grid->Cells().size());
    for (int i = 0; i < 3; ++i) {
      QWheelEvent in(QPointF(at), QPointF(grid->mapToGlobal(at)), {}, QPoint(0, 120), Qt::NoButton, {}, Qt::NoScrollPhase, false);
      QApplication::sendEvent(grid, &in);
    }
    QCOMPARE(grid->Cells().front().Count, uint64_t{1});
  }

  // "Show on the map" in the text area's menu frames every fragment of the file that uses
  // the shown sector: $MFT of the fragmented NTFS sample, whose runs the command lists.
  void showOnTheMapFramesTheFilesFragments() {
    const std::string image = SamplePath("ntfs-fragmented.img");
    ProgramWindows windows({SamplePath("fat16.img"), image});
    QVERIFY(windows.Started());
    std::vector<std::pair<uint64_t, uint64_t>> expected;
    const std::regex run(R"(^(\d+)  (\d+)  records  file-system metadata: \$MFT  \(MFT record 0\)  byte \d+ of the file$)");
    std::smatch m;
    for (const std::string& line : Lines(RunCli({"map", image}).Out)) {
      if (!std::regex_match(line, m, run)) continue;
      const uint64_t first = std::stoull(m[1]);
      const uint64_t count = std::stoull(m[2]);
      if (!expected.empty() && expected.back().first + expected.back().second == first) {
        expected.back().second += count;
      } else {
        expected.emplace_back(first, count);
      }
    }
    QVERIFY(expected.size() >= 2);
    const uint64_t sectorsPerCluster = static_cast<uint64_t>(Geometry().SectorsPerCluster);
    Form1a->SectorEdit->setText(QString::number(expected.front().first * sectorsPerCluster));
    bool offered = false;
    ChooseInNextMenu(QStringLiteral("Show on the map"), &offered);
    emit Form1a->InfoList->customContextMenuRequested(QPoint(10, 10));
    QTRY_VERIFY(FormVolumeMap != nullptr && !FormVolumeMap->Grid()->Highlighted().Runs.empty());
    QVERIFY(offered);
    MapGridView* grid = FormVolumeMap->Grid();
    QCOMPARE(grid->Highlighted().Runs, expected);
    // The cell of the second fragment is framed in the highlight's colour, and its tooltip
    // gives the fragments and the biggest gap.
    grid->ShowUnits(expected[1].first, FormVolumeMap->Map()->Units());
    QVERIFY(grid->IsHighlighted(0));
    QVERIFY2(grid->TipOf(0).contains(QStringLiteral("Shown file: %1 fragments").arg(expected.size())), qPrintable(grid->TipOf(0)));
    QCOMPARE(grid->grab().toImage().pixelColor(grid->CellRect(0).topLeft() + QPoint(3, 0)), QColor::fromRgb(0xFF00FF));
  }

  // "Rescue map..." draws the areas a ddrescue map did not finish as unreadable: the
  // legend is the command's with the same map, and the cells of those sectors are red.
  void aRescueMapsBadAreasAreDrawnUnreadable() {
    const std::string image = SamplePath("fat32.img");
    ProgramWindows windows({SamplePath("fat16.img"), image});
    QVERIFY(windows.Started());
    QVERIFY(OpenByKey());
    const uint64_t sector = FirstSectorOfBigDat(image);
    QVERIFY(sector != 0);
    const QTemporaryDir scratch;
    const QString map = scratch.filePath(QStringLiteral("rescue.map"));
    {
      QFile file(map);
      QVERIFY(file.open(QIODevice::WriteOnly));
      const uint64_t total = 73728 * 512;
      file.write(QStringLiteral("# Rescue Logfile\n0x00000000  +  1\n0  %1  +\n%1  2048  -\n%2  %3  +\n")
                     .arg(sector * 512 + 1024).arg(sector * 512 + 3072).arg(total - sector * 512 - 3072).toUtf8());
    }
    FormVolumeMap->FOpenMapDialog = [map] { return map; };
    QTest::mouseClick(FormVolumeMap->Button2, Qt::LeftButton);
    std::string units;
    const std::regex line(R"(^unreadable  (\d+) units  (\d+) bytes.*$)");
    std::smatch m;
    for (const std::string& text : Lines(RunCli({"map", "--map", map.toStdString(), image}).Out)) {
      if (std::regex_match(text, m, line)) units = m[1];
    }
    QCOMPARE(units, std::string("4"));
    const int row = static_cast<int>(MapClass::Unreadable);
    QCOMPARE(FormVolumeMap->LegendTable->item(row, 1)->text().toStdString(), units);
    MapGridView* grid = FormVolumeMap->Grid();
    grid->ShowUnits(sector, FormVolumeMap->Map()->Units());
    grid->ShowUnits(sector, sector + grid->Cells().size());
    const QImage shot = grid->grab().toImage();
    for (size_t i = 0; i < 8; ++i) {
      const QColor want = QColor::fromRgb(MapClassColour(i >= 2 && i < 6 ? MapClass::Unreadable : MapClass::File));
      QCOMPARE(shot.pixelColor(grid->CellRect(i).center()), want);
    }
  }

  void aScreenshotHasTheClassesColours() {
    ProgramWindows windows({SamplePath("fat16.img"), SamplePath("fat32.img")});
    QVERIFY(windows.Started());
    QVERIFY(OpenByKey());
    MapGridView* grid = FormVolumeMap->Grid();
    const QTemporaryDir scratch;
    QVERIFY(scratch.isValid());
    const QImage shot = FormVolumeMap->grab().toImage();
    QVERIFY(shot.save(scratch.filePath(QStringLiteral("volume-map.png"))));
    const QImage cells = grid->grab().toImage();
    std::set<MapClass> seen;
    for (size_t i = 0; i < grid->Cells().size(); i += 7) {
      const QRect rect = grid->CellRect(i);
      QCOMPARE(cells.pixelColor(rect.center()), QColor::fromRgb(MapClassColour(grid->Cells()[i].Largest)));
      seen.insert(grid->Cells()[i].Largest);
    }
    QVERIFY(seen.count(MapClass::Free) == 1 && seen.count(MapClass::Table) == 1);
  }
};

QTEST_MAIN(VolumeMapWindowTest)
#include "volume_map_window_test.moc"
