#include "app/Unit5.h"

#include <QAction>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QHeaderView>
#include <QKeySequence>
#include <QMouseEvent>
#include <QScreen>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <algorithm>
#include <QShowEvent>
#include <QTableWidgetItem>
#include <span>

#include "app/Look.h"
#include "core/structures/Inspector.h"
#include "core/text/SectorField.h"
#include "core/views/Dumps.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

TForm5* Form5 = nullptr;

namespace korvalane {

std::optional<size_t> ByteAtCharacter(size_t line, size_t column, ViewKind view, size_t sectorBytes) {
  if (view == ViewKind::FileRecord) return std::nullopt;
  for (size_t i = 0; i < sectorBytes; ++i) {
    const ViewCell cell = view == ViewKind::Text ? TextViewCell(i) : HexViewCell(i, sectorBytes);
    if (cell.Line == line && column >= cell.Column && column < cell.Column + cell.Length) return i;
  }
  return std::nullopt;
}

}  // namespace korvalane

namespace {

// Clicks on the main window's text area, handed to the Structure window while it is open.
class ByteClicks : public QObject {
 public:
  ByteClicks(QPlainTextEdit* textArea) : QObject(textArea), textArea_(textArea) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::MouseButtonRelease || Form5 == nullptr || !Form5->isVisible()) {
      return QObject::eventFilter(watched, event);
    }
    const auto* click = static_cast<QMouseEvent*>(event);
    const QTextCursor at = textArea_->cursorForPosition(click->position().toPoint());
    const korvalane::ShownSector& shown = korvalane::ShownSector::Instance();
    const int32_t sectorBytes = korvalane::Geometry().BytesPerSector;
    if (sectorBytes > 0) {
      if (const std::optional<size_t> byte = korvalane::ByteAtCharacter(
              static_cast<size_t>(at.blockNumber()), static_cast<size_t>(at.positionInBlock()), shown.View(),
              static_cast<size_t>(sectorBytes))) {
        Form5->SelectByte(*byte);
      }
    }
    return QObject::eventFilter(watched, event);
  }

 private:
  QPlainTextEdit* textArea_;
};

QString Text(const std::string& utf8) { return QString::fromStdString(utf8); }

QTableWidgetItem* Cell(const QString& text) { return new QTableWidgetItem(text); }

QString Offset(size_t offset) {
  return QStringLiteral("0x") + QString::number(offset, 16).toUpper().rightJustified(3, QLatin1Char('0'));
}

}  // namespace

TForm5::TForm5(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  setModal(false);
  const QFont fixed = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  FieldGrid->setFont(fixed);
  InspectorGrid->setFont(fixed);
  // One line of text a row, so that a boot sector's fields fit the table.
  const int rowHeight = QFontMetrics(fixed).height() + 4;
  FieldGrid->verticalHeader()->setDefaultSectionSize(rowHeight);
  InspectorGrid->verticalHeader()->setDefaultSectionSize(rowHeight);
  FieldGrid->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  FieldGrid->horizontalHeader()->setStretchLastSection(true);
  InspectorGrid->horizontalHeader()->setSectionResizeMode(0, QHeaderView::ResizeToContents);

  KindBox->addItem(QStringLiteral("Known structure"));
  for (const korvalane::StructureKind& kind : korvalane::StructureKinds()) {
    KindBox->addItem(Text(kind.Title), Text(kind.Id));
  }
  connect(KindBox, &QComboBox::currentIndexChanged, this, &TForm5::KindBoxChange);
  connect(FieldGrid, &QTableWidget::itemSelectionChanged, this, &TForm5::FieldGridSelect);
  connect(&korvalane::ShownSector::Instance(), &korvalane::ShownSector::Changed, this, &TForm5::SectorShown);
}

void TForm5::OpenStructure() {
  if (!isVisible()) {
    PlaceBesideMainWindow();
    show();
  } else {
    raise();
  }
  activateWindow();
}

void TForm5::PlaceBesideMainWindow() {
  QWidget* main = parentWidget();
  if (main == nullptr || !main->isVisible()) return;
  const QScreen* screen = main->screen();
  if (screen == nullptr) return;
  // Before it is first shown the window has no frame of its own yet; the main window's
  // is the same kind of frame.
  const QRect outer = main->frameGeometry();
  const QRect inner = main->geometry();
  const QSize frame(outer.width() - inner.width(), outer.height() - inner.height());
  const std::optional<QRect> place =
      korvalane::PlaceBeside(outer, size() + frame, minimumSize() + frame, screen->availableGeometry());
  if (!place) {
    // A screen too small for both: over the main window, where a dialog opens.
    korvalane::CentreOnMainWindow(this);
    return;
  }
  resize(place->size() - frame);
  move(place->topLeft());
}

void TForm5::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // While it was closed the main window went on without it.
  const korvalane::ShownSector& shown = korvalane::ShownSector::Instance();
  drive_ = shown.Drive();
  sectorText_ = shown.SectorText();
  Refresh();
}

void TForm5::SectorShown(const QString& drive, const QString& sectorText) {
  // Marking a field redraws the same sector: the table and its selection stay.
  if (!isVisible() || (drive == drive_ && sectorText == sectorText_)) return;
  drive_ = drive;
  sectorText_ = sectorText;
  Refresh();
}

void TForm5::KindBoxChange() {
  if (isVisible()) Refresh();
}

int TForm5::FieldOfRow(int row) const {
  return row >= 0 && static_cast<size_t>(row) < rowFields_.size() ? rowFields_[static_cast<size_t>(row)] : -1;
}

