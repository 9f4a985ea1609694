#include "app/LinkLabel.h"

#include <QEvent>
#include <QMouseEvent>

namespace korvalane {

LinkLabel::LinkLabel(QWidget* parent) : QLabel(parent) {
  setCursor(Qt::PointingHandCursor);
  useLinkLook();
}

void LinkLabel::mouseReleaseEvent(QMouseEvent* event) {
  // A press that is dragged off the label and released elsewhere is not a click.
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
    emit clicked();
    event->accept();
    return;
  }
  QLabel::mouseReleaseEvent(event);
}

void LinkLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  // The form sets its font after the label is made; the underline must survive it.
  if (event->type() == QEvent::FontChange && !font().underline()) useLinkLook();
}

void LinkLabel::useLinkLook() {
  QFont underlined = font();
  underlined.setUnderline(true);
  setFont(underlined);
  QPalette colours = palette();
  colours.setColor(QPalette::WindowText, colours.color(QPalette::Link));
  setPalette(colours);
}

}  // namespace korvalane
