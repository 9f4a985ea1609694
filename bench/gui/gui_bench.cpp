// Time from a sector change to the finished view, in the real main window: the field
// gets a new number, the view is read, rendered, put into the text area and painted.
// Images come from KORVALANE_BENCH_IMAGES (bench/gui/run makes them).
#include <QApplication>
#include <QTest>

#include "app/Look.h"
#include "app/Startup.h"
#include "app/Unit1a.h"
#include "core/Platform.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/SystemPlatform.h"

using namespace korvalane;

namespace {

QString Image(const char* name) { return qEnvironmentVariable("KORVALANE_BENCH_IMAGES") + QLatin1Char('/') + name; }

}  // namespace

class GuiBench : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-bench-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
  }

  void sectorChange_data() {
    QTest::addColumn<QString>("image");
    QTest::addColumn<int>("sectorSize");
    QTest::addColumn<int>("view");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::addColumn<int>("lines");
    QTest::newRow("text, 512-byte sector") << Image("fat32.img") << 512 << 0 << "0" << "1" << 8;
    QTest::newRow("hex, 512-byte sector") << Image("fat32.img") << 512 << 1 << "0" << "1" << 128;
    QTest::newRow("hex, 4096-byte sector") << Image("fat16-4k.img") << 4096 << 1 << "0" << "1" << 1024;
    QTest::newRow("FAT listing, 32 KiB cluster") << Image("fat32-32k.img") << 512 << 2 << "ROOT" << "ROOT" << 300;
  }
  void sectorChange() {
    QFETCH(QString, image);
    QFETCH(int, sectorSize);
    QFETCH(int, view);
    QFETCH(QString, first);
    QFETCH(QString, second);
    QFETCH(int, lines);
    const std::unique_ptr<Platform> platform =
        MakeSystemPlatform({image.toStdString(), image.toStdString()}, static_cast<uint32_t>(sectorSize));
    SetPlatform(platform.get());
    Geometry() = VolumeGeometry{};
    CreateForms();
    Form1a->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form1a));
    QVERIFY(QTest::qWaitFor([] { return Form1a->Activated(); }, 5000));
    QRadioButton* buttons[] = {Form1a->CheckView1, Form1a->CheckView2, Form1a->CheckView3};
    buttons[view]->click();
    // The root folder of FAT32 starts the data area. Only one sector of it starts the
    // directory, so the field alternates between two spellings of that sector.
    if (first == QLatin1String("ROOT")) {
      first = QString::number(Geometry().StartDataSector);
      second = QStringLiteral("$") + QString::number(Geometry().StartDataSector, 16);
    }
    Form1a->SectorEdit->setText(first);
    QVERIFY2(Form1a->ViewLines().size() >= static_cast<size_t>(lines),
             qPrintable(QString::number(Form1a->ViewLines().size())));
    bool flip = false;
    QBENCHMARK {
      Form1a->SectorEdit->setText(flip ? first : second);
      Form1a->InfoList->viewport()->repaint();
      flip = !flip;
    }
    QVERIFY(Form1a->ViewLines().size() >= static_cast<size_t>(lines));
    DestroyForms();
    SetPlatform(nullptr);
  }
};

QTEST_MAIN(GuiBench)
#include "gui_bench.moc"
