// The XFS presets of `find` on the mkfs.xfs samples against xfs_db -r: xfs-directory-block
// finds exactly the single and data blocks of the folders that have blocks (bmap of each,
// below the leaf area at 32 GiB), xfs-inode a sector for each sector of the inode chunks
// (every allocated inode, sb icount, holds the magic from mkfs on).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fixtures/Samples.h"
#include "fixtures/XfsDb.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

constexpr const char* kImages[] = {"xfs5.img", "xfs4.img", "xfs5-4k.img"};

std::vector<uint64_t> Found(const std::string& image, const char* preset) {
  const testing::CommandResult result = RunCli({"find", "--all", image, preset});
  EXPECT_EQ(result.Status, 0) << result.Err;
  std::vector<uint64_t> sectors;
  for (const std::string& line : Lines(result.Out)) {
    EXPECT_TRUE(line.ends_with(" 0")) << line;  // at the sector's first byte
    sectors.push_back(std::stoull(line));
  }
  return sectors;
}

TEST(XfsPresets, DirectoryBlocksAreTheFoldersDataBlocks) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    const std::string image = SamplePath(name);
    if (!std::filesystem::exists(image)) GTEST_SKIP() << name << " was not made here (see make-samples-xfs)";
    std::map<std::string, std::string> sb = testing::XfsDb(image, {"sb 0", "print"});
    const uint64_t agBlocks = std::stoull(sb["agblocks"]);
    const uint64_t agBlockLog = std::stoull(sb["agblklog"]);
    const uint64_t perBlock = std::stoull(sb["blocksize"]) / std::stoull(sb["sectsize"]);
    const uint64_t leafArea = (uint64_t{32} << 30) / std::stoull(sb["blocksize"]);
    std::vector<std::string> folders = {"128"};
    std::smatch m;
    for (const std::string& line : testing::XfsDbLines(image, {"blockget -n", "ncheck"})) {
      if (std::regex_match(line, m, std::regex(R"( *(\d+) .*/\.)"))) folders.push_back(m[1]);
    }
    ASSERT_EQ(folders.size(), 4u);  // the root, DOCS, leaf and node
    std::set<uint64_t> expected;
    for (const std::string& folder : folders) {
      for (const std::string& line : testing::XfsDbLines(image, {"inode " + folder, "bmap"})) {
        if (!std::regex_search(line, m, std::regex(R"(data offset (\d+) startblock (\d+) \(\d+/\d+\) count (\d+))"))) continue;
        if (std::stoull(m[1]) >= leafArea) continue;
        const uint64_t fsblock = std::stoull(m[2]);
        const uint64_t linear = (fsblock >> agBlockLog) * agBlocks + (fsblock & ((uint64_t{1} << agBlockLog) - 1));
        for (uint64_t i = 0; i < std::stoull(m[3]); ++i) expected.insert((linear + i) * perBlock);
      }
    }
    ASSERT_GT(expected.size(), 40u);
    const std::vector<uint64_t> found = Found(image, "xfs-directory-block");
    EXPECT_EQ(std::set<uint64_t>(found.begin(), found.end()), expected);
    EXPECT_EQ(found.size(), expected.size());
  }
}

TEST(XfsPresets, InodesAreFoundInEverySectorOfTheInodeChunks) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    const std::string image = SamplePath(name);
    if (!std::filesystem::exists(image)) GTEST_SKIP() << name << " was not made here (see make-samples-xfs)";
    std::map<std::string, std::string> sb = testing::XfsDb(image, {"sb 0", "print"});
    const uint64_t inodeBytes = std::stoull(sb["inodesize"]);
    const uint64_t sectorBytes = std::stoull(sb["sectsize"]);
    const std::vector<uint64_t> found = Found(image, "xfs-inode");
    // A sector opens with an inode: each inode where they are as large as the sectors,
    // each sector of them where they are smaller.
    const uint64_t icount = std::stoull(sb["icount"]);
    EXPECT_EQ(found.size(), inodeBytes >= sectorBytes ? icount : icount * inodeBytes / sectorBytes);
    // The root's inode is one of them, where xfs_db places it.
    const std::vector<std::string> convert = testing::XfsDbLines(image, {"convert inode 128 daddr"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(convert.at(0), m, std::regex(R"(\((\d+)\))")));
    EXPECT_NE(std::find(found.begin(), found.end(), std::stoull(m[1]) * 512 / sectorBytes), found.end());
  }
}

}  // namespace
}  // namespace korvalane
