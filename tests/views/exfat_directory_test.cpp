// Listing exFAT directory clusters read from an in-memory volume.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "core/fs/fatfamily/FatFamily.h"
#include "core/views/ExfatDirectory.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

using Bytes = std::vector<uint8_t>;

// An entry: its type, little-endian fields {offset, width, value}, UTF-16 units from `at`.
Bytes Entry(uint8_t type, std::initializer_list<std::array<uint64_t, 3>> fields = {}, size_t at = 2,
            std::u16string_view units = {}) {
  Bytes e(32, 0);
  e[0] = type;
  for (const auto& [offset, width, value] : fields) {
    for (size_t i = 0; i < width; ++i) e[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
  for (size_t u = 0; u < units.size(); ++u) {
    e[at + 2 * u] = static_cast<uint8_t>(units[u]);
    e[at + 2 * u + 1] = static_cast<uint8_t>(units[u] >> 8);
  }
  return e;
}
Bytes Join(std::initializer_list<Bytes> parts, size_t times = 1) {
  Bytes all;
  while (times-- > 0) {
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  }
  return all;
}

// 2021-06-15 12:34:56 as exFAT stores it: a DOS date above a DOS time.
constexpr uint64_t kStamp = 41u << 25 | 6u << 21 | 15u << 16 | 12u << 11 | 34u << 5 | 28u;

// A file's entry set: File, Stream Extension, File Name entries of 15 units. Each carries
// a 10 ms increment of 1.99 s and a UTC offset of +03:00, which the line must not apply.
Bytes Set(std::u16string_view name, uint64_t size = 1234, uint64_t cluster = 7, uint64_t stamp = kStamp,
          uint8_t inUse = 0x80, int secondaries = -1, int nameLength = -1) {
  const size_t parts = (name.size() + 14) / 15;
  Bytes set = Join({Entry(0x05 | inUse, {{1, 1, secondaries >= 0 ? secondaries : 1 + parts}, {12, 4, stamp},
                                         {21, 1, 199}, {23, 1, 0x8C}}),
                    Entry(0x40 | inUse, {{3, 1, nameLength >= 0 ? nameLength : name.size()}, {8, 8, size},
                                         {20, 4, cluster}, {24, 8, size}})});
  for (size_t k = 0; k < parts; ++k) set = Join({set, Entry(0x41 | inUse, {}, 2, name.substr(15 * k, 15))});
  return set;
}

std::u16string Line(std::u16string_view name, std::u16string_view rest = u"2021/06/15 12:34, size 1234 b, cluster 7") {
  return std::u16string(name) + u"  " + std::u16string(rest);
}

// Clusters of two 512-byte sectors, the heap from sector 8, the root at cluster 4, on
// drive C: of `platform`.
void UseSmallVolume(MemoryPlatform& platform) {
  SetPlatform(&platform);
  Geometry() = VolumeGeometry{};
  Geometry().CurrentDrive = "C:";
  Geometry().BytesPerSector = 512;
  Geometry().SectorsPerCluster = 2;
  Geometry().StartDataSector = 8;
  Geometry().RootCluster = 4;
}

TEST(ExfatDirectoryTest, ListedLines) {
  // Clusters of two 512-byte sectors (32 entries); the heap starts at sector 8 and the
  // root is cluster 4, at sector 8 + (4 - 2) x 2 = 12.
  constexpr uint32_t kRoot = 12;
  constexpr uint32_t kFolder = 20;
  const std::u16string notADirectory = u"This sector does not contain information about a file records";
  MemoryPlatform platform;
  UseSmallVolume(platform);

  const Bytes label = Entry(0x83, {{1, 1, 9}}, 2, u"KORVALANE");
  const Bytes a = Set(u"a.txt");
  const Bytes unknown = Entry(0xA1);
  const std::u16string cyrillic = u"Отчёт о проверке дисков за второй квартал 2021.txt";  // four name entries
  const std::u16string cjk = u"数据恢复と日本語\U0001F4BE.txt";
  struct Case {
    const char* what;
    uint32_t sector;
    Bytes bytes;
    ViewText lines;
  };
  const Case cases[] = {
      {"the root: the label and the files; bitmap, up-case, GUID and vendor entries are not listed", kRoot,
       Join({label, Entry(0x81, {{20, 4, 2}, {24, 8, 448}}), Entry(0x82, {{20, 4, 3}}), Entry(0xA0), Entry(0xE0),
             Set(u"README.TXT", 26, 6, 29u << 25 | 3u << 21 | 7u << 16 | 14u << 11 | 5u << 5), Set(u"DOCS", 4096, 11)}),
       {u"KORVALANE  volume label", Line(u"README.TXT", u"2009/03/07 14:05, size 26 b, cluster 6"),
        Line(u"DOCS", u"2021/06/15 12:34, size 4096 b, cluster 11")}},
      {"names over several entries, CJK and a surrogate pair", kRoot, Join({Set(cyrillic), Set(cjk)}),
       {Line(cyrillic), Line(cjk)}},
      {"the name is NameLength units, or those the entries hold", kRoot,
       Join({Set(u"README.TXT", 1234, 7, kStamp, 0x80, 2, 6), Set(u"short", 1234, 7, kStamp, 0x80, 2, 40)}),
       {Line(u"README"), Line(u"short")}},
      {"a deleted set, a size past 4 GiB, the largest cluster, a zero stamp", kRoot,
       Set(u"gone", 4295032832ULL, 0xFFFFFFFF, 0, 0x00),
       {Line(u"gone", u"1980/00/00 00:00, size 4295032832 b, cluster 4294967295")}},
      {"stamp fields out of range are shown as they are", kRoot, Set(u"odd", 1, 2, 0xFFFFFFFF),
       {Line(u"odd", u"2107/15/31 31:63, size 1 b, cluster 2")}},
      {"a label count past 11 is held to 11; a deleted label is not listed", kRoot,
       Join({Entry(0x83, {{1, 1, 200}, {24, 8, UINT64_MAX}}, 2, u"B"), Entry(0x03, {{1, 1, 1}}, 2, u"A")}),
       {u"B  volume label"}},
      {"the end mark ends the walk", kRoot, Join({a, Entry(0x00), a}), {Line(u"a.txt")}},
      {"a damaged secondary count hides no set after it", kRoot,
       Join({Set(u"a.txt", 1234, 7, kStamp, 0x80, 5), unknown, a}), {Line(u"a.txt"), Line(u"a.txt")}},
      {"a set that ends with the cluster's last entry", kRoot, Join({Join({unknown}, 29), a}), {Line(u"a.txt")}},
      {"a set cut by the cluster's end", kRoot, Join({Join({unknown}, 30), a}), {}},
      {"a secondary count past the cluster's end", kRoot,
       Join({Join({unknown}, 29), Set(u"a.txt", 1234, 7, kStamp, 0x80, 3)}), {}},
      {"an empty root", kRoot, {}, {}},
      {"a folder's cluster begins with a set, or a deleted one", kFolder, Join({Set(u"a.txt", 1234, 7, kStamp, 0), a}),
       {Line(u"a.txt"), Line(u"a.txt")}},
      {"a secondary count of 1 is no file's set", kFolder, Set(u"a.txt", 1234, 7, kStamp, 0x80, 1), {notADirectory}},
      {"a set without its stream extension", kFolder, Join({Entry(0x85, {{1, 1, 2}}), Entry(0xC1), Entry(0xC1)}),
       {notADirectory}},
      {"a cluster that begins with a label, elsewhere than the root", kRoot + 1, Join({label, a}), {notADirectory}},
  };
  const auto use = [&](uint32_t sector, const Bytes& bytes) {
    Bytes volume(64 * 512, 0);
    std::copy(bytes.begin(), bytes.end(), volume.begin() + sector * 512);
    platform.AddDrive('C', volume);
  };
  for (const Case& c : cases) {
    use(c.sector, c.bytes);
    ViewText view;
    ListExfatDirectory(c.sector, view, NoPump);
    EXPECT_EQ(view, c.lines) << c.what;
  }

  // A superseded listing stops at once and shows nothing: here the pump says so before
  // the second entry.
  use(kFolder, Join({a, a}));
  int pumps = 0;
  ViewText view;
  ListExfatDirectory(kFolder, view, [&] { return ++pumps < 2; });
  EXPECT_EQ(view, ViewText{});
  EXPECT_EQ(pumps, 2);

  // No exFAT cluster is larger than 32 MiB: a record that says so is not even read.
  Geometry().SectorsPerCluster = 65537;
  const int reads = platform.Reads;
  view.clear();
  ListExfatDirectory(kRoot, view, NoPump);
  EXPECT_TRUE(view.empty());
  EXPECT_EQ(platform.Reads, reads);
  SetPlatform(nullptr);
}

TEST(ExfatDirectoryTest, TheJsonTimeIsInUtcWithItsHundredths) {
  // The 10 ms increment (1.99 s) and the offset beside the stamp go into the JSON's time:
  // +03:00 back to UTC; an offset not marked valid leaves local time (UTC on this
  // platform); a zero stamp is no time.
  MemoryPlatform platform;
  UseSmallVolume(platform);
  Bytes local = Set(u"local.txt");
  local[23] = 0x0C;  // +03:00, but not marked valid
  Bytes volume(64 * 512, 0);
  const Bytes root = Join({Set(u"east.txt"), local, Set(u"zero.txt", 1, 2, 0)});
  std::copy(root.begin(), root.end(), volume.begin() + 12 * 512);
  platform.AddDrive('C', volume);
  const std::optional<Listing> listing = ReadExfatDirectory(12, NoPump);
  ASSERT_TRUE(listing);
  const std::string json = ListingJson(*listing).Dump();
  for (const char* expected : {R"("name": "east.txt",)", R"("modified": "2021-06-15T09:34:57.99Z",)",
                               R"("name": "local.txt",)", R"("modified": "2021-06-15T12:34:57.99Z",)",
                               R"("name": "zero.txt",)", R"("modified": null,)"}) {
    EXPECT_NE(json.find(expected), std::string::npos) << expected << " in " << json;
  }
  SetPlatform(nullptr);
}

}  // namespace
}  // namespace korvalane
