// A FAT directory of several clusters, made by mkfs.fat and mcopy: korvalane-cli's record
// and fields find its later clusters through the FAT chain, fragmented or not, and list
// what fls lists in it (a long name that begins in the cluster before completed), while
// the window's designed view lists only its first cluster. The lines of deleted entries
// are the ones fls marks deleted.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "core/Platform.h"
#include "core/text/Utf.h"
#include "core/views/SectorView.h"
#include "core/volume/DriveSelection.h"
#include "fixtures/Samples.h"
#include "platform/SystemPlatform.h"

namespace korvalane {
namespace {

using testing::CommandResult;
using testing::Lines;
using testing::RunCli;

namespace fs = std::filesystem;

struct Layout {
  const char* Name;
  const char* FatBits;            // mkfs.fat -F
  const char* SectorsPerCluster;  // mkfs.fat -s
  const char* KiB;                // the volume's size
  bool InRoot;                    // the files in FAT32's root (a cluster chain) or in /sub
  bool EmptyFiles;                // no data clusters between the directory's: one piece
  int Files;
};
void PrintTo(const Layout& layout, std::ostream* out) { *out << layout.Name; }

// Long names of 27 characters take three long-name entries and a short one: a file's
// entries then straddle the edge between two clusters somewhere.
std::string FileName(int i) { return "a long file name, number " + std::to_string(i) + ".txt"; }
constexpr int kDeleted = 3;  // this one is made and deleted again

class FatDirectoryChainTest : public ::testing::TestWithParam<Layout> {
 protected:
  void SetUp() override {
    for (const char* tool : {"mkfs.fat", "mcopy", "mmd", "mdel", "fls", "istat", "fsstat"}) {
      if (testing::Run({"sh", "-c", std::string("command -v ") + tool}).Status != 0) GTEST_SKIP() << tool << " is missing";
    }
    const Layout& l = GetParam();
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-chain-" + std::to_string(getpid()) + "-" + l.Name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    image_ = (dir_ / "fat.img").string();
    ASSERT_EQ(testing::Run({"mkfs.fat", "-C", "-F", l.FatBits, "-s", l.SectorsPerCluster, "-n", "CHAINS", image_, l.KiB}).Status, 0);
    const std::string folder = l.InRoot ? "::/" : "::/sub/";
    if (!l.InRoot) {
      ASSERT_EQ(testing::Run({"mmd", "-i", image_, "::/sub"}).Status, 0);
    }
    // One copy at a time: each file's data is placed after the directory's last cluster,
    // so that the directory's next cluster comes after it.
    for (int i = 1; i <= l.Files; ++i) {
      const fs::path file = dir_ / FileName(i);
      std::ofstream(file) << (l.EmptyFiles ? "" : "content of file " + std::to_string(i) + "\n");
      ASSERT_EQ(testing::Run({"mcopy", "-i", image_, file.string(), folder}).Status, 0);
      fs::remove(file);
    }
    ASSERT_EQ(testing::Run({"mdel", "-i", image_, folder + FileName(kDeleted)}).Status, 0);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A Sleuth Kit tool on the image: TOOL IMAGE ARGS...
  std::string Tsk(const std::string& tool, const std::vector<std::string>& args = {}) {
    std::vector<std::string> argv{tool, image_};
    argv.insert(argv.end(), args.begin(), args.end());
    const CommandResult result = testing::Run(argv);
    EXPECT_EQ(result.Status, 0) << tool << ": " << result.Err;
    return result.Out;
  }

  // The sectors istat gives a file, in order.
  std::vector<uint64_t> SectorsOf(const std::string& inode) {
    const std::string stat = Tsk("istat", {inode});
    const std::string list = stat.substr(stat.find("Sectors:\n") + 9);
    std::vector<uint64_t> sectors;
    const std::regex number(R"(\d+)");
    for (std::sregex_iterator it(list.begin(), list.end(), number), end; it != end; ++it) {
      sectors.push_back(std::stoull(it->str()));
    }
    return sectors;
  }

  // The inode fls gives an entry of the root directory.
  std::string RootInode(const std::string& type, const std::string& name) {
    std::smatch m;
    const std::string root = Tsk("fls");
    EXPECT_TRUE(std::regex_search(root, m, std::regex(type + R"( (\d+):\t)" + name + "\n"))) << root;
    return m.size() > 1 ? m[1].str() : "0";
  }

  fs::path dir_;
  std::string image_;
};

// fls's names of the directory's entries, and those of the deleted ones.
struct Named {
  std::set<std::string> All;
  std::set<std::string> Deleted;
};

Named FlsNames(const std::string& listing) {
  Named named;
  const std::regex entry(R"(^[-rdv]/[-rdv] (\* )?\d+(\(realloc\))?:\t(.*)$)");
  for (const std::string& line : Lines(listing)) {
    std::smatch m;
    if (!std::regex_match(line, m, entry) || line.find("(Volume Label Entry)") != std::string::npos) continue;
    if (m[3].str().front() == '$') continue;  // TSK's virtual files
    named.All.insert(m[3]);
    if (m[1].matched) named.Deleted.insert(m[3]);
  }
  return named;
}

TEST_P(FatDirectoryChainTest, LaterClustersAreListedAsFlsListsThem) {
  const Layout& l = GetParam();
  const std::string fsstat = Tsk("fsstat");
  std::smatch m;
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Sector Size: (\d+)\nCluster Size: (\d+))")));
  const uint64_t perCluster = std::stoull(m[2]) / std::stoull(m[1]);
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(\*\* Cluster Area: (\d+))")));
  const uint64_t clusterArea = std::stoull(m[1]);
  // TSK numbers FAT32's root directory 2.
  const std::string inode = l.InRoot ? "2" : RootInode("d/d", "sub");
  const std::vector<uint64_t> sectors = SectorsOf(inode);
  std::vector<uint64_t> clusters;  // the first sector of each, in chain order
  for (size_t i = 0; i < sectors.size(); i += perCluster) clusters.push_back(sectors[i]);
  ASSERT_GE(clusters.size(), 4u) << "the directory must span several clusters";
  const bool contiguous = sectors.back() - sectors.front() + 1 == sectors.size();
  EXPECT_EQ(contiguous, l.EmptyFiles) << "the layout meant to be " << (l.EmptyFiles ? "in one piece" : "fragmented");
  const uint64_t firstCluster = (clusters[0] - clusterArea) / perCluster + 2;

