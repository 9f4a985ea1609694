// The "Details" report of exFAT volumes, over hand-built boot sectors in an in-memory volume.
#include <gtest/gtest.h>

#include "core/views/Details.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"
#include "views/ExfatBuilder.h"

namespace korvalane {
namespace {

using testing::ExfatBoot;

class ExfatDetailsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPlatform(&platform_);
    Geometry() = VolumeGeometry{};
  }
  void TearDown() override { SetPlatform(nullptr); }

  ViewText Report(const ExfatBoot& boot, uint32_t sectorSize = 512, const char* drive = "C:") {
    platform_.AddDrive(drive[0], boot.Volume(), sectorSize);
    Geometry().CurrentDrive = drive;
    Geometry().FileSystemKind = FileSystemKind::Exfat;
    ViewText view;
    ReportVolumeDetails(view, NoPump);
    return view;
  }

  MemoryPlatform platform_;
};

TEST_F(ExfatDetailsTest, TheLinesInTheirOrder) {
  struct Case {
    ExfatBoot boot;
    uint32_t sectorSize;
    const char* drive;
    ViewText lines;
  };
  ExfatBoot fourK;
  fourK.volumeLength = 8192;
  fourK.fatOffset = 256;
  fourK.fatLength = 8;
  fourK.heapOffset = 512;
  fourK.clusterCount = 3840;
  fourK.rootCluster = 7;
  fourK.sectorShift = 12;
  fourK.clusterShift = 1;
  fourK.fats = 2;
  const Case cases[] = {
      {ExfatBoot{}, 512, "C:",
       {u"Drive C:\\, exFAT", u"Bytes per sector - 512", u"Bytes per cluster - 4096", u"Sectors per cluster - 8",
        u"Sectors - 131072", u"Clusters - 15872", u"Sectors before FAT - 2048", u"FAT copies - 1",
        u"FAT sectors - 128", u"FAT size - 65536", u"Start data sector - 4096", u"Root directory cluster - 5",
        u"Root directory sector - 4120"}},
      {fourK, 4096, "E:",
       {u"Drive E:\\, exFAT", u"Bytes per sector - 4096", u"Bytes per cluster - 8192", u"Sectors per cluster - 2",
        u"Sectors - 8192", u"Clusters - 3840", u"Sectors before FAT - 256", u"FAT copies - 2", u"FAT sectors - 8",
        u"FAT size - 32768", u"Start data sector - 512", u"Root directory cluster - 7",
        u"Root directory sector - 522"}},
  };
  for (const Case& c : cases) EXPECT_EQ(Report(c.boot, c.sectorSize, c.drive), c.lines) << c.drive;
}

TEST_F(ExfatDetailsTest, ExtremeValuesAreShownWhole) {
  ExfatBoot boot;
  boot.volumeLength = UINT64_MAX;
  boot.clusterCount = UINT32_MAX;
  boot.rootCluster = 0;  // damaged: the root would lie ahead of the heap
  boot.heapOffset = 8;
  const ViewText view = Report(boot);
  ASSERT_EQ(view.size(), 13u);
  EXPECT_EQ(view[4], u"Sectors - 18446744073709551615");
  EXPECT_EQ(view[5], u"Clusters - 4294967295");
  EXPECT_EQ(view[11], u"Root directory cluster - 0");
  EXPECT_EQ(view[12], u"Root directory sector - -8");
}

TEST_F(ExfatDetailsTest, ABootSectorTheParserRefusesIsDenied) {
  ExfatBoot boot;
  boot.sectorShift = 12;  // on a 512-byte device
  EXPECT_EQ(Report(boot), ViewText{u"Access to boot sector denied"});
  platform_.Find("C:")->FailOpen = true;
  ViewText view;
  ReportVolumeDetails(view, NoPump);
  EXPECT_EQ(view, ViewText{u"Access to boot sector denied"});
}

}  // namespace
}  // namespace korvalane
