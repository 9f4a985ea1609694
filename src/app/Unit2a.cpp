#include "app/Unit2a.h"

#include <QKeyEvent>

#include "app/Look.h"

TForm2a* Form2a = nullptr;

TForm2a::TForm2a(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  korvalane::UseDialogFrame(this);
  connect(Button1, &QPushButton::clicked, this, &TForm2a::Button1Click);
}

void TForm2a::Button1Click() { close(); }

void TForm2a::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  korvalane::CentreOnMainWindow(this);
  Button1->setFocus(Qt::OtherFocusReason);
}

void TForm2a::keyPressEvent(QKeyEvent* event) {
  // No button is the cancel button: Escape leaves the dialog open.
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

namespace korvalane {

void ShowInformation(const QString& text) {
  Form2a->InfoLabel->setText(text);
  Form2a->exec();
}

QString Sentence(std::string_view reason) {
  QString text = QString::fromUtf8(reason.data(), static_cast<qsizetype>(reason.size()));
  if (!text.isEmpty()) text[0] = text[0].toUpper();
  return text;
}

}  // namespace korvalane
