// Going to places, driven offscreen against the sample images: the Go to dialog (Ctrl+G)
// to a sector, a cluster and an MFT record where korvalane-cli locate puts them, its
// refusals as one message; and the text area's menu, whose "Go to" entry follows a FAT
// listing line, an NTFS record's parent and a data run.
#include <QContextMenuEvent>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTextBlock>
#include <regex>

#include "app/Unit2a.h"
#include "app/Unit4b.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

Q_DECLARE_METATYPE(std::vector<std::string>)

namespace {

std::string Fat16() { return SamplePath("fat16.img"); }
std::string Fat32() { return SamplePath("fat32.img"); }
std::string Ntfs() { return SamplePath("ntfs.img"); }
std::string Ext4() { return SamplePath("ext4.img"); }

// The sector korvalane-cli locates a place at (an ext inode, in the rows of the tests).
QString Located(const std::vector<std::string>& args) { return QString::fromStdString(CliLines(args).at(0)); }

// An image copy whose MFT record 0 sends its $DATA run far past the volume.
QString BrokenMftCopy(const QTemporaryDir& dir) {
  const QString copy = dir.filePath(QStringLiteral("broken-runs.img"));
  if (!QFile::copy(QString::fromStdString(Ntfs()), copy)) return {};
  QFile image(copy);
  if (!image.open(QIODevice::ReadWrite) || !image.seek(32 * 512)) return {};
  QByteArray record = image.read(1024);
  const qsizetype data = record.indexOf(QByteArray("\x80\0\0\0", 4));
  if (data < 0) return {};
  const qsizetype runs = data + static_cast<uint8_t>(record[data + 32]);
  record.replace(runs, 5, QByteArray("\x31\x10\xFF\xFF\x7F", 5));
  image.seek(32 * 512);
  image.write(record);
  return copy;
}

// Opens the Go to dialog with Ctrl+G, fills it in and presses "Go to"; then closes it
// should it still be open. True when it came up.
bool GoTo(int kind, const QString& number, bool* stayedOpen = nullptr) {
  bool seen = false;
  WhenModal<TForm4b>([=](TForm4b* dialog) {
    QCOMPARE(dialog->windowTitle(), QStringLiteral("Go to"));
    QCOMPARE(dialog->focusWidget(), static_cast<QWidget*>(dialog->Edit1));
    dialog->KindBox->setCurrentIndex(kind);
    dialog->Edit1->setText(number);
    QTest::keyClick(dialog->Edit1, Qt::Key_Return);  // "Go to" is the default button
    QTest::qWait(20);
    if (stayedOpen != nullptr) *stayedOpen = dialog->isVisible();
    if (dialog->isVisible()) QTest::mouseClick(dialog->Button2, Qt::LeftButton);
  }, &seen);
  QTest::keyClick(Form1a->SectorEdit, Qt::Key_G, Qt::ControlModifier);
  return seen;
}

// The first line of the view that matches, or -1.
int LineMatching(const std::string& pattern) {
  const std::vector<std::string> lines = ShownLines();
  for (size_t i = 0; i < lines.size(); ++i) {
    if (std::regex_search(lines[i], std::regex(pattern))) return static_cast<int>(i);
  }
  return -1;
}

// Right-clicks line `line` of the text area and hands the menu to `use` while it is up.
void WithMenuAt(int line, const std::function<void(QMenu*)>& use) {
  QPlainTextEdit* list = Form1a->InfoList;
  const QTextCursor cursor(list->document()->findBlockByNumber(line));
  list->setTextCursor(cursor);
  list->ensureCursorVisible();
  const QPoint at = list->cursorRect(cursor).center() + QPoint(20, 0);
  QTimer::singleShot(0, [use] {
    QMenu* menu = nullptr;
    if (QTest::qWaitFor([&menu] { return (menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) != nullptr; }, 3000)) {
      use(menu);
      if (menu->isVisible()) menu->close();
    }
  });
  QContextMenuEvent event(QContextMenuEvent::Mouse, at, list->viewport()->mapToGlobal(at));
  QApplication::sendEvent(list->viewport(), &event);
}

QStringList Captions(QMenu* menu) {
  QStringList captions;
  for (QAction* action : menu->actions()) {
    if (!action->isSeparator()) captions.append(action->text().split(QLatin1Char('\t')).first().remove(QLatin1Char('&')));
  }
  return captions;
}

}  // namespace

class GoToTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE", QByteArray("korvalane-test-form4b-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
  }

  // Each row goes where `korvalane-cli locate` puts the place, or is refused with what
  // it says (unless the row says what to expect: a sector or a message).
  void goesWhereLocateSays_data() {
    QTest::addColumn<std::string>("image");  // empty: a copy with corrupt MFT runs
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("number");
    QTest::addColumn<QString>("expected");
    QTest::newRow("sector in hex") << Fat32() << int{TForm4b::Sector} << "$10" << "16";
    QTest::newRow("FAT32 cluster") << Fat32() << int{TForm4b::Cluster} << "7" << "";
    QTest::newRow("NTFS root folder") << Ntfs() << int{TForm4b::MftRecord} << "5" << "";
    if (QFile::exists(QString::fromStdString(SamplePath("ntfs-fragmented.img")))) {
      QTest::newRow("record of a fragmented MFT") << SamplePath("ntfs-fragmented.img") << int{TForm4b::MftRecord} << "300" << "";
    }
    QTest::newRow("cluster past the volume") << Fat16() << int{TForm4b::Cluster} << "8169" << "";
    QTest::newRow("corrupt MFT runs") << std::string() << int{TForm4b::MftRecord} << "40" << "";
    QTest::newRow("not a number") << Fat16() << int{TForm4b::Sector} << "12abc" << "Not a number: 12abc";
    QTest::newRow("ext4 inode") << Ext4() << int{TForm4b::Inode} << "17" << "";
    QTest::newRow("inode on FAT") << Fat16() << int{TForm4b::Inode} << "2" << "";
  }
  void goesWhereLocateSays() {
    QFETCH(std::string, image);
    QFETCH(int, kind);
    QFETCH(QString, number);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    if (image.empty()) image = BrokenMftCopy(dir).toStdString();
    QVERIFY(!image.empty());
    if (expected.isEmpty()) {
      const CommandResult located = RunCli({"locate", image,
                                            kind == TForm4b::Cluster ? "cluster" : kind == TForm4b::Inode ? "inode" : "mft-record",
                                            number.toStdString()});
      const std::string prefix = "korvalane-cli: ";
      // The window says what the command line says, as a sentence of its own.
      expected = located.Status == 0 ? QString::fromStdString(Lines(located.Out).at(0))
                                     : Sentence(Lines(located.Err).at(0).substr(prefix.size()));
    }
    bool goes = false;
    expected.toULongLong(&goes);
    ProgramWindows windows({Fat16(), image});
    QVERIFY(windows.Started());
    Form1a->CheckView3->click();
    Form1a->SectorEdit->setText(QStringLiteral("3"));
    const MessageCatcher messages;
    bool stayedOpen = false;
    QVERIFY(GoTo(kind, number, &stayedOpen));
    QCOMPARE(stayedOpen, !goes);
    QCOMPARE(messages.Messages, goes ? QStringList() : QStringList{expected});
    QCOMPARE(Form1a->SectorEdit->text(), goes ? expected : QStringLiteral("3"));
    QCOMPARE(ShownLines(), CliLines({"record", image, Form1a->SectorEdit->text().toStdString()}));
  }

  // The menu of a line that names a place goes there; the copy entries stay.
  void contextMenuGoesWhereTheLinePoints_data() {
    QTest::addColumn<std::string>("image");
    QTest::addColumn<bool>("details");
    QTest::addColumn<QString>("sector");
    QTest::addColumn<std::string>("line");
    QTest::addColumn<std::vector<std::string>>("cli");
    QTest::newRow("FAT32 folder DOCS") << Fat32() << false << "1166" << std::string("^DOCS  .*, cluster 7$")
                                       << std::vector<std::string>{"locate", Fat32(), "cluster", "7"};
    QTest::newRow("NTFS parent record") << Ntfs() << false << "166" << std::string("^Parent MFT record 5$")
                                        << std::vector<std::string>{"locate", Ntfs(), "mft-record", "5"};
    QTest::newRow("the MFT's run in Details") << Ntfs() << true << "0" << std::string("^4 - 19$")
                                              << std::vector<std::string>{"locate", Ntfs(), "cluster", "4"};
    QTest::newRow("ext4 extent") << Ext4() << false << Located({"locate", Ext4(), "inode", "17"}) << std::string("^450 - 2, logical 0$")
                                 << std::vector<std::string>{"locate", Ext4(), "block", "450"};
    QTest::newRow("ext4 listing line") << Ext4() << false << Located({"locate", Ext4(), "block", "329"})
                                       << std::string("^Inode 12, file, 16 b: BIG.DAT$")
                                       << std::vector<std::string>{"locate", Ext4(), "inode", "12"};
  }
  void contextMenuGoesWhereTheLinePoints() {
    QFETCH(std::string, image);
    QFETCH(bool, details);
    QFETCH(QString, sector);
    QFETCH(std::string, line);
    QFETCH(std::vector<std::string>, cli);
    ProgramWindows windows({Fat16(), image});
    QVERIFY(windows.Started());
    Form1a->CheckView3->click();
    Form1a->SectorEdit->setText(sector);
    if (details) QTest::mouseClick(Form1a->DetailLabel, Qt::LeftButton);
    // A line that names no place (the volume label's cluster 0 among them) has only the
    // copy entries.
    QStringList shown;
    const int plain = LineMatching("^(File size|Bytes per sector|KORVALAN\\.E|Directory block) ");
    QVERIFY(plain >= 0);
    WithMenuAt(plain, [&](QMenu* menu) { shown = Captions(menu); });
    QVERIFY(shown.contains(QStringLiteral("Copy")));
    QVERIFY(!shown.first().startsWith(QStringLiteral("Go to")));

    const int at = LineMatching(line);
    QVERIFY(at >= 0);
    const std::string target = CliLines(cli).at(0);
    const QString caption = QStringLiteral("Go to ") +
                            (cli[2] == "mft-record" ? QStringLiteral("MFT record ") : QString::fromStdString(cli[2] + " ")) +
                            QString::fromStdString(cli[3]);
    WithMenuAt(at, [&](QMenu* menu) {
      shown = Captions(menu);
      QAction* go = menu->actions().value(0);
      if (go == nullptr || go->text() != caption) return;
      menu->setActiveAction(go);
      QTest::keyClick(menu, Qt::Key_Return);
    });
    QCOMPARE(shown.value(0), caption);
    QVERIFY2(shown.contains(QStringLiteral("Copy")) && shown.contains(QStringLiteral("Select All")), qPrintable(shown.join(u'|')));
    QTRY_COMPARE(Form1a->SectorEdit->text().toStdString(), target);
    QCOMPARE(ShownLines(), CliLines({"record", image, target}));
  }
};

QTEST_MAIN(GoToTest)
#include "form4b_test.moc"
