#include <gtest/gtest.h>

#include <cstring>

#include "core/Bytes.h"
#include "core/fs/exfat/ExfatGeometry.h"
#include "core/fs/fat/FatGeometry.h"
#include "core/fs/ntfs/NtfsGeometry.h"
#include "core/volume/DriveSelection.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

void Put(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// A FAT boot sector; the fields not named keep the values of a small FAT16 volume.
struct FatBoot {
  uint32_t sectorSize = 512;  // the device's, as the probe finds it
  uint16_t bytesPerSectorField = 512;
  uint8_t sectorsPerCluster = 4;
  uint16_t reserved = 1;
  uint8_t fats = 2;
  uint16_t rootEntries = 512;
  uint16_t total16 = 0;
  uint16_t fatSectors16 = 200;
  uint32_t total32 = 0;
  uint32_t fatSectors32 = 0;

  std::vector<uint8_t> Volume() const {
    std::vector<uint8_t> bytes(4 * 4096, 0);
    Put(bytes, 11, bytesPerSectorField, 2);
    Put(bytes, 13, sectorsPerCluster, 1);
    Put(bytes, 14, reserved, 2);
    Put(bytes, 16, fats, 1);
    Put(bytes, 17, rootEntries, 2);
    Put(bytes, 19, total16, 2);
    Put(bytes, 22, fatSectors16, 2);
    Put(bytes, 32, total32, 4);
    Put(bytes, 36, fatSectors32, 4);
    return bytes;
  }
};

struct NtfsBoot {
  uint16_t bytesPerSector = 512;
  uint8_t sectorsPerCluster = 8;
  uint64_t totalSectors = 976771071;
  uint64_t mftCluster = 786432;

  std::vector<uint8_t> Volume() const {
    std::vector<uint8_t> bytes(4 * 4096, 0);
    std::memcpy(bytes.data() + 3, "NTFS    ", 8);
    Put(bytes, 11, bytesPerSector, 2);
    Put(bytes, 13, sectorsPerCluster, 1);
    Put(bytes, 40, totalSectors, 8);
    Put(bytes, 48, mftCluster, 8);
    return bytes;
  }
};

class GeometryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Geometry() = VolumeGeometry{};
    SetPlatform(&platform);
  }
  void TearDown() override { SetPlatform(nullptr); }

  bool ParseFat(const FatBoot& boot, FileSystemKind kind = FileSystemKind::Fat) {
    platform.AddDrive('C', boot.Volume(), boot.sectorSize);
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = kind;
    return ReadFatGeometry();
  }
  bool ParseNtfs(const NtfsBoot& boot) {
    platform.AddDrive('C', boot.Volume());
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = FileSystemKind::Ntfs;
    return ReadNtfsGeometry();
  }

  MemoryPlatform platform;
};

TEST_F(GeometryTest, Fat16WithNoTotalEstimatesItFromTheFatSize) {
  ASSERT_TRUE(ParseFat(FatBoot{}));
  const VolumeGeometry& g = Geometry();
  EXPECT_EQ(g.BytesPerSector, 512);
  EXPECT_EQ(g.SectorsPerCluster, 4);
  EXPECT_EQ(g.BytesPerCluster, 2048);
  EXPECT_EQ(g.ReservedSectors, 1);
  EXPECT_EQ(g.FatCopies, 2);
  EXPECT_EQ(g.FatSectors, 200);
  EXPECT_EQ(g.StartDataSector, 401);
  EXPECT_EQ(g.TotalSectors, 409199u);  // 200 * 512 * 4 - 401
  EXPECT_EQ(g.Clusters, 409199u / 4);
  EXPECT_EQ(g.RootSectors, 32);
  EXPECT_EQ(g.FatSizeBytes, 102400);
}

TEST_F(GeometryTest, FatTotalComesFromThe32BitFieldThenThe16BitOne) {
  struct Case {
    uint32_t total32;
    uint16_t total16;
    uint32_t expected;
  };
  for (const Case& c : {Case{100000, 8192, 100000}, Case{0, 8192, 8192}, Case{0, 0, 409199}}) {
    FatBoot boot;
    boot.total32 = c.total32;
    boot.total16 = c.total16;
    ASSERT_TRUE(ParseFat(boot));
    EXPECT_EQ(Geometry().TotalSectors, c.expected) << c.total32 << " " << c.total16;
  }
}

