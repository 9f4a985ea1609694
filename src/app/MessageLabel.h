#pragma once

#include <QLabel>

namespace korvalane {

// The message label of the information and confirmation dialogs. Messages separate their
// lines with a lone carriage return ("Information saved to file\r" + name); the label
// shows each as a line break and gives back the text exactly as it was set.
class MessageLabel : public QLabel {
  Q_OBJECT

 public:
  explicit MessageLabel(QWidget* parent = nullptr);

  void setText(const QString& text);
  QString text() const { return text_; }

 private:
  QString text_;
};

}  // namespace korvalane
