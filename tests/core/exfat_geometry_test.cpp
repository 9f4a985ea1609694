// The exFAT boot-sector parser and what choosing an exFAT drive does, over hand-built boot
// sectors in an in-memory volume.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "core/volume/BootSector.h"
#include "core/volume/Detection.h"
#include "core/volume/DriveSelection.h"
#include "platform/memory/MemoryPlatform.h"
#include "views/ExfatBuilder.h"

namespace korvalane {
namespace {

using testing::ExfatBoot;

class ExfatGeometryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Geometry() = VolumeGeometry{};
    SetPlatform(&platform);
  }
  void TearDown() override { SetPlatform(nullptr); }

  bool Parse(const ExfatBoot& boot, uint32_t deviceSectorSize = 512) {
    platform.AddDrive('C', boot.Volume(), deviceSectorSize);
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = FileSystemKind::Exfat;
    return ReadExfatGeometry();
  }

  MemoryPlatform platform;
};

TEST_F(ExfatGeometryTest, FieldsOfAVolumeAsMkfsExfatMakesIt) {
  ASSERT_TRUE(Parse(ExfatBoot{}));
  const VolumeGeometry& g = Geometry();
  EXPECT_EQ(g.BytesPerSector, 512);
  EXPECT_EQ(g.SectorsPerCluster, 8);
  EXPECT_EQ(g.BytesPerCluster, 4096);
  EXPECT_EQ(g.TotalSectors, 131072u);
  EXPECT_EQ(g.Clusters, 15872u);  // the heap's clusters, not TotalSectors / SectorsPerCluster
  EXPECT_EQ(g.ReservedSectors, 2048);
  EXPECT_EQ(g.FatSectors, 128);
  EXPECT_EQ(g.FatCopies, 1);
  EXPECT_EQ(g.FatSizeBytes, 65536);
  EXPECT_EQ(g.StartDataSector, 4096);
  EXPECT_EQ(g.RootCluster, 5u);
  EXPECT_EQ(ExfatRootDirectorySector(), 4096 + 3 * 8);
}

TEST_F(ExfatGeometryTest, SectorAndClusterSizes) {
  struct Case {
    uint32_t device;
    uint8_t sectorShift;
    uint8_t clusterShift;
    int32_t sectorsPerCluster;
    int32_t bytesPerCluster;
  };
  const Case cases[] = {
      {512, 9, 0, 1, 512},
      {4096, 12, 1, 2, 8192},
      {1024, 10, 15, 32768, 32 << 20},
      {512, 9, 16, 65536, 32 << 20},  // the largest cluster, 32 MiB
      {4096, 12, 13, 8192, 32 << 20},
  };
  for (const Case& c : cases) {
    ExfatBoot boot;
    boot.sectorShift = c.sectorShift;
    boot.clusterShift = c.clusterShift;
    ASSERT_TRUE(Parse(boot, c.device)) << int(c.sectorShift) << " " << int(c.clusterShift);
    EXPECT_EQ(Geometry().BytesPerSector, static_cast<int32_t>(c.device));
    EXPECT_EQ(Geometry().SectorsPerCluster, c.sectorsPerCluster);
    EXPECT_EQ(Geometry().BytesPerCluster, c.bytesPerCluster);
  }
}

TEST_F(ExfatGeometryTest, CountsKeepTheirWidth) {
  ExfatBoot boot;
  boot.volumeLength = 0x1234567890ULL;  // past 2^32 sectors
  boot.clusterCount = 0xFFFFFFF5u;
  boot.rootCluster = 0xFFFFFFF6u;
  ASSERT_TRUE(Parse(boot));
  EXPECT_EQ(Geometry().TotalSectors, 0x1234567890ULL);
  EXPECT_EQ(Geometry().Clusters, 0xFFFFFFF5u);
  EXPECT_EQ(Geometry().RootCluster, 0xFFFFFFF6u);
  EXPECT_EQ(ExfatRootDirectorySector(), 4096 + (int64_t{0xFFFFFFF6} - 2) * 8);
}

TEST_F(ExfatGeometryTest, ADamagedRootClusterGivesASectorAheadOfTheHeap) {
  struct Case {
    uint32_t rootCluster;
    uint32_t heapOffset;
    int64_t sector;
  };
  for (const Case& c : {Case{1, 4096, 4088}, Case{0, 4096, 4080}, Case{0, 8, -8}}) {
    ExfatBoot boot;
    boot.rootCluster = c.rootCluster;
    boot.heapOffset = c.heapOffset;
    ASSERT_TRUE(Parse(boot));
    EXPECT_EQ(ExfatRootDirectorySector(), c.sector) << c.rootCluster;
  }
  // A record no boot sector can leave names no sector at all.
  Geometry().RootCluster = uint64_t{1} << 32;
  EXPECT_EQ(ExfatRootDirectorySector(), std::nullopt);
  Geometry().RootCluster = 5;
  Geometry().SectorsPerCluster = 65537;
  EXPECT_EQ(ExfatRootDirectorySector(), std::nullopt);
}

