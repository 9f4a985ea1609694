#include <gtest/gtest.h>

#include <cstring>

#include "core/volume/Detection.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

class DetectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Geometry() = VolumeGeometry{};
    SetPlatform(&platform);
  }
  void TearDown() override { SetPlatform(nullptr); }

  // A one-sector-per-512 volume whose sector 0 holds `text` at `offset`.
  MemoryPlatform::Drive& AddVolume(const std::string& text, size_t offset) {
    std::vector<uint8_t> bytes(8 * 512, 0);
    std::memcpy(bytes.data() + offset, text.data(), text.size());
    return platform.AddDrive('C', bytes);
  }

  MemoryPlatform platform;
};

TEST_F(DetectionTest, ThePlatformsNameDecidesAndTheVolumeIsNotOpened) {
  struct Case {
    const char* name;
    FileSystemKind kind;
  };
  for (const Case& c : {Case{"FAT", FileSystemKind::Fat}, Case{"FAT32", FileSystemKind::Fat32},
                        Case{"NTFS", FileSystemKind::Ntfs}, Case{"exFAT", FileSystemKind::Exfat}}) {
    AddVolume("", 0).FileSystemName = c.name;
    Geometry().BytesPerSector = 1234;
    EXPECT_EQ(DetectFileSystem("C:"), c.kind) << c.name;
    EXPECT_EQ(platform.Opens, 0);
    EXPECT_EQ(Geometry().BytesPerSector, 1234);  // left alone
    EXPECT_TRUE(Geometry().CurrentDrive.empty());
  }
}

TEST_F(DetectionTest, AnEmptyDriveNameIsUnknownWithoutAnyQuery) {
  AddVolume("NTFS", 3).FileSystemName = "NTFS";
  EXPECT_EQ(DetectFileSystem(""), FileSystemKind::Unknown);
  EXPECT_EQ(platform.Opens, 0);
}

TEST_F(DetectionTest, OtherNamesFallBackOnTheBootSectorText) {
  struct Case {
    std::optional<std::string> platformName;
    std::string text;
    size_t offset;
    FileSystemKind kind;
  };
  const Case cases[] = {
      {std::nullopt, "NTFS    ", 3, FileSystemKind::Ntfs},
      {std::nullopt, "EXFAT   ", 3, FileSystemKind::Exfat},  // not FAT, although it holds "FAT"
      {std::nullopt, "EXFAT NTFS", 3, FileSystemKind::Exfat},  // tested first, it decides
      {"ReFS", "FAT16   ", 54, FileSystemKind::Fat},
      {"fat", "FAT32   ", 82, FileSystemKind::Fat32},       // names compare case-sensitively
      {std::nullopt, "FAT32 NTFS", 3, FileSystemKind::Ntfs},  // NTFS wins over FAT32
      {std::nullopt, "F\x01" "AT32", 82, FileSystemKind::Fat32},  // a byte of 30 or below adds nothing
      {std::nullopt, "ntfs", 3, FileSystemKind::Unknown},
      {std::nullopt, "NTFS", 200, FileSystemKind::Unknown},  // outside the searched run
  };
  for (const Case& c : cases) {
    AddVolume(c.text, c.offset).FileSystemName = c.platformName;
    Geometry() = VolumeGeometry{};
    EXPECT_EQ(DetectFileSystem("C:"), c.kind) << c.text;
    EXPECT_EQ(Geometry().CurrentDrive, "C:");
    EXPECT_EQ(Geometry().BytesPerSector, 512);
  }
}

TEST_F(DetectionTest, AnUnreadableVolumeIsUnknownWith4608) {
  AddVolume("NTFS", 3).FailOpen = true;
  EXPECT_EQ(DetectFileSystem("C:"), FileSystemKind::Unknown);
  EXPECT_EQ(Geometry().CurrentDrive, "C:");
  EXPECT_EQ(Geometry().BytesPerSector, 4608);
}

TEST_F(DetectionTest, TheRootPathGetsOneBackslash) {
  AddVolume("NTFS", 3);
  DetectFileSystem("C:");
  DetectFileSystem("C:\\");
  EXPECT_EQ(platform.FileSystemQueries, (std::vector<std::string>{"C:\\", "C:\\"}));
  EXPECT_EQ(Geometry().CurrentDrive, "C:\\");  // the fallback keeps the name as given
}

}  // namespace
}  // namespace korvalane
