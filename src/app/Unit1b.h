#pragma once

#include <QDialog>
#include <QString>
#include <functional>

#include "ui_Unit1b.h"

// The sector range export dialog ("Save sectors as bin-file"): a drive, a start and an
// end sector, and Start, which copies the sectors from the start up to but not including
// the end into a file of raw bytes. While the copy runs, Start reads "Stop" and the
// dialog cannot be closed. A box below the buttons, off unless ticked (and kept for the
// run), adds the SHA-256 of the written bytes to the completion message.
class TForm1b : public QDialog, public Ui::TForm1b {
  Q_OBJECT

 public:
  explicit TForm1b(QWidget* parent = nullptr);

  // The platform's file-save dialog: given the proposed file name, the full path the user
  // chose, or an empty text when the user cancelled. Tests put their own choice here.
  std::function<QString(const QString& proposedName)> FSaveDialog;

  // The drive to open on ("D:"); when empty, or not in the list, the second drive.
  QString OpenOnDrive;

  void ActivateForm();
  void DriveBoxChange();
  void EditChange();
  void Button1Click();
  void Button2Click();
  // Answers whether the dialog may close now (it may not while a copy runs).
  bool CloseForm();

  // True from the moment the dialog enters the busy state until it is idle again.
  bool Copying() const { return copying_; }

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void reject() override;

 private:
  void StartCopy();
  void StopCopy();
  void SetBusyLook(bool busy);
  static void ShowMessage(const QString& text);
  static bool Ask(const QString& question);
  QString ChooseFile(const QString& proposedName);

  bool copying_ = false;
};

extern TForm1b* Form1b;
