#include "app/Unit1b.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QKeyEvent>
#include <QShowEvent>
#include <filesystem>
#include <optional>
#include <string>

#include "app/Look.h"
#include "app/Unit2a.h"
#include "app/Unit2b.h"
#include "core/Platform.h"
#include "core/export/ExportRange.h"
#include "core/export/SectorCopy.h"
#include "core/hash/Digest.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

TForm1b* Form1b = nullptr;

namespace {

constexpr int kDriveLetters = 26;

QString ToQString(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

std::u16string ToU16(const QString& text) { return text.toStdU16String(); }

// A path as the file system names it: UTF-16 on Windows (so that any name works), the
// local 8-bit encoding elsewhere.
std::filesystem::path ToPath(const QString& name) {
#ifdef _WIN32
  return std::filesystem::path(name.toStdWString());
#else
  return std::filesystem::path(QFile::encodeName(name).toStdString());
#endif
}

// The drive the dialog works on: the first two characters of the list's text ("D:").
std::string DriveOf(const QString& text) { return text.left(2).toStdString(); }

}  // namespace

TForm1b::TForm1b(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  korvalane::UseDialogFrame(this);
  // Only the drive box shows a tooltip; the start field's hint stays unseen.
  Edit1->setToolTip(QString());
  // The digest box sits in the strip below the buttons, within the dialog's 300 x 200;
  // a build without a digest library does not show it.
  if (!korvalane::DigestsAvailable()) HashBox->hide();

  connect(DriveBox, &QComboBox::activated, this, &TForm1b::DriveBoxChange);
  connect(Edit1, &QLineEdit::textChanged, this, &TForm1b::EditChange);
  connect(Edit2, &QLineEdit::textChanged, this, &TForm1b::EditChange);
  connect(Button1, &QPushButton::clicked, this, &TForm1b::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1b::Button2Click);

  FSaveDialog = [this](const QString& proposedName) { return ChooseFile(proposedName); };
}

QString TForm1b::ChooseFile(const QString& proposedName) {
  QFileDialog dialog(this);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QStringLiteral("Bin (*.bin)"), QStringLiteral("All files (*.*)")});
  dialog.setDefaultSuffix(QStringLiteral("bin"));
  // The dialog asks its own question about an existing file, with its own words.
  dialog.setOption(QFileDialog::DontConfirmOverwrite);
  dialog.selectFile(proposedName);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return QString();
  return dialog.selectedFiles().first();
}

void TForm1b::ActivateForm() {
  DriveBox->clear();
  const uint32_t mask = korvalane::CurrentPlatform().LogicalDrives();
  for (int i = 0; i < kDriveLetters; ++i) {
    if ((mask >> i & 1u) != 0) DriveBox->addItem(QString(QChar(u'A' + i)) + QLatin1Char(':'));
  }
  const int own = OpenOnDrive.isEmpty() ? -1 : DriveBox->findText(OpenOnDrive);
  if (own >= 0) {
    DriveBox->setCurrentIndex(own);
    DriveBoxChange();
  } else if (DriveBox->count() >= 2) {
    DriveBox->setCurrentIndex(1);
    DriveBoxChange();
  } else {
    DriveBox->setCurrentIndex(-1);
  }
  // Setting a text runs EditChange only when it differs from the current one.
  Edit1->setText(QStringLiteral("0"));
  Edit2->setText(QStringLiteral("0"));
  korvalane::ExportBusy = false;
}

void TForm1b::DriveBoxChange() {
  // As in the main window: a disk only an administrator may read is asked for when chosen.
  korvalane::CurrentPlatform().AuthorizeDrive(DriveOf(DriveBox->currentText()));
  korvalane::SelectDrive(DriveOf(DriveBox->currentText()));
  InfoLabel->setText(ToQString(korvalane::SectorCountLabel(korvalane::Geometry().TotalSectors)));
}

void TForm1b::EditChange() {
  const korvalane::VolumeGeometry& g = korvalane::Geometry();
  InfoLabel->setText(
      ToQString(korvalane::ExportSizeLabel(ToU16(Edit1->text()), ToU16(Edit2->text()), g.TotalSectors, g.BytesPerSector)));
}

void TForm1b::Button1Click() {
  if (korvalane::ExportBusy) {
    StopCopy();
  } else if (!copying_) {
    StartCopy();
  }
}

void TForm1b::StopCopy() {
  // Runs inside the copy's pump; the copy waits here until the question is answered.
  if (Ask(ToQString(korvalane::kStopQuestion))) korvalane::ExportBusy = false;
}

