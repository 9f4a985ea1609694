// korvalane-cli on the exFAT sample images (mkfs.exfat, filled through exfat-fuse),
// checked against The Sleuth Kit's fsstat, fls and istat on the same images.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "fixtures/SampleImage.h"

namespace korvalane {
namespace {

using testing::Cli;
using testing::Image;
using testing::Lines;
using testing::Number;
using testing::SamplePath;
using testing::Tsk;

// "label: a - b" in fsstat's report: a, and the length b - a + 1.
std::pair<uint64_t, uint64_t> Range(const std::string& fsstat, const std::string& label) {
  std::smatch m;
  if (!std::regex_search(fsstat, m, std::regex(label + R"(: (\d+) - (\d+))"))) {
    ADD_FAILURE() << "fsstat has no " << label;
    return {};
  }
  return {std::stoull(m[1]), std::stoull(m[2]) - std::stoull(m[1]) + 1};
}

class ExfatOracleTest : public ::testing::TestWithParam<Image> {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C.UTF-8", 1);
    // make-samples-exfat notes each image it could not make or fill, and why.
    std::ifstream notes(SamplePath("exfat-refused.txt"));
    for (std::string line; std::getline(notes, line);) {
      if (line.rfind(std::string(GetParam().name) + ":", 0) == 0) GTEST_SKIP() << "this machine: " << line;
    }
    fsstat_ = Tsk(GetParam(), "fsstat");
    sectorSize_ = Number(fsstat_, R"(Sector Size: (\d+))");
    sectorsPerCluster_ = Number(fsstat_, R"(Cluster Size: (\d+))") / sectorSize_;
    heap_ = Range(fsstat_, R"(\*\* Cluster Heap)").first;
  }
  uint64_t ClusterOf(uint64_t sector) const { return (sector - heap_) / sectorsPerCluster_ + 2; }
  uint64_t SectorOf(uint64_t cluster) const { return heap_ + (cluster - 2) * sectorsPerCluster_; }

  // The lines we should list for a directory, from fls -l (name, times, size) and istat
  // (the first sector; only its head is read, as it names every sector of a file). The
  // label and The Sleuth Kit's own entries are left out; `inodes` gets each name's inode.
  std::set<std::string> FromTsk(const std::string& directory, std::map<std::string, std::string>* inodes = nullptr) {
    const Image image = GetParam();
    std::vector<std::string> args{"-l"};
    if (!directory.empty()) args.push_back(directory);
    const std::regex entry(R"(^[-rd]/[-rd] (?:\* )?(\d+):\t([^\t]+)\t(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):\d\d \(UTC\)(?:\t[^\t]*){3}\t(\d+)\t.*$)");
    std::set<std::string> lines;
    for (const std::string& line : Lines(Tsk(image, "fls", args))) {
      std::smatch m;
      if (!std::regex_match(line, m, entry) || m.str(2).find("Volume Label Entry") != std::string::npos ||
          m.str(2) == "$ALLOC_BITMAP" || m.str(2) == "$UPCASE_TABLE") {
        continue;
      }
      const testing::CommandResult stat = testing::Run(
          {"sh", "-c", R"(istat -b "$1" "$2" "$3" | head -n 24)", "sh", std::to_string(image.sectorSize),
           SamplePath(image.name), m.str(1)});
      const uint64_t cluster = ClusterOf(Number(stat.Out, R"(Sectors:\n(\d+))"));
      lines.insert(m.str(2) + "  " + m.str(3) + "/" + m.str(4) + "/" + m.str(5) + " " + m.str(6) + ":" + m.str(7) +
                   ", size " + m.str(8) + " b, cluster " + std::to_string(cluster));
      if (inodes != nullptr) (*inodes)[m.str(2)] = m.str(1);
    }
    return lines;
  }

  std::vector<std::string> Record(uint64_t sector) { return Cli(GetParam(), {"record", std::to_string(sector)}); }

