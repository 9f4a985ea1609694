#include "core/views/Dumps.h"

#include <algorithm>

namespace korvalane {
namespace {

constexpr size_t kTextLineLength = 64;
constexpr size_t kHexColumns = 4;

// Bytes below 31 are control characters a text box would act on or hide; they show as
// blanks. The hex view also blanks 128 to 255, which have no stable look as code points.
constexpr uint8_t kFirstShownByte = 31;
constexpr uint8_t kLastShownHexByte = 127;

char16_t TextCharacter(uint8_t byte) { return byte < kFirstShownByte ? u' ' : static_cast<char16_t>(byte); }

char16_t HexCharacter(uint8_t byte) {
  return byte < kFirstShownByte || byte > kLastShownHexByte ? u' ' : static_cast<char16_t>(byte);
}

constexpr char16_t kHexDigits[] = u"0123456789ABCDEF";

// Appends an unsigned number in `base`, left-filled with `fill` to `width` characters.
void AppendNumber(std::u16string& out, uint64_t value, unsigned base, size_t width, char16_t fill) {
  char16_t digits[20];
  size_t count = 0;
  do {
    digits[count++] = kHexDigits[value % base];
    value /= base;
  } while (value != 0);
  for (size_t i = count; i < width; ++i) out += fill;
  while (count > 0) out += digits[--count];
}

size_t DigitCount(uint64_t value, unsigned base) {
  size_t count = 1;
  while (value >= base) {
    value /= base;
    ++count;
  }
  return count;
}

// An entry of the hex view: the offset in decimal (4 wide at least), "($", the offset in
// hex (3 wide at least), ") ", the value's two digits, a blank and the character.
constexpr size_t kHexEntryFixed = 2 + 2 + 2 + 1 + 1;
constexpr size_t kHexSeparator = 3;  // " | "

size_t HexEntryLength(size_t offset) {
  return std::max<size_t>(4, DigitCount(offset, 10)) + std::max<size_t>(3, DigitCount(offset, 16)) + kHexEntryFixed;
}

}  // namespace

ViewCell TextViewCell(size_t offset) { return ViewCell{offset / kTextLineLength, offset % kTextLineLength, 1}; }

ViewCell HexViewCell(size_t offset, size_t sectorBytes) {
  const size_t lines = std::max<size_t>(1, sectorBytes / kHexColumns);
  const size_t line = offset % lines;
  const size_t column = offset / lines;
  ViewCell cell{line, 0, HexEntryLength(offset)};
  for (size_t c = 0; c < column; ++c) cell.Column += HexEntryLength(line + c * lines) + kHexSeparator;
  return cell;
}

void RenderTextView(std::span<const uint8_t> sector, ViewText& view, const MessagePump& pump) {
  view.reserve(view.size() + sector.size() / kTextLineLength);
  std::u16string line;
  line.reserve(kTextLineLength);
  for (const uint8_t byte : sector) {
    if (!pump()) return;
    line += TextCharacter(byte);
    if (line.size() == kTextLineLength) {
      view.push_back(line);
      line.clear();
    }
  }
}

void RenderHexView(std::span<const uint8_t> sector, ViewText& view, const MessagePump& pump) {
  // Column-major: line r holds the bytes at r, r + Q, r + 2Q, r + 3Q.
  const size_t lines = sector.size() / kHexColumns;
  if (lines == 0) return;
  const size_t columns = sector.size() / lines;
  view.reserve(view.size() + lines);
  for (size_t r = 0; r < lines; ++r) {
    if (!pump()) return;
    std::u16string line;
    line.reserve(columns * 20);
    for (size_t c = 0; c < columns; ++c) {
      const size_t offset = r + c * lines;
      const uint8_t byte = sector[offset];
      AppendNumber(line, offset, 10, 4, u' ');
      line += u"($";
      AppendNumber(line, offset, 16, 3, u'0');
      line += u") ";
      AppendNumber(line, byte, 16, 2, u'0');
      line += u' ';
      line += HexCharacter(byte);
      line += u" | ";
    }
    view.push_back(std::move(line));
  }
}

}  // namespace korvalane
