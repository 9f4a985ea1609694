// The XFS "File record" view of inode blocks and `locate inode` on the mkfs.xfs samples,
// checked against xfs_db -r (inode N print); a damaged inode fails its CRC32c.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "core/fs/xfs/XfsLocate.h"
#include "core/fs/xfs/XfsVolume.h"
#include "fixtures/Samples.h"
#include "fixtures/XfsDb.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::SamplePath;

struct DbInode {
  std::map<std::string, std::string> Fields;
  std::vector<std::string> Extents;  // "0:[0,24,115,0]"
};

DbInode XfsDbInode(const std::string& image, uint64_t inode) {
  const testing::CommandResult r = testing::Run({"xfs_db", "-r", "-c", "inode " + std::to_string(inode), "-c", "print", image});
  EXPECT_EQ(r.Status, 0) << r.Err;
  DbInode d;
  const std::regex extent(R"(^\d+:\[\d+,\d+,\d+,\d\]$)");
  for (std::string line : Lines(r.Out)) {
    while (!line.empty() && line.back() == ' ') line.pop_back();  // xfs_db pads extent lists
    const size_t eq = line.find(" = ");
    if (eq != std::string::npos) d.Fields[line.substr(0, eq)] = line.substr(eq + 3);
    else if (std::regex_match(line, extent)) d.Extents.push_back(line);
  }
  return d;
}

uint64_t Locate(const std::string& image, uint64_t inode) {
  const testing::CommandResult r = testing::RunCli({"locate", image, "inode", std::to_string(inode)});
  EXPECT_EQ(r.Status, 0) << r.Err;
  return std::stoull(r.Out);
}

// The lines of inode `inode` in the record view at its sector, from "Inode N, " to the
// blank line after it.
std::vector<std::string> InodeLines(const std::string& image, uint64_t inode) {
  const testing::CommandResult r = testing::RunCli({"record", image, std::to_string(Locate(image, inode))});
  EXPECT_EQ(r.Status, 0) << r.Err;
  std::vector<std::string> mine;
  bool in = false;
  for (const std::string& line : Lines(r.Out)) {
    if (line.rfind("Inode " + std::to_string(inode) + ", ", 0) == 0) in = true;
    else if (line.empty()) in = false;
    if (in) mine.push_back(line);
  }
  return mine;
}

std::string Value(const std::vector<std::string>& lines, const std::string& label) {
  for (const std::string& line : lines) {
    if (line.rfind(label + " - ", 0) == 0) return line.substr(label.size() + 3);
  }
  ADD_FAILURE() << "no line " << label;
  return {};
}

struct Sample {
  const char* name;
  bool crc;
};

class XfsRecord : public ::testing::TestWithParam<Sample> {};

