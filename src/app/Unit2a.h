#pragma once

#include <QDialog>

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
};

extern TForm2a* Form2a;
