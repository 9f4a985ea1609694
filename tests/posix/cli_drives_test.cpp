#include <gtest/gtest.h>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

TEST(CliDrives, OneLinePerSourceWithTheMainWindowsLabel) {
  const auto result = RunCli({"drives", SamplePath("fat16.img"), SamplePath("fat32.img"), SamplePath("ntfs.img"),
                              SamplePath("fat12.img"), "/dev/null"});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(Lines(result.Out), (std::vector<std::string>{
                                   "C: FAT16, 16 Mb,32768 sectors  " + SamplePath("fat16.img"),
                                   "D: FAT32, 36 Mb,73728 sectors  " + SamplePath("fat32.img"),
                                   "E: NTFS, 16 Mb,32767 sectors  " + SamplePath("ntfs.img"),
                                   "F: FAT16, 4 Mb,8192 sectors  " + SamplePath("fat12.img"),
                                   // no size, so no sectors: not the count the previous one left
                                   "G: Unknown, 0 Mb,0 sectors  /dev/null",
                               }));
}

TEST(CliDrives, SectorSizeOption) {
  const auto result = RunCli({"drives", "--sector-size", "4096", SamplePath("fat16-4k.img"), SamplePath("ntfs-4k.img")});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(Lines(result.Out), (std::vector<std::string>{
                                   "C: FAT16, 32 Mb,8192 sectors  " + SamplePath("fat16-4k.img"),
                                   "D: NTFS, 16 Mb,4095 sectors  " + SamplePath("ntfs-4k.img"),
                               }));
}

TEST(CliDrives, BadCommandLinesGiveOneLineAndStatus2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"drives", "--sector-size", "1000", "x.img"},
      {"drives", "--sector-size"},
      {"drives", "--bogus"},
      {"drives", SamplePath("fat16.img"), "/nonexistent.img"},
  };
  for (const auto& args : cases) {
    const auto result = RunCli(args);
    EXPECT_EQ(result.Status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(Lines(result.Err).size(), 1u) << result.Err;
    EXPECT_TRUE(result.Out.empty());
  }
  const auto help = RunCli({"--help"});
  EXPECT_EQ(help.Status, 0);
  for (const char* word : {"drives", "text", "hex", "record", "details", "export", "--sector-size", "--force"}) {
    EXPECT_NE(help.Out.find(word), std::string::npos) << word;
  }
}

}  // namespace
}  // namespace korvalane
