#pragma once

#include <QDialog>
#include <cstdint>

#include "core/views/SectorView.h"
#include "core/views/ViewText.h"
#include "ui_Unit1a.h"

namespace korvalane {
class ApplicationEvents;
class WakeUpServer;
}  // namespace korvalane

// The main window: drive list, sector field with its step buttons, the three views, the
// text area InfoList and the commands. Closing it ends the program.
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

  // The view text: the lines InfoList shows, exactly as the renderers made them.
  const korvalane::ViewText& ViewLines() const { return view_; }

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

 private:
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

  korvalane::ViewText view_;
  uint64_t redrawGeneration_ = 0;
  int wakeUpMessage_ = 0;
  bool activated_ = false;
  bool shown_ = false;
  korvalane::ApplicationEvents* ApplicationEvents1 = nullptr;
  korvalane::WakeUpServer* wakeUpServer_ = nullptr;
};

extern TForm1a* Form1a;
