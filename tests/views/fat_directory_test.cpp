// Listing FAT directory clusters read from an in-memory volume.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/views/FatDirectory.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

constexpr uint32_t kDataStart = 4;  // the root directory on these small volumes
constexpr uint32_t kSubdirectory = 8;

void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v);
  b[at + 1] = static_cast<uint8_t>(v >> 8);
}
void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
  Put16(b, at, static_cast<uint16_t>(v));
  Put16(b, at + 2, static_cast<uint16_t>(v >> 16));
}

struct Short {
  std::string name11;  // name and extension, blank-padded, as stored
  uint16_t date = 0x3A67;  // 2009-03-07
  uint16_t time = 0x70A0;  // 14:05
  uint32_t size = 1234;
  uint16_t clusterLow = 5;
  uint16_t clusterHigh = 0;
  uint8_t attributes = 0x20;
};

std::vector<uint8_t> ShortEntry(const Short& s) {
  std::vector<uint8_t> e(32, 0);
  for (size_t i = 0; i < 11 && i < s.name11.size(); ++i) e[i] = static_cast<uint8_t>(s.name11[i]);
  e[11] = s.attributes;
  Put16(e, 20, s.clusterHigh);
  Put16(e, 22, s.time);
  Put16(e, 24, s.date);
  Put16(e, 26, s.clusterLow);
  Put32(e, 28, s.size);
  return e;
}

// The long-name entries for `name`, in the order they stand on disk (last part first).
std::vector<uint8_t> LongEntries(const std::u16string& name) {
  std::vector<std::u16string> parts;
  for (size_t i = 0; i < name.size(); i += 13) parts.push_back(name.substr(i, 13));
  if (parts.empty()) parts.emplace_back();
  std::vector<uint8_t> out;
  for (size_t k = parts.size(); k-- > 0;) {
    std::vector<char16_t> units(parts[k].begin(), parts[k].end());
    if (units.size() < 13) units.push_back(0);
    while (units.size() < 13) units.push_back(0xFFFF);
    std::vector<uint8_t> e(32, 0);
    e[0] = static_cast<uint8_t>(k + 1 + (k + 1 == parts.size() ? 0x40 : 0));
    e[11] = 0x0F;
    const size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    for (size_t i = 0; i < 13; ++i) Put16(e, at[i], units[i]);
    out.insert(out.end(), e.begin(), e.end());
  }
  return out;
}

std::vector<uint8_t> RawLongEntry(const std::vector<char16_t>& thirteenUnits) {
  std::vector<uint8_t> e(32, 0);
  e[0] = 0x41;
  e[11] = 0x0F;
  const size_t at[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
  for (size_t i = 0; i < 13; ++i) Put16(e, at[i], thirteenUnits[i]);
  return e;
}

class FatDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPlatform(&platform_);
    Geometry() = VolumeGeometry{};
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = FileSystemKind::Fat;
    Geometry().BytesPerSector = 512;
    Geometry().SectorsPerCluster = 2;
    Geometry().StartDataSector = kDataStart;
    Geometry().TotalSectors = 16;
    platform_.AddDrive('C', std::vector<uint8_t>(16 * 512, 0));
  }
  void TearDown() override { SetPlatform(nullptr); }

  // Writes entries at the start of `sector`.
  void Write(uint32_t sector, const std::vector<std::vector<uint8_t>>& entries) {
    std::vector<uint8_t>& bytes = platform_.Find("C:")->Bytes;
    size_t at = sector * 512u;
    for (const auto& e : entries) {
      std::copy(e.begin(), e.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
      at += e.size();
    }
  }

  std::vector<std::u16string> List(uint32_t sector, const MessagePump& pump = NoPump) {
    ViewText view;
    ListFatDirectory(sector, view, pump);
    return view;
  }

  MemoryPlatform platform_;
};

TEST_F(FatDirectoryTest, ShortAndLongNames) {
  Write(kDataStart, {ShortEntry({"README  TXT"}), LongEntries(u"Quarterly report"), ShortEntry({"QUARTE~1TXT"})});
  EXPECT_EQ(List(kDataStart), (ViewText{u"README.TXT  2009/03/07 14:05, size 1234 b, cluster 5",
                                        u"Quarterly report  2009/03/07 14:05, size 1234 b, cluster 5"}));
}

