// The XFS "File record" view of directory data blocks (single-block, leaf and node
// directories, v5 and v4) against xfs_db -r (dblock N print), and the entries a freed
// region keeps, shown as deleted.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "core/fs/xfs/Directory.h"
#include "fixtures/Samples.h"
#include "fixtures/XfsDb.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::SamplePath;

struct Geometry {
  uint32_t agblklog = 0, agblocks = 0, sectorsPerBlock = 0;
};

Geometry Read(const std::string& image) {
  Geometry g;
  for (const std::string& line : testing::XfsDbLines(image, {"sb 0", "print agblklog agblocks blocksize sectsize"})) {
    const size_t eq = line.find(" = ");
    const std::string key = line.substr(0, eq);
    const uint32_t value = std::stoul(line.substr(eq + 3));
    if (key == "agblklog") g.agblklog = value;
    if (key == "agblocks") g.agblocks = value;
    if (key == "blocksize") g.sectorsPerBlock = value;
    if (key == "sectsize") g.sectorsPerBlock /= value;
  }
  return g;
}

// The directory's data blocks (below the leaf offset, 32 GiB in) as xfs_db's bmap maps
// them, through a btree fork too: logical block and the sector it begins at.
std::vector<std::pair<uint64_t, uint64_t>> DataBlocks(const std::string& image, uint64_t inode, const Geometry& g) {
  std::vector<std::pair<uint64_t, uint64_t>> blocks;
  const std::regex extent(R"(^data offset (\d+) startblock \d+ \((\d+)/(\d+)\) count (\d+) flag \d$)");
  for (const std::string& line : testing::XfsDbLines(image, {"inode " + std::to_string(inode), "bmap"})) {
    std::smatch m;
    if (!std::regex_match(line, m, extent)) continue;
    const uint64_t logical = std::stoull(m[1]), ag = std::stoull(m[2]), agbno = std::stoull(m[3]), count = std::stoull(m[4]);
    for (uint64_t i = 0; i < count && logical + i < (uint64_t{1} << 35) / 4096; ++i) {
      blocks.emplace_back(logical + i, (ag * g.agblocks + agbno + i) * g.sectorsPerBlock);
    }
  }
  return blocks;
}

class XfsDirectory : public ::testing::TestWithParam<const char*> {};

TEST_P(XfsDirectory, DataBlockEntriesAgreeWithXfsDb) {
  const std::string image = SamplePath(std::string(GetParam()) + ".img");
  const Geometry g = Read(image);
  // The root (one block), "leaf" (400 names) and "node" (2000 names) directories.
  std::vector<uint64_t> directories{128};
  for (const std::string& line : testing::XfsDbLines(image, {"ls /"})) {
    std::smatch m;
    if (std::regex_search(line, m, std::regex(R"(^\d+\s+(\d+)\s+directory\s+\S+\s+\d+ (leaf|node))"))) {
      directories.push_back(std::stoull(m[1]));
    }
  }
  ASSERT_EQ(directories.size(), 3u);
  size_t blocksSeen = 0;
  for (const uint64_t dir : directories) {
    const std::vector<std::pair<uint64_t, uint64_t>> blocks = DataBlocks(image, dir, g);
    ASSERT_FALSE(blocks.empty()) << dir;
    if (dir != 128) {
      EXPECT_GT(blocks.size(), 1u) << dir;
    }
    for (const auto& [logical, sector] : blocks) {
      SCOPED_TRACE("directory " + std::to_string(dir) + " block " + std::to_string(logical));
      ++blocksSeen;
      std::vector<std::string> expected;
      std::map<std::string, std::string> du;
      const std::regex field(R"(^[bd]u\[(\d+)\]\.(inumber|name) = (.*)$)");
      for (const std::string& line : testing::XfsDbLines(image, {"inode " + std::to_string(dir), "dblock " + std::to_string(logical), "print"})) {
        std::smatch m;
        if (!std::regex_match(line, m, field)) continue;
        du[m[1].str() + m[2].str()] = m[3];
        if (m[2] == "name") {
          const std::string name = m[3].str().substr(1, m[3].str().size() - 2);
          expected.push_back("Entry - inode " + du[m[1].str() + "inumber"] + ": " + name);
        }
      }
      const testing::CommandResult r = testing::RunCli({"record", image, std::to_string(sector)});
      ASSERT_EQ(r.Status, 0) << r.Err;
      std::vector<std::string> shown;
      const std::regex entry(R"(^Entry - inode (\d+), offset \d+: (.*)$)");
      for (const std::string& line : Lines(r.Out)) {
        std::smatch m;
        if (std::regex_match(line, m, entry)) shown.push_back("Entry - inode " + m[1].str() + ": " + m[2].str());
        EXPECT_EQ(line.find("Problem"), std::string::npos) << line;
        EXPECT_EQ(line.find("mismatch"), std::string::npos) << line;
      }
      EXPECT_EQ(shown, expected);
      EXPECT_EQ(Lines(r.Out)[0].rfind("Directory block - ", 0), 0u);
    }
  }
  EXPECT_GT(blocksSeen, 5u);
}