TEST_F(ExfatGeometryTest, RejectedBootSectorsResetTheirFieldsAndKeepTheRest) {
  struct Case {
    const char* what;
    ExfatBoot boot;
    uint32_t device;
    int32_t bytesPerSector;  // what the record then holds
  };
  const auto with = [](auto change) {
    ExfatBoot b;
    change(b);
    return b;
  };
  const Case cases[] = {
      {"no EXFAT name", with([](ExfatBoot& b) { b.name = "EXFAT  X"; }), 512, 512},
      {"an NTFS name", with([](ExfatBoot& b) { b.name = "NTFS    "; }), 512, 512},
      {"no boot signature", with([](ExfatBoot& b) { b.signature = 0x55AA; }), 512, 512},
      {"sectors of 256 bytes", with([](ExfatBoot& b) { b.sectorShift = 8; }), 512, 512},
      {"sectors of 8 KiB", with([](ExfatBoot& b) { b.sectorShift = 13; }), 512, 512},
      {"a 4096-byte boot sector on a 512-byte device", with([](ExfatBoot& b) { b.sectorShift = 12; }), 512, 512},
      {"a 512-byte boot sector on a 4096-byte device", ExfatBoot{}, 4096, 4096},
      {"a cluster of 64 MiB", with([](ExfatBoot& b) { b.clusterShift = 17; }), 512, 512},
      {"a cluster shift of 255", with([](ExfatBoot& b) { b.clusterShift = 255; }), 512, 512},
  };
  for (const Case& c : cases) {
    Geometry() = VolumeGeometry{};
    ASSERT_TRUE(Parse(ExfatBoot{}));
    EXPECT_FALSE(Parse(c.boot, c.device)) << c.what;
    const VolumeGeometry& g = Geometry();
    EXPECT_EQ(g.BytesPerSector, c.bytesPerSector) << c.what;
    EXPECT_EQ(g.SectorsPerCluster, 0) << c.what;
    EXPECT_EQ(g.BytesPerCluster, 0) << c.what;
    EXPECT_EQ(g.TotalSectors, 0u) << c.what;
    EXPECT_EQ(g.RootCluster, 0u) << c.what;
    EXPECT_EQ(g.StartDataSector, 4096) << c.what;  // the earlier parse's
  }
  platform.Find("C:")->FailOpen = true;
  EXPECT_FALSE(ReadExfatGeometry());
  EXPECT_EQ(Geometry().BytesPerSector, 4608);
}

TEST_F(ExfatGeometryTest, DetectionNamesExfatAndLeavesTheOthersAlone) {
  struct Case {
    std::optional<std::string> platformName;
    ExfatBoot boot;
    FileSystemKind kind;
  };
  ExfatBoot fatNamed;
  fatNamed.name = "FAT32   ";
  const Case cases[] = {
      {std::nullopt, ExfatBoot{}, FileSystemKind::Exfat},   // "EXFAT" holds "FAT": tested first
      {"exfat", ExfatBoot{}, FileSystemKind::Exfat},        // not the platform's name: the boot sector
      {"FAT32", ExfatBoot{}, FileSystemKind::Fat32},        // the platform's name decides
      {std::nullopt, fatNamed, FileSystemKind::Fat32},
  };
  for (const Case& c : cases) {
    platform.AddDrive('C', c.boot.Volume()).FileSystemName = c.platformName;
    EXPECT_EQ(DetectFileSystem("C:"), c.kind) << c.platformName.value_or("(none)");
  }
}

TEST_F(ExfatGeometryTest, ChoosingTheDriveNamesItExfatInTheLabel) {
  platform.AddDrive('C', ExfatBoot{}.Volume()).TotalBytes = 64 * 1048576LL;
  EXPECT_EQ(SelectDriveAndDescribe("C:"), u"exFAT, 64 Mb,131072 sectors");
  EXPECT_EQ(Geometry().FileSystemKind, FileSystemKind::Exfat);
  EXPECT_EQ(Geometry().StartDataSector, 4096);
}

}  // namespace
}  // namespace korvalane
