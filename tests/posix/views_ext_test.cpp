// korvalane-cli on the ext2, ext3 and ext4 sample images (mke2fs -d, e2fsck -D, debugfs -w),
// checked against The Sleuth Kit (fsstat, istat, fls, ifind), debugfs (stats, imap,
// stat) and libblkid on the same images.
#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
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

std::string Debugfs(const std::string& path, const std::string& request) {
  const testing::CommandResult result = testing::Run({"debugfs", "-R", request, path});
  EXPECT_EQ(result.Status, 0) << result.Err;
  return result.Out;
}

// A time as debugfs shows it ("0x60c89e70:00000000": the 32 signed bits of seconds, then
// the extra field's two epoch bits and nanoseconds, where the inode has one) in the ISO
// 8601 UTC of the JSON.
std::string DebugfsTimeIso(const std::string& low, const std::string& extra) {
  const uint32_t bits = extra.empty() ? 0 : static_cast<uint32_t>(std::stoul(extra, nullptr, 16));
  const time_t seconds = static_cast<int32_t>(std::stoul(low, nullptr, 16)) + (int64_t{bits & 3} << 32);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::string out = text;
  if (!extra.empty()) {
    std::snprintf(text, sizeof text, ".%09u", bits >> 2);
    out += text;
  }
  return out + "Z";
}

// The numbers of a "Direct Blocks:", "Indirect Blocks:" or "Extent Blocks:" part of istat.
std::vector<uint64_t> IstatBlocks(const std::string& istat, const std::string& heading) {
  std::vector<uint64_t> blocks;
  const size_t at = istat.find(heading + "\n");
  if (at == std::string::npos) return blocks;
  std::istringstream rest(istat.substr(at + heading.size() + 1));
  for (std::string line; std::getline(rest, line) && !line.empty() && std::isdigit(static_cast<unsigned char>(line[0]));) {
    std::istringstream numbers(line);
    for (uint64_t n; numbers >> n;) blocks.push_back(n);
  }
  return blocks;
}

// One inode's lines of a record report, and the blocks its run lines name, expanded.
struct InodeLines {
  std::vector<std::string> Lines;
  std::vector<uint64_t> Data, Indirect, Index;
};

InodeLines FindInode(const std::vector<std::string>& report, uint64_t inode) {
  InodeLines found;
  const std::string head = "Inode " + std::to_string(inode) + ",";
  auto line = std::find_if(report.begin(), report.end(), [&](const std::string& l) { return l.starts_with(head); });
  std::vector<uint64_t>* list = nullptr;
  for (; line != report.end(); ++line) {
    // The next inode's report (a listing line of an inline folder names an inode too).
    if (!found.Lines.empty() && line->starts_with("Inode ") && line->find(": ") == std::string::npos) break;
    found.Lines.push_back(*line);
    std::smatch m;
    if (*line == "Start block - blocks count, logical block:") list = &found.Data;
    if (*line == "Indirect block - blocks count:") list = &found.Indirect;
    if (*line == "Index block - blocks count:") list = &found.Index;
    if (list != nullptr && std::regex_match(*line, m, std::regex(R"((\d+) - (\d+)(, .*)?)"))) {
      for (uint64_t b = std::stoull(m[1]); b < std::stoull(m[1]) + std::stoull(m[2]); ++b) list->push_back(b);
    }
  }
  return found;
}

bool Has(const std::vector<std::string>& lines, const std::string& text) {
  return std::find(lines.begin(), lines.end(), text) != lines.end();
}

// Details of an ext volume against fsstat on the same bytes: the counts, and every group's
// inode table where fsstat finds it. FSSTAT is fsstat's report; SECTOR_SIZE the drive's.
void ExpectDetailsAsFsstat(const std::vector<std::string>& details, const std::string& fsstat, uint32_t sectorSize) {
  const uint64_t block = Number(fsstat, R"(\nBlock Size: (\d+))");
  const uint64_t blocks = Number(fsstat, R"(\nBlock Range: \d+ - (\d+))") + 1;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Volume Name: (.*)\n)")));
  for (const std::string& line : std::vector<std::string>{
           "Bytes per sector - " + std::to_string(sectorSize),
           "Bytes per block - " + std::to_string(block),
           "Sectors per block - " + std::to_string(block / sectorSize),
           "Sectors - " + std::to_string(blocks * block / sectorSize),
           "Blocks - " + std::to_string(blocks),
           "Free blocks - " + std::to_string(Number(fsstat, R"(\nFree Blocks: (\d+))")),
           "Block groups - " + std::to_string(Number(fsstat, R"(Number of Block Groups: (\d+))")),
           "Inodes - " + std::to_string(Number(fsstat, R"(Inode Range: 1 - (\d+))") - 1),
           "Free inodes - " + std::to_string(Number(fsstat, R"(\nFree Inodes: (\d+))")),
           "Volume name - " + m.str(1),
       }) {
    EXPECT_TRUE(Has(details, line)) << line;
  }
  const std::regex table(R"(\n\s+Inode Table: (\d+) - (\d+))");
  size_t groups = 0;
  for (auto it = std::sregex_iterator(fsstat.begin(), fsstat.end(), table); it != std::sregex_iterator(); ++it, ++groups) {
    const std::string part = ", inode table " + (*it)[1].str() + "-" + (*it)[2].str() + ",";
    EXPECT_TRUE(std::any_of(details.begin(), details.end(), [&](const std::string& l) {
      return l.starts_with("Group " + std::to_string(groups) + " - ") && l.find(part) != std::string::npos;
    })) << part;
  }
  EXPECT_EQ(groups, Number(fsstat, R"(Number of Block Groups: (\d+))"));
}

