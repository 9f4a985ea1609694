// korvalane-cli's FAT directory listings and details of the sample images, checked
// against The Sleuth Kit's fls, istat and fsstat on the same images.
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "fixtures/SampleImage.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::Cli;
using testing::Image;
using testing::Number;
using testing::Tsk;

// One line of our listing.
struct Listed {
  std::string stamp;  // YYYY/MM/DD HH:MM
  uint64_t size = 0;
  uint64_t cluster = 0;
};

std::map<std::string, Listed> ParseListing(const std::vector<std::string>& lines) {
  std::map<std::string, Listed> entries;
  const std::regex line(R"(^(.+)  (\d{4}/\d\d/\d\d \d\d:\d\d), size (\d+) b, cluster (\d+)$)");
  for (const std::string& text : lines) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) {
      ADD_FAILURE() << "not a listing line: " << text;
      continue;
    }
    entries[m[1]] = Listed{m[2], std::stoull(m[3]), std::stoull(m[4])};
  }
  return entries;
}

// What fls and istat say about the entries of a directory (volume label and The Sleuth
// Kit's virtual files left out).
struct Oracle {
  std::string name;
  uint64_t inode = 0;
  Listed listed;
};

std::vector<Oracle> AskTsk(const Image& image, const std::string& directoryInode, uint64_t clusterArea,
                           uint64_t sectorsPerCluster) {
  const std::string listing =
      Tsk(image, "fls", directoryInode.empty() ? std::vector<std::string>{} : std::vector{directoryInode});
  std::vector<Oracle> entries;
  const std::regex entry(R"(^[-rd]/([-rd]) (\* )?(\d+):\t(.*)$)");
  for (const std::string& line : Lines(listing)) {
    std::smatch m;
    if (!std::regex_match(line, m, entry) || line.find("(Volume Label Entry)") != std::string::npos) continue;
    Oracle o;
    o.inode = std::stoull(m[3]);
    o.name = m[4];
    const std::string stat = Tsk(image, "istat", {std::to_string(o.inode)});
    // istat gives a directory the size of its clusters; its entry holds 0.
    o.listed.size = m[1] == "d" ? 0 : Number(stat, R"(\nSize: (\d+))");
    std::smatch written;
    if (std::regex_search(stat, written, std::regex(R"(Written:\t(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d))"))) {
      o.listed.stamp = written.str(1) + "/" + written.str(2) + "/" + written.str(3) + " " + written.str(4) + ":" +
                       written.str(5);
    }
    const uint64_t firstSector = Number(stat, R"(Sectors:\n(\d+))");
    o.listed.cluster = (firstSector - clusterArea) / sectorsPerCluster + 2;
    entries.push_back(o);
  }
  return entries;
}

class FatViewsOracleTest : public ::testing::TestWithParam<Image> {
 protected:
  void SetUp() override { setenv("LC_ALL", "C", 1); }
};

