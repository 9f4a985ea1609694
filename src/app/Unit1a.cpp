#include "app/Unit1a.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScreen>
#include <QSignalBlocker>
#include <QStringEncoder>
#include <QTimer>
#include <QWindow>
#include <string>

#include "app/ApplicationEvents.h"
#include "app/Look.h"
#include "app/SingleInstance.h"
#include "app/Unit1b.h"
#include "app/Unit2a.h"
#include "app/Unit3.h"
#include "core/Platform.h"
#include "core/views/Details.h"
#include "core/volume/DriveSelection.h"

TForm1a* Form1a = nullptr;

namespace {

constexpr int kDriveLetters = 26;

QString ToQString(const std::u16string& text) { return QString::fromStdU16String(text); }

// The text area takes a line break, a paragraph break and its own frame markers inside a
// line as structure. A name read from a hostile volume may hold them: shown as U+FFFD,
// each line of the view text stays one line on screen.
void AppendShowable(QString& out, const std::u16string& line) {
  const qsizetype start = out.size();
  out += QString::fromStdU16String(line);
  for (qsizetype i = start; i < out.size(); ++i) {
    const char16_t c = out[i].unicode();
    if (c == u'\n' || c == u'\r' || c == 0x2028 || c == 0x2029 || c == 0xFDD0 || c == 0xFDD1 || c == 0xFFFC) {
      out[i] = QChar(QChar::ReplacementCharacter);
    }
  }
}

}  // namespace

TForm1a::TForm1a(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
  setFont(korvalane::FormFont());
  QFont programFont = korvalane::FormFont();
  programFont.setFamilies({QStringLiteral("Segoe UI Black"), QStringLiteral("Segoe UI"), QStringLiteral("DejaVu Sans")});
  programFont.setPixelSize(19);
  programFont.setWeight(QFont::Black);
  ProgramLabel->setFont(programFont);
  InfoList->setFont(korvalane::ViewFont());
  for (QLabel* label : std::initializer_list<QLabel*>{Label1a, Label2a, Label3a, Label1b, Label2b, Label3b}) {
    QFont small = label->font();
    small.setPixelSize(12);
    label->setFont(small);
  }
  // Link labels take the width of their caption, whatever the font.
  for (QLabel* link : std::initializer_list<QLabel*>{DetailLabel, Label1a, Label2a, Label3a}) link->adjustSize();
  DriveBox->setFocus(Qt::OtherFocusReason);

  connect(DriveBox, &QComboBox::activated, this, &TForm1a::DriveBoxChange);
  connect(SectorEdit, &QLineEdit::textChanged, this, &TForm1a::SectorEditChange);
  connect(SectorButtonLeft, &QPushButton::clicked, this, &TForm1a::SectorButtonLeftClick);
  connect(SectorButtonRight, &QPushButton::clicked, this, &TForm1a::SectorButtonRightClick);
  connect(DetailLabel, &korvalane::LinkLabel::clicked, this, &TForm1a::DetailLabelClick);
  for (QRadioButton* view : {CheckView1, CheckView2, CheckView3}) {
    connect(view, &QRadioButton::toggled, this, [this](bool checked) {
      if (checked) SectorEditChange();
    });
  }
  connect(Button1, &QPushButton::clicked, this, &TForm1a::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm1a::Button2Click);
  connect(Button3, &QPushButton::clicked, this, &TForm1a::Button3Click);
  connect(Button4, &QPushButton::clicked, this, &TForm1a::Button4Click);
  connect(Label1a, &korvalane::LinkLabel::clicked, this, &TForm1a::Label1aClick);
  connect(Label2a, &korvalane::LinkLabel::clicked, this, &TForm1a::Label2aClick);
  connect(Label3a, &korvalane::LinkLabel::clicked, this, &TForm1a::Label3aClick);

  CreateForm();
}

