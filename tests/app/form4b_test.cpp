// Going to places, driven offscreen against the sample images: the Go to dialog (Ctrl+G)
// to a sector, a cluster and an MFT record where korvalane-cli locate puts them, its
// refusals as one message; and the text area's menu, whose "Go to" entry follows a FAT
// listing line, a data run and an NTFS record's parent.
#include <QContextMenuEvent>
#include <QFile>
#include <QMenu>
#include <QTemporaryDir>
#include <QTextBlock>
#include <regex>

#include "app/Unit2a.h"
#include "app/Unit4b.h"
#include "core/text/SectorField.h"
#include "tests/app/AppFixture.h"

using namespace korvalane;
using namespace korvalane::testing;

Q_DECLARE_METATYPE(std::vector<std::string>)

namespace {

std::string Fat16() { return SamplePath("fat16.img"); }
std::string Fat32() { return SamplePath("fat32.img"); }
std::string Ntfs() { return SamplePath("ntfs.img"); }

// What korvalane-cli says where it refuses: its one line on stderr, without its name.
QString CliRefusal(const std::vector<std::string>& args) {
  const CommandResult result = RunCli(args);
  const std::string prefix = "korvalane-cli: ";
  std::string line = Lines(result.Err).empty() ? std::string() : Lines(result.Err).front();
  if (line.starts_with(prefix)) line = line.substr(prefix.size());
  return Sentence(line);
}

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

// Answers every information dialog that comes up, keeping its text, without waiting in
// a loop of its own (which would hold up the dialog that is open meanwhile).
class MessageCatcher {
 public:
  MessageCatcher() {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      auto* dialog = qobject_cast<TForm2a*>(QApplication::activeModalWidget());
      if (dialog == nullptr || !dialog->isVisible()) return;
      Messages.append(dialog->InfoLabel->text());
      QTest::mouseClick(dialog->Button1, Qt::LeftButton);
    });
    timer_.start();
  }
  QStringList Messages;

 private:
  QTimer timer_;
};

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

  void goesWhereLocateSays_data() {
    QTest::addColumn<std::string>("image");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("number");
    QTest::addColumn<std::vector<std::string>>("cli");  // empty: the number is the sector
    QTest::newRow("sector in hex") << Fat32() << int{TForm4b::Sector} << "$10" << std::vector<std::string>{};
    QTest::newRow("the sector after the last") << Fat32() << int{TForm4b::Sector} << "73728" << std::vector<std::string>{};
    QTest::newRow("FAT16 first cluster") << Fat16() << int{TForm4b::Cluster} << "2"
                                         << std::vector<std::string>{"locate", Fat16(), "cluster", "2"};
    QTest::newRow("FAT32 cluster") << Fat32() << int{TForm4b::Cluster} << "7"
                                   << std::vector<std::string>{"locate", Fat32(), "cluster", "7"};
    QTest::newRow("NTFS last cluster") << Ntfs() << int{TForm4b::Cluster} << "4094"
                                       << std::vector<std::string>{"locate", Ntfs(), "cluster", "4094"};
    QTest::newRow("NTFS root folder") << Ntfs() << int{TForm4b::MftRecord} << "5"
                                      << std::vector<std::string>{"locate", Ntfs(), "mft-record", "5"};
    const std::string fragmented = SamplePath("ntfs-fragmented.img");
    if (QFile::exists(QString::fromStdString(fragmented))) {
      QTest::newRow("record of a fragmented MFT") << fragmented << int{TForm4b::MftRecord} << "300"
                                                  << std::vector<std::string>{"locate", fragmented, "mft-record", "300"};
    }
  }
  void goesWhereLocateSays() {
    QFETCH(std::string, image);
    QFETCH(int, kind);
    QFETCH(QString, number);
    QFETCH(std::vector<std::string>, cli);
    ProgramWindows windows({Fat16(), image});
    QVERIFY(windows.Started());
    Form1a->CheckView3->click();
    const MessageCatcher messages;
    bool stayedOpen = true;
    QVERIFY(GoTo(kind, number, &stayedOpen));
    QVERIFY(!stayedOpen);
    QVERIFY(messages.Messages.isEmpty());
    const std::string sector = cli.empty() ? std::to_string(*ParseSectorIndex(number.toStdString())) : CliLines(cli).at(0);
    QCOMPARE(Form1a->SectorEdit->text().toStdString(), sector);
    QVERIFY(Form1a->CheckView3->isChecked());
    if (sector != "73728") QCOMPARE(ShownLines(), CliLines({"record", image, sector}));
  }

  void refusesWhatIsNotThere_data() {
    QTest::addColumn<QString>("image");  // empty: the broken copy
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("number");
    QTest::addColumn<std::vector<std::string>>("cli");  // what korvalane-cli says, or empty
    QTest::addColumn<QString>("message");
    const auto locate = [](const std::string& image, const char* kind, const char* n) {
      return std::vector<std::string>{"locate", image, kind, n};
    };
    const QString fat16 = QString::fromStdString(Fat16());
    const QString ntfs = QString::fromStdString(Ntfs());
    QTest::newRow("cluster 1") << fat16 << int{TForm4b::Cluster} << "1" << locate(Fat16(), "cluster", "1") << "";
    QTest::newRow("cluster past the volume") << fat16 << int{TForm4b::Cluster} << "8169" << locate(Fat16(), "cluster", "8169") << "";
    QTest::newRow("NTFS cluster past the volume") << ntfs << int{TForm4b::Cluster} << "4095" << locate(Ntfs(), "cluster", "4095") << "";
    QTest::newRow("record past the MFT") << ntfs << int{TForm4b::MftRecord} << "100000"
                                         << locate(Ntfs(), "mft-record", "100000") << "";
    QTest::newRow("no MFT on FAT") << fat16 << int{TForm4b::MftRecord} << "0" << locate(Fat16(), "mft-record", "0") << "";
    QTest::newRow("corrupt MFT runs") << "" << int{TForm4b::MftRecord} << "40" << locate("", "mft-record", "40") << "";
    QTest::newRow("sector past the volume") << fat16 << int{TForm4b::Sector} << "32769" << std::vector<std::string>{}
                                            << "Sector 32769 is outside the volume (its sectors are 0 to 32768)";
    QTest::newRow("not a number") << fat16 << int{TForm4b::Sector} << "12abc" << std::vector<std::string>{}
                                  << "Not a number: 12abc";
    QTest::newRow("negative") << fat16 << int{TForm4b::Cluster} << "-5" << std::vector<std::string>{}
                              << "Not a number: -5";
  }
  void refusesWhatIsNotThere() {
    QFETCH(QString, image);
    QFETCH(int, kind);
    QFETCH(QString, number);
    QFETCH(std::vector<std::string>, cli);
    QFETCH(QString, message);
    QTemporaryDir dir;
    if (image.isEmpty()) {
      image = BrokenMftCopy(dir);
      QVERIFY(!image.isEmpty());
      cli[1] = image.toStdString();
    }
    ProgramWindows windows({Fat32(), image.toStdString()});
    QVERIFY(windows.Started());
    Form1a->SectorEdit->setText(QStringLiteral("3"));
    const MessageCatcher messages;
    bool stayedOpen = false;
    QVERIFY(GoTo(kind, number, &stayedOpen));
    QVERIFY(stayedOpen);
    // The window says what the command line says, as a sentence of its own.
    if (!cli.empty()) message = CliRefusal(cli);
    QVERIFY(!message.isEmpty());
    QCOMPARE(messages.Messages, QStringList{message});
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("3"));
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
    QTest::newRow("FAT16 README.TXT") << Fat16() << false << "68" << std::string("^README\\.TXT ")
                                      << std::vector<std::string>{"locate", Fat16(), "cluster", "2"};
    QTest::newRow("NTFS parent record") << Ntfs() << false << "166" << std::string("^Parent MFT record 5$")
                                        << std::vector<std::string>{"locate", Ntfs(), "mft-record", "5"};
    QTest::newRow("NTFS data run") << Ntfs() << false << "166" << std::string("^2561 - 230$")
                                   << std::vector<std::string>{"locate", Ntfs(), "cluster", "2561"};
    QTest::newRow("the MFT's run in Details") << Ntfs() << true << "0" << std::string("^4 - 19$")
                                              << std::vector<std::string>{"locate", Ntfs(), "cluster", "4"};
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
    const int plain = LineMatching("^(File size|Bytes per sector|KORVALAN\\.E) ");
    QVERIFY(plain >= 0);
    WithMenuAt(plain, [&](QMenu* menu) { shown = Captions(menu); });
    QVERIFY(shown.contains(QStringLiteral("Copy")));
    QVERIFY(!shown.first().startsWith(QStringLiteral("Go to")));

    const int at = LineMatching(line);
    QVERIFY(at >= 0);
    const std::string target = CliLines(cli).at(0);
    const QString caption = QStringLiteral("Go to ") + (cli[2] == "cluster" ? QStringLiteral("cluster ") : QStringLiteral("MFT record ")) +
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

  // A listing line whose cluster lies past the volume (a damaged entry) says so.
  void contextMenuOnAClusterPastTheVolume() {
    QTemporaryDir dir;
    const QString copy = dir.filePath(QStringLiteral("damaged.img"));
    QVERIFY(QFile::copy(QString::fromStdString(Fat16()), copy));
    QFile image(copy);
    QVERIFY(image.open(QIODevice::ReadWrite));
    QVERIFY(image.seek(68 * 512));
    QByteArray root = image.read(512);
    const qsizetype entry = root.indexOf("README  TXT");
    QVERIFY(entry >= 0);
    root[entry + 26] = static_cast<char>(0xF0);
    root[entry + 27] = static_cast<char>(0xFF);
    QVERIFY(image.seek(68 * 512));
    image.write(root);
    image.close();
    ProgramWindows windows({Fat32(), copy.toStdString()});
    QVERIFY(windows.Started());
    Form1a->CheckView3->click();
    Form1a->SectorEdit->setText(QStringLiteral("68"));
    const int at = LineMatching("^README\\.TXT .*cluster 65520$");
    QVERIFY(at >= 0);
    const MessageCatcher messages;
    WithMenuAt(at, [](QMenu* menu) {
      menu->setActiveAction(menu->actions().value(0));
      QTest::keyClick(menu, Qt::Key_Return);
    });
    QTRY_COMPARE(messages.Messages.size(), 1);
    QCOMPARE(messages.Messages[0], QStringLiteral("Cluster 65520 is outside the volume (its clusters are 2 to 8168)"));
    QCOMPARE(Form1a->SectorEdit->text(), QStringLiteral("68"));
  }
};

QTEST_MAIN(GoToTest)
#include "form4b_test.moc"
