#include "app/Unit4a.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QShowEvent>
#include <algorithm>
#include <utility>
#include <vector>

#include "app/Look.h"
#include "app/ShownSector.h"
#include "app/Unit2a.h"
#include "core/text/SectorField.h"
#include "core/volume/VolumeGeometry.h"

TForm4a* Form4a = nullptr;

namespace {

constexpr qint64 kShowAfterMs = 300;

QString Number(uint64_t value) { return QString::number(value); }

QString UnreadableNote(uint64_t sectors) {
  return sectors == 1 ? QStringLiteral("1 unreadable sector was not searched")
                      : Number(sectors) + QStringLiteral(" unreadable sectors were not searched");
}

}  // namespace

TForm4a::TForm4a(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  korvalane::UseDialogFrame(this);

  connect(KindBox, &QComboBox::currentIndexChanged, this, &TForm4a::KindBoxChange);
  connect(AlignedBox, &QCheckBox::toggled, this, &TForm4a::KindBoxChange);
  connect(Button1, &QPushButton::clicked, this, &TForm4a::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm4a::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm4a::Button3Click);
  KindBoxChange();
}

void TForm4a::ActivateForm() {
  korvalane::CentreOnMainWindow(this);
  if (!searching_) InfoLabel->clear();
  Edit1->setFocus(Qt::OtherFocusReason);
  Edit1->selectAll();
}

void TForm4a::OpenFind() {
  if (!isVisible()) {
    show();
  } else {
    raise();
    Edit1->setFocus(Qt::OtherFocusReason);
    Edit1->selectAll();
  }
  activateWindow();
}

void TForm4a::KindBoxChange() {
  // A ready-made search brings its own bytes and offsets.
  const bool preset = KindBox->currentIndex() >= NextFileRecord;
  const bool idle = !searching_;
  Edit1->setEnabled(idle && !preset);
  KindBox->setEnabled(idle);
  IgnoreCaseBox->setEnabled(idle && !preset);
  AlignedBox->setEnabled(idle && !preset);
  Edit2->setEnabled(idle && !preset && AlignedBox->isChecked());
  CheckDirection1->setEnabled(idle);
  CheckDirection2->setEnabled(idle);
}

void TForm4a::Button1Click() { Search(CheckDirection2->isChecked()); }

void TForm4a::Button2Click() { StopSearch(); }

void TForm4a::Button3Click() { close(); }

void TForm4a::FindAgain(bool backward) {
  if (KindBox->currentIndex() < NextFileRecord && Edit1->text().isEmpty()) {
    OpenFind();
    return;
  }
  Search(backward);
}

void TForm4a::StopSearch() { stopRequested_ = searching_; }

std::optional<korvalane::SearchPattern> TForm4a::PatternOfFields() {
  using namespace korvalane;
  switch (KindBox->currentIndex()) {
    case NextFileRecord:
      return PresetPattern(SearchPreset::FileRecord);
    case NextDirectoryCluster:
      return PresetPattern(SearchPreset::DirectoryCluster);
    case NextDirectoryBlock:
      return PresetPattern(SearchPreset::DirectoryBlock);
    default:
      break;
  }
  static const char* const kPrefixes[] = {"hex:", "text:", "utf16:"};
  const int kind = std::clamp(KindBox->currentIndex(), 0, 2);
  std::string error;
  std::optional<SearchPattern> pattern =
      ParseSearchPattern(std::string(kPrefixes[kind]) + Edit1->text().toStdString(), error);
  if (!pattern) {
    ShowInformation(Sentence(error));
    return std::nullopt;
  }
  pattern->IgnoreCase = IgnoreCaseBox->isChecked();
  if (AlignedBox->isChecked()) {
    const std::optional<uint64_t> offset = ParseSectorIndex(Edit2->text().toStdU16String());
    if (!offset || *offset > UINT32_MAX) {
      ShowInformation(QStringLiteral("The offset in the sector is not a number: ") + Edit2->text());
      return std::nullopt;
    }
    pattern->AlignedOffset = static_cast<uint32_t>(*offset);
  }
  return pattern;
}

std::optional<uint64_t> TForm4a::StartByte(bool backward, uint64_t sectors, uint32_t sectorBytes) {
  using korvalane::ShowInformation;
  const QString field = korvalane::ShownSector::Instance().Field();
  const std::optional<uint64_t> sector = korvalane::ParseSectorIndex(field.toStdU16String());
  if (!sector) {
    ShowInformation(QStringLiteral("The sector field does not name a sector: ") + field);
    return std::nullopt;
  }
  if (last_ && last_->Drive == korvalane::Geometry().CurrentDrive && last_->Byte / sectorBytes == *sector) {
    // From the match shown: forward past its first byte, backward from before it.
    return backward ? last_->Byte : last_->Byte + 1;
  }
  if (sectors == 0) {
    ShowInformation(QStringLiteral("The drive has no sectors to search"));
    return std::nullopt;
  }
  if (*sector >= sectors) {
    ShowInformation(QStringLiteral("Sector ") + Number(*sector) + QStringLiteral(" is beyond the drive's last sector, ") +
                    Number(sectors - 1));
    return std::nullopt;
  }
  // Backward from a sector searches that sector too.
  return (backward ? *sector + 1 : *sector) * sectorBytes;
}

