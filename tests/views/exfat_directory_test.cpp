// Listing exFAT directory clusters read from an in-memory volume.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/views/ExfatDirectory.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"
#include "views/ExfatBuilder.h"

namespace korvalane {
namespace {

using testing::Concat;
using testing::Entry;
using testing::FileSet;
using testing::Timestamp;
using testing::Typed;
using testing::VolumeLabel;

// Two sectors of 512 bytes a cluster (32 entries); the heap starts at sector 8 and the
// root directory is cluster 4, so its first sector is 8 + (4 - 2) x 2 = 12.
constexpr uint32_t kRootSector = 12;
constexpr uint32_t kOtherCluster = 20;
constexpr size_t kEntriesPerCluster = 32;
constexpr char16_t kNotADirectory[] = u"This sector does not contain information about a file records";

class ExfatDirectoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPlatform(&platform_);
    Geometry() = VolumeGeometry{};
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = FileSystemKind::Exfat;
    Geometry().BytesPerSector = 512;
    Geometry().SectorsPerCluster = 2;
    Geometry().StartDataSector = 8;
    Geometry().RootCluster = 4;
    Geometry().TotalSectors = 64;
    platform_.AddDrive('C', std::vector<uint8_t>(64 * 512, 0));
  }
  void TearDown() override { SetPlatform(nullptr); }

