// A FAT directory of several clusters made by mkfs.fat and mcopy: record and fields find
// its later clusters through the FAT chain and list what fls lists (a long name begun in
// the cluster before completed), the window's designed view lists only its first, and
// the deleted lines are those of the entries fls marks deleted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>

#include "core/text/Utf.h"
#include "core/views/SectorView.h"
#include "core/volume/DriveSelection.h"
#include "fixtures/Samples.h"
#include "platform/SystemPlatform.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::RunCli;
namespace fs = std::filesystem;

struct Layout {
  const char* Name;
  const char* FatBits;            // mkfs.fat -F
  const char* SectorsPerCluster;  // mkfs.fat -s
  const char* KiB;
  bool InRoot;      // in FAT32's root (a chain of its own) rather than in /sub
  bool EmptyFiles;  // no file data between the directory's clusters: one piece
};
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.Name; }

// 27 characters: three long-name entries and a short one, so that some file's entries
// straddle two clusters.
std::string FileName(int i) { return "a long file name, number " + std::to_string(i) + ".txt"; }
constexpr int kFiles = 40;

std::vector<uint64_t> Numbers(const std::string& text) {
  std::vector<uint64_t> numbers;
  const std::regex number(R"(\d+)");
  for (std::sregex_iterator it(text.begin(), text.end(), number), end; it != end; ++it) numbers.push_back(std::stoull(it->str()));
  return numbers;
}

class FatDirectoryChainTest : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    const Layout& l = GetParam();
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-chain-" + std::to_string(getpid()) + l.Name);
    fs::create_directories(dir_);
    image_ = (dir_ / "fat.img").string();
    ASSERT_EQ(Tool({"mkfs.fat", "-C", "-F", l.FatBits, "-s", l.SectorsPerCluster, "-n", "CHAINS", image_, l.KiB}), 0);
    const std::string folder = l.InRoot ? "::/" : "::/sub/";
    if (!l.InRoot) {
      ASSERT_EQ(Tool({"mmd", "-i", image_, "::/sub"}), 0);
    }
    // One copy at a time: each file's data follows the directory's last cluster, and the
    // directory's next cluster follows that.
    for (int i = 1; i <= kFiles; ++i) {
      std::ofstream(dir_ / FileName(i)) << (l.EmptyFiles ? "" : "file " + std::to_string(i));
      ASSERT_EQ(Tool({"mcopy", "-i", image_, (dir_ / FileName(i)).string(), folder}), 0);
    }
    std::ofstream(dir_ / "BIG.DAT") << std::string(64 * 1024, 'x');
    ASSERT_EQ(Tool({"mcopy", "-i", image_, (dir_ / "BIG.DAT").string(), "::/"}), 0);
    // Last, so that no later entry takes the deleted one's place.
    ASSERT_EQ(Tool({"mdel", "-i", image_, folder + FileName(3)}), 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  int Tool(const std::vector<std::string>& argv) { return testing::Run(argv).Status; }
  std::string Tsk(const std::string& tool, const std::string& inode = {}) {
    const testing::CommandResult result = testing::Run(inode.empty() ? std::vector{tool, image_} : std::vector{tool, image_, inode});
    EXPECT_EQ(result.Status, 0) << tool << ": " << result.Err;
    return result.Out;
  }
  std::string RootInode(const std::string& name) {
    std::smatch m;
    const std::string root = Tsk("fls");
    return std::regex_search(root, m, std::regex(R"((\d+):\t)" + name + "\n")) ? m[1].str() : "0";
  }
  std::vector<uint64_t> Sectors(const std::string& inode) {
    const std::string stat = Tsk("istat", inode);
    return Numbers(stat.substr(stat.find("Sectors:\n")));
  }

  fs::path dir_;
  std::string image_;
};