TEST_F(FatDirectoryTest, NamesOfEntriesAsListed) {
  struct Case {
    const char* what;
    std::vector<std::vector<uint8_t>> entries;
    std::u16string name;  // empty: the entry is not listed
  };
  const auto raw = [](std::initializer_list<uint8_t> name11) {
    Short s;
    s.name11.assign(name11.begin(), name11.end());
    return ShortEntry(s);
  };
  const Case cases[] = {
      {"deleted entry shows the 866 letter of 0xE5", {raw({0xE5, 'E', 'L', 'E', 'T', 'E', 'D', ' ', 'T', 'X', 'T'})},
       u"\u0445ELETED.TXT"},
      {"volume label", {[] { Short s{"NEW VOLUME "}; s.attributes = 0x08; return ShortEntry(s); }()}, u"NEW VOLU.ME"},
      {"866 capitals and small letters", {raw({0x8E, 0xE2, 0xE7, 0xF1, 0xE2, ' ', ' ', ' ', 0x80, 0xC4, 0xFF})},
       u"\u041E\u0442\u0447\u0451\u0442.\u0080\u00C4\u00FF"},
      {"0x05 first byte is trimmed", {raw({0x05, 'A', 'B', ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '})}, u"AB"},
      {"no extension", {ShortEntry({"DOCS       "})}, u"DOCS"},
      {"blank name is not listed", {ShortEntry({"        TXT"})}, u""},
      {"long name with unusual units", {LongEntries(u"\u00FF\uFF21\u01FF"), ShortEntry({"X       TXT"})},
       u"\u00FF\uFF21\u01FF"},
      {"long name spanning three entries", {LongEntries(u"notes about raw disk sectors.txt"), ShortEntry({"NOTES~1 TXT"})},
       u"notes about raw disk sectors.txt"},
      {"long name trimmed at both ends", {LongEntries(u"  two  words "), ShortEntry({"TWOWOR~1   "})}, u"two  words"},
      {"long units all zero hide the entry",
       {RawLongEntry(std::vector<char16_t>(13, 0)), ShortEntry({"SHORT   TXT"})}, u""},
      {"long units all padding leave the short name",
       {RawLongEntry(std::vector<char16_t>(13, 0xFFFF)), ShortEntry({"SHORT   TXT"})}, u"SHORT.TXT"},
      {"deleted file keeps its long name", {LongEntries(u"deleted file.txt"),
                                            raw({0xE5, 'E', 'L', 'E', 'T', '~', '1', ' ', 'T', 'X', 'T'})},
       u"deleted file.txt"},
  };
  for (const Case& c : cases) {
    std::vector<std::vector<uint8_t>> entries = c.entries;
    entries.insert(entries.begin(), ShortEntry({"FIRST      "}));
    Write(kDataStart, {std::vector<uint8_t>(1024, 0)});
    Write(kDataStart, entries);
    const ViewText view = List(kDataStart);
    ASSERT_FALSE(view.empty()) << c.what;
    if (c.name.empty()) {
      EXPECT_EQ(view.size(), 1u) << c.what;
    } else {
      ASSERT_EQ(view.size(), 2u) << c.what;
      EXPECT_EQ(view[1], c.name + u"  2009/03/07 14:05, size 1234 b, cluster 5") << c.what;
    }
  }
}

TEST_F(FatDirectoryTest, DateAndTimeBounds) {
  struct Case {
    uint16_t date;
    uint16_t time;
    std::u16string stamp;  // empty: the entry is not listed
  };
  const auto date = [](unsigned y, unsigned m, unsigned d) { return static_cast<uint16_t>(y << 9 | m << 5 | d); };
  const auto time = [](unsigned h, unsigned m) { return static_cast<uint16_t>(h << 11 | m << 5); };
  const Case cases[] = {
      {0, 0, u"1980/00/00 00:00"},
      {date(29, 3, 7), time(14, 5), u"2009/03/07 14:05"},
      // Entries written in any year are listed: 2011, 2024 and the last year the field holds.
      {date(31, 1, 1), 0, u"2011/01/01 00:00"},
      {date(44, 12, 31), time(23, 59), u"2024/12/31 23:59"},
      {date(127, 12, 31), 0, u"2107/12/31 00:00"},
      {date(29, 13, 1), 0, u""},
      {date(29, 15, 1), 0, u""},
      {date(29, 0, 31), 0, u"2009/00/31 00:00"},
      {0, time(24, 60), u"1980/00/00 24:60"},
      {0, time(25, 0), u""},
      {0, time(31, 0), u""},
      {0, time(0, 61), u""},
      {0, time(0, 63), u""},
      {0, static_cast<uint16_t>(time(1, 2) | 0x1F), u"1980/00/00 01:02"},  // two-second count unused
  };
  for (const Case& c : cases) {
    Short s{"ENTRY      "};
    s.date = c.date;
    s.time = c.time;
    Write(kDataStart, {ShortEntry({"FIRST      "}), ShortEntry(s), ShortEntry({"LAST       "})});
    const ViewText view = List(kDataStart);
    if (c.stamp.empty()) {
      EXPECT_EQ(view.size(), 2u) << c.date << " " << c.time;
    } else {
      ASSERT_EQ(view.size(), 3u) << c.date << " " << c.time;
      EXPECT_EQ(view[1], u"ENTRY  " + c.stamp + u", size 1234 b, cluster 5");
    }
  }
}

TEST_F(FatDirectoryTest, SizesAndFirstClusters) {
  struct Case {
    FileSystemKind kind;
    uint32_t size;
    uint16_t high;
    uint16_t low;
    std::u16string tail;
  };
  const Case cases[] = {
      {FileSystemKind::Fat, 3221225472u, 0, 7, u"size 3221225472 b, cluster 7"},
      {FileSystemKind::Fat, 4294967295u, 0x0001, 0x2345, u"size 4294967295 b, cluster 9029"},  // high word ignored
      {FileSystemKind::Fat32, 0, 0x0001, 0x2345, u"size 0 b, cluster 74565"},
      {FileSystemKind::Fat32, 1, 0xFFFF, 0xFFFF, u"size 1 b, cluster 4294967295"},
  };
  for (const Case& c : cases) {
    Geometry().FileSystemKind = c.kind;
    Short s{"F          "};
    s.size = c.size;
    s.clusterHigh = c.high;
    s.clusterLow = c.low;
    Write(kDataStart, {ShortEntry(s), std::vector<uint8_t>(32, 0)});
    EXPECT_EQ(List(kDataStart), ViewText{u"F  2009/03/07 14:05, " + c.tail});
  }
}

TEST_F(FatDirectoryTest, WhichClustersAreDirectories) {
  const auto dot = [](const char* name11, uint16_t cluster) {
    Short s{name11};
    s.attributes = 0x10;
    s.size = 0;
    s.clusterLow = cluster;
    return ShortEntry(s);
  };
  Write(kSubdirectory, {dot(".          ", 3), dot("..         ", 0), ShortEntry({"INSIDE  TXT"})});
  EXPECT_EQ(List(kSubdirectory), (ViewText{u".  2009/03/07 14:05, size 0 b, cluster 3",
                                           u"..  2009/03/07 14:05, size 0 b, cluster 0",
                                           u"INSIDE.TXT  2009/03/07 14:05, size 1234 b, cluster 5"}));

  const ViewText notADirectory{u"This sector does not contain information about a file records"};
  // Zeros at the data start: the first entry has no name and the second ends the list.
  EXPECT_EQ(List(kDataStart), ViewText{});
  // Zeros anywhere else, the middle of a directory, a file's cluster.
  EXPECT_EQ(List(2), notADirectory);
  EXPECT_EQ(List(kSubdirectory + 1), notADirectory);
  Write(10, {ShortEntry({"NOTADIR TXT"}), ShortEntry({"..         "})});
  EXPECT_EQ(List(10), notADirectory);
  // The cluster read fails: nothing, no message.
  platform_.Find("C:")->UnreadableSectors = {kSubdirectory + 1};
  EXPECT_EQ(List(kSubdirectory), ViewText{});
  // The cluster reaches past the volume's end.
  EXPECT_EQ(List(15), ViewText{});
}

TEST_F(FatDirectoryTest, WalkEndsAtTheMarkOrTheClusterEnd) {
  // Every first byte non-zero: all L / 32 entries are examined, one pump call each.
  std::vector<std::vector<uint8_t>> full;
  for (int i = 0; i < 32; ++i) {
    Short s{"F" + std::to_string(100 + i) + "       "};
    full.push_back(ShortEntry(s));
  }
  Write(kDataStart, full);
  Write(kDataStart + 2, {ShortEntry({"BEYOND     "})});
  int calls = 0;
  const ViewText view = List(kDataStart, [&] { return ++calls > 0; });
  EXPECT_EQ(calls, 32);
  ASSERT_EQ(view.size(), 32u);
  EXPECT_EQ(view.back(), u"F131  2009/03/07 14:05, size 1234 b, cluster 5");

  // An end mark stops the walk; the entry at offset 0 is examined whatever its first byte.
  Write(kDataStart, {std::vector<uint8_t>(32, 0), ShortEntry({"SECOND     "}), std::vector<uint8_t>(32, 0),
                     ShortEntry({"HIDDEN     "})});
  calls = 0;
  EXPECT_EQ(List(kDataStart, [&] { return ++calls > 0; }),
            ViewText{u"SECOND  2009/03/07 14:05, size 1234 b, cluster 5"});
  EXPECT_EQ(calls, 2);
  Write(kDataStart, {ShortEntry({"FIRST      "}), ShortEntry({"SECOND     "}), std::vector<uint8_t>(32, 0),
                     ShortEntry({"HIDDEN     "})});
  EXPECT_EQ(List(kDataStart).size(), 2u);

  // A superseded listing stops at once and shows nothing, as a superseded record report.
  calls = 0;
  EXPECT_EQ(List(kDataStart, [&] { return ++calls < 2; }).size(), 0u);
  EXPECT_EQ(calls, 2);
}

TEST_F(FatDirectoryTest, LongNameLeftOverAtTheEndIsDropped) {
  Write(kDataStart, {ShortEntry({"A          "}), LongEntries(u"orphan"), std::vector<uint8_t>(32, 0)});
  EXPECT_EQ(List(kDataStart), ViewText{u"A  2009/03/07 14:05, size 1234 b, cluster 5"});
  // The run belongs to the next short entry by position only, across a listed one.
  Write(kDataStart, {LongEntries(u"first long"), ShortEntry({"A          "}), ShortEntry({"B          "})});
  EXPECT_EQ(List(kDataStart), (ViewText{u"first long  2009/03/07 14:05, size 1234 b, cluster 5",
                                        u"B  2009/03/07 14:05, size 1234 b, cluster 5"}));
}

TEST_F(FatDirectoryTest, ClusterSizeOfZeroOrOutOfRangeReadsNothing) {
  Write(kDataStart, {ShortEntry({"A          "})});
  for (int32_t sectorsPerCluster : {0, -1, 256 * 64}) {
    Geometry().SectorsPerCluster = sectorsPerCluster;
    platform_.Reads = 0;
    EXPECT_EQ(List(kDataStart), ViewText{}) << sectorsPerCluster;
    EXPECT_EQ(platform_.Reads, 0) << sectorsPerCluster;
  }
}

TEST(ShortNameCharTable, CarriesDosCyrillicOntoWindows1251) {
  struct Case {
    uint8_t byte;
    uint8_t value;
  };
  const Case cases[] = {{0x80, 0xC0}, {0xAF, 0xEF}, {0xB0, 0xB0}, {0xC3, 0xC3}, {0xC4, 0x97}, {0xC5, 0xC5},
                        {0xDF, 0xDF}, {0xE0, 0xF0}, {0xE5, 0xF5}, {0xEF, 0xFF}, {0xF0, 0xA8}, {0xF1, 0xB8},
                        {0xF2, 0xF2}, {0xFE, 0xFE}, {0xFF, 0xA9}};
  for (const Case& c : cases) EXPECT_EQ(ShortNameCharTable[c.byte - 0x80u], c.value) << int{c.byte};
}

}  // namespace
}  // namespace korvalane