class ExtOracleTest : public ::testing::TestWithParam<Image> {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C.UTF-8", 1);
    path_ = SamplePath(GetParam().name);
    stats_ = Debugfs(path_, "stats");
    blockBytes_ = Number(stats_, R"(Block size:\s+(\d+))");
    sectorsPerBlock_ = blockBytes_ / GetParam().sectorSize;
  }
  bool Ext4() const { return std::string(GetParam().name) == "ext4.img"; }
  uint64_t Inode(const std::string& name) { return Number(Tsk(GetParam(), "ifind", {"-n", name}), R"((\d+))"); }
  std::vector<std::string> Record(uint64_t sector) { return Cli(GetParam(), {"record", std::to_string(sector)}); }
  uint64_t Locate(const std::string& kind, uint64_t n) {
    const std::vector<std::string> out = Cli(GetParam(), {"locate", kind, std::to_string(n)});
    return out.empty() ? 0 : std::stoull(out[0]);
  }

  std::string path_, stats_;
  uint64_t blockBytes_ = 0, sectorsPerBlock_ = 1;
};

TEST_P(ExtOracleTest, DetailsAndLabelMatchDebugfsFsstatAndBlkid) {
  const std::vector<std::string> details = Cli(GetParam(), {"details"});
  const uint64_t blocks = Number(stats_, R"(Block count:\s+(\d+))");
  const std::string version = Lines(testing::Run({"blkid", "-p", "-o", "value", "-s", "TYPE", path_}).Out).at(0);
  const uint64_t sectors = blocks * sectorsPerBlock_;
  EXPECT_EQ(Cli(GetParam(), {"drives"}),
            std::vector<std::string>{"C: " + version + ", " + std::to_string(blocks * blockBytes_ / 1048576) + " Mb," +
                                     std::to_string(sectors) + " sectors  " + path_});
  std::smatch m;
  std::regex_search(stats_, m, std::regex(R"(Filesystem features:\s+(.*)\n)"));
  const std::string features = m[1];
  const std::string fsstat = Tsk(GetParam(), "fsstat");
  for (const std::string& line : std::vector<std::string>{
           "Drive C:\\, " + version,
           "Bytes per sector - " + std::to_string(GetParam().sectorSize),
           "Bytes per block - " + std::to_string(blockBytes_),
           "Sectors per block - " + std::to_string(sectorsPerBlock_),
           "Sectors - " + std::to_string(sectors),
           "Blocks - " + std::to_string(blocks),
           "Free blocks - " + std::to_string(Number(stats_, R"(Free blocks:\s+(\d+))")),
           "First data block - " + std::to_string(Number(stats_, R"(First block:\s+(\d+))")),
           "Block groups - " + std::to_string(Number(fsstat, R"(Number of Block Groups: (\d+))")),
           "Blocks per group - " + std::to_string(Number(stats_, R"(Blocks per group:\s+(\d+))")),
           "Inodes - " + std::to_string(Number(stats_, R"(Inode count:\s+(\d+))")),
           "Free inodes - " + std::to_string(Number(stats_, R"(Free inodes:\s+(\d+))")),
           "Inodes per group - " + std::to_string(Number(stats_, R"(Inodes per group:\s+(\d+))")),
           "Inode size - " + std::to_string(Number(stats_, R"(Inode size:\s+(\d+))")),
           "Volume name - KORVALANE",
           "UUID - " + (std::regex_search(stats_, m, std::regex(R"(Filesystem UUID:\s+(\S+))")) ? m.str(1) : std::string()),
           "State - clean",
           "Journal inode - " + std::to_string(Ext4() || version == "ext3" ? 8 : 0),
       }) {
    EXPECT_TRUE(Has(details, line)) << line;
  }
  // debugfs lists the compatible, incompatible and read-only features in that order.
  std::string ours;
  for (const char* label : {"Compatible features - ", "Incompatible features - ", "Read-only compatible features - "}) {
    const auto line = std::find_if(details.begin(), details.end(), [&](const std::string& l) { return l.starts_with(label); });
    ASSERT_NE(line, details.end());
    const std::string names = line->substr(std::string(label).size());
    if (!names.empty()) ours += (ours.empty() ? "" : " ") + names;
  }
  EXPECT_EQ(ours, features);
  if (Ext4()) {
    const uint32_t checksum = static_cast<uint32_t>(std::stoul(
        std::regex_search(stats_, m, std::regex(R"(\nChecksum:\s+0x([0-9a-f]+))")) ? m[1].str() : "0", nullptr, 16));
    char expected[64];
    std::snprintf(expected, sizeof expected, "Superblock checksum - 0x%08X, verified", checksum);
    EXPECT_TRUE(Has(details, expected)) << expected;
  }
  // One line per group, each number as debugfs gives it, the table's last block as fsstat.
  const std::regex group(R"(Group +(\d+): block bitmap at (\d+), inode bitmap at (\d+), inode table at (\d+)\n\s+(\d+) free blocks, (\d+) free inodes)");
  const std::regex table(R"(\n\s+Inode Table: (\d+) - (\d+))");
  auto tables = std::sregex_iterator(fsstat.begin(), fsstat.end(), table);
  size_t groups = 0;
  for (auto it = std::sregex_iterator(stats_.begin(), stats_.end(), group); it != std::sregex_iterator(); ++it, ++tables, ++groups) {
    const std::smatch& g = *it;
    ASSERT_NE(tables, std::sregex_iterator());
    const std::string line = "Group " + g.str(1) + " - block bitmap " + g.str(2) + ", inode bitmap " + g.str(3) + ", inode table " +
                             (*tables)[1].str() + "-" + (*tables)[2].str() + ", free blocks " + g.str(5) + ", free inodes " + g.str(6);
    EXPECT_TRUE(std::any_of(details.begin(), details.end(), [&](const std::string& l) { return l.starts_with(line); })) << line;
  }
  EXPECT_EQ(groups, Number(fsstat, R"(Number of Block Groups: (\d+))"));
  EXPECT_GE(groups, 2u);
  // An undamaged volume: every checksum that is computed matches.
  EXPECT_TRUE(std::none_of(details.begin(), details.end(), [](const std::string& l) { return l.find("mismatch") != std::string::npos; }));
}

