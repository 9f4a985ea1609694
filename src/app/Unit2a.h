#pragma once

#include <QDialog>
#include <QString>
#include <string_view>

#include "ui_Unit2a.h"

// The information dialog: the program's one way of telling the user something. Callers
// set InfoLabel and show it modally.
class TForm2a : public QDialog, public Ui::TForm2a {
  Q_OBJECT

 public:
  explicit TForm2a(QWidget* parent = nullptr);

  void Button1Click();

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  // Grows the label, and the dialog with it, when a message has more lines than the
  // label holds (a digest); every other message keeps the designed size.
  void FitMessage();

  QRect labelGeometry_;
  QRect buttonGeometry_;
  QSize designedSize_;
};

extern TForm2a* Form2a;

namespace korvalane {

// Tells the user something: sets the information dialog's InfoLabel and shows it modally.
void ShowInformation(const QString& text);

// A reason the core gives in words ("cluster 9 is outside the volume ...") as a message
// of its own, with a capital first letter.
QString Sentence(std::string_view reason);

}  // namespace korvalane