TEST_P(FatDirectoryChainTest, LaterClustersAreListedAsFlsListsThem) {
  const Layout& l = GetParam();
  std::smatch m;
  const std::string fsstat = Tsk("fsstat");
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Sector Size: (\d+)\nCluster Size: (\d+))")));
  const uint64_t perCluster = std::stoull(m[2]) / std::stoull(m[1]);
  const std::string inode = l.InRoot ? "2" : RootInode("sub");  // TSK numbers the root 2
  const std::vector<uint64_t> sectors = Sectors(inode);
  ASSERT_GE(sectors.size() / perCluster, 4u);
  EXPECT_EQ(sectors.back() - sectors.front() + 1 == sectors.size(), l.EmptyFiles) << "fragmented as meant";

  // fls's names, the deleted ones marked "*".
  std::set<std::string> expected, expectedDeleted, listed, listedDeleted;
  const std::regex flsLine(R"(^r/r (\* )?\d+:\t(a long .*)$)");
  for (const std::string& line : Lines(Tsk("fls", l.InRoot ? "" : inode))) {
    if (!std::regex_match(line, m, flsLine)) continue;
    expected.insert(m[2]);
    if (m[1].matched) expectedDeleted.insert(m[2]);
  }
  ASSERT_EQ(expected.size(), static_cast<size_t>(kFiles));
  ASSERT_EQ(expectedDeleted, std::set<std::string>{FileName(3)});

  const std::unique_ptr<Platform> platform = MakeSystemPlatform({image_}, 512);
  SetPlatform(platform.get());
  SelectDrive("C:");
  const std::regex line(R"(^(.+)  \d{4}/\d\d/\d\d \d\d:\d\d, size \d+ b, cluster \d+$)");
  for (size_t index = 0; index * perCluster < sectors.size(); ++index) {
    const uint64_t first = sectors[index * perCluster];
    SCOPED_TRACE("cluster " + std::to_string(index) + " of the directory, at sector " + std::to_string(first));
    const testing::CommandResult record = RunCli({"record", image_, std::to_string(first)});
    EXPECT_EQ(record.Err, "");
    ViewText view, designed;
    std::vector<size_t> deleted;
    const RecordOptions options{true, &deleted};
    ShowSector(FromUtf8(std::to_string(first)), ViewKind::FileRecord, view, NoPump, options);
    ShowSector(FromUtf8(std::to_string(first)), ViewKind::FileRecord, designed, NoPump);
    ASSERT_EQ(Lines(record.Out).size(), view.size());
    for (size_t i = 0; i < view.size(); ++i) {
      const std::string text = ToUtf8(view[i]);
      ASSERT_TRUE(std::regex_match(text, m, line)) << text;
      if (!m[1].str().starts_with("a long")) continue;
      EXPECT_TRUE(listed.insert(m[1]).second) << "listed twice: " << m[1];
      if (std::find(deleted.begin(), deleted.end(), i) != deleted.end()) listedDeleted.insert(m[1]);
    }
    const std::string json = RunCli({"record", "--json", image_, std::to_string(first)}).Out;
    if (index == 0) {
      EXPECT_EQ(designed, view);
    } else {
      EXPECT_EQ(designed, ViewText{u"This sector does not contain information about a file records"});
      EXPECT_NE(json.find("\"clusterInDirectory\": " + std::to_string(index) + "\n"), std::string::npos) << json;
    }
    for (uint64_t s = first; s < first + perCluster; ++s) {
      EXPECT_EQ(Lines(RunCli({"fields", image_, std::to_string(s)}).Out).at(0), "FAT directory entries at sector " + std::to_string(s));
    }
  }
  SetPlatform(nullptr);
  EXPECT_EQ(listed, expected);
  EXPECT_EQ(listedDeleted, expectedDeleted);

  // A file's clusters lead back to no directory.
  const std::vector<uint64_t> big = Sectors(RootInode("BIG.DAT"));
  for (const uint64_t sector : {big[1], big[big.size() / 2], big.back()}) {
    EXPECT_EQ(RunCli({"record", image_, std::to_string(sector)}).Out,
              "This sector does not contain information about a file records\n");
    EXPECT_EQ(RunCli({"fields", image_, std::to_string(sector)}).Status, 1) << sector;
  }
}

INSTANTIATE_TEST_SUITE_P(Layouts, FatDirectoryChainTest,
                         ::testing::Values(Layout{"fat12", "12", "1", "1024", false, false},
                                           Layout{"fat16_fragmented", "16", "2", "16384", false, false},
                                           Layout{"fat16_one_piece", "16", "1", "8192", false, true},
                                           Layout{"fat32_root", "32", "1", "40000", true, false}),
                         [](const ::testing::TestParamInfo<Layout>& info) { return std::string(info.param.Name); });

}  // namespace
}  // namespace korvalane
