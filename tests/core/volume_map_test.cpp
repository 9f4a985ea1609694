// The volume map from an index made by hand: which owner of overlapping runs gives a
// unit's class, units shared by classes, unreadable ranges, cells and the legend; and the
// PNG encoder's checksums against their published check values.
#include <gtest/gtest.h>

#include <string>

#include "core/map/Png.h"
#include "core/map/VolumeMap.h"

namespace korvalane {
namespace {

Owner Make(OwnerKind kind, std::string name, MetadataClass area = MetadataClass::Other) {
  Owner owner;
  owner.Kind = kind;
  owner.Name = std::move(name);
  owner.Part = kind == OwnerKind::File ? "file" : "";
  owner.Area = area;
  return owner;
}

// 100 sectors in units of 4: boot 0-7, FAT 8-15, a file 16-39 (bytes from 0), a folder
// 40-43, free 44-99 with a deleted file's guess over 60-67 and lost sectors 80-83; a
// metadata run of 2 sectors at 96 shares its unit with free ones. 98-99 are in no run.
OwnershipIndex Sample() {
  OwnershipIndex index;
  index.Begin(100, 512);
  const uint32_t boot = index.AddOwner(Make(OwnerKind::Metadata, "boot sector", MetadataClass::Boot));
  const uint32_t fat = index.AddOwner(Make(OwnerKind::Metadata, "FAT 1", MetadataClass::Table));
  const uint32_t file = index.AddOwner(Make(OwnerKind::File, "/a.txt"));
  const uint32_t folder = index.AddOwner(Make(OwnerKind::Directory, "/DOCS"));
  const uint32_t free = index.AddOwner(Make(OwnerKind::Free, ""));
  const uint32_t deleted = index.AddOwner(Make(OwnerKind::Deleted, "/gone.txt"));
  const uint32_t lost = index.AddOwner(Make(OwnerKind::Lost, ""));
  const uint32_t other = index.AddOwner(Make(OwnerKind::Metadata, "bad cluster"));
  index.AddRun(0, 8, boot);
  index.AddRun(8, 8, fat);
  index.AddRun(16, 24, file, 0);
  index.AddRun(40, 4, folder);
  index.AddRun(44, 36, free);
  index.AddRun(60, 8, deleted, 0);
  index.AddRun(80, 4, lost);
  index.AddRun(84, 13, free);
  index.AddRun(97, 1, other);
  index.AddRun(96, 1, other);
  index.Finish();
  return index;
}

MapClass ClassAt(const VolumeMap& map, uint64_t unit) {
  const ClassRun* run = map.RunAt(unit);
  return run != nullptr ? run->Class : MapClass::Outside;
}

TEST(VolumeMapTest, EachUnitTakesItsBestRankedOwner) {
  const OwnershipIndex index = Sample();
  const VolumeMap map = VolumeMap::Build(index, 4);
  EXPECT_EQ(map.Units(), 25u);
  EXPECT_EQ(map.UnitBytes(), 2048u);
  EXPECT_EQ(ClassAt(map, 0), MapClass::Boot);
  EXPECT_EQ(ClassAt(map, 2), MapClass::Table);
  EXPECT_EQ(ClassAt(map, 4), MapClass::File);
  EXPECT_EQ(ClassAt(map, 10), MapClass::Folder);
  EXPECT_EQ(ClassAt(map, 11), MapClass::Free);
  EXPECT_EQ(ClassAt(map, 15), MapClass::Deleted);  // the guess lies over free space
  EXPECT_EQ(ClassAt(map, 16), MapClass::Deleted);
  EXPECT_EQ(ClassAt(map, 17), MapClass::Free);
  EXPECT_EQ(ClassAt(map, 20), MapClass::Lost);
  EXPECT_EQ(ClassAt(map, 24), MapClass::Metadata);  // 2 of its 4 sectors, against 2 outside
  // The file's run names it, and where in it the run begins.
  const ClassRun* file = map.RunAt(5);
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->First, 4u);
  EXPECT_EQ(file->Count, 6u);
  ASSERT_NE(file->Of, nullptr);
  EXPECT_EQ(file->Of->Name, "/a.txt");
  EXPECT_EQ(file->Byte, 0u);
  EXPECT_EQ(DescribeClassRun(index, *file), "4  6  file  /a.txt  byte 0 of the file");
  // Every unit is in one run, and the runs follow each other.
  uint64_t next = 0;
  for (const ClassRun& run : map.Runs()) {
    EXPECT_EQ(run.First, next);
    next = run.First + run.Count;
  }
  EXPECT_EQ(next, map.Units());
}

TEST(VolumeMapTest, UnreadableSectorsOverTheClassesKeepTheirOwner) {
  const OwnershipIndex index = Sample();
  // Sector 21 (unit 5 of the file), and 60-71 over two ranges that touch.
  const VolumeMap map = VolumeMap::Build(index, 4, {{64, 8}, {21, 1}, {60, 4}});
  EXPECT_EQ(ClassAt(map, 4), MapClass::File);
  EXPECT_EQ(ClassAt(map, 5), MapClass::File);  // one sector of four: the file has the most
  const VolumeMap sectors = VolumeMap::Build(index, 1, {{64, 8}, {21, 1}, {60, 4}});
  const ClassRun* bad = sectors.RunAt(21);
  ASSERT_NE(bad, nullptr);
  EXPECT_EQ(bad->Class, MapClass::Unreadable);
  EXPECT_EQ(bad->Count, 1u);
  ASSERT_NE(bad->Of, nullptr);
  EXPECT_EQ(bad->Of->Name, "/a.txt");
  EXPECT_EQ(bad->Byte, 5u * 512);
  EXPECT_EQ(sectors.RunAt(22)->Byte, 6u * 512);
  EXPECT_EQ(ClassAt(map, 15), MapClass::Unreadable);
  EXPECT_EQ(ClassAt(map, 17), MapClass::Unreadable);
  EXPECT_EQ(ClassAt(map, 18), MapClass::Free);
  const std::vector<LegendLine> legend = sectors.Legend();
  EXPECT_EQ(legend[static_cast<size_t>(MapClass::Unreadable)].Units, 13u);
  EXPECT_EQ(legend[static_cast<size_t>(MapClass::Unreadable)].Bytes, 13u * 512);
}

TEST(VolumeMapTest, LegendAndCellsCountEveryUnitOnce) {
  const OwnershipIndex index = Sample();
  const VolumeMap map = VolumeMap::Build(index, 1);
  uint64_t total = 0;
  for (const LegendLine& line : map.Legend()) total += line.Units;
  EXPECT_EQ(total, 100u);
  const std::vector<LegendLine> legend = map.Legend();
  EXPECT_EQ(legend[static_cast<size_t>(MapClass::Boot)].Units, 8u);
  EXPECT_EQ(legend[static_cast<size_t>(MapClass::File)].Units, 24u);
  EXPECT_EQ(legend[static_cast<size_t>(MapClass::Deleted)].Units, 8u);
  EXPECT_EQ(legend[static_cast<size_t>(MapClass::Free)].Units, 36u + 13 - 8 - 1);  // sector 96 is metadata
  EXPECT_EQ(legend[static_cast<size_t>(MapClass::Outside)].Units, 2u);
  for (const uint64_t count : {1u, 3u, 7u, 100u, 1000u}) {
    const std::vector<MapCell> cells = map.Cells(count);
    EXPECT_EQ(cells.size(), std::min<uint64_t>(count, 100));
    uint64_t next = 0;
    for (const MapCell& cell : cells) {
      EXPECT_EQ(cell.First, next);
      uint64_t units = 0;
      for (const uint64_t n : cell.Units) units += n;
      EXPECT_EQ(units, cell.Count);
      EXPECT_EQ(cell.Units[static_cast<size_t>(cell.Largest)], *std::max_element(cell.Units.begin(), cell.Units.end()));
      next += cell.Count;
    }
    EXPECT_EQ(next, 100u);
  }
  // A zoomed part: 10 cells of one sector each from sector 14.
  const std::vector<MapCell> zoomed = map.Cells(14, 24, 10);
  ASSERT_EQ(zoomed.size(), 10u);
  EXPECT_EQ(zoomed[1].Largest, MapClass::Table);
  EXPECT_EQ(zoomed[2].Largest, MapClass::File);
  EXPECT_TRUE(map.Cells(100, 200, 5).empty());
  EXPECT_TRUE(map.Cells(0, 100, 0).empty());
}

TEST(VolumeMapTest, AFilesFragmentsAndItsBiggestGap) {
  OwnershipIndex index;
  index.Begin(100, 512);
  const uint32_t file = index.AddOwner(Make(OwnerKind::File, "/a"));
  const uint32_t other = index.AddOwner(Make(OwnerKind::File, "/b"));
  index.AddRun(50, 10, file, 4096);
  index.AddRun(10, 5, file, 0);
  index.AddRun(15, 3, file, 2560);  // touches the first: one fragment
  index.AddRun(30, 5, other, 0);
  index.AddRun(90, 2, file, 9216);
  index.Finish();
  const VolumeMap map = VolumeMap::Build(index, 1, {{52, 1}});
  const Fragments fragments = FragmentsOf(map, &index.OwnerAt(file));
  // The unreadable sector keeps its owner: still one fragment there.
  const std::vector<std::pair<uint64_t, uint64_t>> expected = {{10, 8}, {50, 10}, {90, 2}};
  EXPECT_EQ(fragments.Runs, expected);
  EXPECT_EQ(fragments.BiggestGap, 32u);
  EXPECT_TRUE(FragmentsOf(map, nullptr).Runs.empty());
}

TEST(VolumeMapTest, AnEmptyIndexIsAllOutside) {
  OwnershipIndex index;
  index.Begin(10, 512);
  index.Finish();
  const VolumeMap map = VolumeMap::Build(index, 3);
  EXPECT_EQ(map.Units(), 4u);
  ASSERT_EQ(map.Runs().size(), 1u);
  EXPECT_EQ(map.Runs()[0].Class, MapClass::Outside);
  EXPECT_EQ(map.Runs()[0].Count, 4u);
}

TEST(PngTest, ChecksumsMatchTheirCheckValues) {
  const std::string check = "123456789";
  const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(check.data()), check.size());
  EXPECT_EQ(Crc32(bytes), 0xCBF43926u);
  EXPECT_EQ(Adler32(bytes), 0x091E01DEu);
  EXPECT_EQ(Adler32({}), 1u);
  // Over more than one block of sums, and split in two.
  std::vector<uint8_t> large(100000, 0xFF);
  EXPECT_EQ(Adler32(std::span<const uint8_t>(large).subspan(50000), Adler32(std::span<const uint8_t>(large).first(50000))),
            Adler32(large));
  EXPECT_EQ(Crc32(std::span<const uint8_t>(large).subspan(50000), Crc32(std::span<const uint8_t>(large).first(50000))),
            Crc32(large));
}

TEST(PngTest, SizesThatDoNotMatchGiveNothing) {
  const std::vector<uint8_t> rgb(12, 0);
  EXPECT_FALSE(EncodePng(2, 2, rgb).empty());
  EXPECT_TRUE(EncodePng(3, 2, rgb).empty());
  EXPECT_TRUE(EncodePng(0, 2, rgb).empty());
  EXPECT_TRUE(EncodePng(2, 0, rgb).empty());
  const std::vector<uint8_t> png = EncodePng(2, 2, rgb);
  EXPECT_EQ(png[1], 'P');
  EXPECT_EQ(std::string(png.end() - 8, png.end() - 4), "IEND");
}

}  // namespace
}  // namespace korvalane
