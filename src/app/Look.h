#pragma once

#include <QFont>
#include <QRect>
#include <QSize>
#include <optional>

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

// Where a window (its frame of `size`, at least `minimum`) stands beside the frame `main`
// of the main window on a screen whose free area is `screen`, so that it covers none of
// it: on the right where the screen has room there, otherwise on the left, narrowed to
// the room down to `minimum` and no taller than the screen; its top level with the main
// window's where it fits. Nothing where neither side has room for `minimum`.
std::optional<QRect> PlaceBeside(const QRect& main, QSize size, QSize minimum, const QRect& screen);

}  // namespace korvalane