  const Named expected = FlsNames(Tsk("fls", l.InRoot ? std::vector<std::string>{} : std::vector{inode}));
  ASSERT_EQ(expected.All.size(), static_cast<size_t>(l.Files));
  ASSERT_EQ(expected.Deleted, std::set<std::string>{FileName(kDeleted)});

  // Every cluster listed, each entry in the cluster that holds its short entry; the
  // deleted lines marked where the window asks for them.
  const std::unique_ptr<Platform> platform = MakeSystemPlatform({image_}, 512);
  SetPlatform(platform.get());
  SelectDrive("C:");
  Named listed;
  const std::regex line(R"(^(.+)  \d{4}/\d\d/\d\d \d\d:\d\d, size \d+ b, cluster \d+$)");
  for (size_t index = 0; index < clusters.size(); ++index) {
    const std::string sector = std::to_string(clusters[index]);
    SCOPED_TRACE("cluster " + std::to_string(index) + " of the directory, sector " + sector);
    const CommandResult record = RunCli({"record", image_, sector});
    ASSERT_EQ(record.Status, 0) << record.Err;
    EXPECT_EQ(record.Err, "");
    const std::vector<std::string> lines = Lines(record.Out);
    EXPECT_FALSE(lines.empty());

    ViewText view;
    std::vector<size_t> deletedLines;
    RecordOptions options;
    options.FollowDirectoryChains = true;
    options.DeletedLines = &deletedLines;
    ASSERT_EQ(ShowSector(FromUtf8(sector), ViewKind::FileRecord, view, NoPump, options), SectorViewResult::Shown);
    ASSERT_EQ(view.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      ASSERT_TRUE(std::regex_match(lines[i], m, line)) << lines[i];
      if (m[1] == "." || m[1] == ".." || m[1] == "CHAINS") continue;
      EXPECT_TRUE(listed.All.insert(m[1]).second) << "listed twice: " << m[1];
      if (std::find(deletedLines.begin(), deletedLines.end(), i) != deletedLines.end()) listed.Deleted.insert(m[1]);
    }

    // The window's designed view knows only the first cluster (and the root by where
    // it is); record's JSON says where a later one stands.
    ViewText designed;
    ShowSector(FromUtf8(sector), ViewKind::FileRecord, designed, NoPump);
    const std::string json = RunCli({"record", "--json", image_, sector}).Out;
    if (index == 0) {
      EXPECT_EQ(designed, view);
      EXPECT_EQ(json.find("directoryFirstCluster"), std::string::npos) << json;
    } else {
      EXPECT_EQ(designed, ViewText{u"This sector does not contain information about a file records"});
      EXPECT_NE(json.find("\"directoryFirstCluster\": " + std::to_string(firstCluster) + ","), std::string::npos) << json;
      EXPECT_NE(json.find("\"clusterInDirectory\": " + std::to_string(index) + "\n"), std::string::npos) << json;
    }
    // fields decodes every sector of every cluster of the directory as its entries.
    for (uint64_t s = clusters[index]; s < clusters[index] + perCluster; ++s) {
      const CommandResult fields = RunCli({"fields", image_, std::to_string(s)});
      EXPECT_EQ(fields.Status, 0) << fields.Err;
      EXPECT_EQ(Lines(fields.Out).at(0), "FAT directory entries at sector " + std::to_string(s));
    }
  }
  SetPlatform(nullptr);
  EXPECT_EQ(listed.All, expected.All);
  EXPECT_EQ(listed.Deleted, expected.Deleted);
}

// The clusters of a file's chain lead back to no directory: they stay unlisted, and
// fields knows no structure there.
TEST_P(FatDirectoryChainTest, AFilesLaterClustersAreNoDirectorys) {
  const fs::path big = dir_ / "BIG.DAT";
  std::ofstream(big) << std::string(64 * 1024, 'x');
  ASSERT_EQ(testing::Run({"mcopy", "-i", image_, big.string(), "::/"}).Status, 0);
  const std::vector<uint64_t> sectors = SectorsOf(RootInode("r/r", "BIG.DAT"));
  ASSERT_GT(sectors.size(), 8u);
  for (const uint64_t sector : {sectors[0], sectors[sectors.size() / 2], sectors.back()}) {
    SCOPED_TRACE("sector " + std::to_string(sector));
    const CommandResult record = RunCli({"record", image_, std::to_string(sector)});
    EXPECT_EQ(record.Out, "This sector does not contain information about a file records\n");
    EXPECT_EQ(RunCli({"fields", image_, std::to_string(sector)}).Status, 1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, FatDirectoryChainTest,
    ::testing::Values(Layout{"fat12", "12", "1", "1024", false, false, 40},
                      Layout{"fat16-fragmented", "16", "4", "16384", false, false, 90},
                      Layout{"fat16-one-piece", "16", "1", "8192", false, true, 60},
                      Layout{"fat32-root", "32", "1", "40000", true, false, 40}),
    [](const ::testing::TestParamInfo<Layout>& info) {
      std::string name = info.param.Name;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

}  // namespace
}  // namespace korvalane
