#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/map/VolumeMap.h"
#include "ui_VolumeMapWindow.h"

class QAction;
class QPlainTextEdit;

namespace korvalane {

// The grid of cells of a volume map: the part of the volume in view cut into cells of
// kCellSide pixels, each in its largest class's colour. The wheel zooms about the cell
// under the pointer (down to one unit a cell), a drag moves the part in view, a click
// asks for the cell's first sector; the cell of the marked sector is framed.
class MapGridView : public QWidget {
  Q_OBJECT

 public:
  static constexpr int kCellSide = 8;
  explicit MapGridView(QWidget* parent = nullptr);

  void SetMap(const OwnershipIndex* index, const VolumeMap* map);
  // The fragments of a file drawn framed, and named in the tooltip of their cells.
  void Highlight(Fragments fragments) {
    highlighted_ = std::move(fragments);
    update();
  }
  const Fragments& Highlighted() const { return highlighted_; }
  // Whether a cell holds a unit of the highlighted fragments.
  bool IsHighlighted(size_t cell) const;
  // The sector framed on the map; none: no frame.
  void MarkSector(std::optional<uint64_t> sector);
  // The units in view, [First, End).
  uint64_t First() const { return first_; }
  uint64_t End() const { return end_; }
  void ShowUnits(uint64_t first, uint64_t end);
  // Zooms in (steps > 0) or out about the cell at `at`.
  void Zoom(QPoint at, int steps);

  // The cells drawn now, row after row, and the one at a point of the widget.
  const std::vector<MapCell>& Cells() const { return cells_; }
  int Columns() const;
  std::optional<size_t> CellAt(QPoint at) const;
  // The rectangle of a cell in the widget.
  QRect CellRect(size_t cell) const;
  // A cell's tooltip: its sectors, its classes with their shares, the owners in it.
  QString TipOf(size_t cell) const;

 signals:
  void SectorChosen(uint64_t sector);

 protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  bool event(QEvent* event) override;

 private:
  void Recut();
  uint64_t CellCapacity() const;
  const OwnershipIndex* index_ = nullptr;
  const VolumeMap* map_ = nullptr;
  uint64_t first_ = 0;
  uint64_t end_ = 0;
  std::vector<MapCell> cells_;
  std::optional<uint64_t> marked_;
  Fragments highlighted_;
  std::optional<QPoint> pressed_;
  uint64_t pressedFirst_ = 0;
  bool dragged_ = false;
};

}  // namespace korvalane

// The volume map window: the selected volume's grid of cells coloured by class, with a
// legend of each class's units and bytes. It is built from the volume's ownership index
// (with a progress dialog that can stop it, as "Which file uses this sector?" builds it)
// and kept while the same volume stays selected. It follows the main window's sector.
class VolumeMapWindow : public QDialog, public Ui::VolumeMapWindow {
  Q_OBJECT

 public:
  explicit VolumeMapWindow(QWidget* parent = nullptr);

  // Opens the window on the selected volume, building its map when it has none for it;
  // says in the information dialog why there is none.
  void OpenMap();
  // Follows the main window to another sector or drive.
  void SectorShown(const QString& drive, const QString& sectorText);
  // "Show on the map": opens the map and highlights every fragment of what uses `sector`
  // (the first owner "Which file uses this sector?" names that is no free space).
  void ShowOwnerOf(uint64_t sector);

  // "Rescue map...": reads a GNU ddrescue mapfile of the drive and draws the areas it did
  // not finish as unreadable; says in the information dialog what is wrong with it.
  void Button2Click();
  // The platform's file-open dialog for the mapfile: the file chosen, empty when
  // cancelled. Tests put their own choice here.
  std::function<QString()> FOpenMapDialog;

  korvalane::MapGridView* Grid() const { return grid_; }
  const korvalane::VolumeMap* Map() const { return map_ ? &*map_ : nullptr; }

 private:
  void FillLegend();
  void Rebuild();
  std::vector<korvalane::SectorRange> unreadable_;
  korvalane::MapGridView* grid_ = nullptr;
  const korvalane::OwnershipIndex* index_ = nullptr;
  std::optional<korvalane::VolumeMap> map_;
  std::string drive_;
  uint64_t totalSectors_ = 0;
};

extern VolumeMapWindow* FormVolumeMap;

// The map window, made on first use.
VolumeMapWindow* VolumeMapOf(QWidget* mainWindow);

// Adds the "Volume map..." command (Ctrl+M) to the main window: it opens the map window.
QAction* InstallVolumeMapCommand(QWidget* mainWindow);
