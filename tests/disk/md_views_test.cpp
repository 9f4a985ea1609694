// An md member's superblock in the views: `details` of a member without a file system
// reports its superblock and role table (text and JSON), and `fields` decodes the
// superblock at the sector each version keeps it, checksum checked; a superblock with a
// damaged byte is named as such.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

using testing::CommandResult;
using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

TEST(MdViews, DetailsOfAMemberReportItsSuperblockAndRoles) {
  const CommandResult result = RunCli({"details", SamplePath("md/r5-ls-1.img")});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const std::vector<std::string> expected = {
      "Drive C:\\, md RAID member",
      "Superblock - 1.2 at byte 4096",
      "Array UUID - 0a0a0a0a:20212223:24252627:28292a2b",
      "Name - korvalane:r5-ls",
      "Level - raid5",
      "Layout - left-symmetric",
      "Chunk size - 65536",
      "Members - 4",
      "Member size (sectors) - 2048",
      "Data offset (sectors) - 2048",
      "Data size (sectors) - 2048",
      "Device number - 1",
      "Role - 1",
      "Events - 20",
      "Checksum - holds (stored 0x4C3DE7B1, computed 0x4C3DE7B1)",
      "",
      "Device - role:",
      "0 - 0",
      "1 - 1",
      "2 - 2",
      "3 - 3",
  };
  EXPECT_EQ(Lines(result.Out), expected);

  const CommandResult json = RunCli({"details", "--json", SamplePath("md/r6-la-3.img")});
  ASSERT_EQ(json.Status, 0) << json.Err;
  for (const char* part : {"\"level\": \"raid6\"", "\"layout\": \"left-asymmetric\"", "\"chunkBytes\": 32768",
                           "\"members\": 5", "\"role\": \"3\"", "\"events\": 20", "\"checksumHolds\": true"}) {
    EXPECT_NE(json.Out.find(part), std::string::npos) << part << "\n" << json.Out;
  }
}

TEST(MdViews, FieldsDecodeEachVersionAtItsSector) {
  struct Case {
    const char* Member;
    uint64_t Sector;
    const char* Line;
  };
  // 1.2 at 4 KiB; 0.90 in the last 64 KiB block on a 64 KiB boundary (1.0, past the
  // FAT volume its member starts with: see below).
  const uint64_t end090 = std::filesystem::file_size(SamplePath("md/r5-090-2.img"));
  const Case cases[] = {
      {"md/r0-2.img", 8, "0x0A0  4  Device number  2 (0x2)"},
      {"md/r6-ls-3.img", 8, "0x108  2  Device 4  spare"},
      {"md/r5-090-2.img", ((end090 & ~uint64_t{65535}) - 65536) / 512, "0xF8C  4  Raid disk  2 (0x2)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Member);
    const CommandResult result = RunCli({"fields", SamplePath(c.Member), std::to_string(c.Sector)});
    ASSERT_EQ(result.Status, 0) << result.Err;
    EXPECT_NE(result.Out.find("md RAID superblock at sector " + std::to_string(c.Sector)), std::string::npos)
        << result.Out;
    EXPECT_NE(result.Out.find(c.Line), std::string::npos) << result.Out;
    EXPECT_NE(result.Out.find("Superblock checksum: holds"), std::string::npos) << result.Out;
  }
}

// A 1.0 or 0.90 member holds its array's data from byte 0 (here a FAT volume, RAID1) and
// its superblock at its end: it is a disk of its own sectors, the superblock's among them,
// and the volume is on the array's drive after it. mdadm --examine says where 1.0's lies.
TEST(MdViews, AMemberWithItsSuperblockAtItsEndIsADiskToItsLastSector) {
  for (const char* name : {"md/r1-10-0.img", "md/r1-090-0.img", "md/r5-090-0.img"}) {
    SCOPED_TRACE(name);
    const std::string member = SamplePath(name);
    const uint64_t bytes = std::filesystem::file_size(member);
    const bool v10 = std::string(name).find("-10-") != std::string::npos;
    uint64_t sector = ((bytes & ~uint64_t{65535}) - 65536) / 512;
    if (v10) {
      const CommandResult oracle = testing::Run({"mdadm", "--examine", member});
      const size_t at = oracle.Out.find("Super Offset : ");
      ASSERT_NE(at, std::string::npos) << oracle.Out;
      sector = std::stoull(oracle.Out.substr(at + 15));
      EXPECT_EQ(sector, ((bytes - 8192) & ~uint64_t{4095}) / 512);
    }
    const CommandResult drives = RunCli({"drives", member});
    ASSERT_EQ(drives.Status, 0) << drives.Err;
    const std::vector<std::string> lines = Lines(drives.Out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "C: Unknown, " + std::to_string(bytes >> 20) + " Mb," + std::to_string(bytes / 512) +
                            " sectors  " + member);
    if (std::string(name).find("r1-") != std::string::npos) {
      // A RAID1 member alone is its array: the volume is there.
      ASSERT_EQ(lines.size(), 2u) << drives.Out;
      EXPECT_NE(lines[1].find("D: FAT16, 1 Mb,3072 sectors  md"), std::string::npos) << lines[1];
    } else {
      // A RAID5 member alone is not: its first chunk only looks like a FAT volume.
      EXPECT_EQ(lines.size(), 1u) << drives.Out;
    }

    const CommandResult fields = RunCli({"fields", member, std::to_string(sector)});
    ASSERT_EQ(fields.Status, 0) << fields.Err;
    EXPECT_NE(fields.Out.find("md RAID superblock at sector " + std::to_string(sector)), std::string::npos)
        << fields.Out;
    EXPECT_NE(fields.Out.find("Superblock checksum: holds"), std::string::npos) << fields.Out;
    EXPECT_EQ(RunCli({"hex", member, std::to_string(sector)}).Status, 0);
    EXPECT_EQ(RunCli({"hex", member, std::to_string(bytes / 512 - 1)}).Status, 0);
    const CommandResult details = RunCli({"details", member});
    ASSERT_EQ(details.Status, 0) << details.Err;
    EXPECT_EQ(Lines(details.Out)[0], "Drive C:\\, md RAID member");
    EXPECT_EQ(Lines(details.Out)[1], std::string("Superblock - ") + (v10 ? "1.0" : "0.90") + " at byte " +
                                         std::to_string(sector * 512));
  }
}

TEST(MdViews, ADamagedSuperblockIsNamed) {
  const std::string copy = ::testing::TempDir() + "md-damaged-" + std::to_string(getpid()) + ".img";
  std::filesystem::copy_file(SamplePath("md/r5-la-1.img"), copy, std::filesystem::copy_options::overwrite_existing);
  {
    std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096 + 200);  // the event count
    file.put('\x55');
  }
  const CommandResult fields = RunCli({"fields", copy, "8"});
  EXPECT_NE(fields.Out.find("Superblock checksum: fails (stored 0x4A25E1AD, computed 0x4A25E1EE)"), std::string::npos) << fields.Out;
  const CommandResult details = RunCli({"details", copy});
  EXPECT_NE(details.Out.find("Its checksum does not hold"), std::string::npos) << details.Out;
  // mdadm agrees.
  const CommandResult oracle = testing::Run({"mdadm", "--examine", copy});
  EXPECT_NE(oracle.Out.find("expected"), std::string::npos) << oracle.Out;
  std::filesystem::remove(copy);
}

}  // namespace
}  // namespace korvalane
