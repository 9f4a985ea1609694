#include "app/Look.h"

#include <QApplication>
#include <algorithm>
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

std::optional<QRect> PlaceBeside(const QRect& main, QSize size, QSize minimum, const QRect& screen) {
  // A little space between the two, where there is room for it.
  constexpr int kGap = 8;
  const int height = std::max(minimum.height(), std::min(size.height(), screen.height()));
  if (height > screen.height()) return std::nullopt;
  const int right = screen.right() - main.right();
  const int left = main.left() - screen.left();
  const auto width = [&](int room) { return std::min(size.width(), room - kGap); };
  int x = 0;
  int w = 0;
  if (right - kGap >= minimum.width()) {
    w = width(right);
    x = main.right() + 1 + kGap;
  } else if (left - kGap >= minimum.width()) {
    w = width(left);
    x = main.left() - kGap - w;
  } else {
    return std::nullopt;
  }
  const int y = std::clamp(main.top(), screen.top(), screen.bottom() + 1 - height);
  return QRect(x, y, w, height);
}

}  // namespace korvalane