TEST_P(XfsRecord, InodesAgreeWithXfsDb) {
  const std::string image = SamplePath(std::string(GetParam().name) + ".img");
  const testing::CommandResult ls = testing::Run({"xfs_db", "-r", "-c", "ls /", image});
  ASSERT_EQ(ls.Status, 0) << ls.Err;
  const uint32_t agblklog = std::stoul(Lines(testing::Run({"xfs_db", "-r", "-c", "sb 0", "-c", "print agblklog", image}).Out)[0].substr(11));
  std::vector<uint64_t> inodes;
  const std::regex entry(R"(^\d+\s+(\d+)\s+\w+)");
  for (const std::string& line : Lines(ls.Out)) {
    std::smatch m;
    if (std::regex_search(line, m, entry)) inodes.push_back(std::stoull(m[1]));
  }
  ASSERT_GE(inodes.size(), 9u);
  int btrees = 0;
  for (const uint64_t inode : inodes) {
    SCOPED_TRACE("inode " + std::to_string(inode));
    const DbInode db = XfsDbInode(image, inode);
    const std::vector<std::string> mine = InodeLines(image, inode);
    ASSERT_FALSE(mine.empty());
    EXPECT_EQ(Value(mine, "Mode"), db.Fields.at("core.mode"));
    EXPECT_EQ(Value(mine, "Links"), db.Fields.at("core.nlinkv2"));
    EXPECT_EQ(Value(mine, "Owner"), "user " + db.Fields.at("core.uid") + ", group " + db.Fields.at("core.gid"));
    EXPECT_EQ(Value(mine, "File size"), db.Fields.at("core.size") + " b");
    EXPECT_EQ(Value(mine, "Blocks"), db.Fields.at("core.nblocks"));
    // "2 (extents)" against "extents, 1 extents".
    const std::string format = db.Fields.at("core.format");
    EXPECT_EQ(Value(mine, "Data fork"), format.substr(format.find('(') + 1, format.find(')') - format.find('(') - 1) + ", " +
                                            db.Fields.at("core.nextents") + " extents");
    std::vector<std::string> extents;
    for (const std::string& line : mine) {
      if (line.rfind("Extent - ", 0) == 0) extents.push_back(line);
    }
    ASSERT_EQ(extents.size(), db.Extents.size());
    for (size_t i = 0; i < extents.size(); ++i) {
      std::smatch m;
      ASSERT_TRUE(std::regex_match(db.Extents[i], m, std::regex(R"(^\d+:\[(\d+),(\d+),(\d+),(\d)\]$)")));
      const uint64_t fsblock = std::stoull(m[2]);
      EXPECT_EQ(extents[i], "Extent - " + m[1].str() + " -> " + std::to_string(fsblock >> agblklog) + "/" +
                                std::to_string(fsblock & ((uint64_t{1} << agblklog) - 1)) + ", " + m[3].str() +
                                (m[4] == "1" ? ", unwritten" : ""));
    }
    // A btree fork's root: its level, and its one pointer (the samples' node directory).
    const std::string bmbt = db.Fields.count("u3.bmbt.level") ? "u3.bmbt." : "u.bmbt.";
    if (db.Fields.count(bmbt + "level")) {
      EXPECT_EQ(Value(mine, "Btree root"), "level " + db.Fields.at(bmbt + "level") + ", " + db.Fields.at(bmbt + "numrecs") + " pointers");
      ASSERT_EQ(db.Fields.at(bmbt + "numrecs"), "1");
      const uint64_t fsblock = std::stoull(db.Fields.at(bmbt + "ptrs[1]"));
      EXPECT_EQ(Value(mine, "Btree pointer"), "0 -> " + std::to_string(fsblock >> agblklog) + "/" +
                                                  std::to_string(fsblock & ((uint64_t{1} << agblklog) - 1)));
      ++btrees;
    }
    if (GetParam().crc) {
      ASSERT_NE(db.Fields.at("v3.crc").find("(correct)"), std::string::npos);
      EXPECT_EQ(Value(mine, "Inode checksum"), testing::XfsDbChecksum(db.Fields.at("v3.crc")) + ", verified");
    }
    // A shortform directory's entries, in order.
    if (db.Fields.count("u3.sfdir3.hdr.count") || db.Fields.count("u.sfdir2.hdr.count")) {
      const std::string prefix = db.Fields.count("u3.sfdir3.hdr.count") ? "u3.sfdir3." : "u.sfdir2.";
      const size_t count = std::stoul(db.Fields.at(prefix + "hdr.count"));
      std::vector<std::string> expected, shown;
      for (size_t i = 0; i < count; ++i) {
        const std::string at = prefix + "list[" + std::to_string(i) + "].";
        std::string name = db.Fields.at(at + "name");
        expected.push_back("Entry - inode " + db.Fields.at(at + "inumber.i4") + ": " + name.substr(1, name.size() - 2));
      }
      for (const std::string& line : mine) {
        if (line.rfind("Entry - ", 0) == 0) shown.push_back(line);
      }
      EXPECT_EQ(shown, expected);
      EXPECT_EQ(Value(mine, "Parent"), "inode " + db.Fields.at(prefix + "hdr.parent.i4"));
    }
  }
  EXPECT_EQ(btrees, 1);
}

TEST_P(XfsRecord, SymlinkKeepsItsTargetInTheInode) {
  const std::string image = SamplePath(std::string(GetParam().name) + ".img");
  const std::vector<std::string> mine = InodeLines(image, 134);
  ASSERT_FALSE(mine.empty());
  EXPECT_EQ(mine[0].rfind("Inode 134, symbolic link - AG 0, block ", 0), 0u) << mine[0];
  EXPECT_EQ(Value(mine, "Local data"), "README.TXT");
}

