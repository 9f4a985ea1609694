#include "app/Unit4b.h"

#include <QShowEvent>

#include "app/Look.h"
#include "app/Unit1a.h"
#include "app/Unit2a.h"
#include "core/search/Locate.h"
#include "core/text/SectorField.h"

TForm4b* Form4b = nullptr;

TForm4b::TForm4b(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  korvalane::UseDialogFrame(this);
  connect(Button1, &QPushButton::clicked, this, &TForm4b::Button1Click);
  connect(Button2, &QPushButton::clicked, this, &TForm4b::Button2Click);
}

void TForm4b::ActivateForm() {
  korvalane::CentreOnMainWindow(this);
  Edit1->setFocus(Qt::OtherFocusReason);
  Edit1->selectAll();
}

void TForm4b::Button1Click() {
  using korvalane::JumpKind;
  const std::optional<uint64_t> number = korvalane::ParseSectorIndex(Edit1->text().toStdU16String());
  if (!number) {
    korvalane::ShowInformation(QStringLiteral("Not a number: ") + Edit1->text());
    return;
  }
  const int kind = KindBox->currentIndex();
  const JumpKind jump = kind == Cluster     ? JumpKind::Cluster
                        : kind == MftRecord ? JumpKind::MftRecord
                        : kind == Inode     ? JumpKind::Inode
                                            : JumpKind::Sector;
  if (Form1a->JumpTo(korvalane::JumpTarget{jump, *number})) accept();
}

void TForm4b::Button2Click() { reject(); }

void TForm4b::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (event->spontaneous()) return;
  ActivateForm();
}
