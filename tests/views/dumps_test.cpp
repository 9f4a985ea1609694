// The "Text" and "Hex" views of a sector buffer.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "core/views/Dumps.h"

namespace korvalane {
namespace {

std::vector<uint8_t> Sector(size_t size, std::initializer_list<std::pair<size_t, uint8_t>> bytes = {}) {
  std::vector<uint8_t> sector(size, 0);
  for (const auto& [offset, value] : bytes) sector[offset] = value;
  return sector;
}

TEST(TextView, ZeroSectorGivesLinesOfBlanks) {
  ViewText view;
  RenderTextView(Sector(512), view, NoPump);
  ASSERT_EQ(view.size(), 8u);
  for (const std::u16string& line : view) EXPECT_EQ(line, std::u16string(64, u' '));
}

TEST(TextView, ControlBytesBelow31AreBlanksEverythingElseIsItsCodePoint) {
  struct Case {
    uint8_t byte;
    char16_t shown;
  };
  const Case cases[] = {{0x00, u' '},   {0x1E, u' '},   {0x1F, u'\x1F'}, {0x20, u' '},   {0x41, u'A'},
                        {0x7F, u'\x7F'}, {0x80, u'\x80'}, {0xE9, u'\xE9'}, {0xFF, u'\xFF'}};
  for (const Case& c : cases) {
    ViewText view;
    RenderTextView(Sector(512, {{70, c.byte}}), view, NoPump);
    ASSERT_EQ(view.size(), 8u);
    EXPECT_EQ(view[1][6], c.shown) << int{c.byte};
  }
}

TEST(TextView, LineCountsAndRemainder) {
  struct Case {
    size_t size;
    size_t lines;
  };
  // A remainder shorter than a line is not shown.
  for (const Case& c : {Case{512, 8}, Case{4096, 64}, Case{100, 1}, Case{63, 0}, Case{0, 0}}) {
    ViewText view{u"kept"};
    RenderTextView(Sector(c.size), view, NoPump);
    EXPECT_EQ(view.size(), 1 + c.lines) << c.size;
    EXPECT_EQ(view.front(), u"kept");  // the renderer appends, it never clears
  }
}

TEST(HexView, WorkedEntries) {
  ViewText view;
  RenderHexView(Sector(512, {{5, 0x41}, {300, 0x00}, {0, 0x1F}, {128, 0x1E}, {256, 0x7F}, {384, 0x80}}), view,
                NoPump);
  ASSERT_EQ(view.size(), 128u);
  // Column-major: the first line shows offsets 0, 128, 256 and 384.
  EXPECT_EQ(view[0], u"   0($000) 1F \x1F |  128($080) 1E   |  256($100) 7F \x7F |  384($180) 80   | ");
  EXPECT_EQ(view[5].substr(0, 18), u"   5($005) 41 A | ");
  EXPECT_EQ(view[44].substr(36, 18), u" 300($12C) 00   | ");
  EXPECT_EQ(view[127], u" 127($07F) 00   |  255($0FF) 00   |  383($17F) 00   |  511($1FF) 00   | ");
}

TEST(HexView, ByteCharacterIsShownOnlyFrom31To127) {
  struct Case {
    uint8_t byte;
    char16_t shown;
  };
  const Case cases[] = {{0x00, u' '}, {0x1E, u' '}, {0x1F, u'\x1F'}, {0x7E, u'~'}, {0x7F, u'\x7F'},
                        {0x80, u' '}, {0xA0, u' '}, {0xFF, u' '}};
  for (const Case& c : cases) {
    ViewText view;
    RenderHexView(Sector(512, {{1, c.byte}}), view, NoPump);
    ASSERT_EQ(view.size(), 128u);
    EXPECT_EQ(view[1][14], c.shown) << int{c.byte};
  }
}

TEST(HexView, A4096ByteSector) {
  ViewText view;
  RenderHexView(Sector(4096, {{4095, 0x5A}}), view, NoPump);
  ASSERT_EQ(view.size(), 1024u);
  EXPECT_EQ(view[0], u"   0($000) 00   | 1024($400) 00   | 2048($800) 00   | 3072($C00) 00   | ");
  EXPECT_EQ(view[1023], u"1023($3FF) 00   | 2047($7FF) 00   | 3071($BFF) 00   | 4095($FFF) 5A Z | ");
}

// The cells the window marks for a found byte are exactly where the renderers put it, on
// sectors whose offsets outgrow the entries' minimum widths too.
TEST(ViewCells, EachByteIsAtItsCellInBothViews) {
  for (size_t size : {size_t{512}, size_t{4096}, size_t{16384}}) {
    std::vector<uint8_t> sector(size);
    for (size_t i = 0; i < size; ++i) sector[i] = static_cast<uint8_t>('A' + i % 26);
    ViewText text;
    ViewText hex;
    RenderTextView(sector, text, NoPump);
    RenderHexView(sector, hex, NoPump);
    for (size_t i = 0; i < size; ++i) {
      const ViewCell t = TextViewCell(i);
      ASSERT_LT(t.Line, text.size());
      ASSERT_EQ(t.Length, 1u);
      ASSERT_EQ(text[t.Line][t.Column], static_cast<char16_t>(sector[i])) << size << " " << i;
      char entry[64];
      std::snprintf(entry, sizeof entry, "%4zu($%03zX) %02X %c", i, i, sector[i], sector[i]);
      const ViewCell h = HexViewCell(i, size);
      ASSERT_LT(h.Line, hex.size());
      const std::u16string shown = hex[h.Line].substr(h.Column, h.Length);
      ASSERT_EQ(std::string(shown.begin(), shown.end()), entry) << size << " " << i;
    }
  }
}

TEST(HexView, SectorsBelowFourBytesGiveNoLines) {
  for (size_t size : {0u, 1u, 3u}) {
    ViewText view;
    RenderHexView(Sector(size), view, NoPump);
    EXPECT_TRUE(view.empty()) << size;
  }
}

TEST(Dumps, PumpRunsPerByteAndPerLineAndASupersededRedrawStops) {
  struct Case {
    bool hex;
    int callsWhenDone;  // 512 bytes: once per byte (text), once per line (hex)
    int allowed;        // the pump returns false on the call after these
    size_t linesThen;
  };
  const Case cases[] = {{false, 512, 512, 8}, {false, 512, 130, 2}, {false, 512, 0, 0},
                        {true, 128, 128, 128}, {true, 128, 10, 10}, {true, 128, 0, 0}};
  for (const Case& c : cases) {
    int calls = 0;
    const MessagePump pump = [&] { return ++calls <= c.allowed; };
    ViewText view;
    if (c.hex) {
      RenderHexView(Sector(512), view, pump);
    } else {
      RenderTextView(Sector(512), view, pump);
    }
    EXPECT_EQ(view.size(), c.linesThen) << c.hex << " " << c.allowed;
    EXPECT_EQ(calls, std::min(c.callsWhenDone, c.allowed + 1)) << c.hex << " " << c.allowed;
  }
}

}  // namespace
}  // namespace korvalane