INSTANTIATE_TEST_SUITE_P(Samples, XfsDirectory, ::testing::Values("xfs5", "xfs4"));

std::vector<uint8_t> Bytes(const std::string& image, uint64_t offset, size_t count) {
  std::vector<uint8_t> bytes(count);
  std::ifstream file(image, std::ios::binary);
  file.seekg(static_cast<std::streamoff>(offset));
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  return bytes;
}

TEST(XfsDirectoryBlock, FreedEntryKeepsItsNameAndShowsAsDeleted) {
  const std::string image = SamplePath("xfs5.img");
  const std::vector<uint8_t> first = Bytes(image, 0, 512);
  const xfs::SuperblockParse sb = xfs::ParseSuperblock(first, 0);
  ASSERT_TRUE(sb.Value);
  // The root directory's block (block 15 on this sample) as the kernel leaves it after
  // removing README.TXT: the entry's first bytes become the free tag and the length, its
  // last two the region's offset; the rest stays.
  std::vector<uint8_t> block = Bytes(image, 15 * 4096, 4096);
  xfs::DirectoryBlock before = xfs::ParseDirectoryBlock(*sb.Value, block);
  ASSERT_GE(before.Entries.size(), 4u);
  const xfs::DirectoryEntry victim = before.Entries[2];
  ASSERT_EQ(victim.Name, "README.TXT");
  const size_t length = before.Entries[3].Offset - victim.Offset;
  block[victim.Offset] = 0xFF;
  block[victim.Offset + 1] = 0xFF;
  block[victim.Offset + 2] = static_cast<uint8_t>(length >> 8);
  block[victim.Offset + 3] = static_cast<uint8_t>(length);
  block[victim.Offset + length - 2] = static_cast<uint8_t>(victim.Offset >> 8);
  block[victim.Offset + length - 1] = static_cast<uint8_t>(victim.Offset);
  const xfs::DirectoryBlock after = xfs::ParseDirectoryBlock(*sb.Value, block);
  ASSERT_EQ(after.Entries.size(), before.Entries.size());
  const auto deleted = std::find_if(after.Entries.begin(), after.Entries.end(), [](const auto& e) { return e.Deleted; });
  ASSERT_NE(deleted, after.Entries.end());
  EXPECT_EQ(deleted->Name, "README.TXT");
  EXPECT_EQ(deleted->Inode, victim.Inode);  // the low 32 bits remain
  EXPECT_EQ(deleted->Offset, victim.Offset);
  ASSERT_FALSE(after.Free.empty());
  EXPECT_EQ(after.Free[0].Offset, victim.Offset);
  EXPECT_FALSE(after.Crc->Ok());  // the block was changed behind its checksum
}

TEST(XfsDirectoryBlock, HostileLengthsStopTheWalkWithAProblem) {
  const std::string image = SamplePath("xfs5.img");
  const xfs::SuperblockParse sb = xfs::ParseSuperblock(Bytes(image, 0, 512), 0);
  ASSERT_TRUE(sb.Value);
  const std::vector<uint8_t> block = Bytes(image, 15 * 4096, 4096);
  struct Case {
    const char* what;
    size_t offset;
    std::vector<uint8_t> bytes;
    const char* problem;
  } cases[] = {
      {"a free region past the block", 480, {0xFF, 0xFF, 0x7F, 0xF8}, "does not fit the block"},
      {"a free region of length 0", 480, {0xFF, 0xFF, 0x00, 0x00}, "does not fit the block"},
      {"a name past the entries", 400 + 8, {0xFF}, "runs past the block's entries"},
      {"a hash leaf larger than the block", 4088, {0x7F, 0xFF, 0xFF, 0xFF}, "more than the block holds"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> b = block;
    std::copy(c.bytes.begin(), c.bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(c.offset));
    const xfs::DirectoryBlock d = xfs::ParseDirectoryBlock(*sb.Value, b);
    ASSERT_FALSE(d.Problems.empty()) << c.what;
    EXPECT_NE(d.Problems[0].find(c.problem), std::string::npos) << c.what << ": " << d.Problems[0];
  }
  EXPECT_TRUE(xfs::ParseDirectoryBlock(*sb.Value, std::span(block).first(40)).Entries.empty());
}

}  // namespace
}  // namespace korvalane