TEST_P(ExtOracleTest, InodeReportsMatchIstatAndDebugfs) {
  std::vector<std::string> names{"/", "BIG.DAT", "README.TXT", "link to readme", "lost+found"};
  if (Ext4()) names.insert(names.end(), {"frag/fragmented.txt", "htree", "DOCS"});
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    const uint64_t inode = Inode(name);
    // Where the inode is: debugfs imap's block and offset.
    const std::string imap = Debugfs(path_, "imap <" + std::to_string(inode) + ">");
    const uint64_t byte = Number(imap, R"(located at block (\d+))") * blockBytes_ +
                          std::stoull(std::regex_replace(imap, std::regex(R"([\s\S]*offset 0x([0-9a-f]+)[\s\S]*)"), "$1"), nullptr, 16);
    const uint64_t sector = Locate("inode", inode);
    EXPECT_EQ(sector, byte / GetParam().sectorSize);

    const InodeLines ours = FindInode(Record(sector), inode);
    ASSERT_FALSE(ours.Lines.empty());
    const std::string istat = Tsk(GetParam(), "istat", {std::to_string(inode)});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(istat, m, std::regex(R"(mode: .(.{9}))")));
    EXPECT_EQ(ours.Lines[1].substr(std::string("Mode - ").size() + 1, 9), m.str(1));
    EXPECT_TRUE(Has(ours.Lines, "Links - " + std::to_string(Number(istat, R"(num of links: (\d+))"))));
    EXPECT_TRUE(Has(ours.Lines, "File size - " + std::to_string(Number(istat, R"(\nsize: (\d+))")) + " b"));
    EXPECT_TRUE(Has(ours.Lines, "Owner - user 0, group 0"));
    if (Ext4()) {
      EXPECT_TRUE(std::any_of(ours.Lines.begin(), ours.Lines.end(), [](const std::string& l) {
        return l.starts_with("Checksum - ") && l.ends_with(", verified");
      }));
    }

    const std::string stat = Debugfs(path_, "stat <" + std::to_string(inode) + ">");
    if (std::regex_search(stat, m, std::regex(R"(Fast link dest: "([^"]*)\")"))) {
      EXPECT_TRUE(Has(ours.Lines, "Symlink target - " + m.str(1)));
    } else if (std::regex_search(stat, m, std::regex(R"(Size of inline data: (\d+))"))) {
      EXPECT_TRUE(Has(ours.Lines, "Inline data - " + std::to_string(Number(istat, R"(\nsize: (\d+))")) + " b"));
      // A folder kept in its inode lists its entries there, as fls does.
      for (const std::string& line : Lines(ours.Lines[0].ends_with(", directory") ? Tsk(GetParam(), "fls", {std::to_string(inode)}) : "")) {
        std::smatch e;
        ASSERT_TRUE(std::regex_match(line, e, std::regex(R"(./. (\d+):\t(.*))"))) << line;
        EXPECT_TRUE(std::any_of(ours.Lines.begin(), ours.Lines.end(), [&](const std::string& l) {
          return l.starts_with("Inode " + e.str(1) + ", ") && l.ends_with(": " + e.str(2));
        })) << line;
      }
    } else {
      // Every data block in logical order, the indirect and extent-tree blocks beside them.
      EXPECT_EQ(ours.Data, IstatBlocks(istat, "Direct Blocks:"));
      EXPECT_EQ(ours.Indirect, IstatBlocks(istat, "Indirect Blocks:"));
      EXPECT_EQ(ours.Index, IstatBlocks(istat, "Extent Blocks:"));
      EXPECT_FALSE(ours.Data.empty());
    }
  }
  // What the samples are made to show, so that the comparison cannot pass on an image that lacks it.
  const InodeLines big = FindInode(Record(Locate("inode", Inode("BIG.DAT"))), Inode("BIG.DAT"));
  if (!Ext4()) {
    EXPECT_EQ(big.Indirect.size(), 3u);  // the single, the double and one below it
  } else {
    const InodeLines fragmented = FindInode(Record(Locate("inode", Inode("frag/fragmented.txt"))), Inode("frag/fragmented.txt"));
    EXPECT_TRUE(Has(fragmented.Lines, "Extent tree depth - 1"));
  }
}

