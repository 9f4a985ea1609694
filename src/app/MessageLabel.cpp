#include "app/MessageLabel.h"

#include <cctype>

namespace korvalane {

MessageLabel::MessageLabel(QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setWordWrap(true);
}

namespace {

// A digest is one word of 32 to 128 hexadecimal digits, wider than the label; a word is
// never broken, so it would be cut off at both sides. It gets a zero-width space every
// 16 digits on the screen, where it may wrap.
QString BreakLongHexRuns(const QString& text) {
  constexpr qsizetype kLongRun = 32;
  constexpr qsizetype kGroup = 16;
  QString shown;
  qsizetype i = 0;
  while (i < text.size()) {
    qsizetype end = i;
    while (end < text.size() && text[end].unicode() < 128 && std::isxdigit(text[end].unicode()) != 0) ++end;
    if (end - i >= kLongRun) {
      for (qsizetype j = i; j < end; j += kGroup) {
        if (j != i) shown += QChar(0x200B);
        shown += text.mid(j, kGroup);
      }
      i = end;
    } else {
      shown += text.mid(i, end - i + 1);
      i = end + 1;
    }
  }
  return shown;
}

}  // namespace

void MessageLabel::setText(const QString& text) {
  text_ = text;
  QString shown = text;
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\r'), QLatin1Char('\n'));
  QLabel::setText(BreakLongHexRuns(shown));
}

}  // namespace korvalane
