#include "app/ShownSector.h"

namespace korvalane {

ShownSector& ShownSector::Instance() {
  static ShownSector instance;
  return instance;
}

void ShownSector::Set(const QString& drive, const QString& sectorText, ViewKind view) {
  drive_ = drive;
  sectorText_ = sectorText;
  view_ = view;
  emit Changed(drive, sectorText);
}

}  // namespace korvalane