TEST_P(FatViewsOracleTest, RootAndSubdirectoryListingsMatchFlsAndIstat) {
  const Image image = GetParam();
  const std::string fsstat = Tsk(image, "fsstat");
  const uint64_t dataArea = Number(fsstat, R"(\* Data Area: (\d+))");
  const uint64_t clusterArea = Number(fsstat, R"(\*\* Cluster Area: (\d+))");
  const uint64_t sectorsPerCluster =
      Number(fsstat, R"(Cluster Size: (\d+))") / Number(fsstat, R"(Sector Size: (\d+))");

  // The root directory, listed at the start of the data area.
  const std::vector<std::string> rootLines = Cli(image, {"record", std::to_string(dataArea)});
  std::map<std::string, Listed> root = ParseListing(rootLines);
  ASSERT_EQ(root.count("KORVALAN.E"), 1u) << "the volume label, as eight name bytes, a point and the rest";
  EXPECT_EQ(root["KORVALAN.E"].size, 0u);
  EXPECT_EQ(root["KORVALAN.E"].cluster, 0u);
  root.erase("KORVALAN.E");

  const std::vector<Oracle> expected = AskTsk(image, "", clusterArea, sectorsPerCluster);
  ASSERT_EQ(expected.size(), 6u);  // README, two long names, DOCS, the deleted file, BIG.DAT
  EXPECT_EQ(root.size(), expected.size());
  uint64_t docsInode = 0;
  for (const Oracle& o : expected) {
    ASSERT_EQ(root.count(o.name), 1u) << o.name;
    const Listed& ours = root[o.name];
    EXPECT_EQ(ours.size, o.listed.size) << o.name;
    EXPECT_EQ(ours.cluster, o.listed.cluster) << o.name;
    EXPECT_EQ(ours.stamp, o.listed.stamp) << o.name;
    if (o.name == "DOCS") docsInode = o.inode;
  }
  EXPECT_EQ(root["README.TXT"].stamp, "2009/03/07 14:05");
  EXPECT_EQ(root["Отчёт за май.txt"].size, 50u);

  // The subdirectory: its first cluster begins with "." and "..".
  const uint64_t docsCluster = root["DOCS"].cluster;
  const uint64_t docsSector = clusterArea + (docsCluster - 2) * sectorsPerCluster;
  std::map<std::string, Listed> docs = ParseListing(Cli(image, {"record", std::to_string(docsSector)}));
  ASSERT_EQ(docs.size(), 3u);
  EXPECT_EQ(docs["."].cluster, docsCluster);
  EXPECT_EQ(docs[".."].cluster, 0u);  // the root
  const std::vector<Oracle> inside = AskTsk(image, std::to_string(docsInode), clusterArea, sectorsPerCluster);
  ASSERT_EQ(inside.size(), 1u);
  ASSERT_EQ(docs.count(inside[0].name), 1u) << inside[0].name;
  EXPECT_EQ(docs[inside[0].name].size, inside[0].listed.size);
  EXPECT_EQ(docs[inside[0].name].cluster, inside[0].listed.cluster);

  // A file's cluster is not a directory.
  const uint64_t readmeSector = clusterArea + (root["README.TXT"].cluster - 2) * sectorsPerCluster;
  EXPECT_EQ(Cli(image, {"record", std::to_string(readmeSector)}),
            std::vector<std::string>{"This sector does not contain information about a file records"});
}

TEST_P(FatViewsOracleTest, DetailsMatchFsstat) {
  const Image image = GetParam();
  const std::string fsstat = Tsk(image, "fsstat");
  const std::vector<std::string> details = Cli(image, {"details"});
  ASSERT_EQ(details.size(), 12u);
  const bool fat32 = fsstat.find("File System Type: FAT32") != std::string::npos;
  EXPECT_EQ(details[0], fat32 ? "Drive C:\\, FAT Type - 32" : "Drive C:\\, FAT Type - 16");

  const auto rangeLength = [&](const std::string& label) -> uint64_t {
    std::smatch m;
    if (!std::regex_search(fsstat, m, std::regex(label + R"(: (\d+) - (\d+))"))) return 0;
    return std::stoull(m[2]) - std::stoull(m[1]) + 1;
  };
  const uint64_t sectorSize = Number(fsstat, R"(Sector Size: (\d+))");
  const uint64_t fatSectors = rangeLength(R"(\* FAT 0)");
  const std::map<std::string, uint64_t> expected{
      {"Bytes per sector - ", sectorSize},
      {"Bytes per cluster - ", Number(fsstat, R"(Cluster Size: (\d+))")},
      {"Sectors - ", rangeLength("Total Range")},
      {"Sectors before FAT - ", rangeLength(R"(\* Reserved)")},
      {"FAT copies - ", 2},
      {"FAT sectors - ", fatSectors},
      {"FAT size - ", fatSectors * sectorSize},
      {"Start data sector - ", Number(fsstat, R"(\* Data Area: (\d+))")},
  };
  for (const auto& [label, value] : expected) {
    bool found = false;
    for (const std::string& line : details) {
      if (line.rfind(label, 0) == 0) {
        found = true;
        EXPECT_EQ(line, label + std::to_string(value));
      }
    }
    EXPECT_TRUE(found) << label;
  }
  if (!fat32) {
    EXPECT_EQ(details[11], "Root sectors - " + std::to_string(rangeLength(R"(\*\* Root Directory)")));
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, FatViewsOracleTest,
                         ::testing::Values(Image{"fat12.img", 512}, Image{"fat16.img", 512}, Image{"fat32.img", 512},
                                           Image{"fat16-2k.img", 2048}, Image{"fat16-4k.img", 4096}),
                         [](const auto& info) {
                           std::string name = info.param.name;
                           return std::regex_replace(name.substr(0, name.size() - 4), std::regex("-"), "_");
                         });

}  // namespace
}  // namespace korvalane