TEST_F(GeometryTest, RootSectorsDropTheRemainderAndFallBackOnTheClusterSize) {
  struct Case {
    uint16_t rootEntries;
    FileSystemKind kind;
    int32_t expected;
  };
  for (const Case& c : {Case{512, FileSystemKind::Fat, 32}, Case{500, FileSystemKind::Fat, 31},
                        Case{0, FileSystemKind::Fat32, 4}, Case{15, FileSystemKind::Fat, 4}}) {
    FatBoot boot;
    boot.rootEntries = c.rootEntries;
    boot.fatSectors32 = 300;
    ASSERT_TRUE(ParseFat(boot, c.kind));
    EXPECT_EQ(Geometry().RootSectors, c.expected) << c.rootEntries;
  }
}

TEST_F(GeometryTest, Fat32TakesThe32BitFatSizeAndEightEntriesPerByteEstimate) {
  FatBoot boot;
  boot.rootEntries = 0;
  boot.reserved = 32;
  boot.fatSectors16 = 0;
  boot.fatSectors32 = 567;
  ASSERT_TRUE(ParseFat(boot, FileSystemKind::Fat32));
  EXPECT_EQ(Geometry().FatSectors, 567);
  EXPECT_EQ(Geometry().StartDataSector, 567 * 2 + 32);
  EXPECT_EQ(Geometry().TotalSectors, 567u * 512 * 8 - (567 * 2 + 32));
}

TEST_F(GeometryTest, FatSectorSizeIsTheProbedOneWhateverTheBootSectorSays) {
  FatBoot boot;
  boot.sectorSize = 4096;
  boot.bytesPerSectorField = 512;
  boot.rootEntries = 512;
  ASSERT_TRUE(ParseFat(boot));
  EXPECT_EQ(Geometry().BytesPerSector, 4096);
  EXPECT_EQ(Geometry().RootSectors, 4);  // 512 * 32 / 4096
  EXPECT_EQ(Geometry().BytesPerCluster, 4 * 4096);
}

TEST_F(GeometryTest, AFailedFatParseResetsItsThreeFieldsAndKeepsTheRest) {
  ASSERT_TRUE(ParseFat(FatBoot{}));
  FatBoot bad;
  bad.sectorsPerCluster = 0;
  bad.fats = 7;
  EXPECT_FALSE(ParseFat(bad));
  const VolumeGeometry& g = Geometry();
  EXPECT_EQ(g.SectorsPerCluster, 0);
  EXPECT_EQ(g.BytesPerCluster, 0);
  EXPECT_EQ(g.TotalSectors, 0u);
  EXPECT_EQ(g.FatCopies, 2);  // the previous volume's
  EXPECT_EQ(g.StartDataSector, 401);
  EXPECT_EQ(g.BytesPerSector, 512);

  platform.Find("C:")->FailOpen = true;
  EXPECT_FALSE(ReadFatGeometry());
  EXPECT_EQ(g.BytesPerSector, 4608);
}

TEST_F(GeometryTest, FatArithmeticWrapsInsteadOfOverflowing) {
  FatBoot boot;
  boot.fatSectors16 = 0;
  boot.fatSectors32 = 0xFFFFFFFF;
  boot.fats = 255;
  boot.reserved = 0xFFFF;
  ASSERT_TRUE(ParseFat(boot, FileSystemKind::Fat32));
  const uint32_t start = 0xFFFFFFFFu * 255u + 0xFFFFu;
  EXPECT_EQ(Geometry().StartDataSector, static_cast<int32_t>(start));
  EXPECT_EQ(Geometry().TotalSectors, 0xFFFFFFFFu * 512u * 8u - start);
  EXPECT_EQ(Geometry().FatSizeBytes, static_cast<int32_t>(0xFFFFFFFFu * 512u));
}

TEST_F(GeometryTest, NtfsGeometry) {
  ASSERT_TRUE(ParseNtfs(NtfsBoot{}));
  const VolumeGeometry& g = Geometry();
  EXPECT_EQ(g.BytesPerSector, 512);
  EXPECT_EQ(g.SectorsPerCluster, 8);
  EXPECT_EQ(g.BytesPerCluster, 4096);
  EXPECT_EQ(g.TotalSectors, 976771071u);
  EXPECT_EQ(g.Clusters, 122096383u);
  EXPECT_EQ(g.MftStartCluster, 786432u);
}

