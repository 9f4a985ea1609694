#include "app/DeletedLines.h"

#include <QHelpEvent>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QToolTip>
#include <algorithm>

namespace korvalane {

DeletedLineMarks::DeletedLineMarks(QPlainTextEdit* textArea) : QObject(textArea), textArea_(textArea) {
  textArea_->viewport()->installEventFilter(this);
}

void DeletedLineMarks::Show(const std::vector<size_t>& lines) {
  lines_ = lines;
  std::sort(lines_.begin(), lines_.end());
  lines_.erase(std::unique(lines_.begin(), lines_.end()), lines_.end());
  QTextCharFormat look;
  look.setForeground(kColour);
  look.setProperty(QTextFormat::FullWidthSelection, true);
  QList<QTextEdit::ExtraSelection> marks;
  for (const size_t line : lines_) {
    const QTextBlock block = textArea_->document()->findBlockByNumber(static_cast<int>(line));
    if (!block.isValid()) continue;
    QTextEdit::ExtraSelection mark;
    mark.format = look;
    mark.cursor = QTextCursor(block);
    mark.cursor.movePosition(QTextCursor::EndOfBlock, QTextCursor::KeepAnchor);
    marks.append(mark);
  }
  textArea_->setExtraSelections(marks);
}

void DeletedLineMarks::Clear() {
  if (lines_.empty()) return;
  lines_.clear();
  textArea_->setExtraSelections({});
}

bool DeletedLineMarks::IsMarked(size_t line) const { return std::binary_search(lines_.begin(), lines_.end(), line); }

bool DeletedLineMarks::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() != QEvent::ToolTip || lines_.empty()) return QObject::eventFilter(watched, event);
  const auto* help = static_cast<QHelpEvent*>(event);
  // The line under the pointer, not the nearest one to a point below the last line.
  const QTextCursor at = textArea_->cursorForPosition(help->pos());
  const QRect line = textArea_->cursorRect(at);
  if (help->pos().y() >= line.top() && help->pos().y() <= line.bottom() &&
      IsMarked(static_cast<size_t>(at.blockNumber()))) {
    QToolTip::showText(help->globalPos(), kTip, textArea_->viewport());
  } else {
    QToolTip::hideText();
  }
  return true;
}

}  // namespace korvalane