TEST_P(XfsRecord, JsonListsTheBlocksInodes) {
  const std::string image = SamplePath(std::string(GetParam().name) + ".img");
  const testing::CommandResult r = testing::RunCli({"record", image, std::to_string(Locate(image, 128)), "--json"});
  ASSERT_EQ(r.Status, 0) << r.Err;
  EXPECT_NE(r.Out.find("\"number\": 128"), std::string::npos);
  EXPECT_NE(r.Out.find("\"format\": \"extents\""), std::string::npos);
  EXPECT_NE(r.Out.find("\"inUse\": false"), std::string::npos);  // the chunk's free inodes
}

INSTANTIATE_TEST_SUITE_P(Samples, XfsRecord, ::testing::Values(Sample{"xfs5", true}, Sample{"xfs4", false}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(XfsRecordDamage, ChangedInodeFailsItsChecksum) {
  const std::string image = SamplePath("xfs5.img");
  const uint64_t sector = Locate(image, 131);
  const std::string copy = (std::filesystem::temp_directory_path() / "korvalane-xfs-inode.img").string();
  ASSERT_EQ(testing::Run({"cp", "--sparse=always", image, copy}).Status, 0);
  {
    // The uid's low byte: 1000 becomes 1001.
    std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(sector * 512 + 11));
    file.put(static_cast<char>(0xE9));
  }
  const std::vector<std::string> mine = InodeLines(copy, 131);
  EXPECT_EQ(Value(mine, "Owner"), "user 1001, group 1000");
  EXPECT_EQ(Value(mine, "Inode checksum").rfind("mismatch: stored 0x", 0), 0u);
  std::filesystem::remove(copy);
}

TEST(XfsLocate, InodesPastTheVolumeAreRefusedAndLinesPointWhereTheySay) {
  const std::string image = SamplePath("xfs5.img");
  // 4 AGs of 2^15 blocks of 8 inodes: AG 4 begins at inode 4 << 18.
  const testing::CommandResult past = testing::RunCli({"locate", image, "inode", std::to_string(uint64_t{4} << 18)});
  EXPECT_NE(past.Status, 0);
  EXPECT_NE(past.Err.find("past the volume's 4 AGs"), std::string::npos) << past.Err;
  // Block 19200 of AG 0 lies past its 19200 blocks.
  const testing::CommandResult block = testing::RunCli({"locate", image, "inode", std::to_string(uint64_t{19200} << 3)});
  EXPECT_NE(block.Status, 0);
  EXPECT_NE(block.Err.find("which has 19200 blocks"), std::string::npos) << block.Err;

  std::vector<uint8_t> first(512);
  std::ifstream(image, std::ios::binary).read(reinterpret_cast<char*>(first.data()), 512);
  xfs::VolumeState state;
  state.Sb = xfs::ParseSuperblock(first, 0).Value;
  ASSERT_TRUE(state.Sb);
  const ViewText view = {u"Inode 131, regular file - AG 0, block 16, slot 3", u"Extent - 0 -> 1/24, 115",
                         u"Entry - inode 262273: notes.txt", u"Mode - 0100644", u"Extent - 0 -> 9/24, 1",
                         u"Btree pointer - 0 -> 3/275"};
  EXPECT_EQ(xfs::TargetOfLine(state, view, 0), (JumpTarget{JumpKind::Inode, 131}));
  EXPECT_EQ(xfs::TargetOfLine(state, view, 1), (JumpTarget{JumpKind::Cluster, 19200 + 24}));
  EXPECT_EQ(xfs::TargetOfLine(state, view, 2), (JumpTarget{JumpKind::Inode, 262273}));
  EXPECT_EQ(xfs::TargetOfLine(state, view, 3), std::nullopt);
  EXPECT_EQ(xfs::TargetOfLine(state, view, 4), std::nullopt);  // no AG 9
  EXPECT_EQ(xfs::TargetOfLine(state, view, 5), (JumpTarget{JumpKind::Cluster, 3 * 19200 + 275}));
  EXPECT_EQ(xfs::LocateInode(state, 131).Sector, std::optional<uint64_t>(131));
}

}  // namespace
}  // namespace korvalane
