#include "app/VolumeMapWindow.h"

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QHeaderView>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>

#include "app/ShownSector.h"
#include "app/Unit1a.h"
#include "app/Unit2a.h"
#include "app/WalkProgress.h"
#include "core/text/SectorField.h"
#include "core/volume/VolumeGeometry.h"

VolumeMapWindow* FormVolumeMap = nullptr;

namespace korvalane {

namespace {

QColor ColourOf(MapClass what) { return QColor::fromRgb(MapClassColour(what)); }

// The frame of the cells of a file shown on the map.
constexpr QRgb kHighlightColour = 0xFF00FF;

// A drag shorter than this (in pixels) is a click.
constexpr int kDragDistance = 4;

}  // namespace

MapGridView::MapGridView(QWidget* parent) : QWidget(parent) {
  setMouseTracking(true);
  setMinimumSize(kCellSide * 16, kCellSide * 16);
  setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void MapGridView::SetMap(const OwnershipIndex* index, const VolumeMap* map) {
  index_ = index;
  map_ = map;
  first_ = 0;
  end_ = map != nullptr ? map->Units() : 0;
  Recut();
}

void MapGridView::MarkSector(std::optional<uint64_t> sector) {
  marked_ = sector;
  update();
}

void MapGridView::ShowUnits(uint64_t first, uint64_t end) {
  if (map_ == nullptr) return;
  end = std::min(end, map_->Units());
  if (first >= end) return;
  first_ = first;
  end_ = end;
  Recut();
}

int MapGridView::Columns() const { return std::max(1, width() / kCellSide); }

uint64_t MapGridView::CellCapacity() const {
  return static_cast<uint64_t>(Columns()) * static_cast<uint64_t>(std::max(1, height() / kCellSide));
}

void MapGridView::Recut() {
  cells_ = map_ != nullptr ? map_->Cells(first_, end_, CellCapacity()) : std::vector<MapCell>{};
  update();
}

QRect MapGridView::CellRect(size_t cell) const {
  const int columns = Columns();
  return {static_cast<int>(cell % static_cast<size_t>(columns)) * kCellSide,
          static_cast<int>(cell / static_cast<size_t>(columns)) * kCellSide, kCellSide, kCellSide};
}

std::optional<size_t> MapGridView::CellAt(QPoint at) const {
  if (at.x() < 0 || at.y() < 0) return std::nullopt;
  const int column = at.x() / kCellSide;
  if (column >= Columns()) return std::nullopt;
  const size_t cell = static_cast<size_t>(at.y() / kCellSide) * static_cast<size_t>(Columns()) + static_cast<size_t>(column);
  return cell < cells_.size() ? std::optional<size_t>(cell) : std::nullopt;
}

QString MapGridView::TipOf(size_t at) const {
  if (map_ == nullptr || index_ == nullptr || at >= cells_.size()) return {};
  const MapCell& cell = cells_[at];
  const uint64_t firstSector = map_->SectorOf(cell.First);
  const uint64_t endSector = std::min(map_->SectorOf(cell.First + cell.Count), index_->VolumeSectors());
  QString tip = endSector > firstSector + 1
                    ? QStringLiteral("Sectors %1-%2").arg(firstSector).arg(endSector - 1)
                    : QStringLiteral("Sector %1").arg(firstSector);
  // The classes, the largest share first.
  std::vector<size_t> order;
  for (size_t c = 0; c < kMapClassCount; ++c) {
    if (cell.Units[c] != 0) order.push_back(c);
  }
  std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) { return cell.Units[a] > cell.Units[b]; });
  for (const size_t c : order) {
    const double share = 100.0 * static_cast<double>(cell.Units[c]) / static_cast<double>(std::max<uint64_t>(cell.Count, 1));
    tip += QStringLiteral("\n%1  %2%").arg(QString::fromUtf8(MapClassCaption(static_cast<MapClass>(c)))).arg(share, 0, 'f', share < 10 ? 1 : 0);
  }
  constexpr size_t kMaxOwners = 4;
  const std::vector<std::string> owners = OwnersIn(*index_, *map_, cell.First, cell.First + cell.Count, kMaxOwners + 1);
  for (size_t i = 0; i < owners.size() && i < kMaxOwners; ++i) tip += QStringLiteral("\n") + QString::fromStdString(owners[i]);
  if (owners.size() > kMaxOwners) tip += QStringLiteral("\n...");
  if (IsHighlighted(at)) {
    tip += QStringLiteral("\nShown file: %1 fragments, the biggest gap %2 units")
               .arg(highlighted_.Runs.size())
               .arg(highlighted_.BiggestGap);
  }
  return tip;
}

