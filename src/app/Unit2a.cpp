#include "app/Unit2a.h"

#include <QKeyEvent>
#include <algorithm>

#include "app/Look.h"

TForm2a* Form2a = nullptr;

TForm2a::TForm2a(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  korvalane::UseDialogFrame(this);
  connect(Button1, &QPushButton::clicked, this, &TForm2a::Button1Click);
  labelGeometry_ = InfoLabel->geometry();
  buttonGeometry_ = Button1->geometry();
  designedSize_ = size();
}

void TForm2a::FitMessage() {
  const int extra = std::max(0, InfoLabel->heightForWidth(labelGeometry_.width()) - labelGeometry_.height());
  InfoLabel->setGeometry(labelGeometry_.adjusted(0, 0, 0, extra));
  Button1->setGeometry(buttonGeometry_.translated(0, extra));
  setFixedSize(designedSize_.width(), designedSize_.height() + extra);
}

void TForm2a::Button1Click() { close(); }

void TForm2a::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  FitMessage();
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