  void Write(uint32_t sector, const std::vector<Entry>& entries) {
    std::vector<uint8_t>& bytes = platform_.Find("C:")->Bytes;
    std::fill(bytes.begin() + sector * 512, bytes.begin() + (sector + 2) * 512, uint8_t{0});
    size_t at = sector * 512u;
    for (const Entry& e : entries) {
      std::copy(e.begin(), e.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
      at += e.size();
    }
  }

  ViewText List(uint32_t sector, const MessagePump& pump = NoPump) {
    ViewText view;
    ListExfatDirectory(sector, view, pump);
    return view;
  }

  MemoryPlatform platform_;
};

// What mkfs.exfat puts at the start of a root directory, then two files and a folder.
std::vector<Entry> RootEntries() {
  return Concat({{VolumeLabel(u"KORVALANE"), Typed(0x81, 2, 1984), Typed(0x82, 3, 5836), Typed(0xA0)},
                 FileSet{u"README.TXT", 26, 6, Timestamp(2009, 3, 7, 14, 5)}.Entries(),
                 FileSet{u"DOCS", 4096, 11, Timestamp(2021, 6, 15, 12, 34), false, 0x10}.Entries()});
}

TEST_F(ExfatDirectoryTest, RootListsTheLabelFilesAndFoldersButNotTheSystemEntries) {
  Write(kRootSector, RootEntries());
  EXPECT_EQ(List(kRootSector), (ViewText{u"KORVALANE  volume label",
                                         u"README.TXT  2009/03/07 14:05, size 26 b, cluster 6",
                                         u"DOCS  2021/06/15 12:34, size 4096 b, cluster 11"}));
}

TEST_F(ExfatDirectoryTest, LinesOfSingleSets) {
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    std::u16string line;  // empty: nothing listed
  };
  const std::u16string fifteen = u"fifteen units!!";
  const std::u16string cyrillic = u"Отчёт о проверке дисков за второй квартал 2021.txt";  // four name entries
  const auto set = [](FileSet s) { return s.Entries(); };
  const Case cases[] = {
      {"exactly one name entry", set({fifteen}), fifteen + u"  2021/06/15 12:34, size 1234 b, cluster 7"},
      {"a sixteenth unit takes a second entry", set({fifteen + u"x"}),
       fifteen + u"x  2021/06/15 12:34, size 1234 b, cluster 7"},
      {"Cyrillic over four entries", set({cyrillic}), cyrillic + u"  2021/06/15 12:34, size 1234 b, cluster 7"},
      {"CJK and a unit outside the basic plane", set({u"数据恢复と日本語\U0001F4BE.txt"}),
       u"数据恢复と日本語\U0001F4BE.txt  2021/06/15 12:34, size 1234 b, cluster 7"},
      {"the name is NameLength units, not the whole entry", [] {
         FileSet s{u"README.TXT"};
         s.nameLength = 6;
         return s.Entries();
       }(), u"README  2021/06/15 12:34, size 1234 b, cluster 7"},
      {"a NameLength past the name entries gives the units there are", [] {
         FileSet s{u"short"};
         s.nameLength = 40;
         return s.Entries();
       }(), u"short  2021/06/15 12:34, size 1234 b, cluster 7"},
      {"a deleted set", set({u"deleted file.txt", 6, 241, Timestamp(2021, 6, 15, 12, 34), true}),
       u"deleted file.txt  2021/06/15 12:34, size 6 b, cluster 241"},
      {"a size past 4 GiB keeps its 64 bits", set({u"HUGE.BIN", 4295032832ULL, 6}),
       u"HUGE.BIN  2021/06/15 12:34, size 4295032832 b, cluster 6"},
      {"the largest size and cluster", set({u"X", UINT64_MAX, UINT32_MAX}),
       u"X  2021/06/15 12:34, size 18446744073709551615 b, cluster 4294967295"},
      {"the stamp as stored: no 10 ms increment, no UTC offset", [] {
         FileSet s{u"zone.txt"};
         s.modified = Timestamp(2107, 12, 31, 23, 59, 58);
         s.modified10ms = 199;
         s.modifiedUtcOffset = 0x80 | 0x0C;  // UTC+03:00
         return s.Entries();
       }(), u"zone.txt  2107/12/31 23:59, size 1234 b, cluster 7"},
      {"a zero stamp", set({u"old", 0, 0, 0}), u"old  1980/00/00 00:00, size 0 b, cluster 0"},
      {"out-of-range stamp fields are shown as they are", set({u"odd", 1, 2, 0xFFFFFFFFu}),
       u"odd  2107/15/31 31:63, size 1 b, cluster 2"},
      {"vendor entries after the name are passed over", [] {
         std::vector<Entry> e = FileSet{u"vendor", 1, 2}.Entries();
         e[0][1] = 3;
         e.push_back(Typed(0xE0));
         return e;
       }(), u"vendor  2021/06/15 12:34, size 1 b, cluster 2"},
      {"a label of eleven units", {VolumeLabel(u"ELEVENUNITS")}, u"ELEVENUNITS  volume label"},
      {"a label count past eleven is held to eleven", {[] {
         Entry e = VolumeLabel(u"ELEVENUNITS", 200);
         std::fill(e.begin() + 24, e.end(), uint8_t{0x41});  // the reserved bytes after the label
         return e;
       }(), Typed(0xA0, 0x00410041, 0x0041004100410041ULL)},
       u"ELEVENUNITS  volume label"},
      {"a deleted label is not listed", {[] {
         Entry e = VolumeLabel(u"OLD");
         e[0] = 0x03;
         return e;
       }()}, u""},
  };
  for (const Case& c : cases) {
    Write(kRootSector, c.entries);
    const ViewText view = List(kRootSector);
    if (c.line.empty()) {
      EXPECT_TRUE(view.empty()) << c.what;
    } else {
      EXPECT_EQ(view, ViewText{c.line}) << c.what;
    }
  }
}

TEST_F(ExfatDirectoryTest, WhichClustersAreListed) {
  struct Case {
    const char* what;
    uint32_t sector;
    std::vector<Entry> entries;
    bool listed;
  };
  const std::vector<Entry> file = FileSet{u"notes.txt"}.Entries();
  const auto withFirst = [&](size_t entry, size_t offset, uint8_t value) {
    std::vector<Entry> e = file;
    e[entry][offset] = value;
    return e;
  };
  const Case cases[] = {
      {"a folder's cluster that begins with a file's set", kOtherCluster, file, true},
      {"one that begins with a deleted set", kOtherCluster, FileSet{u"gone", 1, 2, 0, true}.Entries(), true},
      {"a secondary count of 1 is no file's set", kOtherCluster, withFirst(0, 1, 1), false},
      {"a set without its stream extension", kOtherCluster, withFirst(1, 0, 0xC1), false},
      {"a cluster of zeros", kOtherCluster, {}, false},
      {"a cluster that begins with a label is not the root", kOtherCluster, RootEntries(), false},
      {"the root's second sector is not its start", kRootSector + 1, RootEntries(), false},
      {"the root is known by where it is, even empty", kRootSector, {}, true},
  };
  for (const Case& c : cases) {
    Write(c.sector, c.entries);
    const ViewText view = List(c.sector);
    if (c.listed) {
      EXPECT_TRUE(view.empty() || view.front() != kNotADirectory) << c.what;
    } else {
      EXPECT_EQ(view, ViewText{kNotADirectory}) << c.what;
    }
  }
}

