#pragma once

#include <QColor>
#include <QObject>
#include <QString>
#include <cstddef>
#include <vector>

class QPlainTextEdit;

namespace korvalane {

// The marks of the lines of a "File record" view that show something deleted (a deleted
// directory entry, an MFT record or inode no longer in use): their text in a colour of
// its own, and the tooltip "deleted" over them. The view text itself stays as designed.
class DeletedLineMarks : public QObject {
 public:
  static inline const QColor kColour{176, 0, 0};
  static inline const QString kTip = QStringLiteral("deleted");

  explicit DeletedLineMarks(QPlainTextEdit* textArea);

  // Marks the lines (indices into the text area's lines), in place of any marked before.
  void Show(const std::vector<size_t>& lines);
  // Drops the marks (the text area has been filled anew).
  void Clear();
  bool IsMarked(size_t line) const;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QPlainTextEdit* textArea_;
  std::vector<size_t> lines_;  // sorted
};

}  // namespace korvalane