TForm1a::~TForm1a() {
  // The hook calls into this window: it goes first, before the window is half gone and
  // its children's last events still pass the application.
  delete ApplicationEvents1;
  ApplicationEvents1 = nullptr;
}

void TForm1a::CreateForm() {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.left() + (area.width() - width()) / 2, area.top() + (area.height() - height()) / 2);
  }

  wakeUpMessage_ = korvalane::RegisterWakeUpMessage();
  ApplicationEvents1 = new korvalane::ApplicationEvents(this);
  ApplicationEvents1->OnMessage = [this](QEvent* event) { EventMessage(event); };
  wakeUpServer_ = new korvalane::WakeUpServer(this);
  wakeUpServer_->Listen(korvalane::InstanceSocketName());

  const uint32_t mask = korvalane::CurrentPlatform().LogicalDrives();
  for (int i = 0; i < kDriveLetters; ++i) {
    if ((mask >> i & 1u) == 0) continue;
    const std::string drive = std::string(1, static_cast<char>('A' + i)) + ':';
    DriveBox->addItem(QString::fromStdString(drive));
    // The tooltip says what the drive is (the source; for a partition which one) and,
    // when it cannot be read, why.
    QString tip = QString::fromStdString(korvalane::CurrentPlatform().DriveDescription(drive));
    const std::string why = korvalane::CurrentPlatform().OpenError(drive);
    if (!why.empty()) tip += QStringLiteral("\nCannot open: ") + QString::fromStdString(why);
    if (!tip.isEmpty()) DriveBox->setItemData(DriveBox->count() - 1, tip, Qt::ToolTipRole);
  }
  // The list selects nothing until the window is activated.
  DriveBox->setCurrentIndex(-1);
}

void TForm1a::ActivateForm() {
  if (activated_) return;
  activated_ = true;
  DriveBox->setCurrentIndex(DriveBox->count() >= 2 ? 1 : -1);
  DriveBoxChange();
  SectorEditChange();
}

void TForm1a::DriveBoxChange() {
  InfoLabel->setText(ToQString(korvalane::SelectDriveAndDescribe(DriveText())));
  {
    // The explicit redraw below is the one that counts; the field's own change signal
    // would only draw the same sector once more.
    const QSignalBlocker quiet(SectorEdit);
    SectorEdit->setText(QStringLiteral("0"));
  }
  SectorEditChange();
}

void TForm1a::SectorEditChange() {
  const uint64_t generation = ClearView();
  korvalane::ViewText lines;
  korvalane::ShowSector(SectorEdit->text().toStdU16String(), SelectedView(), lines, PumpFor(generation));
  FinishRedraw(generation, std::move(lines));
}

void TForm1a::SectorButtonLeftClick() {
  const uint64_t generation = ClearView();
  if (const auto previous = korvalane::StepSector(SectorEdit->text().toStdU16String(), -1)) {
    SectorEdit->setText(ToQString(*previous));
  }
  // A refused step (at 0, at TotalSectors, or on a field that is not a sector) leaves the
  // view empty; an accepted one has been drawn by the field's change handler.
  FinishRedraw(generation, {});
}

void TForm1a::SectorButtonRightClick() {
  const uint64_t generation = ClearView();
  if (const auto next = korvalane::StepSector(SectorEdit->text().toStdU16String(), +1)) {
    SectorEdit->setText(ToQString(*next));
  }
  // A refused step (at 0, at TotalSectors, or on a field that is not a sector) leaves the
  // view empty; an accepted one has been drawn by the field's change handler.
  FinishRedraw(generation, {});
}

void TForm1a::DetailLabelClick() {
  const uint64_t generation = ClearView();
  korvalane::ViewText lines;
  korvalane::ReportVolumeDetails(lines, PumpFor(generation));
  FinishRedraw(generation, std::move(lines));
}