TEST_P(ExtOracleTest, DirectoryBlocksMatchFlsAndIfindWithTheirDeletedEntries) {
  std::vector<std::string> folders{"/"};
  folders.push_back(Ext4() ? "htree" : "DOCS");
  for (const std::string& folder : folders) {
    SCOPED_TRACE(folder);
    const uint64_t inode = Inode(folder);
    std::set<std::string> expected;
    for (const std::string& line : Lines(Tsk(GetParam(), "fls", {std::to_string(inode)}))) {
      std::smatch m;
      if (!std::regex_match(line, m, std::regex(R"(./. (\* )?(\d+)(\(realloc\))?:\t(.*))")) || m.str(4).starts_with("$Orphan")) continue;
      expected.insert(m.str(2) + (m[1].matched ? " deleted " : " ") + m.str(4));
    }
    std::set<std::string> ours;
    size_t blocks = 0;
    for (const uint64_t block : IstatBlocks(Tsk(GetParam(), "istat", {std::to_string(inode)}), "Direct Blocks:")) {
      const std::vector<std::string> listing = Record(block * sectorsPerBlock_ + sectorsPerBlock_ - 1);
      ASSERT_FALSE(listing.empty());
      // The owner, as ifind finds it from the block (for the first few blocks: ifind reads
      // the whole inode table each time).
      if (blocks < 3) {
        EXPECT_EQ(Number(Tsk(GetParam(), "ifind", {"-d", std::to_string(block)}), R"((\d+))"), inode);
      }
      EXPECT_TRUE(listing[0].ends_with(" of inode " + std::to_string(inode))) << listing[0];
      if (Ext4()) {
        EXPECT_TRUE(listing[1].starts_with("Checksum - ") && listing[1].ends_with(", verified")) << listing[1];
      }
      for (const std::string& line : listing) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(Inode (\d+), [a-z ]+, \d+ b(, deleted)?: (.*))")) && m.str(3) != "." && m.str(3) != "..") {
          ours.insert(m.str(1) + (m[2].matched ? " deleted " : " ") + m.str(3));
        }
      }
      ++blocks;
    }
    EXPECT_EQ(ours, expected);
    if (folder == "htree") {
      EXPECT_GT(blocks, 40u);
      EXPECT_EQ(ours.size(), 3000u);
    }
    if (folder == "/") {
      EXPECT_TRUE(ours.contains("17 deleted deleted file.txt"));
    }
  }
  // The htree root says what it is; a data block is no record.
  if (Ext4()) {
    const uint64_t root = IstatBlocks(Tsk(GetParam(), "istat", {std::to_string(Inode("htree"))}), "Direct Blocks:").at(0);
    const std::vector<std::string> index = Record(root * sectorsPerBlock_);
    EXPECT_TRUE(std::any_of(index.begin(), index.end(), [](const std::string& l) { return l.starts_with("Htree root - "); }));
  }
  const uint64_t data = IstatBlocks(Tsk(GetParam(), "istat", {std::to_string(Inode("BIG.DAT"))}), "Direct Blocks:").at(0);
  EXPECT_EQ(Record(data * sectorsPerBlock_), std::vector<std::string>{"This sector does not contain information about a file records"});
}

TEST_P(ExtOracleTest, FindDirectoryBlockStopsAtTheFirstBlockOfEveryFolder) {
  std::set<std::string> expected;
  std::vector<std::string> folders{"2"};
  for (const std::string& line : Lines(Tsk(GetParam(), "fls", {"-r", "-D"}))) {
    std::smatch m;
    if (std::regex_match(line, m, std::regex(R"(\+*\s*d/d (\d+):\t.*)"))) folders.push_back(m.str(1));
  }
  for (const std::string& inode : folders) {
    // A folder whose entries are kept in its inode (inline_data) has no block.
    const std::vector<uint64_t> blocks = IstatBlocks(Tsk(GetParam(), "istat", {inode}), "Direct Blocks:");
    if (!blocks.empty()) expected.insert(std::to_string(blocks[0] * sectorsPerBlock_) + " 4");
  }
  const std::vector<std::string> found = Cli(GetParam(), {"find", "--all", "directory-block"});
  EXPECT_EQ(std::set<std::string>(found.begin(), found.end()), expected);
  EXPECT_GE(expected.size(), 3u);
}

