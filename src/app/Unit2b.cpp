#include "app/Unit2b.h"

#include <QKeyEvent>

#include "app/Look.h"

TForm2b* Form2b = nullptr;

TForm2b::TForm2b(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  korvalane::UseDialogFrame(this);
  connect(Button1, &QPushButton::clicked, this, &TForm2b::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm2b::Button2Click);
}

// Every showing starts unanswered, so a Yes never carries over to the next question.
void TForm2b::ShowForm() { Choice = 0; }

void TForm2b::Button1Click() {
  Choice = 1;
  close();
}

void TForm2b::Button2Click() { close(); }

void TForm2b::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  // A spontaneous show is the window coming back from the task bar, not a new question.
  if (event->spontaneous()) return;
  ShowForm();
  korvalane::CentreOnMainWindow(this);
  Button1->setFocus(Qt::OtherFocusReason);
}

void TForm2b::keyPressEvent(QKeyEvent* event) {
  // No button is the cancel button: Escape leaves the question open.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}
