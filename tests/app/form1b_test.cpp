// The sector range export dialog, driven offscreen: its openings, the size label, the
// checks of Start with their messages, the copy with its progress, Stop answered No and
// Yes, closing while busy and idle, existing files, and the return to the main window.
// The volumes are sample images held in memory, so that reads can be made to fail.
#include <QApplication>
#include <QCloseEvent>
#include <QCryptographicHash>
#include <QKeyEvent>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "app/Look.h"
#include "app/Startup.h"
#include "app/Unit1a.h"
#include "app/Unit1b.h"
#include "app/Unit2a.h"
#include "app/Unit2b.h"
#include "core/export/SectorCopy.h"
#include "core/volume/VolumeGeometry.h"
#include "fixtures/Samples.h"
#include "platform/memory/MemoryPlatform.h"

using namespace korvalane;

namespace {

namespace fs = std::filesystem;

constexpr uint32_t kFat12Sectors = 8192;   // C:
constexpr uint32_t kFat16Sectors = 32768;  // D:

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(static_cast<size_t>(fs::file_size(path)));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

std::vector<uint8_t> ReadFile(const QString& path) { return ReadFile(fs::path(path.toStdString())); }

// Answers the next modal dialog of type T once it is up, from a timer that only looks
// and never waits, so that it may fire inside the copy's pump without holding the copy.
template <typename T>
class Answer {
 public:
  explicit Answer(std::function<void(T*)> answer) : answer_(std::move(answer)) {
    timer_.setInterval(5);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      T* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
      if (dialog == nullptr || !dialog->isVisible()) return;
      timer_.stop();
      ++count_;
      answer_(dialog);
    });
    timer_.start();
  }
  int Count() const { return count_; }

 private:
  std::function<void(T*)> answer_;
  QTimer timer_;
  int count_ = 0;
};

// Takes down the text of the next information message and presses OK.
class Message : public Answer<TForm2a> {
 public:
  Message()
      : Answer<TForm2a>([this](TForm2a* dialog) {
          text_ = dialog->InfoLabel->text();
          dialog->Button1->click();
        }) {}
  const QString& Text() const { return text_; }

 private:
  QString text_;
};

// Answers the next question with Yes or No and takes down its text.
class Question : public Answer<TForm2b> {
 public:
  explicit Question(bool yes)
      : Answer<TForm2b>([this, yes](TForm2b* dialog) {
          text_ = dialog->InfoLabel->text();
          (yes ? dialog->Button1 : dialog->Button2)->click();
        }) {}
  const QString& Text() const { return text_; }

 private:
  QString text_;
};

}  // namespace