TEST_F(ExfatDirectoryTest, AWalkThatMeetsTheClustersEndOrItsEndMark) {
  struct Case {
    const char* what;
    std::vector<Entry> entries;
    size_t lines;
  };
  const std::vector<Entry> three = FileSet{u"three entries"}.Entries();
  std::vector<Entry> filled;
  while (filled.size() + three.size() <= kEntriesPerCluster) filled.insert(filled.end(), three.begin(), three.end());
  std::vector<Entry> cut = filled;
  cut.insert(cut.end(), three.begin(), three.begin() + static_cast<std::ptrdiff_t>(kEntriesPerCluster - filled.size()));
  // Nine sets, two unknown entries and a set in the cluster's last three entries; then
  // the same with that set claiming one secondary more than the cluster holds.
  std::vector<Entry> edge(filled.begin(), filled.begin() + 27);
  edge.insert(edge.end(), {Typed(0xA1), Typed(0xA1)});
  edge.insert(edge.end(), three.begin(), three.end());
  std::vector<Entry> overlong = edge;
  overlong[29][1] = 3;
  const Case cases[] = {
      {"ten sets", filled, 10},
      {"a set that ends with the cluster's last entry", edge, 10},
      {"a set cut by the cluster's end is not listed", cut, 10},
      {"a secondary count past the end is not listed", overlong, 9},
      {"the end mark ends the walk", Concat({three, {Entry(32, 0)}, three}), 1},
      {"a damaged secondary count hides no set after it", [&] {
         std::vector<Entry> e = Concat({three, three});
         e[0][1] = 5;
         return e;
       }(), 2},
      {"unknown and deleted entries between sets are passed over",
       Concat({three, {Typed(0x01), Typed(0x7F), Typed(0xA1), Typed(0xFF)}, three}), 2},
  };
  for (const Case& c : cases) {
    Write(kRootSector, c.entries);
    EXPECT_EQ(List(kRootSector).size(), c.lines) << c.what;
  }
}

TEST_F(ExfatDirectoryTest, NothingIsListedWhenTheClusterCannotBeRead) {
  Write(kRootSector, RootEntries());
  struct Case {
    const char* what;
    int32_t sectorsPerCluster;
    int32_t bytesPerSector;
    uint32_t sector;
  };
  for (const Case& c : {Case{"no cluster size", 0, 512, kRootSector},
                        Case{"a cluster above 32 MiB", 65536 + 1, 512, kRootSector},
                        Case{"a cluster past the volume's end", 2, 512, 63}}) {
    Geometry().SectorsPerCluster = c.sectorsPerCluster;
    Geometry().BytesPerSector = c.bytesPerSector;
    const int reads = platform_.Reads;
    EXPECT_TRUE(List(c.sector).empty()) << c.what;
    // No geometry of exFAT gives such a cluster: it is not even read.
    if (c.sectorsPerCluster != 2) EXPECT_EQ(platform_.Reads, reads) << c.what;
  }
  Geometry().SectorsPerCluster = 2;
  platform_.Find("C:")->UnreadableSectors = {kRootSector + 1};
  EXPECT_TRUE(List(kRootSector).empty()) << "one unreadable sector of the cluster";
}

TEST_F(ExfatDirectoryTest, ASupersededListingStopsAtOnce) {
  Write(kRootSector, RootEntries());
  int calls = 0;
  const ViewText view = List(kRootSector, [&] { return ++calls < 3; });
  EXPECT_EQ(view.size(), 1u);  // the label; the pump said stop before the second set
}

}  // namespace
}  // namespace korvalane