TEST_F(GeometryTest, NtfsCountsKeepTheirSixtyFourBits) {
  struct Case {
    uint64_t total;
    uint64_t mft;
    uint64_t expectedTotal;
    uint64_t expectedClusters;
    uint64_t expectedMft;
  };
  const Case cases[] = {
      {2147483648ULL, 4, 2147483648u, 268435456u, 4},  // a 1 TiB volume: no negative count
      {0xFFFFFFFFULL, 0xFFFFFFFFULL, 0xFFFFFFFFu, 0xFFFFFFFFu / 8, 0xFFFFFFFFu},
      // A 4 TB disk: 7,814,037,168 sectors of 512 bytes, past 2^32.
      {7814037167ULL, 0x123456789ULL, 7814037167ULL, 7814037167ULL / 8, 0x123456789ULL},
      {UINT64_MAX, UINT64_MAX, UINT64_MAX, UINT64_MAX / 8, UINT64_MAX},
  };
  for (const Case& c : cases) {
    NtfsBoot boot;
    boot.totalSectors = c.total;
    boot.mftCluster = c.mft;
    ASSERT_TRUE(ParseNtfs(boot));
    EXPECT_EQ(Geometry().TotalSectors, c.expectedTotal) << c.total;
    EXPECT_EQ(Geometry().Clusters, c.expectedClusters) << c.total;
    EXPECT_EQ(Geometry().MftStartCluster, c.expectedMft) << c.mft;
  }
}

TEST_F(GeometryTest, RejectedNtfsBootSectors) {
  struct Case {
    uint16_t bytesPerSector;
    uint8_t sectorsPerCluster;
    int32_t expectedBytesPerSector;
  };
  for (const Case& c : {Case{256, 8, 256}, Case{0, 8, 0}, Case{511, 8, 511}, Case{512, 0, 512}}) {
    ASSERT_TRUE(ParseNtfs(NtfsBoot{}));
    NtfsBoot boot;
    boot.bytesPerSector = c.bytesPerSector;
    boot.sectorsPerCluster = c.sectorsPerCluster;
    EXPECT_FALSE(ParseNtfs(boot)) << c.bytesPerSector;
    EXPECT_EQ(Geometry().BytesPerSector, c.expectedBytesPerSector);
    EXPECT_EQ(Geometry().SectorsPerCluster, 0);
    EXPECT_EQ(Geometry().BytesPerCluster, 0);
    EXPECT_EQ(Geometry().TotalSectors, 0u);
    EXPECT_EQ(Geometry().MftStartCluster, 0u);
  }
}

TEST_F(GeometryTest, EachParserLeavesTheOthersFieldsAlone) {
  ASSERT_TRUE(ParseFat(FatBoot{}));
  Geometry().MftRecordBytes = 1024;
  ASSERT_TRUE(ParseNtfs(NtfsBoot{}));
  EXPECT_EQ(Geometry().StartDataSector, 401);
  EXPECT_EQ(Geometry().FatSectors, 200);
  ASSERT_TRUE(ParseFat(FatBoot{}));
  EXPECT_EQ(Geometry().MftStartCluster, 786432u);
  EXPECT_EQ(Geometry().MftRecordBytes, 1024);
}

TEST_F(GeometryTest, SelectingDrivesBuildsTheMainWindowsLabel) {
  platform.AddDrive('C', NtfsBoot{}.Volume()).TotalBytes = 100 * 1048576LL + 1000;
  platform.AddDrive('D', std::vector<uint8_t>(8 * 512, 0));  // no file system
  platform.AddDrive('E', FatBoot{}.Volume()).FileSystemName = "FAT";
  platform.Find("E:")->TotalBytes = -1;

  EXPECT_EQ(SelectDriveAndDescribe("C:"), u"NTFS, 100 Mb,976771071 sectors");
  EXPECT_EQ(Geometry().FileSystemKind, FileSystemKind::Ntfs);
  // An unknown volume is browsable to its end: its size in sectors, not the previous
  // volume's count.
  EXPECT_EQ(SelectDriveAndDescribe("D:"), u"Unknown, 0 Mb,8 sectors");
  EXPECT_EQ(SelectDriveAndDescribe("E:"), u"FAT16, 0 Mb,409199 sectors");
  EXPECT_EQ(Geometry().CurrentDrive, "E:");
  Geometry() = VolumeGeometry{};
  EXPECT_EQ(SelectDriveAndDescribe(""), u"Unknown, 0 Mb,0 sectors");
}

}  // namespace
}  // namespace korvalane
