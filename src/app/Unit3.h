#pragma once

#include <QDialog>

#include "ui_Unit3.h"

// The About box: version, copyright line, and links to the home page and to support.
// The main window makes a new one for each showing.
class TForm3 : public QDialog, public Ui::TForm3 {
  Q_OBJECT

 public:
  explicit TForm3(QWidget* parent = nullptr);

  static constexpr char kHomePage[] = "https://example.org";
  static constexpr char kSupportAddress[] = "support@example.org";

  void HomePageLabel2Click();
  void SupportLabel2Click();
  void Button1Click();

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
};

extern TForm3* Form3;