bool MapGridView::IsHighlighted(size_t at) const {
  if (at >= cells_.size()) return false;
  const MapCell& cell = cells_[at];
  const auto& runs = highlighted_.Runs;
  // The first fragment that ends after the cell's first unit.
  auto it = std::upper_bound(runs.begin(), runs.end(), cell.First,
                             [](uint64_t unit, const std::pair<uint64_t, uint64_t>& run) { return unit < run.first + run.second; });
  return it != runs.end() && it->first < cell.First + cell.Count;
}

void MapGridView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.fillRect(rect(), palette().color(QPalette::Window));
  for (size_t i = 0; i < cells_.size(); ++i) painter.fillRect(CellRect(i), ColourOf(cells_[i].Largest));
  if (!highlighted_.Runs.empty()) {
    painter.setPen(QPen(QColor(kHighlightColour), 1));
    painter.setBrush(Qt::NoBrush);
    for (size_t i = 0; i < cells_.size(); ++i) {
      if (IsHighlighted(i)) painter.drawRect(CellRect(i).adjusted(0, 0, -1, -1));
    }
  }
  if (marked_ && map_ != nullptr && map_->UnitSectors() != 0) {
    const uint64_t unit = *marked_ / map_->UnitSectors();
    auto it = std::upper_bound(cells_.begin(), cells_.end(), unit, [](uint64_t u, const MapCell& c) { return u < c.First; });
    if (it != cells_.begin() && unit - (it - 1)->First < (it - 1)->Count) {
      painter.setPen(QPen(Qt::black, 2));
      painter.setBrush(Qt::NoBrush);
      painter.drawRect(CellRect(static_cast<size_t>(it - 1 - cells_.begin())).adjusted(1, 1, -1, -1));
    }
  }
}

void MapGridView::resizeEvent(QResizeEvent*) { Recut(); }

void MapGridView::Zoom(QPoint at, int steps) {
  if (map_ == nullptr || steps == 0 || cells_.empty()) return;
  const std::optional<size_t> cell = CellAt(at);
  const uint64_t anchor = cell ? cells_[*cell].First : first_;
  const uint64_t span = end_ - first_;
  const uint64_t least = std::min(CellCapacity(), map_->Units());
  uint64_t wanted = span;
  for (int i = 0; i < std::abs(steps); ++i) wanted = steps > 0 ? std::max(least, wanted / 2) : std::min(map_->Units(), wanted * 2);
  if (wanted == span) return;
  // The unit under the pointer stays where it is.
  const double before = static_cast<double>(anchor - first_) / static_cast<double>(span);
  const uint64_t back = static_cast<uint64_t>(before * static_cast<double>(wanted));
  uint64_t first = anchor > back ? anchor - back : 0;
  first = std::min(first, map_->Units() - wanted);
  ShowUnits(first, first + wanted);
}

void MapGridView::wheelEvent(QWheelEvent* event) {
  const int steps = event->angleDelta().y() / 120;
  Zoom(event->position().toPoint(), steps != 0 ? steps : (event->angleDelta().y() > 0 ? 1 : event->angleDelta().y() < 0 ? -1 : 0));
  event->accept();
}

void MapGridView::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  pressed_ = event->position().toPoint();
  pressedFirst_ = first_;
  dragged_ = false;
}