TEST_P(ExtOracleTest, JsonCarriesTheViewsNumbers) {
  const auto json = [&](const std::vector<std::string>& args) {
    std::string text;
    for (const std::string& line : Cli(GetParam(), args)) text += line + "\n";
    return text;
  };
  const std::string details = json({"details", "--json"});
  EXPECT_EQ(Number(details, R"("blocks": (\d+))"), Number(stats_, R"(Block count:\s+(\d+))"));
  EXPECT_EQ(Number(details, R"("blockGroups": (\d+))"), Number(Tsk(GetParam(), "fsstat"), R"(Number of Block Groups: (\d+))"));
  const uint64_t root = IstatBlocks(Tsk(GetParam(), "istat", {"2"}), "Direct Blocks:").at(0);
  const std::string listing = json({"record", "--json", std::to_string(root * sectorsPerBlock_)});
  EXPECT_NE(listing.find(R"("inode": 17,
      "type": "file",
      "recordLength": 24,
      "name": "deleted file.txt",
      "deleted": true)"), std::string::npos) << listing;
  const uint64_t big = Inode("BIG.DAT");
  const std::string located = json({"locate", "--json", "inode", std::to_string(big)});
  EXPECT_EQ(Number(located, R"("sector": (\d+))"), Locate("inode", big));
  const std::string record = json({"record", "--json", std::to_string(Locate("inode", big))});
  EXPECT_NE(record.find(R"("inode": )" + std::to_string(big) + ",\n      \"unused\": false"), std::string::npos) << record;
  const std::string ours = record.substr(record.find(R"("inode": )" + std::to_string(big)));
  EXPECT_EQ(Number(ours, R"("size": (\d+))"), Number(Tsk(GetParam(), "istat", {std::to_string(big)}), R"(\nsize: (\d+))"));
  // The times in UTC with the inode's nanoseconds, as debugfs shows them in hexadecimal.
  const std::string stat = Debugfs(path_, "stat <" + std::to_string(big) + ">");
  int times = 0;
  for (const auto& [time, key] : {std::pair{"atime", "accessed"}, std::pair{"ctime", "changed"},
                                  std::pair{"mtime", "modified"}, std::pair{"crtime", "created"}}) {
    std::smatch m;
    if (!std::regex_search(stat, m, std::regex(std::string("\\b") + time + R"(: 0x([0-9a-f]+)(:([0-9a-f]+))?)"))) continue;
    const std::string expected = DebugfsTimeIso(m.str(1), m.str(3));
    ASSERT_TRUE(std::regex_search(ours, m, std::regex(std::string("\"") + key + R"re(": "([^"]+)")re"))) << key;
    EXPECT_EQ(m.str(1), expected) << time;
    ++times;
  }
  EXPECT_GE(times, 3);
}

TEST_P(ExtOracleTest, LocateTakesBlocksClustersAndInodesAndRefusesTheRest) {
  EXPECT_EQ(Locate("block", 7), 7 * sectorsPerBlock_);
  EXPECT_EQ(Locate("cluster", 7), 7 * sectorsPerBlock_);
  const uint64_t inodes = Number(stats_, R"(Inode count:\s+(\d+))");
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"locate", path_, "inode", "0"}, {"locate", path_, "inode", std::to_string(inodes + 1)},
           {"locate", path_, "block", std::to_string(Number(stats_, R"(Block count:\s+(\d+))"))}, {"locate", path_, "mft-record", "0"}}) {
    std::vector<std::string> argv = args;
    argv.insert(argv.end(), {"--sector-size", std::to_string(GetParam().sectorSize)});
    const testing::CommandResult result = testing::RunCli(argv);
    EXPECT_NE(result.Status, 0) << args[2] << " " << args[3];
    EXPECT_NE(result.Err, "") << args[2];
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, ExtOracleTest,
                         ::testing::Values(Image{"ext2.img", 512}, Image{"ext3.img", 512}, Image{"ext4.img", 512},
                                           Image{"ext4.img", 4096}),
                         [](const auto& info) {
                           const std::string name = info.param.name;
                           return name.substr(0, name.size() - 4) + "_" + std::to_string(info.param.sectorSize);
                         });

// A damaged copy of the ext4 sample: checksums that no longer match are shown, and the
// volume is read all the same; a superblock that fails its checks leaves it browsable.
class ExtDamageTest : public ::testing::Test {
 protected:
  void SetUp() override {
    copy_ = (std::filesystem::temp_directory_path() / ("korvalane-ext-" + std::to_string(getpid()) + ".img")).string();
    std::filesystem::copy_file(SamplePath("ext4.img"), copy_, std::filesystem::copy_options::overwrite_existing);
  }
  void TearDown() override { std::filesystem::remove(copy_); }
  void Poke(uint64_t byte, uint8_t value) {
    std::fstream file(copy_, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(byte));
    file.put(static_cast<char>(value));
  }
  std::vector<std::string> Cli(const std::vector<std::string>& args) {
    std::vector<std::string> argv{args[0], copy_};
    argv.insert(argv.end(), args.begin() + 1, args.end());
    const testing::CommandResult result = testing::RunCli(argv);
    EXPECT_EQ(result.Status, 0) << result.Err;
    return Lines(result.Out);
  }
  std::string copy_;
};

