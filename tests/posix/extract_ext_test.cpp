// korvalane-cli extract on the ext2, ext3 and ext4 sample images: files through block
// maps with indirect blocks, extents (a tree of depth 1), inline data and fast symlinks,
// compared with debugfs's dump and with the files that made the images.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/ExtractFiles.h"
#include "fixtures/Samples.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::FreshFolder;
using testing::ReadAll;
using testing::RunCli;
using testing::SamplePath;
using testing::Seq;


// debugfs's dump of an inode (the same bytes its block map or extents give).
std::string DebugfsDump(const std::string& image, const std::string& what, const fs::path& work) {
  const fs::path out = work / "debugfs.out";
  fs::remove(out);
  const CommandResult result = testing::Run({"debugfs", "-R", "dump " + what + " " + out.string(), image});
  EXPECT_EQ(result.Status, 0) << result.Err;
  return ReadAll(out);
}

class ExtractExtTest : public ::testing::TestWithParam<const char*> {};

TEST_P(ExtractExtTest, FilesEqualDebugfsAndTheFilesThatMadeTheImage) {
  const std::string image = SamplePath(GetParam());
  const fs::path work = FreshFolder(GetParam());
  const fs::path out = work / "out";
  const CommandResult result = RunCli({"extract", "--tree", image, "/", out.string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  // Modification and access times as debugfs's stat shows them, folders' too (looked at
  // before anything reads the files and moves their access times).
  for (const char* path : {"README.TXT", "BIG.DAT", "DOCS"}) {
    SCOPED_TRACE(path);
    const CommandResult stat = testing::Run({"debugfs", "-R", std::string("stat \"/") + path + "\"", image});
    const auto stored = [&](const std::string& label) {
      const size_t at = stat.Out.find(label + ": 0x");
      EXPECT_NE(at, std::string::npos) << stat.Out;
      return at == std::string::npos ? 0 : std::stoll(stat.Out.substr(at + label.size() + 4, 8), nullptr, 16);
    };
    struct stat st {};
    ASSERT_EQ(lstat((out / path).c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, stored(" mtime"));
    EXPECT_EQ(st.st_atime, stored(" atime"));
  }
  // Block maps with single and double indirect blocks (1 KiB blocks), or extents.
  EXPECT_EQ(ReadAll(out / "BIG.DAT"), Seq(80000));
  EXPECT_EQ(ReadAll(out / "BIG.DAT"), DebugfsDump(image, "/BIG.DAT", work));
  std::string report;
  for (int i = 0; i < 40; ++i) report += "Revenue went up.\n";
  EXPECT_EQ(ReadAll(out / "Quarterly report.txt"), report);
  EXPECT_EQ(ReadAll(out / "DOCS" / "notes about disks.txt"), "Notes on raw sectors.\n");
  EXPECT_EQ(ReadAll(out / "Отчёт за май.txt"), "Кириллица в длинном имени.\n");
  // On ext4 inline data: debugfs dumps the whole 60 bytes of the inode's area, the file
  // is the 25 its size says.
  EXPECT_EQ(ReadAll(out / "README.TXT"), "Korvalane sample volume.\n");
  // A fast symlink is written as a file holding its target, never as a link to follow.
  EXPECT_FALSE(fs::is_symlink(out / "link to readme"));
  EXPECT_EQ(ReadAll(out / "link to readme"), "README.TXT");
  // Without --deleted, no deleted file.
  EXPECT_FALSE(fs::exists(out / "deleted file.txt"));
  fs::remove_all(work);
}

INSTANTIATE_TEST_SUITE_P(Samples, ExtractExtTest, ::testing::Values("ext2.img", "ext3.img", "ext4.img"),
                         [](const auto& info) { return std::string(info.param).substr(0, 4); });

TEST(ExtractExt, ManyExtentsAndAnInodeByNumber) {
  const std::string image = SamplePath("ext4.img");
  const fs::path work = FreshFolder("ext4-extents");
  const CommandResult result = RunCli({"extract", image, "/frag/fragmented.txt", (work / "a").string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(ReadAll(work / "a" / "fragmented.txt"), Seq(30000));
  // The same file by its inode, as debugfs numbers it.
  const CommandResult stat = testing::Run({"debugfs", "-R", "stat /frag/fragmented.txt", image});
  const size_t at = stat.Out.find("Inode: ");
  ASSERT_NE(at, std::string::npos);
  const std::string inode = std::to_string(std::stoul(stat.Out.substr(at + 7)));
  const CommandResult byInode = RunCli({"extract", image, "inode", inode, (work / "b").string()});
  ASSERT_EQ(byInode.Status, 0) << byInode.Err;
  EXPECT_EQ(ReadAll(work / "b" / ("inode " + inode)), Seq(30000));
  fs::remove_all(work);
}

TEST(ExtractExt, ADeletedExt3FileWhoseMapStillStands) {
  const std::string image = SamplePath("ext3.img");
  const fs::path work = FreshFolder("ext3-deleted");
  const CommandResult result =
      RunCli({"extract", "--deleted", "--json", image, "/deleted file.txt", (work / "out").string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(ReadAll(work / "out" / "deleted file.txt"), "gone\n");
  EXPECT_NE(result.Out.find("\"grade\": \"chain intact\""), std::string::npos) << result.Out;
  // debugfs reads the same inode's blocks.
  const size_t at = result.Out.find("\"record\": \"inode ");
  ASSERT_NE(at, std::string::npos);
  const std::string inode = std::to_string(std::stoul(result.Out.substr(at + 17)));
  EXPECT_EQ(ReadAll(work / "out" / "deleted file.txt"), DebugfsDump(image, "<" + inode + ">", work));
  fs::remove_all(work);
}

}  // namespace
}  // namespace korvalane