void TForm5::Refresh() {
  FieldGrid->blockSignals(true);
  FieldGrid->setRowCount(0);
  FieldGrid->blockSignals(false);
  CheckList->clear();
  InspectorGrid->setRowCount(0);
  rowFields_.clear();
  structure_.reset();
  bytes_.clear();
  sector_ = korvalane::ParseSectorIndex(sectorText_.toStdU16String());
  const korvalane::VolumeGeometry& g = korvalane::Geometry();
  if (!sector_ || *sector_ > g.TotalSectors || g.BytesPerSector <= 0) {
    TitleLabel->setText(QStringLiteral("No sector shown"));
    return;
  }
  std::optional<korvalane::StructureChoice> choice;
  if (KindBox->currentIndex() > 0) {
    choice = korvalane::StructureChoice{KindBox->currentData().toString().toStdString()};
  } else {
    choice = korvalane::KnownStructureAt(*sector_);
  }
  const QString at = QStringLiteral(" at sector ") + QString::number(*sector_);
  if (!choice) {
    TitleLabel->setText(QStringLiteral("No structure is known") + at);
    return;
  }
  structure_ = korvalane::ReadStructureAt(*sector_, *choice);
  bytes_.assign(static_cast<size_t>(g.BytesPerSector), 0);
  if (!structure_ || !korvalane::ReadSectors(*sector_, bytes_)) {
    structure_.reset();
    TitleLabel->setText(QStringLiteral("Reading error"));
    return;
  }
  TitleLabel->setText(Text(structure_->Title) + at);

  // A heading row before each group of fields.
  FieldGrid->blockSignals(true);
  std::string group;
  for (size_t i = 0; i < structure_->Fields.size(); ++i) {
    const korvalane::Field& field = structure_->Fields[i];
    if (field.Group != group && !field.Group.empty()) {
      const int row = FieldGrid->rowCount();
      FieldGrid->insertRow(row);
      auto* heading = Cell(Text(field.Group));
      QFont bold = heading->font();
      bold.setBold(true);
      heading->setFont(bold);
      heading->setFlags(Qt::ItemIsEnabled);
      FieldGrid->setItem(row, 0, heading);
      FieldGrid->setSpan(row, 0, 1, 4);
      rowFields_.push_back(-1);
    }
    group = field.Group;
    const int row = FieldGrid->rowCount();
    FieldGrid->insertRow(row);
    FieldGrid->setItem(row, 0, Cell(Offset(field.Offset)));
    FieldGrid->setItem(row, 1, Cell(QString::number(field.Size)));
    FieldGrid->setItem(row, 2, Cell(Text(field.Name)));
    FieldGrid->setItem(row, 3, Cell(Text(field.Value)));
    rowFields_.push_back(static_cast<int>(i));
  }
  FieldGrid->blockSignals(false);

  for (const korvalane::Check& check : structure_->Checks) {
    auto* item = new QListWidgetItem(Text(korvalane::CheckLine(check)), CheckList);
    if (!check.Holds) item->setForeground(Qt::red);
  }
  if (structure_->CutAt) {
    CheckList->addItem(QStringLiteral("Cut short at ") + Offset(*structure_->CutAt) +
                       QStringLiteral(": the bytes read end there or before"));
  }
  for (const std::string& note : structure_->Notes) CheckList->addItem(Text(note));
  ShowInspector(structure_->SectorOffset);
}

void TForm5::FieldGridSelect() {
  const QList<QTableWidgetItem*> selected = FieldGrid->selectedItems();
  if (selected.isEmpty() || !structure_ || !sector_) return;
  const int index = FieldOfRow(selected.first()->row());
  if (index < 0) return;
  const korvalane::Field& field = structure_->Fields[static_cast<size_t>(index)];
  // Fields count from the structure's first byte, which may lie inside the sector.
  const size_t inSector = structure_->SectorOffset + field.Offset;
  ShowInspector(inSector);
  emit korvalane::ShownSector::Instance().MarkRequested(
      *sector_, {{static_cast<uint32_t>(inSector), static_cast<uint32_t>(field.Size)}});
}

void TForm5::SelectByte(size_t offset) {
  if (!structure_ || offset < structure_->SectorOffset) return;
  offset -= structure_->SectorOffset;
  for (int row = 0; row < FieldGrid->rowCount(); ++row) {
    const int index = FieldOfRow(row);
    if (index < 0) continue;
    const korvalane::Field& field = structure_->Fields[static_cast<size_t>(index)];
    if (offset >= field.Offset && offset - field.Offset < std::max<size_t>(field.Size, 1)) {
      FieldGrid->selectRow(row);
      FieldGrid->scrollToItem(FieldGrid->item(row, 0));
      return;
    }
  }
}

void TForm5::ShowInspector(size_t offset) {
  const std::vector<korvalane::InspectedValue> values = korvalane::InspectBytes(bytes_, offset);
  InspectorGrid->setRowCount(static_cast<int>(values.size()));
  for (size_t i = 0; i < values.size(); ++i) {
    InspectorGrid->setItem(static_cast<int>(i), 0, Cell(Text(values[i].Name)));
    InspectorGrid->setItem(static_cast<int>(i), 1, Cell(Text(values[i].Value)));
  }
}

QAction* InstallStructureCommand(QWidget* mainWindow, QPlainTextEdit* textArea) {
  textArea->viewport()->installEventFilter(new ByteClicks(textArea));
  auto* action = new QAction(QStringLiteral("Structure..."), mainWindow);
  action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));
  action->setShortcutContext(Qt::ApplicationShortcut);
  QObject::connect(action, &QAction::triggered, mainWindow, [mainWindow] {
    if (Form5 == nullptr) {
      Form5 = new TForm5(mainWindow);
      // The window goes with the main window that owns it.
      QObject::connect(Form5, &QObject::destroyed, [] { Form5 = nullptr; });
    }
    Form5->OpenStructure();
  });
  mainWindow->addAction(action);
  return action;
}