TEST_F(ExtDamageTest, ChecksumMismatchesAreShownNotRefused) {
  const std::string stats = Debugfs(copy_, "stats");
  const uint64_t descriptors = 4096 * (Number(stats, R"(First block:\s+(\d+))") + 1);
  const uint64_t rootBlock = Number(Debugfs(copy_, "blocks /"), R"((\d+))");
  const uint64_t readme = Number(Tsk(Image{"ext4.img", 512}, "ifind", {"-n", "README.TXT"}), R"((\d+))");
  const std::string imap = Debugfs(copy_, "imap <" + std::to_string(readme) + ">");
  const uint64_t inodeByte = Number(imap, R"(located at block (\d+))") * 4096 +
                             std::stoull(std::regex_replace(imap, std::regex(R"([\s\S]*offset 0x([0-9a-f]+)[\s\S]*)"), "$1"), nullptr, 16);
  Poke(1024 + 0x300, 0x5A);            // the superblock's reserved words
  Poke(descriptors + 0x34, 0x5A);      // group 0's descriptor: its exclude bitmap's high half
  Poke(rootBlock * 4096 + 4000, 0x5A); // the root folder's slack, past its last name
  Poke(inodeByte + 0x24, 0x5A);        // the inode's version field

  EXPECT_TRUE(Cli({"drives"}).at(0).starts_with("C: ext4, 16 Mb,32768 sectors"));
  const std::vector<std::string> details = Cli({"details"});
  EXPECT_TRUE(std::any_of(details.begin(), details.end(), [](const std::string& l) { return l.starts_with("Superblock checksum - mismatch: stored 0x"); }));
  EXPECT_TRUE(std::any_of(details.begin(), details.end(), [](const std::string& l) { return l.starts_with("Group 0 - ") && l.find(", checksum mismatch: stored 0x") != std::string::npos; }));
  EXPECT_TRUE(std::any_of(details.begin(), details.end(), [](const std::string& l) { return l.starts_with("Group 3 - "); }));
  const std::vector<std::string> root = Cli({"record", std::to_string(rootBlock * 8)});
  ASSERT_GE(root.size(), 3u);
  EXPECT_TRUE(root[1].starts_with("Checksum - mismatch: stored 0x")) << root[1];
  EXPECT_TRUE(Has(root, "Inode " + std::to_string(readme) + ", file, 44 b: README.TXT"));
  const std::vector<std::string> inode = Cli({"record", std::to_string(inodeByte / 512)});
  EXPECT_TRUE(std::any_of(inode.begin(), inode.end(), [](const std::string& l) { return l.starts_with("Checksum - mismatch: stored 0x"); }));
}

TEST_F(ExtDamageTest, ARefusedSuperblockLeavesTheVolumeBrowsableWithANote) {
  Poke(1024 + 0x18, 9);  // a block size of 2^19 bytes
  const std::vector<std::string> drives = Cli({"drives"});
  EXPECT_TRUE(drives.at(0).ends_with(",32768 sectors  " + copy_)) << drives.at(0);
  // Details says why in its one line, and the command line's status says it failed.
  const testing::CommandResult details = testing::RunCli({"details", copy_});
  EXPECT_EQ(details.Status, 1);
  EXPECT_EQ(Lines(details.Out), std::vector<std::string>{"Superblock not usable - the block size 2^(10+9) is not one of 1024 to 65536"});
  EXPECT_EQ(Cli({"record", "32767"}), std::vector<std::string>{});
}

}  // namespace
}  // namespace korvalane

namespace korvalane {
namespace {

// A sparse 2 TiB ext4 (mke2fs with lazy initialisation writes only its metadata): 16384
// block groups, every one listed; an inode of the last group found and reported.
TEST(ExtBigTest, TwoTebibytesListEveryGroupAndReachTheLastInode) {
  const std::string image = (std::filesystem::temp_directory_path() / ("korvalane-ext-2t-" + std::to_string(getpid()) + ".img")).string();
  const testing::CommandResult made = testing::Run(
      {"sh", "-c", "truncate -s 2T \"$1\" && mke2fs -q -F -t ext4 -E lazy_itable_init=1,lazy_journal_init=1,nodiscard \"$1\"", "sh", image});
  if (made.Status != 0) {
    std::filesystem::remove(image);
    GTEST_SKIP() << "this machine cannot make a sparse 2 TiB file: " << made.Err;
  }
  const auto cli = [&](const std::vector<std::string>& args) {
    std::vector<std::string> argv{args[0], image};
    argv.insert(argv.end(), args.begin() + 1, args.end());
    return Lines(testing::RunCli(argv).Out);
  };
  EXPECT_EQ(cli({"drives"}), std::vector<std::string>{"C: ext4, 2097152 Mb,4294967296 sectors  " + image});
  const std::vector<std::string> details = cli({"details"});
  const std::string allStats = Debugfs(image, "stats");
  const std::string stats = allStats.substr(std::min(allStats.size(), allStats.find(" Group 16383:")));
  std::smatch m;
  ASSERT_TRUE(std::regex_search(stats, m, std::regex(R"(Group 16383: block bitmap at (\d+), inode bitmap at (\d+), inode table at (\d+)\n\s+(\d+) free blocks, (\d+) free inodes)")));
  ASSERT_FALSE(details.empty());
  EXPECT_EQ(details.back(), "Group 16383 - block bitmap " + m.str(1) + ", inode bitmap " + m.str(2) + ", inode table " + m.str(3) + "-" +
                                std::to_string(std::stoull(m.str(3)) + 511) + ", free blocks " + m.str(4) + ", free inodes " + m.str(5) +
                                ", INODE_UNINIT");
  EXPECT_EQ(std::count_if(details.begin(), details.end(), [](const std::string& l) { return l.starts_with("Group ") && !l.starts_with("Group descriptor"); }), 16384);

  const uint64_t last = 16384ull * 8192;
  const std::string imap = Debugfs(image, "imap <" + std::to_string(last) + ">");
  const uint64_t byte = Number(imap, R"(located at block (\d+))") * 4096 +
                        std::stoull(std::regex_replace(imap, std::regex(R"([\s\S]*offset 0x([0-9a-f]+)[\s\S]*)"), "$1"), nullptr, 16);
  const std::vector<std::string> sector = cli({"locate", "inode", std::to_string(last)});
  ASSERT_EQ(sector, std::vector<std::string>{std::to_string(byte / 512)});
  // The last group's table is not initialised (mke2fs left it to the kernel): its bytes are no inodes.
  EXPECT_EQ(cli({"record", sector[0]}),
            (std::vector<std::string>{"Inode " + std::to_string(last - 1) + ", unused (its group's table is not initialised this far)", "",
                                      "Inode " + std::to_string(last) + ", unused (its group's table is not initialised this far)"}));
  std::filesystem::remove(image);
}

}  // namespace
}  // namespace korvalane

