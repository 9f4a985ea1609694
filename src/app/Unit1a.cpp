#include "app/Unit1a.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QScreen>
#include <QSignalBlocker>
#include <QStringEncoder>
#include <QTextBlock>
#include <QTimer>
#include <QUrl>
#include <QWindow>
#include <memory>
#include <string>
#include <utility>

#include "app/ApplicationEvents.h"
#include "app/DeletedLines.h"
#include "app/DriveList.h"
#include "app/Look.h"
#include "app/SingleInstance.h"
#include "app/Unit1b.h"
#include "app/Unit2a.h"
#include "app/Unit3.h"
#include "app/Unit4a.h"
#include "app/Unit4b.h"
#include "app/Unit5.h"
#include "app/VolumeMapWindow.h"
#include "app/WalkProgress.h"
#include "core/Platform.h"
#include "core/disk/StartDrive.h"
#include "core/fs/FileSystem.h"
#include "core/views/Details.h"
#include "core/views/Dumps.h"
#include "core/text/SectorField.h"
#include "core/views/LineTargets.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"

TForm1a* Form1a = nullptr;

namespace {

constexpr int kDriveLetters = 26;
// How often sources handed over by a second start look again for the modal dialog that
// holds them back to be closed.
constexpr int kHandOverRetryMs = 200;
// Every container the platform recognises by its content, and the raw images.
constexpr char kImageFilter[] =
    "Disk images and containers (*.img *.ima *.dd *.raw *.bin *.iso *.E01 *.Ex01 *.vmdk *.vhd *.vhdx *.qcow2 "
    "*.001 *.aa);;All files (*)";

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

// The local files among what is dragged; links and text are not sources.
QStringList LocalFiles(const QMimeData* data) {
  QStringList files;
  if (data == nullptr) return files;
  for (const QUrl& url : data->urls()) {
    if (url.isLocalFile()) files.append(url.toLocalFile());
  }
  return files;
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

  // The keys act wherever the program has the focus, the Find dialog included, but not
  // under a modal dialog.
  const auto command = [this](const QString& text, QKeySequence keys, void (TForm1a::*handler)()) {
    auto* action = new QAction(text, this);
    action->setShortcut(keys);
    action->setShortcutContext(Qt::ApplicationShortcut);
    connect(action, &QAction::triggered, this, handler);
    addAction(action);
    return action;
  };
  ActionOpen = command(QStringLiteral("Open image..."), QKeySequence(Qt::CTRL | Qt::Key_O), &TForm1a::ActionOpenExecute);
  ActionFind = command(QStringLiteral("Find..."), QKeySequence(Qt::CTRL | Qt::Key_F), &TForm1a::ActionFindExecute);
  ActionFindNext = command(QStringLiteral("Find next"), QKeySequence(Qt::Key_F3), &TForm1a::ActionFindNextExecute);
  ActionFindPrevious = command(QStringLiteral("Find previous"), QKeySequence(Qt::SHIFT | Qt::Key_F3),
                               &TForm1a::ActionFindPreviousExecute);
  ActionGoTo = command(QStringLiteral("Go to..."), QKeySequence(Qt::CTRL | Qt::Key_G), &TForm1a::ActionGoToExecute);
  // Ctrl+I: the Structure window, which follows the shown sector and asks for its marks.
  ActionStructure = InstallStructureCommand(this, InfoList);
  // Ctrl+M: the volume map, drawn from the same index.
  ActionVolumeMap = InstallVolumeMapCommand(this);
  connect(&korvalane::ShownSector::Instance(), &korvalane::ShownSector::MarkRequested, this, &TForm1a::ShowSectorBytes);
  korvalane::ShownSector::Instance().SetField(SectorEdit->text());

  deletedMarks_ = new korvalane::DeletedLineMarks(InfoList);
  InfoList->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(InfoList, &QWidget::customContextMenuRequested, this, &TForm1a::InfoListContextPopup);

  // Files dropped anywhere on the window are sources, the sector field and the text area
  // included, which would otherwise take them as text.
  setAcceptDrops(true);
  SectorEdit->setAcceptDrops(false);
  InfoList->setAcceptDrops(false);
  InfoList->viewport()->setAcceptDrops(false);
  FOpenDialog = [this] { return ChooseImages(); };

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

  korvalane::ShowDescriptionsInList(DriveBox);
  const uint32_t mask = korvalane::CurrentPlatform().LogicalDrives();
  for (int i = 0; i < kDriveLetters; ++i) {
    if ((mask >> i & 1u) != 0) AddDriveItem(std::string(1, static_cast<char>('A' + i)) + ':');
  }
  // The list selects nothing until the window is activated.
  DriveBox->setCurrentIndex(-1);
}

void TForm1a::AddDriveItem(const std::string& drive) {
  const QString name = QString::fromStdString(drive);
  int at = 0;
  while (at < DriveBox->count() && DriveBox->itemText(at) < name) ++at;
  DriveBox->insertItem(at, name);
  SetDriveTip(at, drive);
}

void TForm1a::SetDriveTip(int at, const std::string& drive) {
  // The tooltip says what the drive is (the source; for a partition which one) and,
  // when it cannot be read, why ("needs authentication" until it is chosen). A container
  // found damaged says so in the list's line too, as korvalane-cli drives does.
  const QString description = QString::fromStdString(korvalane::CurrentPlatform().DriveDescription(drive));
  const std::string damage = korvalane::CurrentPlatform().DriveDamage(drive);
  const QString line =
      damage.empty() ? description : description + QStringLiteral(" - ") + QString::fromStdString(damage);
  korvalane::SetDriveDescription(DriveBox, at, line);
  QString tip = description;
  const std::string why = korvalane::CurrentPlatform().OpenError(drive);
  if (!why.empty()) tip += QStringLiteral("\nCannot open: ") + QString::fromStdString(why);
  if (!damage.empty()) tip += QLatin1Char('\n') + korvalane::Sentence(damage);
  DriveBox->setItemData(at, tip.isEmpty() ? QVariant() : QVariant(tip), Qt::ToolTipRole);
}

void TForm1a::ActivateForm() {
  if (activated_) return;
  activated_ = true;
  std::vector<std::string> named;
  if (StartedWithSources) {
    followSources_ = true;
    for (int i = 0; i < DriveBox->count(); ++i) named.push_back(DriveBox->itemText(i).toStdString());
    DriveBox->setCurrentIndex(DriveBox->findText(QString::fromStdString(korvalane::FirstVolumeDrive(named))));
  } else {
    DriveBox->setCurrentIndex(DriveBox->count() >= 2 ? 1 : -1);
  }
  DriveBoxChange();
  SectorEditChange();
  TellUnreadable(named);
}

void TForm1a::TellUnreadable(const std::vector<std::string>& drives) {
  // A source the user named that can never be read (a folder, a path that is not there,
  // a container missing a part) is still a drive, which says why only in its tooltip:
  // the user hears it once, when naming it.
  QString text;
  for (const std::string& line : korvalane::UnreadableSources(drives)) {
    if (!text.isEmpty()) text += QLatin1Char('\r');
    text += korvalane::Sentence(line);
  }
  if (!text.isEmpty()) korvalane::ShowInformation(text);
}

void TForm1a::DriveBoxChange() {
  // A disk only an administrator may read is asked for when it is chosen (the desktop's
  // password dialog), never while the list is made.
  korvalane::CurrentPlatform().AuthorizeDrive(DriveText());
  if (DriveBox->currentIndex() >= 0) SetDriveTip(DriveBox->currentIndex(), DriveText());
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
  korvalane::ShownSector::Instance().SetField(SectorEdit->text());
  const uint64_t generation = ClearView();
  korvalane::ViewText lines;
  // The view text stays as designed; the lines of deleted entries and records are marked.
  std::vector<size_t> deleted;
  korvalane::RecordOptions record;
  record.DeletedLines = &deleted;
  korvalane::ShowSector(SectorEdit->text().toStdU16String(), SelectedView(), lines, PumpFor(generation), record);
  FinishRedraw(generation, std::move(lines));
  if (generation == redrawGeneration_) {
    if (!deleted.empty()) deletedMarks_->Show(deleted);
    MarkAgain();
    korvalane::ShownSector::Instance().Set(DriveBox->currentText(), SectorEdit->text(), SelectedView());
  }
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
  Form1b->OpenOnDrive = followSources_ ? DriveBox->currentText() : QString();
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
  const auto* wakeUp = static_cast<korvalane::WakeUpEvent*>(event);
  if (wakeUp->WParam != korvalane::kWakeUpWord) return;
  RaiseApplication();
  if (wakeUp->Sources.isEmpty()) return;
  // Opening may show a message, which must not run inside the hook.
  const bool waiting = !handedSources_.isEmpty();
  handedSources_ += wakeUp->Sources;
  if (!waiting) QTimer::singleShot(0, this, &TForm1a::OpenHandedSources);
}

void TForm1a::OpenHandedSources() {
  if (handedSources_.isEmpty()) return;
  if (!activated_ || QApplication::activeModalWidget() != nullptr) {
    QTimer::singleShot(kHandOverRetryMs, this, &TForm1a::OpenHandedSources);
    return;
  }
  OpenSources(std::exchange(handedSources_, {}));
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

void TForm1a::ActionFindExecute() { Form4a->OpenFind(); }

void TForm1a::ActionFindNextExecute() { Form4a->FindAgain(false); }

void TForm1a::ActionFindPreviousExecute() { Form4a->FindAgain(true); }

void TForm1a::ActionGoToExecute() { Form4b->exec(); }

void TForm1a::ActionOpenExecute() {
  if (FOpenDialog) OpenSources(FOpenDialog());
}

QStringList TForm1a::ChooseImages() {
  return QFileDialog::getOpenFileNames(this, QStringLiteral("Open disk images"), QString(),
                                       QString::fromLatin1(kImageFilter));
}

void TForm1a::OpenSources(const QStringList& paths) {
  if (paths.isEmpty()) return;
  std::vector<std::string> sources;
  for (const QString& path : paths) sources.push_back(QFile::encodeName(path).toStdString());
  const std::vector<std::string> drives = korvalane::CurrentPlatform().AddSources(sources);
  if (drives.empty()) {
    korvalane::ShowInformation(QStringLiteral("No drive letter is left for the images"));
    return;
  }
  // A source opened again gives the drives it has: they are chosen, not listed twice. An
  // LV listed before its VG's other PVs were opened is given again, readable now: its
  // tooltip says so.
  for (const std::string& drive : drives) {
    const int at = DriveBox->findText(QString::fromStdString(drive));
    if (at < 0) {
      AddDriveItem(drive);
    } else {
      SetDriveTip(at, drive);
    }
  }
  followSources_ = true;
  DriveBox->setCurrentIndex(DriveBox->findText(QString::fromStdString(korvalane::FirstVolumeDrive(drives))));
  DriveBoxChange();
  TellUnreadable(drives);
}

void TForm1a::DragOverForm(QDragMoveEvent* event) {
  if (LocalFiles(event->mimeData()).isEmpty()) {
    event->ignore();
  } else {
    event->acceptProposedAction();
  }
}

void TForm1a::DragDropForm(QDropEvent* event) {
  const QStringList files = LocalFiles(event->mimeData());
  if (files.isEmpty()) {
    event->ignore();
    return;
  }
  event->acceptProposedAction();
  // The drag ends first: the source program waits for the drop to return, and opening
  // may have a message to show.
  QTimer::singleShot(0, this, [this, files] { OpenSources(files); });
}

void TForm1a::InfoListContextPopup(const QPoint& position) {
  const std::unique_ptr<QMenu> menu(InfoList->createStandardContextMenu());
  const auto line = static_cast<size_t>(std::max(0, InfoList->cursorForPosition(position).blockNumber()));
  const std::optional<korvalane::JumpTarget> target = korvalane::TargetOfLine(view_, line);
  QAction* go = nullptr;
  QAction* first = menu->actions().value(0);
  if (target) {
    // A volume names its clusters its own way (ext's are its blocks).
    const korvalane::OpenedFileSystem* fileSystem = korvalane::CurrentFileSystem();
    const std::u16string_view units = fileSystem != nullptr ? fileSystem->ClusterName() : u"cluster";
    const QString caption = target->Kind == korvalane::JumpKind::MftRecord ? QStringLiteral("Go to MFT record ")
                            : target->Kind == korvalane::JumpKind::Inode
                                ? QStringLiteral("Go to inode ")
                                : QStringLiteral("Go to ") + QString::fromStdU16String(std::u16string(units)) + QStringLiteral(" ");
    go = new QAction(caption + QString::number(target->Number), menu.get());
    menu->insertAction(first, go);
    menu->insertSeparator(first);
  }
  QAction* owner = new QAction(QStringLiteral("Which file uses this sector?"), menu.get());
  menu->insertAction(first, owner);
  QAction* onMap = new QAction(QStringLiteral("Show on the map"), menu.get());
  menu->insertAction(first, onMap);
  menu->insertSeparator(first);
  // The commands that have a key, so that a user who never read of the keys finds them.
  menu->insertActions(first, {ActionOpen, ActionFind, ActionFindNext, ActionFindPrevious, ActionGoTo, ActionStructure, ActionVolumeMap});
  menu->insertSeparator(first);
  QAction* chosen = menu->exec(InfoList->viewport()->mapToGlobal(position));
  if (chosen == go && go != nullptr) JumpTo(*target);
  if (chosen == owner) ShowSectorOwner();
  if (chosen == onMap) {
    const std::optional<uint64_t> sector = korvalane::ParseSectorIndex(SectorEdit->text().toStdU16String());
    if (sector) VolumeMapOf(this)->ShowOwnerOf(*sector);
  }
}

void TForm1a::ShowSectorOwner() {
  const std::optional<uint64_t> sector = korvalane::ParseSectorIndex(SectorEdit->text().toStdU16String());
  if (!sector || *sector >= korvalane::Geometry().TotalSectors) return;
  std::string answer;
  {
    const korvalane::WalkProgress progress(this);
    answer = korvalane::WhichFileUsesSector(ownership_, *sector, progress.Hooks());
  }
  korvalane::ShowInformation(QString::fromStdString(answer));
}

bool TForm1a::JumpTo(const korvalane::JumpTarget& target) {
  const korvalane::Location where = korvalane::LocateTarget(target, korvalane::NoPump);
  if (!where.Sector) {
    korvalane::ShowInformation(korvalane::Sentence(where.Error));
    return false;
  }
  ShowSectorNumber(*where.Sector);
  return true;
}

void TForm1a::ShowSectorBytes(uint64_t sector, const std::vector<std::pair<uint32_t, uint32_t>>& bytes) {
  // The redraw of the sector marks them, and every later one of the same sector in
  // another view.
  marked_ = {DriveBox->currentText(), QString::number(sector), bytes};
  ShowSectorNumber(sector);
}

void TForm1a::MarkAgain() {
  if (marked_.Bytes.empty()) return;
  if (marked_.Drive != DriveBox->currentText() || marked_.Sector != SectorEdit->text()) {
    marked_ = {};
    return;
  }
  MarkBytes(marked_.Bytes);
}

bool TForm1a::ShowSectorNumber(uint64_t sector) {
  const uint64_t before = redrawGeneration_;
  const QString text = QString::number(sector);
  if (SectorEdit->text() == text) {
    SectorEditChange();
  } else {
    SectorEdit->setText(text);
  }
  return redrawGeneration_ == before + 1;
}

void TForm1a::MarkBytes(const std::vector<std::pair<uint32_t, uint32_t>>& bytes) {
  const korvalane::ViewKind kind = SelectedView();
  const int32_t sectorBytes = korvalane::Geometry().BytesPerSector;
  if (kind == korvalane::ViewKind::FileRecord || sectorBytes <= 0) return;
  QTextCharFormat look;
  look.setBackground(palette().color(QPalette::Active, QPalette::Highlight));
  look.setForeground(palette().color(QPalette::Active, QPalette::HighlightedText));
  QList<QTextEdit::ExtraSelection> marks;
  size_t lastLine = 0;
  size_t lastEnd = 0;
  for (const auto& [first, count] : bytes) {
    for (uint64_t i = first; i < uint64_t{first} + count && i < static_cast<uint32_t>(sectorBytes); ++i) {
      const korvalane::ViewCell cell = kind == korvalane::ViewKind::Text
                                           ? korvalane::TextViewCell(i)
                                           : korvalane::HexViewCell(i, static_cast<uint32_t>(sectorBytes));
      if (cell.Line >= view_.size()) continue;
      const QTextBlock block = InfoList->document()->findBlockByNumber(static_cast<int>(cell.Line));
      // Neighbours on one line of the text view make one mark.
      if (!marks.isEmpty() && cell.Line == lastLine && cell.Column == lastEnd) {
        marks.last().cursor.setPosition(block.position() + static_cast<int>(cell.Column + cell.Length),
                                        QTextCursor::KeepAnchor);
      } else {
        QTextEdit::ExtraSelection mark;
        mark.format = look;
        mark.cursor = QTextCursor(block);
        mark.cursor.setPosition(block.position() + static_cast<int>(cell.Column));
        mark.cursor.setPosition(block.position() + static_cast<int>(cell.Column + cell.Length), QTextCursor::KeepAnchor);
        marks.append(mark);
      }
      lastLine = cell.Line;
      lastEnd = cell.Column + cell.Length;
    }
  }
  InfoList->setExtraSelections(marks);
  if (marks.isEmpty()) return;
  // The first marked byte comes into sight.
  QTextCursor at = marks.first().cursor;
  at.setPosition(at.selectionStart());
  InfoList->setTextCursor(at);
  InfoList->ensureCursorVisible();
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

void TForm1a::closeEvent(QCloseEvent* event) {
  // A search running in the Find dialog ends with the window it would show its match in.
  if (Form4a != nullptr) Form4a->StopSearch();
  QDialog::closeEvent(event);
}

void TForm1a::dragEnterEvent(QDragEnterEvent* event) { DragOverForm(event); }

void TForm1a::dragMoveEvent(QDragMoveEvent* event) { DragOverForm(event); }

void TForm1a::dropEvent(QDropEvent* event) { DragDropForm(event); }

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
  // Marks belong to the lines they were made for.
  InfoList->setExtraSelections({});
  deletedMarks_->Clear();
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
