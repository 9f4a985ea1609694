// PVs added to a drive table while the program runs (as the window's Open does): a VG
// whose other PVs are not there yet is listed as the start-up list has it (its LVs, the
// missing PV named, what lies on it unreadable), and once the PV is added the same drives
// are read through both. The PVs are those pvcreate and vgcfgrestore made
// (scripts/make-samples-lvm).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "fixtures/Samples.h"
#include "platform/posix/DriveTable.h"

namespace korvalane {
namespace {

using testing::SamplePath;

class LvmDriveTable : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(SamplePath("lvm-pv1.img"))) {
      GTEST_SKIP() << "no loop device when the samples were made, so no LVM samples";
    }
  }
};

const DriveEntry* ByVolume(const DriveTable& table, const std::string& volume) {
  for (const DriveEntry& entry : table.Entries()) {
    if (entry.Volume == volume) return &entry;
  }
  return nullptr;
}

std::vector<uint8_t> Sector(const DriveEntry& drive, uint64_t sector, bool* read) {
  std::vector<uint8_t> bytes(512);
  *read = drive.From->Read(drive.FirstByte + sector * 512, bytes, false);
  return bytes;
}

TEST_F(LvmDriveTable, AnIncompleteVgAddedLaterIsListedAsAtStartUpThenReadThroughItsOtherPv) {
  const std::string pv1 = SamplePath("lvm-pv1.img");
  const std::string pv2 = SamplePath("lvm-pv2.img");
  const DriveTable startUp = DriveTable::FromSources({pv1});

  DriveTable table = DriveTable::FromSources({SamplePath("fat16.img")});
  const std::vector<char> added = table.Append({pv1});
  // The PV's own drive, then its VG's visible LVs, as korvalane-cli drives lists them.
  ASSERT_EQ(added, (std::vector<char>{'D', 'E', 'F', 'G', 'H'}));
  ASSERT_EQ(startUp.Entries().size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    const DriveEntry& now = table.Entries()[1 + i];
    const DriveEntry& then = startUp.Entries()[i];
    EXPECT_EQ(now.Description, then.Description);
    EXPECT_EQ(now.Volume, then.Volume);
    EXPECT_EQ(now.From->Damage(), then.From->Damage());
  }
  const DriveEntry* data = ByVolume(table, "kvg/data");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->Letter, 'F');
  EXPECT_EQ(data->Description, "LVM2 LV kvg/data, striped, 4 MiB, on " + pv1 + " and missing pv1");
  EXPECT_EQ(data->From->Damage(),
            "PV pv1 (Kv2bbb-bbbb-bbbb-bbbb-bbbb-bbbb-bbbPV2) is missing: what lies on it is unreadable");
  // The first 64 KiB stripe is on pv0, the second on the missing pv1.
  bool read = false;
  Sector(*data, 0, &read);
  EXPECT_TRUE(read);
  Sector(*data, 128, &read);
  EXPECT_FALSE(read);

  // The other PV: its own drive, and the LVs of the VG keep their letters, complete now.
  const std::vector<char> more = table.Append({pv2});
  EXPECT_EQ(more, (std::vector<char>{'I', 'E', 'F', 'G', 'H'}));
  ASSERT_EQ(table.Entries().size(), 7u);
  data = ByVolume(table, "kvg/data");
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(data->Letter, 'F');
  EXPECT_EQ(data->Description, "LVM2 LV kvg/data, striped, 4 MiB, on " + pv1 + " and " + pv2);
  EXPECT_EQ(data->From->Damage(), "");
  std::ifstream written(SamplePath("lvm-data.bin"), std::ios::binary);
  const std::vector<uint8_t> expected(std::istreambuf_iterator<char>(written), {});
  ASSERT_GE(expected.size(), 129u * 512);
  const std::vector<uint8_t> second = Sector(*data, 128, &read);
  EXPECT_TRUE(read);
  EXPECT_TRUE(std::equal(second.begin(), second.end(), expected.begin() + 128 * 512));

  // Both PVs at start-up give the same drives after the disk's.
  const DriveTable both = DriveTable::FromSources({pv1, pv2});
  ASSERT_EQ(both.Entries().size(), 6u);
  EXPECT_EQ(both.Entries()[2].Description, table.Entries()[2].Description);
  EXPECT_EQ(both.Entries()[3].Description, table.Entries()[3].Description);
}

}  // namespace
}  // namespace korvalane