  std::string fsstat_;
  uint64_t sectorSize_ = 0;
  uint64_t sectorsPerCluster_ = 1;
  uint64_t heap_ = 0;
};

TEST_P(ExfatOracleTest, DetailsAndDriveLabelMatchFsstat) {
  const auto [fatStart, fatSectors] = Range(fsstat_, R"(\* FAT 1)");
  const uint64_t sectors = Range(fsstat_, R"(\nRange)").second;
  const uint64_t root = Range(fsstat_, R"(\*\*\* Root Directory)").first;
  const std::vector<std::string> expected{
      "Drive C:\\, exFAT",
      "Bytes per sector - " + std::to_string(sectorSize_),
      "Bytes per cluster - " + std::to_string(sectorSize_ * sectorsPerCluster_),
      "Sectors per cluster - " + std::to_string(sectorsPerCluster_),
      "Sectors - " + std::to_string(sectors),
      "Clusters - " + std::to_string(Range(fsstat_, "Cluster Range").second),
      "Sectors before FAT - " + std::to_string(fatStart),
      "FAT copies - " + std::to_string(Number(fsstat_, R"(Number of FATs: (\d+))")),
      "FAT sectors - " + std::to_string(fatSectors),
      "FAT size - " + std::to_string(fatSectors * sectorSize_),
      "Start data sector - " + std::to_string(heap_),
      "Root directory cluster - " + std::to_string(ClusterOf(root)),
      "Root directory sector - " + std::to_string(root),
  };
  EXPECT_EQ(Cli(GetParam(), {"details"}), expected);
  EXPECT_EQ(Cli(GetParam(), {"drives"}),
            std::vector<std::string>{"C: exFAT, " + std::to_string(sectors * sectorSize_ / 1048576) + " Mb," +
                                     std::to_string(sectors) + " sectors  " + SamplePath(GetParam().name)});
}

TEST_P(ExfatOracleTest, ListingsMatchFlsAndIstatDownTheFolderTree) {
  const bool big = std::string(GetParam().name) == "exfat-big.img";
  std::map<std::string, std::string> inodes;
  const std::set<std::string> expected = FromTsk("", &inodes);
  std::vector<std::string> root = Record(Range(fsstat_, R"(\*\*\* Root Directory)").first);
  ASSERT_FALSE(root.empty());
  EXPECT_EQ(root[0], "KORVALANE  volume label");
  EXPECT_EQ(std::set<std::string>(root.begin() + 1, root.end()), expected);

  // All that make-samples-exfat put there, so that the comparison cannot pass on an
  // image that lacks some of it.
  EXPECT_EQ(expected.size(), big ? 2u : 8u);
  const std::string mark = big ? "HUGE.BIN  2021/06/15 12:34, size 4295032832 b" : "README.TXT  2009/03/07 14:05, size 26 b";
  EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [&](const std::string& l) { return l.starts_with(mark); }));
  if (big) return;

  // Down the tree: DOCS, Архив inside it (a folder's first cluster begins with its first
  // file's set), and last a file's cluster, which is no directory.
  for (const std::string name : {"DOCS", "Архив", "старое.txt"}) {
    const auto line = std::find_if(root.begin(), root.end(), [&](const std::string& l) { return l.starts_with(name + "  "); });
    ASSERT_NE(line, root.end()) << name;
    root = Record(SectorOf(std::stoull(line->substr(line->rfind(' ') + 1))));
    if (name == "старое.txt") break;
    std::map<std::string, std::string> inside;
    EXPECT_EQ(std::set<std::string>(root.begin(), root.end()), FromTsk(inodes[name], &inside)) << name;
    inodes = inside;
  }
  EXPECT_EQ(root, std::vector<std::string>{"This sector does not contain information about a file records"});
}

INSTANTIATE_TEST_SUITE_P(Samples, ExfatOracleTest,
                         ::testing::Values(Image{"exfat.img", 512}, Image{"exfat-4k.img", 4096},
                                           Image{"exfat-big.img", 512}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           return std::regex_replace(name.substr(0, name.size() - 4), std::regex("-"), "_");
                         });

}  // namespace
}  // namespace korvalane