void TForm1b::StartCopy() {
  using namespace korvalane;
  if (DriveBox->count() == 0) {
    ShowMessage(ToQString(kDriveNotFound));
    return;
  }
  // The volume may have changed since it was chosen: detect it again.
  const std::string drive = DriveOf(DriveBox->currentText());
  SelectDrive(drive);
  if (drive.empty() || !CurrentPlatform().IsDriveAccessible(drive)) {
    ShowMessage(ToQString(kDriveNotFound));
    return;
  }

  Edit1->setText(ToQString(TrimBlanks(ToU16(Edit1->text()))));
  Edit2->setText(ToQString(TrimBlanks(ToU16(Edit2->text()))));
  const RangeCheck check = CheckSectorRange(ToU16(Edit1->text()), ToU16(Edit2->text()), Geometry().TotalSectors);
  if (!check.Range) {
    ShowMessage(ToQString(check.Message));
    return;
  }
  const SectorRange range = *check.Range;

  const QString fileName = FSaveDialog ? FSaveDialog(ToQString(ProposeExportFileName(drive, range))) : QString();
  if (fileName.isEmpty()) return;
  if (QFileInfo::exists(fileName) && !Ask(ToQString(kOverwriteQuestion))) return;

  const std::filesystem::path path = ToPath(fileName);
  ExportFile file;
  // An image exported into itself would be overwritten while it is read.
  if (IsDriveSource(path, drive) || !file.Create(path)) {
    ShowMessage(ToQString(kInvalidFileName));
    return;
  }

  SetBusyLook(true);
  InfoLabel->setText(ToQString(kPleaseWait));
  repaint();
  QCoreApplication::processEvents();
  ExportBusy = true;

  CopyHooks hooks;
  // Hashed while written, so that the digest is of the file's very bytes and costs no
  // second read of the volume or the file.
  std::optional<Digest> written256;
  if (DigestsAvailable() && HashBox->isChecked()) {
    written256.emplace(DigestKind::Sha256);
    hooks.Digests = {&*written256};
  }
  hooks.Pump = [] { QCoreApplication::processEvents(); };
  hooks.ShowPercent = [this](int32_t percent) { InfoLabel->setText(QString::number(percent) + QLatin1Char('%')); };
  const CopyOutcome outcome = CopySectorRange(range, file, hooks);
  const bool written = file.Close() && outcome.End != CopyEnd::WriteFailed;

  ExportBusy = false;
  SetBusyLook(false);
  InfoLabel->setText(QString());
  QString message = ToQString(written ? kDataSaved : kErrorWriting) + fileName;
  if (written256 && written) {
    // A stopped copy's file lacks the end of the range: its digest would pass for the
    // range's.
    message += outcome.End == CopyEnd::Complete ? QStringLiteral("\rSHA-256: ") + QString::fromStdString(written256->Hex())
                                                : QStringLiteral("\rNo SHA-256: the copy was stopped");
  }
  ShowMessage(message);
}

void TForm1b::SetBusyLook(bool busy) {
  copying_ = busy;
  DriveBox->setEnabled(!busy);
  Edit1->setEnabled(!busy);
  Edit2->setEnabled(!busy);
  Button2->setEnabled(!busy);
  Button1->setText(busy ? QStringLiteral("Stop") : QStringLiteral("Start"));
}

void TForm1b::Button2Click() { close(); }

bool TForm1b::CloseForm() {
  // A confirmed Stop clears the flag a moment before the copy has ended: the dialog stays
  // until the copy has closed its file.
  return !korvalane::ExportBusy && !copying_;
}

void TForm1b::ShowMessage(const QString& text) {
  Form2a->InfoLabel->setText(text);
  Form2a->exec();
}

bool TForm1b::Ask(const QString& question) {
  Form2b->InfoLabel->setText(question);
  Form2b->exec();
  return Form2b->Choice == 1;
}

void TForm1b::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // A spontaneous show is the window coming back from the task bar; a message closing
  // over it shows nothing at all. Only a new opening starts afresh.
  if (event->spontaneous()) return;
  korvalane::CentreOnMainWindow(this);
  ActivateForm();
}

void TForm1b::closeEvent(QCloseEvent* event) {
  // The Close button, the title bar's close box and Alt+F4 all arrive here.
  if (CloseForm()) {
    QDialog::closeEvent(event);
  } else {
    event->ignore();
  }
}

void TForm1b::keyPressEvent(QKeyEvent* event) {
  // No button is the cancel button: Escape leaves the dialog open.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TForm1b::reject() {
  if (CloseForm()) QDialog::reject();
}
