#pragma once

#include <QDialog>

#include "ui_Unit1b.h"

// The sector range export dialog ("Save sectors as bin-file").
class TForm1b : public QDialog, public Ui::TForm1b {
  Q_OBJECT

 public:
  explicit TForm1b(QWidget* parent = nullptr);
};

extern TForm1b* Form1b;