class ExportDialogTest : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    qputenv("KORVALANE_INSTANCE",
            QByteArray("korvalane-test-form1b-") + QByteArray::number(QCoreApplication::applicationPid()));
    ApplyLook(*qApp);
    fat12_ = ReadFile(fs::path(testing::SamplePath("fat12.img")));
    fat16_ = ReadFile(fs::path(testing::SamplePath("fat16.img")));
    QCOMPARE(fat12_.size(), size_t{kFat12Sectors} * 512);
    QCOMPARE(fat16_.size(), size_t{kFat16Sectors} * 512);
  }

  void init() {
    QVERIFY(dir_.isValid());
    platform_ = std::make_unique<MemoryPlatform>();
    AddDrive('C', fat12_);
    AddDrive('D', fat16_);
    Geometry() = VolumeGeometry{};
    SetPlatform(platform_.get());
    CreateForms();
  }

  void cleanup() {
    DestroyForms();
    SetPlatform(nullptr);
    ExportBusy = false;
  }

  void firstOpeningSelectsTheSecondDrive() {
    Open();
    QCOMPARE(Form1b->windowTitle(), QStringLiteral("Save sectors as bin-file"));
    QCOMPARE(Form1b->DriveBox->count(), 2);
    QCOMPARE(Form1b->DriveBox->currentText(), QStringLiteral("D:"));
    QCOMPARE(Form1b->InfoLabel->text(), QStringLiteral("Sectors - 32768"));
    QCOMPARE(Form1b->Edit1->text(), QStringLiteral("0"));
    QCOMPARE(Form1b->Edit2->text(), QStringLiteral("0"));
    QCOMPARE(Form1b->Button1->text(), QStringLiteral("Start"));
    QCOMPARE(Geometry().CurrentDrive, std::string("D:"));
    QVERIFY(!ExportBusy);

    // Another opening lists every drive once and starts afresh; fields that held other
    // numbers are reset, which runs the size label.
    ChooseDrive(0);
    QCOMPARE(Form1b->InfoLabel->text(), QStringLiteral("Sectors - 8192"));
    Form1b->Edit1->setText(QStringLiteral("4"));
    Form1b->Edit2->setText(QStringLiteral("10"));
    Form1b->close();
    QVERIFY(!Form1b->isVisible());
    Open();
    QCOMPARE(Form1b->DriveBox->count(), 2);
    QCOMPARE(Form1b->DriveBox->currentText(), QStringLiteral("D:"));
    QCOMPARE(Form1b->Edit1->text(), QStringLiteral("0"));
    QCOMPARE(Form1b->Edit2->text(), QStringLiteral("0"));
    QCOMPARE(Form1b->InfoLabel->text(), QStringLiteral("File size - 0 b"));
  }

  void oneDriveSelectsNothing() {
    platform_->RemoveDrive('D');
    Open();
    QCOMPARE(Form1b->DriveBox->count(), 1);
    QCOMPARE(Form1b->DriveBox->currentIndex(), -1);
    QCOMPARE(Form1b->InfoLabel->text(), QString());
    QCOMPARE(StartWithMessage(), QStringLiteral("Drive not found!"));

    platform_->RemoveDrive('C');
    Open();
    QCOMPARE(Form1b->DriveBox->count(), 0);
    QCOMPARE(StartWithMessage(), QStringLiteral("Drive not found!"));
  }

  void aDriveGoneSinceItWasChosenIsNotFound() {
    Open();
    platform_->RemoveDrive('D');
    QCOMPARE(StartWithMessage(), QStringLiteral("Drive not found!"));
  }

  void sizeLabelFollowsTheFields() {
    Open();
    struct Case {
      const char* start;
      const char* end;
      const char* label;
    };
    const Case cases[] = {
        {"0", "1", "File size - 512 b"},     {"0", "3", "File size - 2 Kb"},
        {"0", "5", "File size - 2 Kb"},      {"0", "7", "File size - 4 Kb"},
        {"0", "2048", "File size - 1 Mb"},   {"0", "32768", "File size - 16 Mb"},
        {"0", "32769", "File size - 0 b"},   {"0", "", "Sectors - 32768"},
        {"00", "", "File size - 0 b"},       {"10", "9", "File size - 0 b"},
    };
    for (const Case& c : cases) {
      Form1b->Edit1->setText(QString::fromLatin1(c.start));
      Form1b->Edit2->setText(QString::fromLatin1(c.end));
      QCOMPARE(Form1b->InfoLabel->text(), QString::fromLatin1(c.label));
    }
    // Typing runs it too.
    Form1b->Edit1->setText(QStringLiteral("0"));
    Form1b->Edit2->clear();
    QTest::keyClicks(Form1b->Edit2, QStringLiteral("3"));
    QCOMPARE(Form1b->InfoLabel->text(), QStringLiteral("File size - 2 Kb"));
  }

  void startChecksTheFieldsWithTheirMessages() {
    Open();
    struct Case {
      const char* start;
      const char* end;
      const char* message;
    };
    const Case cases[] = {
        {"0", "0", "Invalid end sector value!"},    {"00", "10", "Invalid start sector value!"},
        {"12abc", "20", "Invalid start sector value!"}, {"0", "32769", "Invalid end sector value!"},
        {"0", "", "Invalid end sector value!"},     {"11", "10", "Invalid sectors range!"},
    };
    bool asked = false;
    Form1b->FSaveDialog = [&asked](const QString&) {
      asked = true;
      return QString();
    };
    for (const Case& c : cases) {
      Form1b->Edit1->setText(QString::fromLatin1(c.start));
      Form1b->Edit2->setText(QString::fromLatin1(c.end));
      QCOMPARE(StartWithMessage(), QString::fromLatin1(c.message));
      // The dialog stays as it was: the message did not open it afresh.
      QCOMPARE(Form1b->Edit1->text(), QString::fromLatin1(c.start));
      QCOMPARE(Form1b->DriveBox->currentText(), QStringLiteral("D:"));
    }
    QVERIFY(!asked);

    // Blanks around the numbers are dropped from the fields; the save dialog is offered
    // the name of drive and range, and a cancel there ends quietly.
    ChooseDrive(0);
    Form1b->Edit1->setText(QStringLiteral("  5 "));
    Form1b->Edit2->setText(QStringLiteral(" 8192"));
    QString proposed;
    Form1b->FSaveDialog = [&proposed](const QString& name) {
      proposed = name;
      return QString();
    };
    Message message;
    Form1b->Button1->click();
    QCOMPARE(message.Count(), 0);
    QCOMPARE(proposed, QStringLiteral("Drive C sectors 5-8192.bin"));
    QCOMPARE(Form1b->Edit1->text(), QStringLiteral("5"));
    QCOMPARE(Form1b->Edit2->text(), QStringLiteral("8192"));
    QCOMPARE(Geometry().CurrentDrive, std::string("C:"));
  }

  void copiesTheRangeAndReportsTheFile() {
    Open();
    const QString path = File("drive d.bin");
    std::vector<size_t> copyReads;
    platform_->BeforeRead = [&copyReads](std::string_view, uint64_t, size_t length) {
      if (ExportBusy) copyReads.push_back(length);
      return true;
    };
    Form1b->Edit1->setText(QStringLiteral("100"));
    Form1b->Edit2->setText(QStringLiteral("32768"));  // up to the volume's last sector
    QCOMPARE(StartCopy(path), QStringLiteral("Data saved to file\r") + path);
    QVERIFY(ReadFile(path) == Bytes(fat16_, 100, 32768));
    QCOMPARE(copyReads, std::vector<size_t>{(32768 - 100) * 512});  // all in one read
    ExpectIdle();

    // An empty range makes an empty file.
    Form1b->Edit1->setText(QStringLiteral("5"));
    Form1b->Edit2->setText(QStringLiteral("5"));
    Question overwrite(true);
    QCOMPARE(StartCopy(path), QStringLiteral("Data saved to file\r") + path);
    QCOMPARE(overwrite.Text(), QStringLiteral("This file already exists. Overwrite?"));
    QCOMPARE(fs::file_size(path.toStdString()), 0u);
  }

  void copiesSectorBySectorWithEvenPercentages() {
    Open();
    FailWholeRangeReads();
    QStringList labels;
    platform_->BeforeRead = [&labels](std::string_view, uint64_t, size_t length) {
      if (length > 512) return false;
      if (ExportBusy) labels << Form1b->InfoLabel->text();  // not the boot sector's read
      return true;
    };
    // Sector 13 cannot be read: zeros in its place, the rest at their offsets.
    platform_->Find("D:")->UnreadableSectors = {13};
    Form1b->Edit1->setText(QStringLiteral("10"));
    Form1b->Edit2->setText(QStringLiteral("18"));
    const QString path = File("progress.bin");
    QCOMPARE(StartCopy(path), QStringLiteral("Data saved to file\r") + path);
    QCOMPARE(labels, (QStringList{"0%", "12%", "12%", "38%", "50%", "62%", "62%", "88%"}));
    std::vector<uint8_t> expected = Bytes(fat16_, 10, 18);
    std::fill_n(expected.begin() + 3 * 512, 512, uint8_t{0});
    QVERIFY(ReadFile(path) == expected);
    ExpectIdle();
  }

  void whileCopyingTheDialogLooksBusyAndCannotBeClosed() {
    Open();
    FailWholeRangeReads();
    // What the dialog looked like, and whether it was still open, while sector 50 was read.
    struct Seen {
      bool checked = false;
      bool busy = false;
      QString button1;
      bool button1Enabled = false;
      bool othersEnabled = true;
      bool closeEventAccepted = true;
      bool visibleAfterCloseAttempts = false;
    } seen;
    platform_->BeforeRead = [&seen](std::string_view, uint64_t position, size_t length) {
      if (length > 512) return false;
      if (position != 50 * 512) return true;
      seen.checked = true;
      seen.busy = ExportBusy;
      seen.button1 = Form1b->Button1->text();
      seen.button1Enabled = Form1b->Button1->isEnabled();
      seen.othersEnabled = Form1b->DriveBox->isEnabled() || Form1b->Edit1->isEnabled() ||
                           Form1b->Edit2->isEnabled() || Form1b->Button2->isEnabled();
      // The Close button's way, then the close box's and Alt+F4's (a close event), Escape.
      Form1b->close();
      QCloseEvent closeEvent;
      QApplication::sendEvent(Form1b, &closeEvent);
      seen.closeEventAccepted = closeEvent.isAccepted();
      QTest::keyClick(Form1b, Qt::Key_Escape);
      seen.visibleAfterCloseAttempts = Form1b->isVisible();
      return true;
    };
    Form1b->Edit2->setText(QStringLiteral("100"));
    const QString path = File("busy.bin");
    QCOMPARE(StartCopy(path), QStringLiteral("Data saved to file\r") + path);
    QVERIFY(seen.checked);
    QVERIFY(seen.busy);
    QCOMPARE(seen.button1, QStringLiteral("Stop"));
    QVERIFY(seen.button1Enabled);
    QVERIFY(!seen.othersEnabled);
    QVERIFY(!seen.closeEventAccepted);
    QVERIFY(seen.visibleAfterCloseAttempts);
    QVERIFY(Form1b->isVisible());
    QCOMPARE(fs::file_size(path.toStdString()), 100u * 512);

    // Idle again: the close event closes it.
    QCloseEvent closeEvent;
    QApplication::sendEvent(Form1b, &closeEvent);
    QVERIFY(!Form1b->isVisible());
  }

  void stopAnsweredNoGoesOn() {
    Open();
    FailWholeRangeReads();
    std::unique_ptr<Question> question;
    ClickStopAtSector(40, [&question] { question = std::make_unique<Question>(false); });
    Form1b->Edit1->setText(QStringLiteral("20"));
    Form1b->Edit2->setText(QStringLiteral("220"));
    const QString path = File("stop-no.bin");
    QCOMPARE(StartCopy(path), QStringLiteral("Data saved to file\r") + path);
    QVERIFY(question);
    QCOMPARE(question->Text(), QStringLiteral("Are you sure you want to cancel operation?"));
    QVERIFY(ReadFile(path) == Bytes(fat16_, 20, 220));
    ExpectIdle();
  }

  void stopAnsweredYesEndsBeforeTheNextSector() {
    Open();
    FailWholeRangeReads();
    std::unique_ptr<Question> question;
    ClickStopAtSector(40, [&question] { question = std::make_unique<Question>(true); });
    Form1b->Edit1->setText(QStringLiteral("$14"));  // 20
    Form1b->Edit2->setText(QStringLiteral("220"));
    const QString path = File("stop-yes.bin");
    QCOMPARE(StartCopy(path), QStringLiteral("Data saved to file\r") + path);
    QVERIFY(question);
    // Sectors 20 to 40 are in; the click was served before sector 41 was read.
    QVERIFY(ReadFile(path) == Bytes(fat16_, 20, 41));
    QCOMPARE(Form1b->Edit1->text(), QStringLiteral("$14"));
    QCOMPARE(Form1b->Edit2->text(), QStringLiteral("220"));
    ExpectIdle();
  }

  // The box below the buttons, off by default, adds the SHA-256 of the written file (Qt's
  // digest as the oracle) after the usual message: with one read, sector by sector over an
  // unreadable sector, and not at all after a stop. It stays ticked for the next opening.
  void theHashBoxAddsTheSha256OfTheWrittenFile() {
    Open();
    QVERIFY(!Form1b->HashBox->isChecked());
    QCOMPARE(Form1b->HashBox->text(), QStringLiteral("Add SHA-256 of the written bytes"));
    QVERIFY(Form1b->HashBox->geometry().top() >= Form1b->Button1->geometry().bottom());
    QCOMPARE(Form1b->Button1->geometry(), QRect(40, 152, 100, 28));
    QVERIFY(Form1b->rect().contains(Form1b->HashBox->geometry()));
    QCOMPARE(Form1b->size(), QSize(300, 200));
    Form1b->HashBox->setChecked(true);
    Open();
    QVERIFY(Form1b->HashBox->isChecked());

    const QString path = File("hashed.bin");
    Form1b->Edit1->setText(QStringLiteral("100"));
    Form1b->Edit2->setText(QStringLiteral("32768"));
    const QString oneRead = StartCopy(path);
    QCOMPARE(oneRead, QStringLiteral("Data saved to file\r") + path + QStringLiteral("\rSHA-256: ") + Sha256(path));

    FailWholeRangeReads();
    platform_->Find("D:")->UnreadableSectors = {13};
    Form1b->Edit1->setText(QStringLiteral("10"));
    Form1b->Edit2->setText(QStringLiteral("3000"));
    const QString zeros = File("hashed-zeros.bin");
    const QString bySector = StartCopy(zeros);
    QCOMPARE(bySector, QStringLiteral("Data saved to file\r") + zeros + QStringLiteral("\rSHA-256: ") + Sha256(zeros));
    QCOMPARE(ReadFile(zeros).size(), size_t{2990} * 512);

    std::unique_ptr<Question> question;
    ClickStopAtSector(40, [&question] { question = std::make_unique<Question>(true); });
    const QString stopped = File("hashed-stopped.bin");
    QCOMPARE(StartCopy(stopped), QStringLiteral("Data saved to file\r") + stopped +
                                     QStringLiteral("\rNo SHA-256: the copy was stopped"));
    ExpectIdle();
  }

  void overwriteAnsweredNoLeavesTheFileUntouched() {
    Open();
    const QString path = File("existing.bin");
    std::ofstream(path.toStdString()) << "old contents";
    Form1b->Edit2->setText(QStringLiteral("4"));
    Question no(false);
    Message message;
    Form1b->FSaveDialog = [&path](const QString&) { return path; };
    Form1b->Button1->click();
    QCOMPARE(no.Count(), 1);
    QCOMPARE(message.Count(), 0);
    QCOMPARE(ReadFile(path).size(), size_t{12});
    ExpectIdle();
  }

  void refusesBadFileNamesAndTheDrivesOwnSource() {
    Open();
    Form1b->Edit2->setText(QStringLiteral("4"));
    QCOMPARE(StartCopy(File("no such folder/x.bin")), QStringLiteral("Invalid file name!"));
    QVERIFY(!fs::exists(File("no such folder").toStdString()));

    const QString image = File("d.img");
    std::ofstream(image.toStdString()) << "the volume";
    platform_->Find("D:")->Source = image.toStdString();
    Question yes(true);
    QCOMPARE(StartCopy(image), QStringLiteral("Invalid file name!"));
    QCOMPARE(yes.Count(), 1);
    QCOMPARE(ReadFile(image).size(), size_t{10});
    ExpectIdle();
  }

  void aFullDiskIsReportedAndTheDialogComesBackIdle() {
    Open();
    Form1b->Edit2->setText(QStringLiteral("64"));
    Question yes(true);
    QCOMPARE(StartCopy(QStringLiteral("/dev/full")), QStringLiteral("Error writing file\r/dev/full"));
    ExpectIdle();
    Form1b->Button2->click();
    QVERIFY(!Form1b->isVisible());
  }

  void theMainWindowTakesItsDriveBackAfterwards() {
    Form1a->show();
    QVERIFY(QTest::qWaitFor([] { return Form1a->Activated(); }, 5000));
    QCOMPARE(Form1a->DriveBox->currentText(), QStringLiteral("D:"));
    Answer<TForm1b> inDialog([](TForm1b* dialog) {
      dialog->DriveBox->setCurrentIndex(0);
      emit dialog->DriveBox->activated(0);
      QCOMPARE(Geometry().CurrentDrive, std::string("C:"));
      dialog->Button2->click();
    });
    Form1a->Button2->click();
    QCOMPARE(inDialog.Count(), 1);
    QCOMPARE(Geometry().CurrentDrive, std::string("D:"));
    QCOMPARE(Geometry().TotalSectors, kFat16Sectors);
  }

 private:
  void AddDrive(char letter, const std::vector<uint8_t>& bytes) {
    MemoryPlatform::Drive& drive = platform_->AddDrive(letter, bytes);
    drive.FileSystemName = "FAT";
  }

  // Shows the dialog as a new opening.
  void Open() {
    if (Form1b->isVisible()) Form1b->hide();
    Form1b->show();
    QVERIFY(QTest::qWaitForWindowExposed(Form1b));
  }

  void ChooseDrive(int index) {
    Form1b->DriveBox->setCurrentIndex(index);
    emit Form1b->DriveBox->activated(index);
  }

  // Presses Start and answers the one message that follows; returns its text.
  QString StartWithMessage() {
    Message message;
    Form1b->Button1->click();
    return message.Count() == 1 ? message.Text() : QStringLiteral("(no message)");
  }

  // Presses Start with `path` chosen in the save dialog; returns the final message.
  QString StartCopy(const QString& path) {
    Form1b->FSaveDialog = [path](const QString&) { return path; };
    return StartWithMessage();
  }

  // The one read of a whole range fails, so that every copy goes sector by sector.
  void FailWholeRangeReads() {
    platform_->BeforeRead = [](std::string_view, uint64_t, size_t length) { return length <= 512; };
  }

  // Clicks Stop while sector `sector` is read; the click is served in the next pump.
  void ClickStopAtSector(uint64_t sector, std::function<void()> prepareAnswer) {
    platform_->BeforeRead = [sector, prepareAnswer](std::string_view, uint64_t position, size_t length) {
      if (length > 512) return false;
      if (position == sector * 512) {
        QTimer::singleShot(0, [prepareAnswer] {
          prepareAnswer();
          Form1b->Button1->click();
        });
      }
      return true;
    };
  }

  void ExpectIdle() {
    QVERIFY(!ExportBusy);
    QVERIFY(!Form1b->Copying());
    QCOMPARE(Form1b->Button1->text(), QStringLiteral("Start"));
    QVERIFY(Form1b->DriveBox->isEnabled());
    QVERIFY(Form1b->Edit1->isEnabled());
    QVERIFY(Form1b->Edit2->isEnabled());
    QVERIFY(Form1b->Button2->isEnabled());
    QVERIFY(Form1b->isVisible());
  }

  static std::vector<uint8_t> Bytes(const std::vector<uint8_t>& image, uint32_t start, uint32_t end) {
    return std::vector<uint8_t>(image.begin() + static_cast<std::ptrdiff_t>(start) * 512,
                                image.begin() + static_cast<std::ptrdiff_t>(end) * 512);
  }

  QString File(const QString& name) const { return dir_.filePath(name); }

  static QString Sha256(const QString& path) {
    const std::vector<uint8_t> bytes = ReadFile(path);
    return QString::fromLatin1(QCryptographicHash::hash(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())),
                                                        QCryptographicHash::Sha256)
                                   .toHex());
  }

  QTemporaryDir dir_;
  std::unique_ptr<MemoryPlatform> platform_;
  std::vector<uint8_t> fat12_;
  std::vector<uint8_t> fat16_;
};

QTEST_MAIN(ExportDialogTest)
#include "form1b_test.moc"
