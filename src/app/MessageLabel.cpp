#include "app/MessageLabel.h"

namespace korvalane {

MessageLabel::MessageLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setWordWrap(true);
}

void MessageLabel::setText(const QString& text) {
  text_ = text;
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QLabel::setText(shown);
}

}  // namespace korvalane
