#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "app/ShownSector.h"
#include "core/structures/Catalog.h"
#include "core/views/SectorView.h"
#include "ui_Unit5.h"

class QAction;
class QPlainTextEdit;

namespace korvalane {

// The byte of a sector of `sectorBytes` bytes that a character of the Text or Hex view
// shows (its line and column), if any.
std::optional<size_t> ByteAtCharacter(size_t line, size_t column, ViewKind view, size_t sectorBytes);

}  // namespace korvalane

// The Structure window: the structure the shown sector holds, field by field (offset,
// size, name, value), its checks, and a data inspector of the bytes from the selected
// field on. It follows the main window's sector while it is open; selecting a field marks
// its bytes in the Text and Hex views. "As" picks another structure than the one
// Korvalane knows there.
class TForm5 : public QDialog, public Ui::TForm5 {
  Q_OBJECT

 public:
  explicit TForm5(QWidget* parent = nullptr);

  // Opens the window (or brings it forward) on the sector shown now. It opens beside the
  // main window, on the side where the screen has room, so that the bytes it marks stay
  // in sight; on a screen too small for both, over the main window's centre.
  void OpenStructure();
  void KindBoxChange();
  void FieldGridSelect();
  // Follows the main window to another sector or drive.
  void SectorShown(const QString& drive, const QString& sectorText);
  // Selects the row of the field that holds byte `offset` of the shown sector.
  void SelectByte(size_t offset);

  // The structure shown, if any.
  const std::optional<korvalane::Structure>& Shown() const { return structure_; }
  // The field of a row of FieldGrid, or -1 for a group's heading row.
  int FieldOfRow(int row) const;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void Refresh();
  void PlaceBesideMainWindow();
  void ShowInspector(size_t offset);

  QString drive_;
  QString sectorText_;
  std::optional<uint64_t> sector_;
  std::optional<korvalane::Structure> structure_;
  std::vector<uint8_t> bytes_;  // the shown sector, for the inspector
  std::vector<int> rowFields_;
};

extern TForm5* Form5;

// Adds the Ctrl+I command that opens the Structure window to the main window (the
// window itself is made when first opened, as the main window's child) and returns it,
// for the main window's menus. A click on a byte of the text area selects the field that
// holds it.
QAction* InstallStructureCommand(QWidget* mainWindow, QPlainTextEdit* textArea);
