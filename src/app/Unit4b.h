#pragma once

#include <QDialog>

#include "ui_Unit4b.h"

// The Go to dialog: a sector, a cluster or an MFT record of the main window's drive.
// "Go to" sets the sector field to where it starts and closes the dialog, or says why
// there is no such place and stays open.
class TForm4b : public QDialog, public Ui::TForm4b {
  Q_OBJECT

 public:
  explicit TForm4b(QWidget* parent = nullptr);

  void ActivateForm();
  void Button1Click();
  void Button2Click();

  // The kinds of KindBox, in its order.
  enum Kind { Sector, Cluster, MftRecord, Inode };

 protected:
  void showEvent(QShowEvent* event) override;
};

extern TForm4b* Form4b;
