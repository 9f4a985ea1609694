#pragma once

#include <cstdint>
#include <span>

#include "core/views/ViewText.h"

namespace korvalane {

// The "Text" view: 64 characters a line, bytes 0 to 30 shown as blanks, every other byte
// as the code point of its value; a remainder shorter than 64 is not shown.
void RenderTextView(std::span<const uint8_t> sector, ViewText& view, const MessagePump& pump);

// The "Hex" view: sector.size() / 4 lines, column-major, four entries a line of the form
// "   5($005) 41 A | ".
void RenderHexView(std::span<const uint8_t> sector, ViewText& view, const MessagePump& pump);

}  // namespace korvalane
