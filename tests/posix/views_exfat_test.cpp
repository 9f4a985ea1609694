// korvalane-cli on the exFAT sample images (mkfs.exfat, filled through exfat-fuse),
// checked against The Sleuth Kit's fsstat, fls and istat on the same images.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "fixtures/SampleImage.h"

namespace korvalane {
namespace {

using testing::Cli;
using testing::Image;
using testing::Lines;
using testing::Number;
using testing::Run;
using testing::SamplePath;
using testing::Tsk;

// Why make-samples-exfat could not make or fill an image on this machine (no loop
// devices, FUSE refused), as it noted; nothing when it made it.
std::optional<std::string> Refusal(const Image& image) {
  std::ifstream notes(SamplePath("exfat-refused.txt"));
  for (std::string line; std::getline(notes, line);) {
    if (line.rfind(std::string(image.name) + ":", 0) == 0) return line;
  }
  return std::nullopt;
}

// The layout fsstat reports, in sectors.
struct Layout {
  uint64_t sectorSize = 0;
  uint64_t clusterSize = 0;
  uint64_t sectors = 0;
  uint64_t fatStart = 0;
  uint64_t fatSectors = 0;
  uint64_t fats = 0;
  uint64_t heapStart = 0;
  uint64_t clusters = 0;
  uint64_t rootSector = 0;
  uint64_t SectorsPerCluster() const { return clusterSize / sectorSize; }
  uint64_t ClusterOf(uint64_t sector) const { return (sector - heapStart) / SectorsPerCluster() + 2; }
  uint64_t SectorOf(uint64_t cluster) const { return heapStart + (cluster - 2) * SectorsPerCluster(); }
};

Layout AskFsstat(const Image& image) {
  const std::string fsstat = Tsk(image, "fsstat");
  EXPECT_NE(fsstat.find("File System Type: exFAT"), std::string::npos) << fsstat;
  const auto range = [&](const std::string& label) {
    std::smatch m;
    if (!std::regex_search(fsstat, m, std::regex(label + R"(: (\d+) - (\d+))"))) {
      ADD_FAILURE() << "fsstat has no " << label;
      return std::pair<uint64_t, uint64_t>{0, 0};
    }
    return std::pair<uint64_t, uint64_t>{std::stoull(m[1]), std::stoull(m[2]) - std::stoull(m[1]) + 1};
  };
  Layout l;
  l.sectorSize = Number(fsstat, R"(Sector Size: (\d+))");
  l.clusterSize = Number(fsstat, R"(Cluster Size: (\d+))");
  l.sectors = range(R"(\nRange)").second;
  std::tie(l.fatStart, l.fatSectors) = range(R"(\* FAT 1)");
  l.fats = Number(fsstat, R"(Number of FATs: (\d+))");
  l.heapStart = range(R"(\*\* Cluster Heap)").first;
  l.clusters = range(R"(Cluster Range)").second;
  l.rootSector = range(R"(\*\*\* Root Directory)").first;
  return l;
}

// One line of our listing.
struct Listed {
  std::string stamp;  // YYYY/MM/DD HH:MM
  uint64_t size = 0;
  uint64_t cluster = 0;
  bool operator==(const Listed&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Listed& l) {
  return out << l.stamp << ", size " << l.size << ", cluster " << l.cluster;
}

struct Listing {
  std::string label;
  std::map<std::string, Listed> entries;
};

Listing ParseListing(const std::vector<std::string>& lines) {
  Listing listing;
  const std::regex file(R"(^(.+)  (\d{4}/\d\d/\d\d \d\d:\d\d), size (\d+) b, cluster (\d+)$)");
  const std::regex label(R"(^(.*)  volume label$)");
  for (const std::string& text : lines) {
    std::smatch m;
    if (std::regex_match(text, m, file)) {
      listing.entries[m[1]] = Listed{m[2], std::stoull(m[3]), std::stoull(m[4])};
    } else if (std::regex_match(text, m, label)) {
      listing.label = m[1];
    } else {
      ADD_FAILURE() << "not a listing line: " << text;
    }
  }
  return listing;
}

// The first sector istat gives for an entry (istat lists every sector of a file, millions
// for the file past 4 GiB: only its head is read).
uint64_t FirstSector(const Image& image, uint64_t inode) {
  const testing::CommandResult r =
      Run({"sh", "-c", R"(istat -b "$1" "$2" "$3" | head -n 24)", "sh", std::to_string(image.sectorSize),
           SamplePath(image.name), std::to_string(inode)});
  return Number(r.Out, R"(Sectors:\n(\d+))");
}

// What fls -l and istat say about a directory's entries: name, whether deleted, inode,
// and the line we should show. The label and The Sleuth Kit's own files are left out.
struct Oracle {
  std::string name;
  bool deleted = false;
  bool directory = false;
  uint64_t inode = 0;
  Listed listed;
};

std::vector<Oracle> AskTsk(const Image& image, const Layout& layout, const std::string& directoryInode,
                           std::string* label = nullptr) {
  const std::string listing =
      Tsk(image, "fls", directoryInode.empty() ? std::vector<std::string>{"-l"} : std::vector{std::string("-l"), directoryInode});
  const std::regex entry(
      R"(^([-rd])/[-rd] (\* )?(\d+):\t([^\t]+)\t(\d{4})-(\d\d)-(\d\d) (\d\d):(\d\d):\d\d \(UTC\)\t[^\t]*\t[^\t]*\t[^\t]*\t(\d+)\t.*$)");
  std::vector<Oracle> entries;
  for (const std::string& line : Lines(listing)) {
    std::smatch m;
    if (!std::regex_match(line, m, entry)) continue;  // $MBR, $FAT1, $OrphanFiles (v/v, V/V)
    const std::string name = m[4];
    if (name.ends_with(" (Volume Label Entry)")) {
      if (label != nullptr) *label = name.substr(0, name.size() - std::string(" (Volume Label Entry)").size());
      continue;
    }
    if (name == "$ALLOC_BITMAP" || name == "$UPCASE_TABLE") continue;
    Oracle o;
    o.name = name;
    o.deleted = m[2].matched;
    o.directory = m[1] == "d";
    o.inode = std::stoull(m[3]);
    o.listed.stamp = m.str(5) + "/" + m.str(6) + "/" + m.str(7) + " " + m.str(8) + ":" + m.str(9);
    o.listed.size = std::stoull(m[10]);
    o.listed.cluster = layout.ClusterOf(FirstSector(image, o.inode));
    entries.push_back(o);
  }
  return entries;
}

class ExfatOracleTest : public ::testing::TestWithParam<Image> {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C.UTF-8", 1);
    if (const std::optional<std::string> why = Refusal(GetParam())) GTEST_SKIP() << "this machine: " << *why;
  }
};

TEST_P(ExfatOracleTest, DetailsAndDriveLabelMatchFsstat) {
  const Image image = GetParam();
  const Layout l = AskFsstat(image);
  const std::vector<std::string> expected{
      "Drive C:\\, exFAT",
      "Bytes per sector - " + std::to_string(l.sectorSize),
      "Bytes per cluster - " + std::to_string(l.clusterSize),
      "Sectors per cluster - " + std::to_string(l.SectorsPerCluster()),
      "Sectors - " + std::to_string(l.sectors),
      "Clusters - " + std::to_string(l.clusters),
      "Sectors before FAT - " + std::to_string(l.fatStart),
      "FAT copies - " + std::to_string(l.fats),
      "FAT sectors - " + std::to_string(l.fatSectors),
      "FAT size - " + std::to_string(l.fatSectors * l.sectorSize),
      "Start data sector - " + std::to_string(l.heapStart),
      "Root directory cluster - " + std::to_string(l.ClusterOf(l.rootSector)),
      "Root directory sector - " + std::to_string(l.rootSector),
  };
  EXPECT_EQ(Cli(image, {"details"}), expected);

  const uint64_t bytes = l.sectors * l.sectorSize;
  EXPECT_EQ(Cli(image, {"drives"}), std::vector<std::string>{"C: exFAT, " + std::to_string(bytes / 1048576) +
                                                             " Mb," + std::to_string(l.sectors) + " sectors  " +
                                                             SamplePath(image.name)});
}

TEST_P(ExfatOracleTest, ListingsMatchFlsAndIstat) {
  const Image image = GetParam();
  const Layout layout = AskFsstat(image);
  std::string tskLabel;
  const std::vector<Oracle> expected = AskTsk(image, layout, "", &tskLabel);
  Listing root = ParseListing(Cli(image, {"record", std::to_string(layout.rootSector)}));
  EXPECT_EQ(root.label, "KORVALANE");
  EXPECT_EQ(root.label, tskLabel);

  const bool big = std::string(image.name) == "exfat-big.img";
  std::vector<std::string> names;
  for (const Oracle& o : expected) names.push_back(o.name);
  const std::vector<std::string> made =
      big ? std::vector<std::string>{"README.TXT", "HUGE.BIN"}
          : std::vector<std::string>{"README.TXT", "Quarterly report.txt", "Отчёт за май.txt",
                                     "Отчёт о проверке дисков за второй квартал 2021.txt",
                                     "数据恢复笔记と日本語のファイル名.txt", "DOCS", "deleted file.txt", "BIG.DAT"};
  EXPECT_EQ(names, made) << "the files make-samples-exfat puts on the volume";
  EXPECT_EQ(root.entries.size(), expected.size());
  for (const Oracle& o : expected) {
    ASSERT_EQ(root.entries.count(o.name), 1u) << o.name;
    EXPECT_EQ(root.entries[o.name], o.listed) << o.name;
  }
  EXPECT_EQ(root.entries["README.TXT"].stamp, "2009/03/07 14:05");
  if (big) {
    EXPECT_EQ(root.entries["HUGE.BIN"].size, 4295032832u) << "4 GiB and 64 KiB";
    return;
  }
  for (const Oracle& o : expected) EXPECT_EQ(o.deleted, o.name == "deleted file.txt") << o.name;

  // Down the folder tree: DOCS, then Архив inside it. A folder's first cluster begins
  // with the entry set of its first file.
  std::optional<Oracle> folder;
  for (const Oracle& o : expected) {
    if (o.name == "DOCS") folder = o;
  }
  ASSERT_TRUE(folder);
  for (const char* inner : {"Архив", "старое.txt"}) {
    const Listing listing =
        ParseListing(Cli(image, {"record", std::to_string(layout.SectorOf(folder->listed.cluster))}));
    const std::vector<Oracle> inside = AskTsk(image, layout, std::to_string(folder->inode));
    EXPECT_EQ(listing.entries.size(), inside.size()) << folder->name;
    std::optional<Oracle> next;
    for (const Oracle& o : inside) {
      ASSERT_EQ(listing.entries.count(o.name), 1u) << o.name;
      EXPECT_EQ(listing.entries.at(o.name), o.listed) << o.name;
      if (o.name == inner) next = o;
    }
    ASSERT_TRUE(next) << inner;
    folder = next;
  }

  // A file's cluster is not a directory.
  EXPECT_EQ(Cli(image, {"record", std::to_string(layout.SectorOf(root.entries["README.TXT"].cluster))}),
            std::vector<std::string>{"This sector does not contain information about a file records"});
}

TEST_P(ExfatOracleTest, TextHexAndExportReadTheVolumesBytes) {
  const Image image = GetParam();
  const Layout layout = AskFsstat(image);
  std::ifstream in(SamplePath(image.name), std::ios::binary);
  std::vector<char> root(layout.clusterSize);
  in.seekg(static_cast<std::streamoff>(layout.rootSector * layout.sectorSize));
  in.read(root.data(), static_cast<std::streamsize>(root.size()));

  // Sector 0 as text: the jump (shown as U+00EB, "v", U+0090), then the name.
  const std::vector<std::string> text = Cli(image, {"text", "0"});
  ASSERT_FALSE(text.empty());
  EXPECT_EQ(text[0].substr(0, 13), "\u00EBv\u0090EXFAT   ");
  // The root's first sector in hex, four bytes a line: the volume label entry opens it.
  const std::vector<std::string> hex = Cli(image, {"hex", std::to_string(layout.rootSector)});
  EXPECT_EQ(hex.size(), layout.sectorSize / 4);
  EXPECT_NE(hex.at(0).find("0($000) 83 "), std::string::npos) << hex.at(0);

  const std::string file = ::testing::TempDir() + "exfat-root-" + std::to_string(image.sectorSize) + ".bin";
  std::remove(file.c_str());
  const std::string start = std::to_string(layout.rootSector);
  const std::string end = std::to_string(layout.rootSector + layout.SectorsPerCluster());
  Cli(image, {"export", start, end, file});
  std::ifstream exported(file, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(exported)), std::istreambuf_iterator<char>());
  EXPECT_EQ(bytes, root);
  std::remove(file.c_str());
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