void MapGridView::mouseMoveEvent(QMouseEvent* event) {
  if (!pressed_ || map_ == nullptr || cells_.empty()) return;
  const QPoint moved = event->position().toPoint() - *pressed_;
  if (!dragged_ && moved.manhattanLength() < kDragDistance) return;
  dragged_ = true;
  // Moved by whole cells: a row is Columns() cells.
  const int64_t cells = static_cast<int64_t>(moved.y() / kCellSide) * Columns() + moved.x() / kCellSide;
  const uint64_t span = end_ - first_;
  const uint64_t perCell = std::max<uint64_t>(1, span / cells_.size());
  const uint64_t shift = static_cast<uint64_t>(cells < 0 ? -cells : cells) * perCell;
  uint64_t first = cells > 0 ? (pressedFirst_ > shift ? pressedFirst_ - shift : 0) : pressedFirst_ + shift;
  first = std::min(first, map_->Units() - span);
  if (first != first_) ShowUnits(first, first + span);
}

void MapGridView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || !pressed_) return;
  pressed_.reset();
  if (dragged_ || map_ == nullptr) return;
  const std::optional<size_t> cell = CellAt(event->position().toPoint());
  if (cell) emit SectorChosen(map_->SectorOf(cells_[*cell].First));
}

bool MapGridView::event(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const auto* help = static_cast<QHelpEvent*>(event);
    const std::optional<size_t> cell = CellAt(help->pos());
    if (cell) {
      QToolTip::showText(help->globalPos(), TipOf(*cell), this);
    } else {
      QToolTip::hideText();
    }
    return true;
  }
  return QWidget::event(event);
}

}  // namespace korvalane

VolumeMapWindow::VolumeMapWindow(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  grid_ = new korvalane::MapGridView(MapFrame);
  MapLayout->addWidget(grid_);
  LegendTable->verticalHeader()->hide();
  LegendTable->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
  connect(Button1, &QPushButton::clicked, this, &QDialog::close);
  connect(Button2, &QPushButton::clicked, this, &VolumeMapWindow::Button2Click);
  FOpenMapDialog = [this] {
    return QFileDialog::getOpenFileName(this, QStringLiteral("Rescue map"), {}, QStringLiteral("GNU ddrescue maps (*.map *.log *.mapfile);;All files (*)"));
  };
  connect(grid_, &korvalane::MapGridView::SectorChosen, this, [](uint64_t sector) {
    if (Form1a != nullptr) Form1a->ShowSectorBytes(sector, {});
  });
  connect(&korvalane::ShownSector::Instance(), &korvalane::ShownSector::Changed, this, &VolumeMapWindow::SectorShown);
}

void VolumeMapWindow::OpenMap() {
  const korvalane::VolumeGeometry& g = korvalane::Geometry();
  if (Form1a == nullptr) return;
  std::string why;
  const korvalane::OwnershipIndex* index = nullptr;
  {
    const korvalane::WalkProgress progress(Form1a);
    index = Form1a->Ownership().Current(progress.Hooks(), &why);
  }
  if (index == nullptr) {
    korvalane::ShowInformation(why == "stopped" ? QStringLiteral("Stopped") : QString::fromStdString(why));
    return;
  }
  if (index != index_ || !map_ || drive_ != g.CurrentDrive || totalSectors_ != g.TotalSectors) {
    index_ = index;
    drive_ = g.CurrentDrive;
    totalSectors_ = g.TotalSectors;
    unreadable_.clear();
    Rebuild();
  }
  TitleLabel->setText(QString::fromStdString(g.CurrentDrive) + QStringLiteral(": %1 units of %2 bytes").arg(map_->Units()).arg(map_->UnitBytes()));
  SectorShown(korvalane::ShownSector::Instance().Drive(), korvalane::ShownSector::Instance().SectorText());
  show();
  raise();
  activateWindow();
}

void VolumeMapWindow::Rebuild() {
  map_ = korvalane::VolumeMap::Build(*index_, korvalane::MapUnitSectors(), unreadable_);
  grid_->SetMap(index_, &*map_);
  FillLegend();
}

