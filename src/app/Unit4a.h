#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <optional>
#include <string>

#include "core/search/Search.h"
#include "ui_Unit4a.h"

// The Find dialog: a pattern and its kind (or a ready-made search), the direction, an
// offset in the sector the match must start at, and whether case matters. "Find next"
// searches the main window's drive from its sector field (from just after the last match
// while the field still shows it); the match becomes the sector shown, its bytes marked.
// The dialog stays open beside the main window, where F3 and Shift+F3 search again.
class TForm4a : public QDialog, public Ui::TForm4a {
  Q_OBJECT

 public:
  explicit TForm4a(QWidget* parent = nullptr);

  void ActivateForm();
  void KindBoxChange();
  void Button1Click();
  void Button2Click();
  void Button3Click();

  // F3 (forward) and Shift+F3 (backward): the same search again; with nothing to search
  // for yet, the dialog opens instead.
  void FindAgain(bool backward);
  // Opens the dialog (or brings it forward) with the pattern ready to be typed over.
  void OpenFind();
  // Ends a running search before its next block.
  void StopSearch();

  bool Searching() const { return searching_; }

  // The kinds of KindBox, in its order.
  enum Kind { HexBytes, Text, Utf16Text, NextFileRecord, NextDirectoryCluster, NextDirectoryBlock };

 protected:
  void showEvent(QShowEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  void Search(bool backward);
  // The pattern the fields describe, or nothing after telling the user why not.
  std::optional<korvalane::SearchPattern> PatternOfFields();
  // Where the search starts, or nothing after telling the user why it cannot.
  std::optional<uint64_t> StartByte(bool backward, uint64_t sectors, uint32_t sectorBytes);
  void ShowMatch(const korvalane::SearchMatch& match, const korvalane::SearchPattern& pattern, uint32_t sectorBytes);
  void SetBusyLook(bool busy);

  bool searching_ = false;
  bool stopRequested_ = false;
  // The last match, as a byte of its drive: the next search goes on from it while the
  // sector field still shows its sector.
  struct LastMatch {
    std::string Drive;
    uint64_t Byte = 0;
  };
  std::optional<LastMatch> last_;
};

extern TForm4a* Form4a;
