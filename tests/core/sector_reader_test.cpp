#include <gtest/gtest.h>

#include <numeric>

#include "core/volume/DriveSelection.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

class SectorReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Geometry() = VolumeGeometry{};
    SetPlatform(&platform);
  }
  void TearDown() override { SetPlatform(nullptr); }

  // A volume whose byte i holds i mod 251, so every position can be recognised.
  static std::vector<uint8_t> Pattern(size_t size) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i % 251);
    return bytes;
  }

  MemoryPlatform platform;
};

TEST_F(SectorReaderTest, ReadsTheSectorAtItsBytePositionKeepingTheDriveOpenUntilItIsChosenAgain) {
  platform.AddDrive('C', Pattern(64 * 512));
  platform.AddDrive('D', Pattern(64 * 512));
  Geometry().CurrentDrive = "C:";
  Geometry().BytesPerSector = 512;
  std::vector<uint8_t> buffer(1024, 0xAA);
  ASSERT_TRUE(ReadSectors(3, buffer));
  for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], (3 * 512 + i) % 251) << i;
  ASSERT_TRUE(ReadSectors(0, buffer));
  EXPECT_EQ(platform.Opens, 1);
  EXPECT_EQ(platform.Closes, 0);
  Geometry().CurrentDrive = "D:";
  ASSERT_TRUE(ReadSectors(0, buffer));
  EXPECT_EQ(platform.KeptDrive(), 'D');
  EXPECT_EQ(platform.Closes, 1);
  SelectDrive("D:");  // chosen again: read as it is now
  EXPECT_EQ(platform.Closes, 2);
  EXPECT_EQ(platform.Opens, 3);
}

TEST_F(SectorReaderTest, FailuresLeaveAZeroBuffer) {
  platform.AddDrive('C', Pattern(8 * 512)).UnreadableSectors = {5};
  Geometry().BytesPerSector = 512;
  std::vector<uint8_t> buffer(512, 0xAA);

  struct Case {
    const char* drive;
    uint32_t sector;
  };
  for (const Case& c : {Case{"", 0}, Case{"Q:", 0}, Case{"C:", 8}, Case{"C:", 5}, Case{"C:", 0xFFFFFFFF}}) {
    Geometry().CurrentDrive = c.drive;
    std::fill(buffer.begin(), buffer.end(), 0xAA);
    EXPECT_FALSE(ReadSectors(c.sector, buffer)) << c.drive << " " << c.sector;
    EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0), 512) << c.drive << " " << c.sector;
  }
}

TEST_F(SectorReaderTest, AShortReadCountsAsDoneWithZerosAfterTheBytesDelivered) {
  platform.AddDrive('C', Pattern(8 * 512)).DeliverAtMost = 100;
  Geometry().CurrentDrive = "C:";
  Geometry().BytesPerSector = 512;
  std::vector<uint8_t> buffer(512, 0xAA);
  ASSERT_TRUE(ReadSectors(1, buffer));
  EXPECT_EQ(buffer[99], (512 + 99) % 251);
  EXPECT_EQ(std::count(buffer.begin() + 100, buffer.end(), 0), 412);
}

TEST_F(SectorReaderTest, TheSectorIndexIsUnsignedAndThePositionSixtyFourBit) {
  std::vector<uint64_t> positions;
  platform.AddDrive('C', {});
  platform.BeforeRead = [&](std::string_view, uint64_t position, size_t) {
    positions.push_back(position);
    return false;
  };
  Geometry().CurrentDrive = "C:";
  std::vector<uint8_t> buffer(4096);
  Geometry().BytesPerSector = 4096;
  ReadSectors(1048576, buffer);
  Geometry().BytesPerSector = 512;
  ReadSectors(0xFFFFFFFF, std::span<uint8_t>(buffer).first(512));
  ASSERT_EQ(positions.size(), 2u);
  EXPECT_EQ(positions[0], 4294967296ULL);  // low half 0, high half 1
  EXPECT_EQ(positions[1], 4294967295ULL * 512);
}

TEST_F(SectorReaderTest, ProbeFindsTheDeviceSectorSize) {
  struct Case {
    uint32_t deviceSectorSize;
    int attempts;
  };
  for (const Case& c : {Case{512, 1}, Case{1024, 2}, Case{2048, 4}, Case{4096, 8}}) {
    platform = MemoryPlatform{};
    platform.AddDrive('C', Pattern(16 * 4096), c.deviceSectorSize);
    Geometry().CurrentDrive = "C:";
    std::vector<uint8_t> boot;
    ASSERT_TRUE(ProbeBootSector(boot)) << c.deviceSectorSize;
    EXPECT_EQ(Geometry().BytesPerSector, static_cast<int32_t>(c.deviceSectorSize));
    EXPECT_EQ(boot.size(), c.deviceSectorSize);
    EXPECT_EQ(boot[300], 300 % 251);
    EXPECT_EQ(platform.Reads, c.attempts) << c.deviceSectorSize;
    EXPECT_EQ(platform.DirectReads, 0);
  }
}

TEST_F(SectorReaderTest, ProbeFailsAfterNineAttemptsLeaving4608) {
  platform.AddDrive('C', Pattern(16 * 8192), 8192);  // sectors larger than any probed length
  Geometry().CurrentDrive = "C:";
  std::vector<uint8_t> boot;
  EXPECT_FALSE(ProbeBootSector(boot));
  EXPECT_EQ(Geometry().BytesPerSector, 4608);
  EXPECT_EQ(platform.Reads, 18);  // nine lengths, through the cache and past it

  platform.Find("C:")->FailOpen = true;
  Geometry().BytesPerSector = 0;
  EXPECT_FALSE(ProbeBootSector(boot));
  EXPECT_EQ(Geometry().BytesPerSector, 4608);
}

// A partition whose first sector cannot be read keeps its disk's sector size, and the
// label counts its sectors by it; only a volume of its own is left at 4608.
TEST_F(SectorReaderTest, AnUnreadablePartitionKeepsItsDisksSectorSize) {
  struct Case {
    uint32_t SectorSize;
    bool IsPartition;
    int32_t Expected;
  };
  for (const Case c : {Case{512, true, 512}, Case{4096, true, 4096}, Case{512, false, 4608}, Case{4096, false, 4608}}) {
    SCOPED_TRACE(std::to_string(c.SectorSize) + (c.IsPartition ? " partition" : " volume"));
    platform = MemoryPlatform{};
    MemoryPlatform::Drive& drive = platform.AddDrive('C', Pattern(96 * 4096), c.SectorSize);
    drive.IsPartition = c.IsPartition;
    drive.UnreadableSectors = {0};
    Geometry() = VolumeGeometry{};
    const VolumeLabel label = SelectDriveAndLabel("C:");
    EXPECT_EQ(Geometry().BytesPerSector, c.Expected);
    EXPECT_EQ(label.Sectors, 96u * 4096 / static_cast<uint32_t>(c.Expected));
  }
}

}  // namespace
}  // namespace korvalane