void VolumeMapWindow::Button2Click() {
  if (!map_ || index_ == nullptr) return;
  const QString name = FOpenMapDialog ? FOpenMapDialog() : QString();
  if (name.isEmpty()) return;
  QFile file(name);
  // A mapfile of kMaxMapAreas areas is far below this.
  constexpr qint64 kMaxMapBytes = qint64{512} << 20;
  if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxMapBytes) {
    korvalane::ShowInformation(QStringLiteral("Cannot read the map ") + name);
    return;
  }
  const QByteArray text = file.read(kMaxMapBytes);
  std::string why;
  const std::optional<korvalane::Mapfile> rescue = korvalane::ParseMapfile(std::string_view(text.constData(), static_cast<size_t>(text.size())), &why);
  if (!rescue) {
    korvalane::ShowInformation(QStringLiteral("The map ") + name + QStringLiteral(": ") + QString::fromStdString(why));
    return;
  }
  const uint64_t driveBytes = index_->VolumeSectors() * index_->BytesPerSector();
  unreadable_ = korvalane::UnfinishedSectors(korvalane::UnfinishedWithin(*rescue, 0, driveBytes), index_->BytesPerSector());
  const korvalane::Fragments shown = grid_->Highlighted();
  Rebuild();
  // The highlighted file's fragments are those of its owner, whatever the map says.
  grid_->Highlight(shown);
}

void VolumeMapWindow::ShowOwnerOf(uint64_t sector) {
  OpenMap();
  if (!map_ || index_ == nullptr || sector >= index_->VolumeSectors()) return;
  const korvalane::Owner* owner = nullptr;
  for (const korvalane::SectorUse& use : index_->Lookup(sector)) {
    if (use.Of->Kind != korvalane::OwnerKind::Free && use.Of->Kind != korvalane::OwnerKind::Lost) {
      owner = use.Of;
      break;
    }
  }
  korvalane::Fragments fragments = korvalane::FragmentsOf(*map_, owner);
  if (owner != nullptr) {
    TitleLabel->setText(TitleLabel->text() + QStringLiteral("\n") + QString::fromStdString(korvalane::DescribeOwner(*index_, *owner)) +
                        QStringLiteral(": %1 fragments, the biggest gap %2 units").arg(fragments.Runs.size()).arg(fragments.BiggestGap));
  }
  grid_->Highlight(std::move(fragments));
}

void VolumeMapWindow::SectorShown(const QString& drive, const QString& sectorText) {
  if (!map_ || drive.toStdString() != drive_) {
    grid_->MarkSector(std::nullopt);
    return;
  }
  grid_->MarkSector(korvalane::ParseSectorIndex(sectorText.toStdU16String()));
}

void VolumeMapWindow::FillLegend() {
  const std::vector<korvalane::LegendLine> legend = map_->Legend();
  LegendTable->setRowCount(static_cast<int>(legend.size()));
  for (size_t i = 0; i < legend.size(); ++i) {
    const int row = static_cast<int>(i);
    auto* name = new QTableWidgetItem(QString::fromUtf8(korvalane::MapClassCaption(legend[i].Class)));
    QPixmap swatch(12, 12);
    swatch.fill(QColor::fromRgb(korvalane::MapClassColour(legend[i].Class)));
    name->setIcon(QIcon(swatch));
    LegendTable->setItem(row, 0, name);
    auto* units = new QTableWidgetItem(QString::number(legend[i].Units));
    units->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LegendTable->setItem(row, 1, units);
    auto* bytes = new QTableWidgetItem(QString::number(legend[i].Bytes));
    bytes->setTextAlignment(Qt::AlignRight | Qt::AlignVCenter);
    LegendTable->setItem(row, 2, bytes);
  }
  LegendTable->resizeColumnsToContents();
}

VolumeMapWindow* VolumeMapOf(QWidget* mainWindow) {
  if (FormVolumeMap == nullptr) {
    FormVolumeMap = new VolumeMapWindow(mainWindow);
    // The window goes with the main window that owns it.
    QObject::connect(FormVolumeMap, &QObject::destroyed, [] { FormVolumeMap = nullptr; });
  }
  return FormVolumeMap;
}

QAction* InstallVolumeMapCommand(QWidget* mainWindow) {
  auto* action = new QAction(QStringLiteral("Volume map..."), mainWindow);
  action->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
  action->setShortcutContext(Qt::ApplicationShortcut);
  QObject::connect(action, &QAction::triggered, mainWindow, [mainWindow] { VolumeMapOf(mainWindow)->OpenMap(); });
  mainWindow->addAction(action);
  return action;
}