void TForm4a::Search(bool backward) {
  using namespace korvalane;
  // One search at a time: F3 pressed again while one runs waits for it.
  if (searching_) return;
  std::optional<SearchPattern> pattern = PatternOfFields();
  if (!pattern) return;
  const int32_t bytesPerSector = Geometry().BytesPerSector;
  const std::string fits = CheckPatternFits(*pattern, bytesPerSector > 0 ? static_cast<uint32_t>(bytesPerSector) : 0);
  if (!fits.empty()) {
    ShowInformation(Sentence(fits));
    return;
  }
  const auto sectorBytes = static_cast<uint32_t>(bytesPerSector);
  const uint64_t sectors = SearchableSectors();
  const std::optional<uint64_t> from = StartByte(backward, sectors, sectorBytes);
  if (!from) return;

  SearchRequest request;
  request.Pattern = *pattern;
  request.Backward = backward;
  request.FromByte = *from;

  const std::string drive = Geometry().CurrentDrive;
  int shown = -1;
  QElapsedTimer clock;
  clock.start();
  SearchHooks hooks;
  hooks.Progress = [&](double done) {
    // F3 searches with the dialog closed; one that takes its time brings the dialog up,
    // with its progress and its Stop button.
    if (!isVisible() && clock.elapsed() >= kShowAfterMs) show();
    const int percent = static_cast<int>(done * 100);
    if (percent != shown) {
      shown = percent;
      InfoLabel->setText(QStringLiteral("Searching: ") + QString::number(percent) + QLatin1Char('%'));
    }
    QCoreApplication::processEvents();
    // Another drive chosen in the main window meanwhile ends the search: its answer would
    // belong to a drive no longer shown.
    return !stopRequested_ && Geometry().CurrentDrive == drive;
  };

  searching_ = true;
  stopRequested_ = false;
  SetBusyLook(true);
  const SearchOutcome outcome = SearchDrive(request, sectors, hooks);
  searching_ = false;
  stopRequested_ = false;
  SetBusyLook(false);

  // Sectors passed over are never lost silently: the result says how many there were.
  const auto noting = [&outcome](QString text, QChar lineBreak) {
    if (outcome.UnreadableSectors != 0) text += lineBreak + UnreadableNote(outcome.UnreadableSectors);
    return text;
  };
  if (outcome.Stopped) {
    InfoLabel->setText(noting(QStringLiteral("Stopped at ") + QString::number(std::max(shown, 0)) + QLatin1Char('%'), u'\n'));
    return;
  }
  if (outcome.Matches.empty()) {
    InfoLabel->setText(noting(QStringLiteral("Not found"), u'\n'));
    ShowInformation(noting(QStringLiteral("Not found"), u'\r'));
    return;
  }
  const SearchMatch& match = outcome.Matches.front();
  InfoLabel->setText(noting(QStringLiteral("Found at sector %1, offset %2").arg(match.Sector).arg(match.Offset), u'\n'));
  ShowMatch(match, *pattern, sectorBytes);
}

void TForm4a::ShowMatch(const korvalane::SearchMatch& match, const korvalane::SearchPattern& pattern,
                        uint32_t sectorBytes) {
  last_ = LastMatch{korvalane::Geometry().CurrentDrive, match.Sector * sectorBytes + match.Offset};
  // The matched bytes; the window marks those of the shown sector, so a match that runs
  // on into the next sector shows its first part.
  std::vector<std::pair<uint32_t, uint32_t>> bytes;
  if (!pattern.SectorFields.empty()) {
    for (const auto& field : pattern.SectorFields) bytes.emplace_back(field.first, 1);
  } else {
    bytes.emplace_back(match.Offset, static_cast<uint32_t>(pattern.Length()));
  }
  emit korvalane::ShownSector::Instance().MarkRequested(match.Sector, bytes);
}

void TForm4a::SetBusyLook(bool busy) {
  Button1->setEnabled(!busy);
  Button2->setEnabled(busy);
  KindBoxChange();
  if (busy) {
    Button2->setFocus(Qt::OtherFocusReason);
  } else if (isVisible()) {
    Button1->setFocus(Qt::OtherFocusReason);
  }
}

void TForm4a::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // A spontaneous show is the window coming back from the task bar.
  if (event->spontaneous()) return;
  ActivateForm();
}

void TForm4a::closeEvent(QCloseEvent* event) {
  // A search goes on only while someone is there to see where it ends.
  StopSearch();
  QDialog::closeEvent(event);
}

void TForm4a::keyPressEvent(QKeyEvent* event) {
  // Escape stops a running search first, and closes the dialog when none runs.
  if (event->key() == Qt::Key_Escape && searching_) {
    StopSearch();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}
