#pragma once

#include <QFont>

class QApplication;
class QWidget;

namespace korvalane {

// The program's light look: Qt's Fusion style with its own light palette, whatever theme
// the desktop uses, so that every window looks as designed.
void ApplyLook(QApplication& app);

// The windows' font: "Segoe UI" at 13 px (a sans-serif of similar width where it is
// missing).
QFont FormFont();

// The fixed-pitch font of the main window's text area, 12 px.
QFont ViewFont();

// The frame of the program's dialogs: a title bar with system menu, minimise and close
// boxes, no maximise box, and a size the user cannot change.
void UseDialogFrame(QWidget* dialog);

// Places a window at the centre of the main window (of the screen while there is none).
void CentreOnMainWindow(QWidget* window);

}  // namespace korvalane
