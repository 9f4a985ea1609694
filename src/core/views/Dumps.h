#pragma once

#include <cstdint>
#include <span>

#include "core/model/ViewText.h"

namespace korvalane {

// The "Text" view: 64 characters a line, bytes 0 to 30 shown as blanks, every other byte
// as the code point of its value; a remainder shorter than 64 is not shown.
void RenderTextView(std::span<const uint8_t> sector, ViewText& view, const MessagePump& pump);

// The "Hex" view: sector.size() / 4 lines, column-major, four entries a line of the form
// "   5($005) 41 A | ".
void RenderHexView(std::span<const uint8_t> sector, ViewText& view, const MessagePump& pump);

// Where a byte of a sector stands in a view's lines: the line, the first column and how
// many characters show it.
struct ViewCell {
  size_t Line = 0;
  size_t Column = 0;
  size_t Length = 0;

  bool operator==(const ViewCell&) const = default;
};

// Byte `offset` in the text view: character offset % 64 of line offset / 64.
ViewCell TextViewCell(size_t offset);

// Byte `offset` in the hex view of a sector of `sectorBytes` bytes: the entry
// "   5($005) 41 A" (without the " | " after it) in line offset % (sectorBytes / 4),
// column offset / (sectorBytes / 4).
ViewCell HexViewCell(size_t offset, size_t sectorBytes);

}  // namespace korvalane
