#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <utility>
#include <vector>

#include "core/views/SectorView.h"

namespace korvalane {

// The sector the main window shows, for the windows that follow it, and their requests
// to mark bytes of it. The main window sets it after each redraw and answers the marks;
// the followers (the Find and Structure windows) listen. Neither side reaches into the
// other's members.
class ShownSector : public QObject {
  Q_OBJECT

 public:
  static ShownSector& Instance();

  // The main window has drawn the sector its field names (the field's text, as typed)
  // in a view.
  void Set(const QString& drive, const QString& sectorText, korvalane::ViewKind view);
  // The sector field's text as typed, set on every change, before the sector is drawn:
  // where a search starts.
  void SetField(const QString& text) { field_ = text; }
  QString Field() const { return field_; }
  QString Drive() const { return drive_; }
  QString SectorText() const { return sectorText_; }
  korvalane::ViewKind View() const { return view_; }

 signals:
  void Changed(const QString& drive, const QString& sectorText);
  // Byte ranges (first, count) of `sector` to mark in the Text and Hex views.
  void MarkRequested(uint64_t sector, const std::vector<std::pair<uint32_t, uint32_t>>& bytes);

 private:
  QString drive_;
  QString sectorText_;
  QString field_;
  korvalane::ViewKind view_ = korvalane::ViewKind::Text;
};

}  // namespace korvalane
