#pragma once

#include <QDialog>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "core/model/ViewText.h"
#include "core/ownership/OwnershipCache.h"
#include "core/search/Locate.h"
#include "core/views/SectorView.h"
#include "ui_Unit1a.h"

namespace korvalane {
class ApplicationEvents;
class DeletedLineMarks;
class WakeUpServer;
}  // namespace korvalane

// The main window: drive list, sector field with its step buttons, the three views, the
// text area InfoList and the commands. Closing it ends the program.
//
// Beyond its buttons it answers keys: Ctrl+F opens the Find dialog, F3 and Shift+F3
// search again forward and backward, Ctrl+G opens the Go to dialog, Ctrl+O adds image
// files as drives, as dropping them onto the window or starting the program again with
// them does. The text area's menu offers those commands and goes to the cluster or MFT
// record a line names.
//
// It is a dialog so that ">" can be the default button that Enter presses anywhere in the
// window; Escape, which would close a dialog, does nothing here.
class TForm1a : public QDialog, public Ui::TForm1a {
  Q_OBJECT

 public:
  explicit TForm1a(QWidget* parent = nullptr);
  ~TForm1a() override;

  void CreateForm();
  void ActivateForm();
  void DriveBoxChange();
  void SectorEditChange();
  void SectorButtonLeftClick();
  void SectorButtonRightClick();
  void DetailLabelClick();
  void Button1Click();
  void Button2Click();
  void Button3Click();
  void Button4Click();
  void Label1aClick();
  void Label2aClick();
  void Label3aClick();
  void EventMessage(QEvent* event);
  void ActionFindExecute();
  void ActionFindNextExecute();
  void ActionFindPreviousExecute();
  void ActionGoToExecute();
  void ActionOpenExecute();
  void InfoListContextPopup(const QPoint& position);
  void DragOverForm(QDragMoveEvent* event);
  void DragDropForm(QDropEvent* event);

  // Adds image files (or devices) as the next drives, a partitioned disk with its
  // partitions, and selects the first of them that holds a volume; an image there
  // already is selected, not added again. Those that cannot be read say why.
  void OpenSources(const QStringList& paths);

  // Set before the window is shown when the user named the sources: the window then
  // starts on the first of them that holds a volume rather than on the second drive, and
  // the export dialog opens on this window's drive.
  bool StartedWithSources = false;
  // Shows `sector` as any change of the sector field does, and marks the bytes of it
  // that the ranges (first byte, count) name in the Text and Hex views.
  void ShowSectorBytes(uint64_t sector, const std::vector<std::pair<uint32_t, uint32_t>>& bytes);
  // Sets the sector field to where the target starts; or says in the information dialog
  // why there is no such place and returns false.
  bool JumpTo(const korvalane::JumpTarget& target);

  // The platform's file-open dialog: the files the user chose, none when cancelled.
  // Tests put their own choice here.
  std::function<QStringList()> FOpenDialog;

  // The view text: the lines InfoList shows, exactly as the renderers made them.
  const korvalane::ViewText& ViewLines() const { return view_; }
  // The marks of the "File record" lines that show something deleted.
  const korvalane::DeletedLineMarks& DeletedMarks() const { return *deletedMarks_; }

  // The index of the selected volume's files, built on first use and kept while the volume
  // stays selected: "Which file uses this sector?" and the volume map share it.
  korvalane::OwnershipCache& Ownership() { return ownership_; }

  // True once the start-up steps (ActivateForm) have run.
  bool Activated() const { return activated_; }

  // The identifier of the wake-up message registered at creation.
  int WakeUpMessage() const { return wakeUpMessage_; }

  // The download pages of the three sibling utilities.
  static constexpr const char* kSiblingPages[3] = {
      "https://example.org/korvalane-imager",
      "https://example.org/korvalane-wiper",
      "https://example.org/korvalane-finder",
  };

 protected:
  void showEvent(QShowEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  // Adds a drive to DriveBox in letter order, its tooltip saying what it is and, when it
  // cannot be read, why.
  void AddDriveItem(const std::string& drive);
  void SetDriveTip(int at, const std::string& drive);
  // Says in the information dialog why each source behind `drives` that cannot be read
  // cannot be; nothing when every one can.
  void TellUnreadable(const std::vector<std::string>& drives);
  // Sets the sector field to `sector` and redraws, even when the field names it already.
  // True when that redraw is the one the view shows (no newer one began meanwhile).
  bool ShowSectorNumber(uint64_t sector);
  void MarkBytes(const std::vector<std::pair<uint32_t, uint32_t>>& bytes);
  QStringList ChooseImages();
  // Clears the view text and makes any redraw still at work stale; returns the number of
  // the redraw that may now fill the view.
  uint64_t ClearView();
  // The message pump of redraw `generation`: it serves the user's events and answers
  // false once a newer redraw has begun, so that the stale one stops at once.
  korvalane::MessagePump PumpFor(uint64_t generation);
  // Puts the lines of redraw `generation` into the view, unless a newer one has begun.
  void FinishRedraw(uint64_t generation, korvalane::ViewText lines);
  korvalane::ViewKind SelectedView() const;
  std::string DriveText() const;
  void RaiseApplication();
  // Opens the sources a second start handed over once no modal dialog is open (a copy in
  // the export dialog must keep its drive), then comes to the front.
  void OpenHandedSources();
  // Marks the match again when its sector is drawn anew in another view.
  void MarkAgain();
  // "Which file uses this sector?": the answer in the information dialog; the volume's
  // index is built on first use, with a progress dialog that can stop it.
  void ShowSectorOwner();

  korvalane::ViewText view_;
  korvalane::OwnershipCache ownership_;
  uint64_t redrawGeneration_ = 0;
  int wakeUpMessage_ = 0;
  bool activated_ = false;
  bool shown_ = false;
  // The sources named by the user choose the drives: see StartedWithSources.
  bool followSources_ = false;
  QStringList handedSources_;
  // The bytes of the last match, with the drive and sector field they belong to.
  struct MarkedBytes {
    QString Drive;
    QString Sector;
    std::vector<std::pair<uint32_t, uint32_t>> Bytes;
  };
  MarkedBytes marked_;
  korvalane::ApplicationEvents* ApplicationEvents1 = nullptr;
  QAction* ActionFind = nullptr;
  QAction* ActionFindNext = nullptr;
  QAction* ActionFindPrevious = nullptr;
  QAction* ActionGoTo = nullptr;
  QAction* ActionOpen = nullptr;
  QAction* ActionStructure = nullptr;
  QAction* ActionVolumeMap = nullptr;
  korvalane::WakeUpServer* wakeUpServer_ = nullptr;
  korvalane::DeletedLineMarks* deletedMarks_ = nullptr;
};

extern TForm1a* Form1a;
