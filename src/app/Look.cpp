#include "app/Look.h"

#include <QApplication>
#include <QFontDatabase>
#include <QScreen>
#include <QStyle>
#include <QStyleFactory>
#include <QWidget>

#include "app/Unit1a.h"

namespace korvalane {

void ApplyLook(QApplication& app) {
  if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
    QApplication::setStyle(fusion);
    // Fusion's standard palette is the light one; a dark desktop theme must not leak in.
    app.setPalette(fusion->standardPalette());
  }
  app.setFont(FormFont());
}

QFont FormFont() {
  QFont font;
  // Where Segoe UI is missing, a condensed face comes closest to its width, so that the
  // captions fit the controls laid out for it.
  font.setFamilies({QStringLiteral("Segoe UI"), QStringLiteral("DejaVu Sans Condensed"),
                    QStringLiteral("Liberation Sans Narrow"), QStringLiteral("DejaVu Sans")});
  font.setPixelSize(13);
  return font;
}

QFont ViewFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setStyleHint(QFont::Monospace);
  font.setFixedPitch(true);
  font.setPixelSize(12);
  return font;
}

void UseDialogFrame(QWidget* dialog) {
  dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint);
  dialog->setFixedSize(dialog->size());
  dialog->setFont(FormFont());
}

void CentreOnMainWindow(QWidget* window) {
  QRect area;
  if (Form1a != nullptr && Form1a != window && Form1a->isVisible()) {
    area = Form1a->frameGeometry();
  } else if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    area = screen->availableGeometry();
  } else {
    return;
  }
  const QSize size = window->frameGeometry().size();
  window->move(area.left() + (area.width() - size.width()) / 2, area.top() + (area.height() - size.height()) / 2);
}

}  // namespace korvalane