void TForm1a::Button1Click() {
  if (view_.empty()) return;
  const QString name = ToQString(korvalane::SavedTextFileName(view_, DriveText(), SectorEdit->text().toStdU16String()));

  // Lines end in CR LF and are written in the system's 8-bit code page (the locale's
  // encoding where there is no such thing), without a byte-order mark.
  QStringEncoder encoder(QStringEncoder::System);
  QByteArray bytes;
  for (const std::u16string& line : view_) {
    bytes += encoder.encode(QString::fromStdU16String(line));
    bytes += "\r\n";
  }
  QFile file(name);
  const bool saved = file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
                     file.flush();
  if (!saved) {
    QMessageBox::critical(this, windowTitle(),
                          QStringLiteral("Cannot create file \"%1\". %2")
                              .arg(QDir::toNativeSeparators(QDir::current().absoluteFilePath(name)), file.errorString()));
    return;
  }
  file.close();
  Form2a->InfoLabel->setText(QStringLiteral("Information saved to file\r") + name);
  Form2a->exec();
}

void TForm1a::Button2Click() {
  Form1b->exec();
  // The dialog chose drives of its own; the shared record must describe this window's
  // drive again. The sector field, the label and the view stay as they are.
  korvalane::SelectDrive(DriveText());
}

void TForm1a::Button3Click() { close(); }

void TForm1a::Button4Click() {
  TForm3 about(this);
  about.exec();
}

void TForm1a::Label1aClick() { korvalane::CurrentPlatform().OpenLink(kSiblingPages[0]); }
void TForm1a::Label2aClick() { korvalane::CurrentPlatform().OpenLink(kSiblingPages[1]); }
void TForm1a::Label3aClick() { korvalane::CurrentPlatform().OpenLink(kSiblingPages[2]); }

void TForm1a::EventMessage(QEvent* event) {
  if (event->type() != wakeUpMessage_) return;
  if (static_cast<korvalane::WakeUpEvent*>(event)->WParam != korvalane::kWakeUpWord) return;
  RaiseApplication();
}

void TForm1a::RaiseApplication() {
  for (QWidget* window : QApplication::topLevelWidgets()) {
    if (window->isVisible() && window->isMinimized()) {
      window->setWindowState(window->windowState() & ~Qt::WindowMinimized);
      window->show();
    }
  }
  // The topmost enabled, visible window: an open modal dialog stays above the main window.
  QWidget* target = QApplication::activeModalWidget();
  if (target == nullptr || !target->isVisible() || !target->isEnabled()) target = this;
  target->raise();
  target->activateWindow();
}

void TForm1a::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (shown_) return;
  shown_ = true;
  // The start-up steps run once, when the window has come up and the loop takes over.
  QTimer::singleShot(0, this, &TForm1a::ActivateForm);
}

void TForm1a::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

uint64_t TForm1a::ClearView() {
  view_.clear();
  return ++redrawGeneration_;
}

korvalane::MessagePump TForm1a::PumpFor(uint64_t generation) {
  return [this, generation] {
    if (generation != redrawGeneration_) return false;
    QCoreApplication::processEvents();
    return generation == redrawGeneration_;
  };
}

void TForm1a::FinishRedraw(uint64_t generation, korvalane::ViewText lines) {
  if (generation != redrawGeneration_) return;
  view_ = std::move(lines);
  QString text;
  size_t length = 0;
  for (const std::u16string& line : view_) length += line.size() + 1;
  text.reserve(static_cast<qsizetype>(length));
  for (size_t i = 0; i < view_.size(); ++i) {
    if (i != 0) text += QLatin1Char('\n');
    AppendShowable(text, view_[i]);
  }
  InfoList->setPlainText(text);
}

korvalane::ViewKind TForm1a::SelectedView() const {
  if (CheckView2->isChecked()) return korvalane::ViewKind::Hex;
  if (CheckView3->isChecked()) return korvalane::ViewKind::FileRecord;
  return korvalane::ViewKind::Text;
}

std::string TForm1a::DriveText() const { return DriveBox->currentText().toStdString(); }