namespace korvalane {
namespace {

// The ext2 volumes in partition 6 of the MBR sample disk (a logical partition) and in
// partition 3 of the GPT one: read through the partition as fsstat and fls read them at the
// partition's offset, and through a QCOW2 of the disk exactly as through the raw disk.
struct ExtPartition {
  const char* disk;
  int number;
  uint64_t start, sectors;
};

class ExtPartitionTest : public ::testing::TestWithParam<ExtPartition> {
 protected:
  std::vector<std::string> View(const std::string& disk, const std::vector<std::string>& args) {
    std::vector<std::string> argv{args[0], "--partition", std::to_string(GetParam().number), disk};
    argv.insert(argv.end(), args.begin() + 1, args.end());
    const testing::CommandResult result = testing::RunCli(argv);
    EXPECT_EQ(result.Status, 0) << result.Err;
    return Lines(result.Out);
  }
  // The entries of a listing but "." and "..", as "INODE NAME".
  std::set<std::string> Entries(const std::vector<std::string>& listing) {
    std::set<std::string> entries;
    for (const std::string& line : listing) {
      std::smatch m;
      if (std::regex_match(line, m, std::regex(R"(Inode (\d+), [a-z ]+, \d+ b: (.*))")) && m.str(2) != "." && m.str(2) != "..") {
        entries.insert(m.str(1) + " " + m.str(2));
      }
    }
    return entries;
  }
  // The drives line of the partition, without its drive letter and source.
  std::string Label(const std::string& disk) {
    const std::string tail = ", partition " + std::to_string(GetParam().number) + " (";
    for (const std::string& line : Lines(testing::RunCli({"drives", disk}).Out)) {
      if (line.find(tail) != std::string::npos) return line.substr(3, line.find("  ") - 3) + line.substr(line.find(tail));
    }
    return "";
  }
};

TEST_P(ExtPartitionTest, ReadsAsTheSleuthKitReadsItAndAlikeThroughQcow2) {
  const ExtPartition& part = GetParam();
  const std::string disk = SamplePath(part.disk), offset = std::to_string(part.start);
  EXPECT_TRUE(Label(disk).starts_with("ext2, " + std::to_string(part.sectors / 2048) + " Mb," + std::to_string(part.sectors) + " sectors, "))
      << Label(disk);
  EXPECT_NE(Label(disk).find("(sectors " + offset + "-" + std::to_string(part.start + part.sectors - 1) + ", "), std::string::npos);
  const std::vector<std::string> details = View(disk, {"details"});
  const std::string fsstat = testing::Run({"fsstat", "-o", offset, disk}).Out;
  ExpectDetailsAsFsstat(details, fsstat, 512);
  const uint64_t root = Number(testing::Run({"istat", "-o", offset, disk, "2"}).Out, R"(Direct Blocks:\n(\d+))");
  const std::string rootSector = std::to_string(root * Number(fsstat, R"(\nBlock Size: (\d+))") / 512);
  const std::vector<std::string> listing = View(disk, {"record", rootSector});
  ASSERT_FALSE(listing.empty());
  EXPECT_EQ(listing[0], "Directory block " + std::to_string(root) + " of inode 2");
  std::set<std::string> expected;
  for (const std::string& line : Lines(testing::Run({"fls", "-o", offset, disk}).Out)) {
    std::smatch m;
    if (std::regex_match(line, m, std::regex(R"(./. (\d+):\t(.*))")) && !m.str(2).starts_with("$Orphan")) expected.insert(m.str(1) + " " + m.str(2));
  }
  EXPECT_EQ(Entries(listing), expected);
  EXPECT_TRUE(expected.contains("11 lost+found"));

  // The MBR disk's QCOW2 is a sample; the GPT disk's is made here by qemu-img (a fraction of a second).
  std::string qcow2 = SamplePath("containers/disk.qcow2");
  const std::string made = (std::filesystem::temp_directory_path() / ("korvalane-ext-" + std::to_string(getpid()) + ".qcow2")).string();
  if (std::string(part.disk) != "disk-mbr.img") {
    qcow2 = made;
    const testing::CommandResult converted = testing::Run({"qemu-img", "convert", "-q", "-f", "raw", "-O", "qcow2", disk, qcow2});
    ASSERT_EQ(converted.Status, 0) << converted.Err;
  }
  EXPECT_EQ(Label(qcow2), Label(disk));
  EXPECT_EQ(View(qcow2, {"details"}), details);
  EXPECT_EQ(View(qcow2, {"record", rootSector}), listing);
  std::filesystem::remove(made);
}

INSTANTIATE_TEST_SUITE_P(Disks, ExtPartitionTest,
                         ::testing::Values(ExtPartition{"disk-mbr.img", 6, 88064, 16384}, ExtPartition{"disk-gpt.img", 3, 51200, 32768}),
                         [](const auto& info) { return std::string(info.param.disk).substr(5, 3); });

}  // namespace
}  // namespace korvalane

