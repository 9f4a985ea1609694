#pragma once

#include <functional>
#include <string>
#include <vector>

namespace korvalane {

// The lines of the main window's text area, in order. Renderers and reports append to it;
// only the window (or the command line) clears it.
using ViewText = std::vector<std::u16string>;

// Called between the steps of a long loop so that the user interface stays responsive.
// It returns false when the work that called it has been superseded (the user asked for
// another sector or view meanwhile); the renderer then stops appending at once. The
// command line passes NoPump.
using MessagePump = std::function<bool()>;

inline bool NoPump() { return true; }

}  // namespace korvalane
