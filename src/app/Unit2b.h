#pragma once

#include <QDialog>
#include <cstdint>

#include "ui_Unit2b.h"

// The confirmation dialog: callers set InfoLabel, show it modally and read Choice
// afterwards (1 = Yes; 0 = No, the close box or Alt+F4).
class TForm2b : public QDialog, public Ui::TForm2b {
  Q_OBJECT

 public:
  explicit TForm2b(QWidget* parent = nullptr);

  uint8_t Choice = 0;

  void ShowForm();
  void Button1Click();
  void Button2Click();

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

extern TForm2b* Form2b;
