#pragma once

#include <QLabel>

namespace korvalane {

// A label that acts as a link: underlined, drawn in the link colour, a hand cursor, and a
// click signal. What a click opens is up to the window that holds it.
class LinkLabel : public QLabel {
  Q_OBJECT

 public:
  explicit LinkLabel(QWidget* parent = nullptr);

 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  void useLinkLook();
};

}  // namespace korvalane