namespace korvalane {
namespace {

// The ext4 sample attached read-only to a loop device (without -P: one volume): the views
// of the block device are those of the image.
TEST(ExtLoopTest, AVolumeThroughALoopDeviceReadsAsItsImage) {
  const std::string image = SamplePath("ext4.img");
  const testing::CommandResult attached = testing::Run({"losetup", "--find", "--show", "--read-only", image});
  if (attached.Status != 0) GTEST_SKIP() << "this machine gives no loop device: " << attached.Err;
  const std::string device = Lines(attached.Out).at(0);
  const auto located = [&](const char* inode) { return Lines(testing::RunCli({"locate", image, "inode", inode}).Out).at(0); };
  for (const std::vector<std::string>& view : std::vector<std::vector<std::string>>{
           {"details"}, {"record", located("2")}, {"record", located("17")}, {"find", "--all", "directory-block"}}) {
    std::vector<std::string> ofImage{view[0], image}, ofDevice{view[0], device};
    ofImage.insert(ofImage.end(), view.begin() + 1, view.end());
    ofDevice.insert(ofDevice.end(), view.begin() + 1, view.end());
    const std::vector<std::string> expected = Lines(testing::RunCli(ofImage).Out);
    EXPECT_FALSE(expected.empty()) << view[0];
    EXPECT_EQ(Lines(testing::RunCli(ofDevice).Out), expected) << view[0];
  }
  testing::Run({"losetup", "-d", device});
}

}  // namespace
}  // namespace korvalane

namespace korvalane {
namespace {

// An ext4 made by mke2fs on a loop device of 4096-byte sectors (so its blocks cannot be
// smaller than 4 KiB), then read through such a device and as an image of 4096-byte sectors.
TEST(ExtSectorTest, AVolumeMadeOnA4096ByteSectorDeviceReadsAsTheSleuthKitReadsIt) {
  const std::string base = (std::filesystem::temp_directory_path() / ("korvalane-ext-4k-" + std::to_string(getpid()))).string();
  const std::string image = base + ".img", files = base + ".d";
  std::filesystem::create_directories(files + "/DOCS");
  std::ofstream(files + "/BIG.DAT") << std::string(170000, 'k');
  std::ofstream(files + "/DOCS/notes.txt") << "Notes on raw sectors.\n";
  std::ofstream(image).close();
  std::filesystem::resize_file(image, 16 << 20);
  struct Cleanup {
    std::string image, files;
    ~Cleanup() { std::filesystem::remove(image), std::filesystem::remove_all(files); }
  } cleanup{image, files};
  const auto attach = [&](bool readOnly) {
    std::vector<std::string> argv{"losetup", "--find", "--show", "-b", "4096", image};
    if (readOnly) argv.insert(argv.begin() + 1, "-r");
    return testing::Run(argv);
  };
  const testing::CommandResult made = attach(false);
  if (made.Status != 0) GTEST_SKIP() << "no loop devices: " << made.Err;
  const std::string writable = Lines(made.Out).at(0);
  const testing::CommandResult mkfs = testing::Run({"sh", "-c", "PATH=$PATH:/sbin:/usr/sbin mke2fs -q -F -t ext4 -g 1024 -L KORVALANE -d \"$1\" \"$2\"",
                                                    "sh", files, writable});
  testing::Run({"losetup", "-d", writable});
  ASSERT_EQ(mkfs.Status, 0) << mkfs.Err;
  const testing::CommandResult attached = attach(true);
  if (attached.Status != 0) GTEST_SKIP() << "no loop devices: " << attached.Err;
  const std::string device = Lines(attached.Out).at(0);

  const std::string fsstat = testing::Run({"fsstat", "-b", "4096", image}).Out;
  const uint64_t inode = Number(testing::Run({"ifind", "-b", "4096", "-n", "BIG.DAT", image}).Out, R"((\d+))");
  const std::string istat = testing::Run({"istat", "-b", "4096", image, std::to_string(inode)}).Out;
  ASSERT_EQ(Number(fsstat, R"(\nBlock Size: (\d+))"), 4096u);
  for (const std::vector<std::string>& source : std::vector<std::vector<std::string>>{{device}, {image, "--sector-size", "4096"}}) {
    SCOPED_TRACE(source[0]);
    const auto cli = [&](const std::vector<std::string>& args) {
      std::vector<std::string> argv{args[0]};
      argv.insert(argv.end(), source.begin(), source.end());
      argv.insert(argv.end(), args.begin() + 1, args.end());
      const testing::CommandResult result = testing::RunCli(argv);
      EXPECT_EQ(result.Status, 0) << result.Err;
      return Lines(result.Out);
    };
    EXPECT_EQ(cli({"drives"}), std::vector<std::string>{"C: ext4, 16 Mb,4096 sectors  " + source[0]});
    ExpectDetailsAsFsstat(cli({"details"}), fsstat, 4096);
    const std::vector<std::string> sector = cli({"locate", "inode", std::to_string(inode)});
    ASSERT_EQ(sector.size(), 1u);
    const InodeLines ours = FindInode(cli({"record", sector[0]}), inode);
    ASSERT_FALSE(ours.Lines.empty());
    EXPECT_TRUE(Has(ours.Lines, "File size - 170000 b"));
    EXPECT_TRUE(Has(ours.Lines, "Links - " + std::to_string(Number(istat, R"(num of links: (\d+))"))));
    EXPECT_EQ(ours.Data, IstatBlocks(istat, "Direct Blocks:"));
    EXPECT_EQ(ours.Data.size(), 42u);
  }
  testing::Run({"losetup", "-d", device});
}

}  // namespace
}  // namespace korvalane
