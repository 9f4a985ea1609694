// The exFAT boot-sector parser over hand-built boot sectors in an in-memory volume.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "core/fs/exfat/ExfatGeometry.h"
#include "core/fs/fat/FatGeometry.h"
#include "core/fs/ntfs/NtfsGeometry.h"
#include "core/views/Details.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

// A boot sector as mkfs.exfat writes it for 64 MiB, but for the fields given: FAT at
// 2048 (128 sectors), heap at 4096 with 15872 clusters.
struct Boot {
  uint32_t device = 512;
  uint8_t sectorShift = 9;
  uint8_t clusterShift = 3;
  uint64_t volumeLength = 131072;
  uint32_t rootCluster = 5;
  const char* name = "EXFAT   ";
  uint16_t signature = 0xAA55;
};

std::vector<uint8_t> Volume(const Boot& b) {
  std::vector<uint8_t> v(4 * 4096, 0);
  const auto put = [&](size_t at, uint64_t value, size_t width) {
    for (size_t i = 0; i < width; ++i) v[at + i] = static_cast<uint8_t>(value >> (8 * i));
  };
  std::memcpy(v.data() + 3, b.name, 8);
  put(72, b.volumeLength, 8);
  put(80, 2048, 4);
  put(84, 128, 4);
  put(88, 4096, 4);
  put(92, 15872, 4);
  put(96, b.rootCluster, 4);
  put(108, b.sectorShift, 1);
  put(109, b.clusterShift, 1);
  put(110, 1, 1);
  put(510, b.signature, 2);
  return v;
}

TEST(ExfatGeometryTest, AcceptedAndRejectedBootSectors) {
  struct Case {
    const char* what;
    Boot boot;
    int32_t sectorsPerCluster;  // 0: the parse fails
    int64_t rootSector = 0;
  };
  const Case cases[] = {
      {"as mkfs.exfat makes it", Boot{}, 8, 4096 + 3 * 8},
      {"4096-byte sectors", Boot{4096, 12, 1}, 2, 4096 + 3 * 2},
      {"32 MiB clusters, counts past 32 bits", Boot{512, 9, 16, 1ULL << 40, 0xFFFFFFFF}, 65536,
       4096 + int64_t{0xFFFFFFFD} * 65536},
      {"a damaged root cluster lies ahead of the heap", Boot{1024, 10, 0, 1, 0}, 1, 4096 - 2},
      {"no EXFAT name", Boot{512, 9, 3, 131072, 5, "EXFAT  X"}, 0},
      {"no boot signature", Boot{512, 9, 3, 131072, 5, "EXFAT   ", 0x55AA}, 0},
      {"sectors of 256 bytes", Boot{512, 8}, 0},
      {"sectors of 8 KiB", Boot{512, 13}, 0},
      {"4096-byte sectors on a 512-byte device", Boot{512, 12}, 0},
      {"512-byte sectors on a 4096-byte device", Boot{4096, 9}, 0},
      {"a cluster of 64 MiB", Boot{512, 9, 17}, 0},
  };
  MemoryPlatform platform;
  SetPlatform(&platform);
  for (const Case& c : cases) {
    // Another volume first: a failed parse resets its own fields and keeps the others.
    Geometry() = VolumeGeometry{};
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = FileSystemKind::Exfat;
    platform.AddDrive('C', Volume(Boot{}));
    ASSERT_TRUE(ReadExfatGeometry());
    platform.AddDrive('C', Volume(c.boot), c.boot.device);
    const VolumeGeometry& g = Geometry();
    ViewText details;
    ReportVolumeDetails(details, NoPump);
    EXPECT_EQ(g.BytesPerSector, static_cast<int32_t>(c.boot.device)) << c.what;
    EXPECT_EQ(g.SectorsPerCluster, c.sectorsPerCluster) << c.what;
    if (c.sectorsPerCluster == 0) {
      EXPECT_EQ(g.BytesPerCluster | g.RootCluster, 0u) << c.what;
      // The volume stays browsable to its end after the refused report.
      EXPECT_EQ(g.TotalSectors, platform.Find("C:")->Bytes.size() / c.boot.device) << c.what;
      EXPECT_EQ(g.StartDataSector, 4096) << c.what;
      EXPECT_EQ(details, ViewText{u"Access to boot sector denied"}) << c.what;
      continue;
    }
    EXPECT_EQ(g.BytesPerCluster, c.sectorsPerCluster * g.BytesPerSector) << c.what;
    EXPECT_EQ(g.TotalSectors, c.boot.volumeLength) << c.what;
    EXPECT_EQ(g.Clusters, 15872u) << c.what;  // the heap's count, not TotalSectors / SectorsPerCluster
    EXPECT_EQ(g.FatSizeBytes, 128 * g.BytesPerSector) << c.what;
    EXPECT_EQ(g.RootCluster, c.boot.rootCluster) << c.what;
    EXPECT_EQ(ExfatRootDirectorySector(), c.rootSector) << c.what;
    EXPECT_EQ(details.size(), 13u) << c.what;
  }
  SetPlatform(nullptr);
}

}  // namespace
}  // namespace korvalane
