#include "app/Unit3.h"

#include <QKeyEvent>
#include <string>

#include "app/Look.h"
#include "core/Platform.h"

TForm3* Form3 = nullptr;

TForm3::TForm3(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  korvalane::UseDialogFrame(this);
  HomePageLabel2->setText(QString::fromLatin1(kHomePage));
  SupportLabel2->setText(QString::fromLatin1(kSupportAddress));
  // Both labels take the size of their text; the version stays centred where it was.
  const int versionCentre = VersionLabel->geometry().center().x();
  VersionLabel->adjustSize();
  VersionLabel->move(versionCentre - VersionLabel->width() / 2, VersionLabel->y());
  CopyrightLabel->adjustSize();
  HomePageLabel2->adjustSize();
  SupportLabel2->adjustSize();
  connect(HomePageLabel2, &korvalane::LinkLabel::clicked, this, &TForm3::HomePageLabel2Click);
  connect(SupportLabel2, &korvalane::LinkLabel::clicked, this, &TForm3::SupportLabel2Click);
  connect(Button1, &QPushButton::clicked, this, &TForm3::Button1Click);
}

// When the desktop cannot open the link, nothing is said and the box stays open.
void TForm3::HomePageLabel2Click() { korvalane::CurrentPlatform().OpenLink(kHomePage); }

// The subject is written with a plain blank; mail programs take it as it is.
void TForm3::SupportLabel2Click() {
  korvalane::CurrentPlatform().OpenLink(std::string("mailto:") + kSupportAddress + "?subject=Korvalane support");
}

void TForm3::Button1Click() { close(); }

void TForm3::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  korvalane::CentreOnMainWindow(this);
  Button1->setFocus(Qt::OtherFocusReason);
}

void TForm3::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}
