// What a change of the sector field or the view does, the step buttons, and the name
// "Save as txt" writes.
#include <gtest/gtest.h>

#include "core/views/SectorView.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

class SectorViewTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPlatform(&platform_);
    Geometry() = VolumeGeometry{};
    Geometry().CurrentDrive = "C:";
    Geometry().BytesPerSector = 512;
    Geometry().SectorsPerCluster = 1;
    Geometry().TotalSectors = 32;
    std::vector<uint8_t> bytes(32 * 512, 0);
    for (size_t s = 0; s < 32; ++s) bytes[s * 512] = static_cast<uint8_t>('A' + s);  // each sector's first byte
    platform_.AddDrive('C', std::move(bytes));
  }
  void TearDown() override { SetPlatform(nullptr); }

  MemoryPlatform platform_;
};

TEST_F(SectorViewTest, SectorFieldRule) {
  struct Case {
    const char16_t* text;
    SectorViewResult result;
    char16_t firstCharacter;  // of the text view, when shown
  };
  const Case cases[] = {
      {u"0", SectorViewResult::Shown, u'A'},          {u"$10", SectorViewResult::Shown, u'Q'},
      {u"0x1f", SectorViewResult::Shown, u'`'},       {u"x3", SectorViewResult::Shown, u'D'},
      {u"  +7", SectorViewResult::Shown, u'H'},       {u"-0", SectorViewResult::Shown, u'A'},
      {u"-1", SectorViewResult::NotANumber, 0},       {u"33", SectorViewResult::NotANumber, 0},
      {u"", SectorViewResult::NotANumber, 0},         {u"12a", SectorViewResult::NotANumber, 0},
      {u"4294967296", SectorViewResult::NotANumber, 0},
      // TotalSectors itself is accepted; on this volume it lies past the end.
      {u"32", SectorViewResult::ReadingError, 0},
  };
  for (const Case& c : cases) {
    ViewText view;
    EXPECT_EQ(ShowSector(c.text, ViewKind::Text, view, NoPump), c.result);
    switch (c.result) {
      case SectorViewResult::Shown:
        ASSERT_EQ(view.size(), 8u);
        EXPECT_EQ(view[0][0], c.firstCharacter);
        break;
      case SectorViewResult::NotANumber:
        EXPECT_TRUE(view.empty());
        break;
      case SectorViewResult::ReadingError:
        EXPECT_EQ(view, ViewText{u"Reading error"});
        break;
    }
  }
}

TEST_F(SectorViewTest, ViewKindChoosesTheRenderer) {
  struct Case {
    ViewKind kind;
    FileSystemKind fileSystem;
    size_t lines;
    std::u16string first;
  };
  const Case cases[] = {
      {ViewKind::Text, FileSystemKind::Unknown, 8, std::u16string(u"B") + std::u16string(63, u' ')},
      {ViewKind::Hex, FileSystemKind::Unknown, 128, u"   0($000) 42 B |  128($080) 00   |  256($100) 00   |  384($180) 00   | "},
      {ViewKind::FileRecord, FileSystemKind::Unknown, 0, u""},
      {ViewKind::FileRecord, FileSystemKind::Fat, 1, u"This sector does not contain information about a file records"},
      {ViewKind::FileRecord, FileSystemKind::Fat32, 1, u"This sector does not contain information about a file records"},
      {ViewKind::FileRecord, FileSystemKind::Ntfs, 1, u"This sector does not contain information about a file records"},
  };
  for (const Case& c : cases) {
    Geometry().FileSystemKind = c.fileSystem;
    ViewText view;
    EXPECT_EQ(ShowSector(u"1", c.kind, view, NoPump), SectorViewResult::Shown);
    ASSERT_EQ(view.size(), c.lines);
    if (c.lines > 0) {
      EXPECT_EQ(view[0], c.first);
    }
  }
}

TEST_F(SectorViewTest, UnreadableSectorAndUnopenableVolume) {
  platform_.Find("C:")->UnreadableSectors = {5};
  for (ViewKind kind : {ViewKind::Text, ViewKind::Hex, ViewKind::FileRecord}) {
    ViewText view;
    EXPECT_EQ(ShowSector(u"5", kind, view, NoPump), SectorViewResult::ReadingError);
    EXPECT_EQ(view, ViewText{u"Reading error"});
  }
  // No drive selected: an empty drive name cannot be opened.
  Geometry() = VolumeGeometry{};
  ViewText view;
  EXPECT_EQ(ShowSector(u"0", ViewKind::Text, view, NoPump), SectorViewResult::ReadingError);
  EXPECT_EQ(view, ViewText{u"Reading error"});
}

TEST_F(SectorViewTest, StepButtons) {
  struct Case {
    const char16_t* text;
    int direction;
    std::optional<std::u16string> next;
  };
  const Case cases[] = {
      {u"5", 1, u"6"},   {u"5", -1, u"4"},   {u"$10", 1, u"17"}, {u"0", -1, std::nullopt}, {u"1", -1, u"0"},
      {u"31", 1, u"32"}, {u"32", 1, std::nullopt}, {u"32", -1, u"31"}, {u"33", -1, std::nullopt},
      {u"-1", 1, std::nullopt}, {u"abc", 1, std::nullopt}, {u"", -1, std::nullopt},
  };
  for (const Case& c : cases) EXPECT_EQ(StepSector(c.text, c.direction), c.next);

  // The largest volume: every sector up to 4294967295 can be named and stepped to.
  Geometry().TotalSectors = 4294967295u;
  EXPECT_EQ(StepSector(u"4294967294", 1), std::optional<std::u16string>(u"4294967295"));
  EXPECT_EQ(StepSector(u"4294967295", 1), std::nullopt);
}

TEST(SavedTextFileName, DetailsOrSector) {
  EXPECT_EQ(SavedTextFileName({u"Drive C:\\, NTFS", u"Bytes per sector - 512"}, "C:", u"0"), u"Info Drive C.txt");
  EXPECT_EQ(SavedTextFileName({u"File a.txt"}, "C:", u"63"), u"Drive C Sector 63.txt");
  EXPECT_EQ(SavedTextFileName({u"Reading error"}, "D:", u"$10"), u"Drive D Sector $10.txt");
  EXPECT_EQ(SavedTextFileName({u"Drive"}, "", u"0"), u"Info Drive .txt");
  // A sector whose text happens to begin with "Drive" is saved as a details report.
  EXPECT_EQ(SavedTextFileName({u"Drives are"}, "E:", u"7"), u"Info Drive E.txt");
}

}  // namespace
}  // namespace korvalane
