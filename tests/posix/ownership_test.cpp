// korvalane-cli owner against The Sleuth Kit: for the first and last data unit of files,
// directories, system files and TSK's own metadata files, and for sectors across the
// volume, the owner we name is the file that ifind -d and ffind find (free where they
// find none); and damaged with a ddrescue mapfile whose bad areas lie under known files
// lists exactly those files with their bad byte counts, however the map is spoilt.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

struct Image {
  const char* Name;
  bool Ntfs;  // TSK's data units are clusters; on FAT and exFAT they are sectors
};

std::string Tsk(const std::vector<std::string>& args) {
  const CommandResult result = testing::Run(args);
  return result.Out;
}

// A TSK name as ours: "//$Secure:$SDS" is "/$Secure", "* /x" (deleted) is "/x", its
// metadata files ($MBR, $FAT1, $ALLOC_BITMAP) are named as we name them.
std::string FromTsk(std::string name) {
  if (name.starts_with("* ")) name = name.substr(2);
  while (name.starts_with("//")) name.erase(0, 1);
  const size_t colon = name.find(':');
  if (colon != std::string::npos) name.resize(colon);
  if (name == "/$MBR") return "boot";  // the boot sector and the reserved ones
  static const std::map<std::string, std::string> kNames = {
      {"/$FAT1", "FAT 1"}, {"/$FAT2", "FAT 2"}, {"/$ALLOC_BITMAP", "allocation bitmap"}, {"/$UPCASE_TABLE", "up-case table"}};
  const auto it = kNames.find(name);
  return it != kNames.end() ? it->second : name;
}

// Our answer's first owner, named as FromTsk names it.
std::string Ours(const std::string& line) {
  std::string text = line.substr(line.find("  ") + 2);
  text = text.substr(0, text.find(" | "));
  text = text.substr(0, text.find("  ("));
  if (text.starts_with("file-system metadata: ")) return "/" + text.substr(22);
  for (const char* boot : {"boot sector", "reserved sectors", "FS information sector", "backup boot sector",
                           "main boot region", "backup boot region"}) {
    if (text == boot) return "boot";
  }
  return text == "free" ? "" : text;
}

// Whether an answer names no file in use: "free", after the deleted files whose maps
// still point there, if any.
bool FreeButDeleted(const std::string& line) {
  std::string text = line.substr(line.find("  ") + 2);
  for (size_t bar; (bar = text.find(" | ")) != std::string::npos; text = text.substr(bar + 3)) {
    if (text.substr(0, bar).find("(deleted, inode ") == std::string::npos) return false;
  }
  return text == "free";
}

class OwnershipOracleTest : public ::testing::TestWithParam<Image> {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "C.UTF-8", 1);
    std::ifstream notes(SamplePath("exfat-refused.txt"));
    for (std::string line; std::getline(notes, line);) {
      if (line.rfind(std::string(GetParam().Name) + ":", 0) == 0) GTEST_SKIP() << "this machine: " << line;
    }
    if (!fs::exists(SamplePath(GetParam().Name))) GTEST_SKIP() << GetParam().Name << " was not made here (see make-samples)";
  }
};

// Every data unit istat names for an inode (of its attribute type-id on NTFS), in order,
// skipping exFAT's zero padding.
std::vector<uint64_t> Units(const std::string& image, const std::string& inode, bool ntfs) {
  const std::string out = Tsk({"istat", image, inode});
  std::vector<uint64_t> units;
  bool inList = false;
  const std::string typeId = inode.find('-') == std::string::npos ? "" : "(" + inode.substr(inode.find('-') + 1) + ")";
  for (const std::string& line : Lines(out)) {
    if (!ntfs && line.starts_with("Sectors:")) {
      inList = true;
      continue;
    }
    if (ntfs && line.starts_with("Type: ")) {
      inList = !typeId.empty() && line.find(typeId) != std::string::npos && line.find("Non-Resident") != std::string::npos;
      continue;
    }
    if (!inList) continue;
    if (line.find_first_not_of("0123456789 ") != std::string::npos) {
      inList = false;
      continue;
    }
    std::istringstream numbers(line);
    for (uint64_t unit = 0; numbers >> unit;) {
      if (unit != 0 || ntfs) units.push_back(unit);
    }
  }
  return units;
}

// The first and last of them.
std::vector<uint64_t> Ends(const std::string& image, const std::string& inode, bool ntfs) {
  const std::vector<uint64_t> units = Units(image, inode, ntfs);
  if (units.empty()) return {};
  return {units.front(), units.back()};
}

// An area of a ddrescue mapfile, and the mapfile of areas that cover the volume in order.
struct Area {
  uint64_t Position;
  uint64_t Size;
  char Status;
};

std::string MapText(const std::vector<Area>& list) {
  std::string text = "# Rescue Logfile. Created by GNU ddrescue\n0x00000000     +     1\n";
  for (const Area& area : list) {
    char line[80];
    std::snprintf(line, sizeof line, "0x%08llX  0x%08llX  %c\n", static_cast<unsigned long long>(area.Position),
                  static_cast<unsigned long long>(area.Size), area.Status);
    text += line;
  }
  return text;
}

// The areas of a volume of `volumeBytes` with the bad ones (in order, disjoint) and
// finished areas between them.
std::vector<Area> Covering(const std::vector<Area>& bad, uint64_t volumeBytes) {
  std::vector<Area> areas;
  uint64_t at = 0;
  for (const Area& area : bad) {
    if (area.Position > at) areas.push_back({at, area.Position - at, '+'});
    areas.push_back(area);
    at = area.Position + area.Size;
  }
  if (at < volumeBytes) areas.push_back({at, volumeBytes - at, '+'});
  return areas;
}

TEST_P(OwnershipOracleTest, OwnerIsWhatIfindAndFfindFind) {
  const Image image = GetParam();
  const std::string path = SamplePath(image.Name);
  const std::string fsstat = Tsk({"fsstat", path});
  std::smatch m;
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Cluster Size: (\d+))")));
  const uint64_t clusterBytes = std::stoull(m[1]);
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(Sector Size: (\d+))")));
  const uint64_t sectorBytes = std::stoull(m[1]);
  const uint64_t perUnit = image.Ntfs ? clusterBytes / sectorBytes : 1;

  // Up to 12 inodes spread over fls's list: files, directories, system and metadata files.
  // fls names every inode's path, as ffind would; ffind is asked only for the others.
  std::vector<std::string> inodes;
  std::map<std::string, std::string> paths;
  const std::regex entry(R"(^[-rdvV]/[-rdvV] (\* )?([0-9-]+):\t(.*)$)");
  for (const std::string& line : Lines(Tsk({"fls", "-r", "-p", path}))) {
    if (std::regex_match(line, m, entry) && m[3].str().find("$OrphanFiles") == std::string::npos &&
        m[3].str().find("Volume Label Entry") == std::string::npos) {
      inodes.push_back(m[2]);
      paths[m[2]] = m[1].str() + "/" + m[3].str();
    }
  }
  ASSERT_GE(inodes.size(), 5u);
  const size_t step = std::max<size_t>(1, inodes.size() / 12);
  std::vector<uint64_t> units;
  for (size_t i = 0; i < inodes.size(); i += step) {
    for (const uint64_t unit : Ends(path, inodes[i], image.Ntfs)) units.push_back(unit);
  }
  // And data units across the volume: free ones among them.
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(image.Ntfs ? R"(Total Cluster Range: \d+ - (\d+))" : R"(Range: 0 - (\d+))")));
  const uint64_t last = std::stoull(m[1]);
  for (uint64_t k = 1; k < 6; ++k) units.push_back(last / 6 * k);
  std::sort(units.begin(), units.end());
  units.erase(std::unique(units.begin(), units.end()), units.end());

  std::vector<std::string> args = {"owner", path};
  for (const uint64_t unit : units) args.push_back(std::to_string(unit * perUnit));
  const CommandResult ours = RunCli(args);
  ASSERT_EQ(ours.Status, 0) << ours.Err;
  const std::vector<std::string> lines = Lines(ours.Out);
  ASSERT_EQ(lines.size(), units.size());
  size_t free = 0;
  for (size_t i = 0; i < units.size(); ++i) {
    SCOPED_TRACE(lines[i]);
    const std::string inode = Lines(Tsk({"ifind", "-d", std::to_string(units[i]), path})).at(0);
    std::string theirs;
    if (inode == "Meta Data") {
      theirs = "boot";  // on exFAT: the backup boot region and the reserved sectors, no file's
    } else if (inode.find("not found") == std::string::npos) {
      const auto known = paths.find(inode);
      const std::vector<std::string> found =
          known != paths.end() ? std::vector<std::string>{known->second} : Lines(Tsk({"ffind", path, inode}));
      ASSERT_FALSE(found.empty()) << "ffind " << inode;
      theirs = FromTsk(found.front());
    }
    if (theirs.empty()) ++free;
    EXPECT_EQ(Ours(lines[i]), theirs) << "data unit " << units[i] << ", inode " << inode;
  }
  EXPECT_GE(free, 1u);
}

INSTANTIATE_TEST_SUITE_P(Samples, OwnershipOracleTest,
                         ::testing::Values(Image{"fat12.img", false}, Image{"fat16.img", false}, Image{"fat32.img", false},
                                           Image{"exfat.img", false}, Image{"ntfs.img", true},
                                           Image{"ntfs-fragmented.img", true}),
                         [](const ::testing::TestParamInfo<Image>& info) {
                           std::string name = info.param.Name;
                           name = name.substr(0, name.find('.'));
                           std::replace(name.begin(), name.end(), '-', '_');
                           return name;
                         });

// ext2, ext3 and ext4 against e2fsprogs: the first and last block of the root, the
// journal and the first files and folders (debugfs blocks) are owned by the file icheck
// and ncheck name (one of its names, for a hard link); the superblocks, descriptor copies,
// reserved descriptor blocks, bitmaps, inode tables and the first and last free block of
// each group are what dumpe2fs says they are.
TEST(OwnershipExtTest, OwnerIsWhatIcheckNcheckAndDumpe2fsFind) {
  setenv("LC_ALL", "C.UTF-8", 1);
  const std::string debugfs = fs::exists("/sbin/debugfs") ? "/sbin/debugfs" : "debugfs";
  for (const char* name : {"ext2.img", "ext3.img", "ext4.img"}) {
    SCOPED_TRACE(name);
    const std::string path = SamplePath(name);
    if (!fs::exists(path)) GTEST_SKIP() << name << " was not made here (see make-samples-ext)";
    std::vector<std::pair<uint64_t, std::string>> expected;  // block, the start of our name
    const std::string dump = testing::Run({"dumpe2fs", path}).Out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(Block size:\s+(\d+))")));
    const uint64_t perBlock = std::stoull(m[1]) / 512;
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(Block count:\s+(\d+))")));
    const uint64_t blockCount = std::stoull(m[1]);
    const std::pair<const char*, const char*> kAreas[] = {
        {R"(Primary superblock at (\d+))", "superblock"},         {R"(Backup superblock at (\d+))", "superblock backup"},
        {R"(Group descriptors at (\d+)-(\d+))", "group descriptors"}, {R"(Reserved GDT blocks at (\d+)-(\d+))", "reserved GDT blocks"},
        {R"(Block bitmap at (\d+))", "block bitmap"},            {R"(Inode bitmap at (\d+))", "inode bitmap"},
        {R"(Inode table at (\d+)-(\d+))", "inode table"},        {R"(Free blocks: (\d+)(?:-(\d+))?)", ""}};
    for (const std::string& line : Lines(dump)) {
      if (!line.starts_with("  ")) continue;  // the groups' lines, not the superblock's counts
      for (const auto& [pattern, ours] : kAreas) {
        if (!std::regex_search(line, m, std::regex(pattern))) continue;
        expected.emplace_back(std::stoull(m[1]), ours);
        if (m[2].matched) expected.emplace_back(std::stoull(m[2]), ours);
      }
    }
    // Files by their data blocks, in one debugfs run.
    const fs::path commands = fs::path(::testing::TempDir()) / "ext-blocks.txt";
    {
      std::ofstream out(commands);
      for (const int inode : {2, 8, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 30, 100, 3000}) out << "blocks <" << inode << ">\n";
    }
    std::vector<uint64_t> fileBlocks;
    for (const std::string& line : Lines(testing::Run({debugfs, "-f", commands.string(), path}).Out)) {
      if (line.empty() || line.find_first_not_of("0123456789 ") != std::string::npos) continue;
      std::istringstream numbers(line);
      std::vector<uint64_t> blocks;
      for (uint64_t b = 0; numbers >> b;) blocks.push_back(b);
      // A fast symlink's target read as block numbers lies past the volume.
      if (blocks.empty() || blocks.back() >= blockCount) continue;
      fileBlocks.push_back(blocks.front());
      fileBlocks.push_back(blocks.back());
    }
    ASSERT_GE(fileBlocks.size(), 10u);
    std::string icheck = "icheck";
    for (const uint64_t b : fileBlocks) icheck += " " + std::to_string(b);
    std::map<uint64_t, std::string> inodeOf;
    std::string ncheck = "ncheck";
    for (const std::string& line : Lines(testing::Run({debugfs, "-R", icheck, path}).Out)) {
      if (std::regex_match(line, m, std::regex(R"((\d+)\t(\d+))"))) {
        inodeOf[std::stoull(m[1])] = m[2];
        ncheck += " " + m[2].str();
      }
    }
    std::multimap<std::string, std::string> names = {{"2", "/"}, {"8", "journal"}};
    for (const std::string& line : Lines(testing::Run({debugfs, "-R", ncheck, path}).Out)) {
      if (std::regex_match(line, m, std::regex(R"((\d+)\t/*(.*))"))) names.emplace(m[1], "/" + m[2].str());
    }
    std::vector<std::string> args = {"owner", path};
    for (const uint64_t b : fileBlocks) args.push_back(std::to_string(b * perBlock));
    for (const auto& [block, ours] : expected) args.push_back(std::to_string(block * perBlock + perBlock - 1));
    const CommandResult result = RunCli(args);
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::vector<std::string> lines = Lines(result.Out);
    ASSERT_EQ(lines.size(), args.size() - 2);
    for (size_t i = 0; i < fileBlocks.size(); ++i) {
      const auto [first, end] = names.equal_range(inodeOf[fileBlocks[i]]);
      bool named = inodeOf[fileBlocks[i]].empty() && FreeButDeleted(lines[i]);
      for (auto it = first; it != end; ++it) named = named || Ours(lines[i]) == it->second;
      EXPECT_TRUE(named) << lines[i] << ": icheck says inode " << inodeOf[fileBlocks[i]];
    }
    for (size_t i = 0; i < expected.size(); ++i) {
      const std::string ours = Ours(lines[fileBlocks.size() + i]);
      EXPECT_TRUE(expected[i].second.empty() ? FreeButDeleted(lines[fileBlocks.size() + i]) : ours.starts_with(expected[i].second))
          << lines[fileBlocks.size() + i] << ": dumpe2fs says " << (expected[i].second.empty() ? "free" : expected[i].second);
    }
  }
}

// Blocks the bitmaps mark in use but nothing reaches: debugfs marks free blocks (setb)
// and wipes a file's inode (clri) so that its blocks stay marked. Exactly those blocks
// are "allocated, no file" (testb: in use; icheck: no inode), every other block keeps
// its owner; a new volume whose quota files, orphan file and multiple-mount protection
// block stand in no folder has no such block.
TEST(OwnershipExtTest, BlocksInUseThatNothingReachesAreLost) {
  setenv("LC_ALL", "C.UTF-8", 1);
  const std::string debugfs = fs::exists("/sbin/debugfs") ? "/sbin/debugfs" : "debugfs";
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-ext-lost-" + std::to_string(getpid()));
  fs::create_directories(dir);
  // One sector of each block, the block's last.
  const auto sweep = [](const std::string& image, uint64_t perBlock) {
    std::vector<std::string> args = {"owner", image};
    for (uint64_t b = 0; b < fs::file_size(image) / 512 / perBlock; ++b) args.push_back(std::to_string(b * perBlock + perBlock - 1));
    const CommandResult result = RunCli(args);
    EXPECT_EQ(result.Status, 0) << result.Err;
    return Lines(result.Out);
  };
  for (const char* name : {"ext2.img", "ext4.img"}) {
    SCOPED_TRACE(name);
    if (!fs::exists(SamplePath(name))) GTEST_SKIP() << name << " was not made here (see make-samples-ext)";
    const std::string image = (dir / name).string();
    fs::copy_file(SamplePath(name), image, fs::copy_options::overwrite_existing);
    const std::string dump = testing::Run({"dumpe2fs", image}).Out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(Block size:\s+(\d+))")));
    const uint64_t perBlock = std::stoull(m[1]) / 512;
    // Four free blocks of group 0 (its bitmap is on disk, not left uninitialised): the
    // middle two are marked.
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(\n  Free blocks: ([^\n]*))")));
    uint64_t marked = 0;
    const std::string ranges = m[1];
    const std::regex range(R"((\d+)-(\d+))");
    for (auto it = std::sregex_iterator(ranges.begin(), ranges.end(), range);
         it != std::sregex_iterator() && marked == 0; ++it) {
      if (std::stoull((*it)[2]) >= std::stoull((*it)[1]) + 3) marked = std::stoull((*it)[1]);
    }
    ASSERT_NE(marked, 0u) << ranges;
    std::vector<uint64_t> lost = {marked + 1, marked + 2};
    std::istringstream fileBlocks(testing::Run({debugfs, "-R", "blocks \"/Quarterly report.txt\"", image}).Out);
    for (uint64_t b = 0; fileBlocks >> b;) lost.push_back(b);
    ASSERT_GE(lost.size(), 3u);
    const std::vector<std::string> before = sweep(image, perBlock);
    ASSERT_EQ(testing::Run({debugfs, "-w", "-R", "setb " + std::to_string(marked + 1) + " 2", image}).Status, 0);
    ASSERT_EQ(testing::Run({debugfs, "-w", "-R", "clri \"/Quarterly report.txt\"", image}).Status, 0);
    std::string icheck = "icheck";
    for (const uint64_t b : lost) icheck += " " + std::to_string(b);
    for (const std::string& line : Lines(testing::Run({debugfs, "-R", icheck, image}).Out)) {
      if (std::regex_match(line, m, std::regex(R"(\d+\t(.*))"))) {
        EXPECT_EQ(m[1], "<block not found>") << line;
      }
    }
    const std::vector<std::string> after = sweep(image, perBlock);
    ASSERT_EQ(after.size(), before.size());
    // testb refuses block 0 (on a volume of 1 KiB blocks it stands before the groups);
    // free by testb is compared in group 0 only, whose bitmap is never left to be made
    // up (debugfs makes up less metadata for such a group than it holds).
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(First block:\s+(\d+))")));
    const uint64_t firstBlock = std::max<uint64_t>(1, std::stoull(m[1]));
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(Blocks per group:\s+(\d+))")));
    const uint64_t groupEnd = std::stoull(m[1]);
    std::vector<bool> inUse(after.size());
    const std::string testb = "testb " + std::to_string(firstBlock) + " " + std::to_string(after.size() - firstBlock);
    for (const std::string& line : Lines(testing::Run({debugfs, "-R", testb, image}).Out)) {
      if (std::regex_match(line, m, std::regex(R"(Block (\d+) marked in use)")) && std::stoull(m[1]) < inUse.size()) {
        inUse[std::stoull(m[1])] = true;
      }
    }
    for (uint64_t b = 0; b < after.size(); ++b) {
      SCOPED_TRACE("block " + std::to_string(b));
      if (std::find(lost.begin(), lost.end(), b) != lost.end()) {
        EXPECT_TRUE(inUse[b]);
        EXPECT_EQ(after[b], std::to_string(b * perBlock + perBlock - 1) + "  allocated, no file");
      } else {
        EXPECT_EQ(after[b], before[b]);
        if (!inUse[b] && b >= firstBlock && b < groupEnd) {
          EXPECT_TRUE(FreeButDeleted(after[b])) << after[b];
        }
      }
    }
    EXPECT_TRUE(FreeButDeleted(after[marked]));  // the free block before the marked ones stays free
    EXPECT_TRUE(FreeButDeleted(after[marked + 3]));
  }
  const std::string fresh = (dir / "hidden.img").string();
  fs::create_directories(dir / "files");
  std::ofstream(dir / "files" / "a.txt") << "a\n";
  const CommandResult made = testing::Run({"mkfs.ext4", "-q", "-F", "-O", "orphan_file,quota,project,mmp", "-E",
                                           "quotatype=usrquota:grpquota:prjquota", "-d", (dir / "files").string(), fresh, "8M"});
  if (made.Status != 0) GTEST_SKIP() << "this mkfs.ext4 makes no orphan file or project quota: " << made.Err;
  for (const std::string& line : sweep(fresh, 2)) {
    EXPECT_EQ(line.find("allocated, no file"), std::string::npos) << line;
    EXPECT_EQ(line.find("not in any cluster"), std::string::npos) << line;
  }
  fs::remove_all(dir);
}

// ext4 with ea_inode and quota: values too large for the inode stand in inodes of their
// own that no folder names (debugfs writes one through /a.txt's attribute block, one in
// lost+found's inode); they are named by the inode whose value they hold, the quota files
// (inodes 3 and 4) by their kind, and no block of the volume is lost.
TEST(OwnershipExtTest, ValueInodesAndQuotaFilesAreNamed) {
  setenv("LC_ALL", "C.UTF-8", 1);
  const std::string debugfs = fs::exists("/sbin/debugfs") ? "/sbin/debugfs" : "debugfs";
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-ext-ea-" + std::to_string(getpid()));
  fs::create_directories(dir / "files");
  std::ofstream(dir / "files" / "a.txt") << "a\n";
  const std::string image = (dir / "ea.img").string();
  const CommandResult made = testing::Run({"mkfs.ext4", "-q", "-F", "-b", "1024", "-I", "256", "-O", "ea_inode,quota", "-E",
                                           "quotatype=usrquota:grpquota", "-d", (dir / "files").string(), image, "8M"});
  if (made.Status != 0) GTEST_SKIP() << "this mkfs.ext4 makes no ea_inode volume: " << made.Err;
  std::ofstream(dir / "value") << std::string(3000, 'v');
  std::ofstream(dir / "commands") << "ea_set /a.txt user.fill " << std::string(64, 'f') << "\n"
                                  << "ea_set -f " << (dir / "value").string() << " /a.txt user.big\n"
                                  << "ea_set -f " << (dir / "value").string() << " /lost+found user.other\n";
  ASSERT_EQ(testing::Run({debugfs, "-w", "-f", (dir / "commands").string(), image}).Status, 0);
  EXPECT_TRUE(std::regex_search(testing::Run({debugfs, "-R", "stat /a.txt", image}).Out, std::regex("File ACL: [1-9]")));
  EXPECT_NE(testing::Run({debugfs, "-R", "stat /lost+found", image}).Out.find("File ACL: 0\n"), std::string::npos);
  const std::pair<int, std::string> kOwners[] = {{3, "user quota  (inode 3, byte 0 of the file)"},
                                                 {4, "group quota  (inode 4, byte 0 of the file)"},
                                                 {13, "extended attribute value of inode 12  (inode 13, byte 0 of the value)"},
                                                 {14, "extended attribute value of inode 11  (inode 14, byte 0 of the value)"}};
  std::vector<std::string> args = {"owner", image};
  for (const auto& [inode, ours] : kOwners) {
    const std::string blocks = testing::Run({debugfs, "-R", "blocks <" + std::to_string(inode) + ">", image}).Out;
    ASSERT_FALSE(blocks.empty()) << "inode " << inode;
    args.push_back(std::to_string(std::stoull(blocks) * 2));
    const std::string first = blocks.substr(0, blocks.find(' '));
    EXPECT_NE(testing::Run({debugfs, "-R", "icheck " + first, image}).Out.find(first + "\t" + std::to_string(inode) + "\n"),
              std::string::npos);
    std::smatch m;
    const std::string stat = testing::Run({debugfs, "-R", "stat <" + std::to_string(inode) + ">", image}).Out;
    ASSERT_TRUE(std::regex_search(stat, m, std::regex(R"(Flags: 0x([0-9a-f]+))")));
    EXPECT_EQ((std::stoul(m[1], nullptr, 16) & 0x200000) != 0, inode > 4) << "EA_INODE flag of inode " << inode;
  }
  const size_t named = args.size() - 2;
  for (uint64_t b = 0; b < 8192; ++b) args.push_back(std::to_string(b * 2 + 1));
  const CommandResult result = RunCli(args);
  ASSERT_EQ(result.Status, 0) << result.Err;
  const std::vector<std::string> lines = Lines(result.Out);
  ASSERT_EQ(lines.size(), args.size() - 2);
  for (size_t i = 0; i < named; ++i) EXPECT_EQ(lines[i], args[i + 2] + "  " + kOwners[i].second);
  for (const std::string& line : lines) EXPECT_EQ(line.find("allocated, no file"), std::string::npos) << line;
  fs::remove_all(dir);
}

// A rescue map whose bad areas lie under three files and one directory of the FAT16
// sample (from istat's sectors): damaged lists exactly those, with the bad bytes within
// each file's size and the entry of the directory's file that stands in its bad bytes,
// and a map spoilt in each way a map can be gives the same list and names the fault in
// one line on stderr.
TEST(DamagedTest, ListsTheFilesUnderTheBadAreas) {
  const std::string path = SamplePath("fat16.img");
  constexpr uint64_t kSector = 512;
  const uint64_t volumeBytes = 32768 * kSector;
  const uint64_t readme = Ends(path, "4", false).at(0);     // 26 bytes: one sector, mostly slack
  const uint64_t report = Ends(path, "7", false).at(0);     // 720 bytes
  const uint64_t docs = Ends(path, "11", false).at(0);      // the directory
  const std::vector<uint64_t> big = Ends(path, "15", false);
  const uint64_t bigMiddle = (big.at(0) + big.at(1)) / 2;
  // Unfinished areas of every kind: bad, non-trimmed, non-scraped, non-tried.
  const std::vector<Area> bad = {{readme * kSector, kSector, '-'},
                                 {report * kSector + 100, 200, '*'},
                                 {docs * kSector, 2 * kSector, '/'},
                                 {bigMiddle * kSector, 3 * kSector, '?'}};
  const std::vector<Area> areas = Covering(bad, volumeBytes);
  const auto mapText = MapText;
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-damaged-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const auto damaged = [&](const std::string& text, std::vector<std::string> options = {}) {
    const std::string map = (dir / "map").string();
    std::ofstream(map, std::ios::binary) << text;
    std::vector<std::string> args = {"damaged"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {options.empty() ? path : SamplePath("disk-mbr.img"), map});
    return RunCli(args);
  };
  const std::string expected =
      "/README.TXT  (first cluster 2)  size 26  bad 26\n"
      "/Quarterly report.txt  (first cluster 3)  size 720  bad 200\n"
      "/DOCS  (directory, first cluster 5)  bad 1024\n"
      "  entry at byte 64: /DOCS/notes about disks.txt  size 23  (metadata lost; the data lies elsewhere)\n"
      "/BIG.DAT  (first cluster 8)  size 938895  bad 1536\n"
      "3272 bad bytes in the volume\n";

  const CommandResult sound = damaged(mapText(areas));
  EXPECT_EQ(sound.Status, 0) << sound.Err;
  EXPECT_EQ(sound.Out, expected);
  EXPECT_EQ(sound.Err, "");

  std::vector<Area> shuffled = areas;
  std::reverse(shuffled.begin(), shuffled.end());
  const CommandResult unsorted = damaged(mapText(shuffled));
  EXPECT_EQ(unsorted.Out, expected);
  EXPECT_EQ(unsorted.Err, "korvalane-cli: map: the map's areas are not in order; they were sorted\n");

  std::vector<Area> overlapping = areas;
  // Finished over a bad area (in order of positions): the bad one holds.
  overlapping.insert(overlapping.begin() + 1, {0, readme * kSector + kSector, '+'});
  const CommandResult overlapped = damaged(mapText(overlapping));
  EXPECT_EQ(overlapped.Out, expected);
  EXPECT_EQ(overlapped.Err,
            "korvalane-cli: map: the map's areas overlap; where they do, the less finished state was taken\n");

  // Cut off in its last line, before the directory: what follows is not looked at.
  std::string cut = mapText(std::vector<Area>(areas.begin(), areas.begin() + 5));
  cut.resize(cut.size() - 4);
  const CommandResult truncated = damaged(cut);
  EXPECT_EQ(truncated.Out, "/README.TXT  (first cluster 2)  size 26  bad 26\n"
                           "/Quarterly report.txt  (first cluster 3)  size 720  bad 200\n"
                           "712 bad bytes in the volume\n");
  EXPECT_EQ(Lines(truncated.Err).size(), 2u) << truncated.Err;
  EXPECT_NE(truncated.Err.find("the map's last line is cut off (line 7)"), std::string::npos) << truncated.Err;

  std::vector<Area> longer = areas;
  longer.push_back({volumeBytes, 4096, '-'});
  const CommandResult other = damaged(mapText(longer));
  EXPECT_EQ(other.Out, expected);
  EXPECT_NE(other.Err.find("past the end of the volume"), std::string::npos) << other.Err;

  EXPECT_EQ(damaged("0x0 + 1\nnonsense here\n0x0 0x10 +\n").Err,
            "korvalane-cli: the map '" + (dir / "map").string() + "': line 2 is not a mapfile's area line (position, size, one of ?*/-+)\n");

  // The same volume as partition 1 of the MBR disk, with a map of the whole disk.
  constexpr uint64_t kPartition = 2048 * 512;
  std::vector<Area> disk = {{0, kPartition, '+'}};
  for (const Area& area : areas) disk.push_back({kPartition + area.Position, area.Size, area.Status});
  disk.push_back({kPartition + volumeBytes, 64 * 1024 * 1024 - kPartition - volumeBytes, '+'});
  const CommandResult partition = damaged(mapText(disk), {"--partition", "1"});
  EXPECT_EQ(partition.Status, 0) << partition.Err;
  EXPECT_EQ(partition.Err, "");
  EXPECT_NE(partition.Out.find("/README.TXT  (first cluster 2)  size 26  bad 26\n"), std::string::npos) << partition.Out;
  fs::remove_all(dir);
}

// A mapfile of `image` (in the tests' scratch folder) whose one bad area is the sector of
// 512 bytes at `byte`.
std::string OneBadSectorMap(const std::string& image, uint64_t byte) {
  const std::string map = (fs::path(::testing::TempDir()) / ("korvalane-one-bad-" + std::to_string(getpid()) + ".map")).string();
  std::ofstream(map) << MapText(Covering({{byte, 512, '-'}}, fs::file_size(image)));
  return map;
}

// The value of a jq filter over a JSON document, compact, without the trailing newline.
std::string Jq(const std::string& json, const std::string& filter) {
  const fs::path file = fs::path(::testing::TempDir()) / ("korvalane-owner-json-" + std::to_string(getpid()));
  std::ofstream(file) << json;
  std::string out = testing::Run({"jq", "-c", filter, file.string()}).Out;
  fs::remove(file);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

std::string Debugfs(const std::string& image, const std::string& command) {
  const std::string debugfs = fs::exists("/sbin/debugfs") ? "/sbin/debugfs" : "debugfs";
  return testing::Run({debugfs, "-R", command, image}).Out;
}

// owner answers every sector it can, in the order asked, names each number it cannot
// answer on stderr in the same order (not a number, past the volume), and ends with
// status 2 when there was one; the answers are those each sector gets asked alone.
TEST(OwnerTest, EveryGoodSectorIsAnsweredAndEachBadOneNamed) {
  const std::string path = SamplePath("fat16.img");  // 32768 sectors
  const auto alone = [&](const std::string& sector) { return RunCli({"owner", path, sector}).Out; };
  struct Case {
    std::vector<std::string> Sectors;
    std::vector<std::string> Answered;
    std::string Err;
  };
  const std::string past = "korvalane-cli: sector 32768 is past the volume's last sector (32767)\n";
  const Case kCases[] = {
      {{"100", "32768", "104"}, {"100", "104"}, past},
      {{"twelve", "100", "99999999999999999999", "32767"},
       {"100", "32767"},
       "korvalane-cli: 'twelve' is not a sector number\nkorvalane-cli: '99999999999999999999' is not a sector number\n"},
      {{"32768", "0x7FFF", "40000"}, {"0x7FFF"}, past + "korvalane-cli: sector 40000 is past the volume's last sector (32767)\n"},
      {{"32768"}, {}, past},
      {{"nonsense"}, {}, "korvalane-cli: 'nonsense' is not a sector number\n"},
  };
  for (const Case& c : kCases) {
    std::vector<std::string> args = {"owner", path};
    args.insert(args.end(), c.Sectors.begin(), c.Sectors.end());
    SCOPED_TRACE(args.back());
    const CommandResult result = RunCli(args);
    EXPECT_EQ(result.Status, 2);
    EXPECT_EQ(result.Err, c.Err);
    std::string expected;
    for (const std::string& sector : c.Answered) expected += alone(sector);
    EXPECT_EQ(result.Out, expected);
  }
  EXPECT_EQ(RunCli({"owner", path, "100", "104"}).Status, 0);

  const CommandResult json = RunCli({"owner", "--json", path, "100", "32768", "x"});
  EXPECT_EQ(json.Status, 2);
  EXPECT_EQ(json.Err, past + "korvalane-cli: 'x' is not a sector number\n");
  EXPECT_EQ(Jq(json.Out, "[.sectors[].sector]"), "[100]");
  EXPECT_EQ(Jq(json.Out, ".sectors[0].text"), Jq(RunCli({"owner", "--json", path, "100"}).Out, ".sectors[0].text"));
  EXPECT_EQ(Jq(json.Out, "[.refused[].argument]"), R"(["32768","x"])");
  EXPECT_EQ(Jq(json.Out, ".refused[1].reason"), R"("'x' is not a sector number")");
}

// istat's facts of an NTFS file: its unnamed $DATA's size and whether it is resident.
struct NtfsData {
  uint64_t Size = 0;
  bool Resident = false;
};
NtfsData DataOf(const std::string& image, const std::string& record) {
  std::smatch m;
  const std::string out = Tsk({"istat", image, record});
  EXPECT_TRUE(std::regex_search(out, m, std::regex(R"(Type: \$DATA \(128-\d+\)\s+Name: N/A\s+(Resident|Non-Resident)[^\n]*size: (\d+))")))
      << out;
  return {m.size() > 2 ? std::stoull(m[2]) : 0, m.size() > 2 && m[1] == "Resident"};
}

// A bad sector inside $MFT holds MFT records of files: damaged names each record's file
// under $MFT (ifind -n and istat as the oracle for the record, its size and whether its
// data stands in the record), in text and JSON. On a rescued copy, where the bad sectors
// are zeros, the records cannot be read: $MFT's bitmap says they were in use, and the root
// folder's index still names them.
TEST(DamagedInMetadataTest, MftRecordsInTheBadBytesNameTheirFiles) {
  const std::string path = SamplePath("ntfs.img");
  if (!fs::exists(path)) GTEST_SKIP() << "ntfs.img was not made here (see make-samples)";
  const uint64_t volumeBytes = fs::file_size(path);
  const std::vector<uint64_t> mft = Units(path, "0-128-1", true);  // $MFT's clusters (4 KiB), in order
  ASSERT_FALSE(mft.empty());
  const NtfsData mftData = DataOf(path, "0");
  struct File {
    std::string Path;
    std::string Record;
    NtfsData Data;
    uint64_t Sector;  // the first sector of its record: 1 KiB records of 512-byte sectors
  };
  std::vector<File> files;
  for (const std::string name : {"/README.TXT", "/BIG.DAT"}) {
    File file{name, Lines(Tsk({"ifind", "-n", name, path})).at(0), {}, 0};
    file.Data = DataOf(path, file.Record);
    const uint64_t byte = std::stoull(file.Record) * 1024;
    file.Sector = mft.at(byte / 4096) * 8 + byte % 4096 / 512;
    files.push_back(file);
  }
  ASSERT_TRUE(files[0].Data.Resident);
  ASSERT_FALSE(files[1].Data.Resident);
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-damaged-mft-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const std::string map = (dir / "map").string();
  std::ofstream(map) << MapText(Covering({{files[0].Sector * 512, 512, '-'}, {files[1].Sector * 512, 512, '*'}}, volumeBytes));

  std::string expected = "file-system metadata: $MFT  (MFT record 0)  size " + std::to_string(mftData.Size) + "  bad 1024\n";
  for (const File& file : files) {
    expected += "  MFT record " + file.Record + ": " + file.Path + "  size " + std::to_string(file.Data.Size) +
                (file.Data.Resident ? "  (metadata lost, with the data it holds)\n" : "  (metadata lost; the data lies elsewhere)\n");
  }
  expected += "1024 bad bytes in the volume\n";
  const CommandResult text = RunCli({"damaged", path, map});
  EXPECT_EQ(text.Status, 0) << text.Err;
  EXPECT_EQ(text.Out, expected);
  const CommandResult json = RunCli({"damaged", "--json", path, map});
  EXPECT_EQ(Jq(json.Out, "[.owners[0].records[] | [.mftRecord, .kind, .name, .size, .data]]"),
            "[[" + files[0].Record + ",\"file\",\"/README.TXT\"," + std::to_string(files[0].Data.Size) + ",\"inRecord\"],[" +
                files[1].Record + ",\"file\",\"/BIG.DAT\"," + std::to_string(files[1].Data.Size) + ",\"elsewhere\"]]");

  // The rescued copy: zeros where the sectors failed.
  const fs::path copy = dir / "rescued.img";
  fs::copy_file(path, copy);
  {
    std::fstream out(copy, std::ios::binary | std::ios::in | std::ios::out);
    const std::string zeros(512, '\0');
    for (const File& file : files) {
      out.seekp(static_cast<std::streamoff>(file.Sector * 512));
      out.write(zeros.data(), 512);
    }
  }
  const CommandResult rescued = RunCli({"damaged", copy.string(), map});
  EXPECT_EQ(rescued.Status, 0) << rescued.Err;
  const std::vector<std::string> lines = Lines(rescued.Out);
  ASSERT_EQ(lines.size(), 4u) << rescued.Out;
  EXPECT_EQ(lines[0], "file-system metadata: $MFT  (MFT record 0)  size " + std::to_string(mftData.Size) + "  bad 1024");
  for (size_t i = 0; i < files.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i + 1], std::regex("  MFT record " + files[i].Record + ": " + files[i].Path +
                                                           R"((  size \d+)?  \(metadata lost, and with it where the data lies; named by its folder's index\))")))
        << lines[i + 1];
  }
  fs::remove_all(dir);
}

// A bad sector of an exFAT root directory holds the entries of its files: damaged names
// each entry set with bytes in it under the directory, deleted ones too, and one that
// starts in the sector before but reaches into it. fls is the oracle: its inode numbers
// count the root's 32-byte slots from the volume label's, and entry sets lie one after
// another.
TEST(DamagedInMetadataTest, DirectoryEntriesInTheBadBytesNameTheirFiles) {
  const std::string path = SamplePath("exfat.img");
  if (!fs::exists(path)) GTEST_SKIP() << "exfat.img was not made here";
  std::smatch m;
  const std::string fsstat = Tsk({"fsstat", path});
  ASSERT_TRUE(std::regex_search(fsstat, m, std::regex(R"(\*\*\* Root Directory: (\d+))")));
  const uint64_t rootSector = std::stoull(m[1]);
  // The root's entries: (inode, our name).
  std::vector<std::pair<uint64_t, std::string>> entries;
  uint64_t label = 0;
  for (const std::string& line : Lines(Tsk({"fls", "-p", path}))) {
    if (!std::regex_match(line, m, std::regex(R"([-a-zA-Z]/[-a-zA-Z] (\* )?(\d+):\t(.*))"))) continue;
    const std::string name = m[3];
    if (name.find("(Volume Label Entry)") != std::string::npos) label = std::stoull(m[2]);
    if (name.find("(Volume Label Entry)") != std::string::npos || name.starts_with("$MBR") || name.starts_with("$FAT") ||
        name == "$OrphanFiles") {
      continue;
    }
    entries.emplace_back(std::stoull(m[2]), name == "$ALLOC_BITMAP"   ? "allocation bitmap"
                                            : name == "$UPCASE_TABLE" ? "up-case table"
                                                                      : (m[1].matched ? "deleted /" : "/") + name);
  }
  ASSERT_NE(label, 0u);
  for (const uint64_t badSlot : {0, 16}) {  // the root's first and second sectors
    SCOPED_TRACE("slot " + std::to_string(badSlot));
    std::vector<std::string> expected;
    for (size_t i = 0; i < entries.size(); ++i) {
      const uint64_t slot = entries[i].first - label;
      const uint64_t end = i + 1 < entries.size() ? entries[i + 1].first - label : slot + 1;
      if (slot < badSlot + 16 && end > badSlot) expected.push_back("  entry at byte " + std::to_string(slot * 32) + ": " + entries[i].second + "  ");
    }
    ASSERT_GE(expected.size(), 3u);
    const std::string map = OneBadSectorMap(path, (rootSector + badSlot / 16) * 512);
    const CommandResult result = RunCli({"damaged", path, map});
    EXPECT_EQ(result.Status, 0) << result.Err;
    const std::vector<std::string> lines = Lines(result.Out);
    ASSERT_EQ(lines.size(), expected.size() + 2) << result.Out;
    EXPECT_TRUE(lines[0].starts_with("/  (root directory, first cluster ")) << lines[0];
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(lines[i + 1].starts_with(expected[i])) << lines[i + 1];
  }
}

// ext keeps a file's name in its folder's entry, the rest in its inode: a bad sector of a
// folder's block loses the names of the files whose entries stand in it, and damaged says
// so for each (debugfs ls -l as the oracle: the root's entries all stand in its first
// sector on these 1 KiB-block samples; the deleted entry is not named).
TEST(DamagedInMetadataTest, ExtFolderEntriesInTheBadBytesNameTheirFiles) {
  for (const char* name : {"ext2.img", "ext3.img"}) {
    SCOPED_TRACE(name);
    const std::string path = SamplePath(name);
    if (!fs::exists(path)) GTEST_SKIP() << name << " was not made here (see make-samples-ext)";
    const uint64_t root = std::stoull(Debugfs(path, "blocks /"));
    std::vector<std::string> expected;
    std::smatch m;
    for (const std::string& line : Lines(Debugfs(path, "ls -l /"))) {
      if (!std::regex_match(line, m, std::regex(R"( *(\d+) +(\d+) +\(\d+\) +\d+ +\d+ +(\d+) +\S+ \S+ (.*))"))) continue;
      std::string entry = m[4];
      if (entry == "." || entry == "..") continue;
      // debugfs writes bytes past ASCII as \xHH.
      for (size_t at; (at = entry.find("\\x")) != std::string::npos;) {
        entry.replace(at, 4, 1, static_cast<char>(std::stoi(entry.substr(at + 2, 2), nullptr, 16)));
      }
      expected.push_back(": /" + entry + (m[2].str().starts_with("4") ? "  directory" : "  size " + m[3].str()) +
                         "  (its name lost; its inode and data are not)");
    }
    ASSERT_GE(expected.size(), 5u);
    const std::string map = OneBadSectorMap(path, root * 1024);
    const CommandResult result = RunCli({"damaged", path, map});
    EXPECT_EQ(result.Status, 0) << result.Err;
    const std::vector<std::string> lines = Lines(result.Out);
    ASSERT_EQ(lines.size(), expected.size() + 2) << result.Out;
    EXPECT_EQ(lines[0], "/  (inode 2)  bad 512");
    for (size_t i = 0; i < expected.size(); ++i) {
      EXPECT_TRUE(std::regex_match(lines[i + 1], m, std::regex(R"(  entry at byte (\d+)(: .*))"))) << lines[i + 1];
      EXPECT_EQ(m[2], expected[i]);
    }
    const CommandResult json = RunCli({"damaged", "--json", path, map});
    EXPECT_EQ(Jq(json.Out, "[.owners[0].records[] | select(.name == \"/DOCS\") | [.kind, .nameOnly]]"), R"([["directory",true]])");
  }
}

// debugfs's facts of an inode: where imap places it, and what stat says of it.
struct ExtInode {
  uint64_t Byte = 0;  // on the volume
  std::string Type;   // "regular", "directory", "symlink"
  uint64_t Size = 0;
  bool HasBlocks = false;
};
ExtInode InodeOf(const std::string& image, uint64_t inode, uint64_t blockBytes) {
  ExtInode facts;
  std::smatch m;
  const std::string imap = Debugfs(image, "imap <" + std::to_string(inode) + ">");
  if (std::regex_search(imap, m, std::regex(R"(located at block (\d+), offset 0x([0-9a-f]+))"))) {
    facts.Byte = std::stoull(m[1]) * blockBytes + std::stoull(m[2], nullptr, 16);
  }
  const std::string stat = Debugfs(image, "stat <" + std::to_string(inode) + ">");
  if (std::regex_search(stat, m, std::regex(R"(Type: (\w+))"))) facts.Type = m[1];
  if (std::regex_search(stat, m, std::regex(R"(Size: (\d+))"))) facts.Size = std::stoull(m[1]);
  facts.HasBlocks = std::regex_search(stat, std::regex(R"(\n(BLOCKS|EXTENTS):\n\(?[0-9])"));
  return facts;
}

// A bad sector of an inode table holds inodes: damaged names each inode the sector holds
// whose file a folder names (debugfs imap, ncheck and stat as the oracle), and says that
// its metadata is lost and where its data is; on a rescued copy, where the sector is
// zeros, the folder entries still name the files. ext2 with 128-byte inodes, ext4 with
// 256 and inline data.
TEST(DamagedInMetadataTest, InodesInTheBadBytesNameTheirFiles) {
  for (const char* name : {"ext2.img", "ext4.img"}) {
    SCOPED_TRACE(name);
    const std::string path = SamplePath(name);
    if (!fs::exists(path)) GTEST_SKIP() << name << " was not made here (see make-samples-ext)";
    std::smatch m;
    const std::string dump = testing::Run({"dumpe2fs", "-h", path}).Out;
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(Block size:\s+(\d+))")));
    const uint64_t blockBytes = std::stoull(m[1]);
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(Inode size:\s+(\d+))")));
    const uint64_t inodeBytes = std::stoull(m[1]);
    const uint64_t target = std::stoull(Lines(Debugfs(path, "stat \"/DOCS/notes about disks.txt\"")).at(0).substr(7));
    const uint64_t sector = InodeOf(path, target, blockBytes).Byte / 512;
    // The inodes of that sector, as the oracle knows them.
    const uint64_t firstInode = target - (InodeOf(path, target, blockBytes).Byte % 512) / inodeBytes;
    const uint64_t endInode = firstInode + 512 / inodeBytes;
    struct Named {
      uint64_t Inode;
      std::string Path;
      ExtInode Facts;
    };
    std::vector<Named> named;
    for (uint64_t inode = firstInode; inode < endInode; ++inode) {
      const std::string ncheck = Debugfs(path, "ncheck " + std::to_string(inode));
      if (!std::regex_search(ncheck, m, std::regex(R"(\n(\d+)\t/*([^\n]*))"))) continue;
      named.push_back({inode, "/" + m[2].str(), InodeOf(path, inode, blockBytes)});
      ASSERT_EQ(named.back().Facts.Byte / 512, sector);
    }
    ASSERT_GE(named.size(), 2u) << "the sector should hold more than one file's inode";
    std::string expected;
    for (const Named& file : named) {
      expected += "  inode " + std::to_string(file.Inode) + ": " + file.Path +
                  (file.Facts.Type == "directory" ? "  directory" : "  size " + std::to_string(file.Facts.Size)) +
                  (file.Facts.HasBlocks     ? "  (metadata lost; the data lies elsewhere)\n"
                   : file.Facts.Size > 0 ? "  (metadata lost, with the data it holds)\n"
                                         : "  (metadata lost; it has no data)\n");
    }
    const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-damaged-inode-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string map = OneBadSectorMap(path, sector * 512);
    const CommandResult text = RunCli({"damaged", path, map});
    EXPECT_EQ(text.Status, 0) << text.Err;
    const std::vector<std::string> lines = Lines(text.Out);
    ASSERT_GE(lines.size(), 2u) << text.Out;
    EXPECT_TRUE(lines[0].starts_with("inode table (group 0, inodes 1-")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with("  bad 512")) << lines[0];
    EXPECT_EQ(text.Out.substr(text.Out.find('\n') + 1), expected + "512 bad bytes in the volume\n");
    const CommandResult json = RunCli({"damaged", "--json", path, map});
    const ExtInode facts = InodeOf(path, target, blockBytes);
    EXPECT_EQ(Jq(json.Out, "[.owners[0].records[] | select(.inode == " + std::to_string(target) + ") | [.kind, .name, .data]]"),
              std::string(R"([["file","/DOCS/notes about disks.txt",")") + (facts.HasBlocks ? "elsewhere" : "inRecord") + "\"]]");

    // The rescued copy, zeros in the bad sector: the folders' entries still name the files,
    // but for those in a folder whose own inode was lost with them.
    const fs::path copy = dir / "rescued.img";
    fs::copy_file(path, copy);
    {
      std::fstream out(copy, std::ios::binary | std::ios::in | std::ios::out);
      out.seekp(static_cast<std::streamoff>(sector * 512));
      out.write(std::string(512, '\0').data(), 512);
    }
    std::string lost;
    for (const Named& file : named) {
      const std::string folder = file.Path.substr(0, std::max<size_t>(1, file.Path.rfind('/')));
      const uint64_t folderInode = std::stoull(Lines(Debugfs(path, "stat \"" + folder + "\"")).at(0).substr(7));
      lost += "  inode " + std::to_string(file.Inode) + ": " +
              (folderInode >= firstInode && folderInode < endInode
                   ? "in use, but nothing that can be read names its file\n"
                   : file.Path + (file.Facts.Type == "directory" ? "  directory" : "") +
                         "  (metadata lost, and with it where the data lies)\n");
    }
    const CommandResult rescued = RunCli({"damaged", copy.string(), map});
    EXPECT_EQ(rescued.Out.substr(rescued.Out.find('\n') + 1), lost + "512 bad bytes in the volume\n");
    fs::remove_all(dir);
  }
}

// Files deleted by debugfs rm keep their block maps and extents on ext2, ext3 and ext4:
// each deleted inode lsdel lists is named at its first block, by the name its deleted
// folder entry still gives it (fls -d), beside "free" where testb says the block is free
// and after the file now using it where icheck names one.
TEST(OwnershipExtTest, DeletedInodesThatStillPointAtBlocksAreNamed) {
  setenv("LC_ALL", "C.UTF-8", 1);
  for (const char* name : {"ext2.img", "ext3.img", "ext4.img"}) {
    SCOPED_TRACE(name);
    const std::string path = SamplePath(name);
    if (!fs::exists(path)) GTEST_SKIP() << name << " was not made here (see make-samples-ext)";
    std::smatch m;
    const std::string dump = testing::Run({"dumpe2fs", "-h", path}).Out;
    ASSERT_TRUE(std::regex_search(dump, m, std::regex(R"(Block size:\s+(\d+))")));
    const uint64_t perBlock = std::stoull(m[1]) / 512;
    // The names deleted folder entries still give their inodes, by fls (an inode given to
    // another file since is "(realloc)").
    std::map<std::string, std::string> deletedNames;
    for (const std::string& line : Lines(Tsk({"fls", "-d", "-r", "-p", path}))) {
      if (std::regex_match(line, m, std::regex(R"([-a-z]/[-a-z] \* (\d+):\t(.*))"))) deletedNames.emplace(m[1], "/" + m[2].str());
    }
    size_t checked = 0;
    for (const std::string& line : Lines(Debugfs(path, "lsdel"))) {
      if (!std::regex_search(line, m, std::regex(R"(^ *(\d+) +\d+ +\d+ +(\d+) +\d+/ *\d+)"))) continue;
      const std::string inode = m[1];
      const std::string blocks = Debugfs(path, "blocks <" + inode + ">");
      if (blocks.empty() || blocks[0] < '0' || blocks[0] > '9') continue;
      const uint64_t block = std::stoull(blocks);
      const CommandResult result = RunCli({"owner", path, std::to_string(block * perBlock)});
      ASSERT_EQ(result.Status, 0) << result.Err;
      const std::string& ours = result.Out;
      SCOPED_TRACE(ours);
      const auto known = deletedNames.find(inode);
      const std::string deleted = (known != deletedNames.end() ? known->second : "/$OrphanFiles/inode " + inode) +
                                  "  (deleted, inode " + inode + ", byte 0 of the file)";
      EXPECT_NE(ours.find(deleted), std::string::npos) << "lsdel inode " << inode;
      const bool free = Debugfs(path, "testb " + std::to_string(block)).find("not in use") != std::string::npos;
      EXPECT_EQ(ours.ends_with(" | free\n"), free);
      const std::string icheck = Debugfs(path, "icheck " + std::to_string(block));
      if (std::regex_search(icheck, m, std::regex(R"(\n\d+\t(\d+))"))) {
        EXPECT_TRUE(ours.find("(inode " + m[1].str() + ",") < ours.find(deleted)) << "icheck: inode " << m[1];
      }
      ++checked;
    }
    EXPECT_GE(checked, 1u) << "lsdel lists no deleted inode with blocks";
  }
}

// The kernel's truncation clears a deleted file's block map (ext2 and ext3 as the kernel
// mounts them here) or extents (ext4): its blocks stay "free", and nothing is named.
TEST(OwnershipExtTest, BlocksTheKernelFreedStayFree) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting an image needs root";
  setenv("LC_ALL", "C.UTF-8", 1);
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-ext-kernel-" + std::to_string(getpid()));
  fs::create_directories(dir / "mnt");
  for (const char* kind : {"ext2", "ext3", "ext4"}) {
    SCOPED_TRACE(kind);
    const std::string image = (dir / (std::string(kind) + ".img")).string();
    ASSERT_EQ(testing::Run({"mke2fs", "-q", "-F", "-t", kind, "-b", "1024", image, "8M"}).Status, 0);
    const auto mount = [&] { return testing::Run({"mount", "-o", "loop", image, (dir / "mnt").string()}).Status == 0; };
    if (!mount()) {
      fs::remove_all(dir);
      GTEST_SKIP() << "this machine refuses to mount a loop device";
    }
    {
      std::ofstream out(dir / "mnt" / "victim.txt");
      for (int i = 0; i < 30000; ++i) out << i << '\n';
    }
    ASSERT_EQ(testing::Run({"umount", (dir / "mnt").string()}).Status, 0);
    const uint64_t inode = std::stoull(Lines(Debugfs(image, "stat /victim.txt")).at(0).substr(7));
    const std::string blocks = Debugfs(image, "blocks /victim.txt");
    ASSERT_FALSE(blocks.empty());
    ASSERT_TRUE(mount());
    fs::remove(dir / "mnt" / "victim.txt");
    ASSERT_EQ(testing::Run({"umount", (dir / "mnt").string()}).Status, 0);
    EXPECT_FALSE(std::regex_search(Debugfs(image, "stat <" + std::to_string(inode) + ">"), std::regex(R"(\n(BLOCKS|EXTENTS):\n\(?[0-9])")))
        << "the kernel left the deleted inode's map";
    const CommandResult result = RunCli({"owner", image, std::to_string(std::stoull(blocks) * 2)});
    EXPECT_EQ(result.Status, 0) << result.Err;
    EXPECT_EQ(result.Out.substr(result.Out.find("  ") + 2), "free\n");
  }
  fs::remove_all(dir);
}

// A FAT whose chains loop and cross: each fault is named once on stderr, the walk ends,
// and every cluster keeps the first owner that reached it.
TEST(OwnerFaultsTest, LoopsAndCrossLinksAreNamedNotFollowed) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-fat-faults-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path image = dir / "fat16.img";
  fs::copy_file(SamplePath("fat16.img"), image, fs::copy_options::overwrite_existing);
  {
    std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
    char bpb[2];
    file.seekg(14);
    file.read(bpb, 2);
    const uint64_t fat = (static_cast<uint8_t>(bpb[0]) | static_cast<uint8_t>(bpb[1]) << 8) * 512;
    const auto set = [&](uint64_t cluster, uint16_t value) {
      file.seekp(static_cast<std::streamoff>(fat + 2 * cluster));
      const char bytes[2] = {static_cast<char>(value & 0xFF), static_cast<char>(value >> 8)};
      file.write(bytes, 2);
    };
    set(2, 2);  // README.TXT's cluster points at itself
    set(5, 3);  // the DOCS directory runs into Quarterly report.txt's first cluster
  }
  const CommandResult result = RunCli({"owner", image.string(), "100", "104", "116"});
  EXPECT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(result.Err,
            "korvalane-cli: file-system fault: the FAT chain of /README.TXT loops back to cluster 2\n"
            "korvalane-cli: file-system fault: the FAT chain of /DOCS runs into cluster 3, which another file or "
            "directory uses (cross-linked)\n");
  EXPECT_EQ(result.Out,
            "100  /README.TXT  (first cluster 2, byte 0 of the file)\n"
            "104  /Quarterly report.txt  (first cluster 3, byte 0 of the file)\n"
            "116  /DOCS/notes about disks.txt  (first cluster 6, byte 0 of the file)\n");
  fs::remove_all(dir);
}

// An ext2 folder that holds its parent (debugfs links "/" into /DOCS): the loop is named
// once, the walk ends, and the files keep their first paths.
TEST(OwnerFaultsTest, ExtFolderLoopsAreNamedNotFollowed) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-ext-faults-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path image = dir / "ext2.img";
  fs::copy_file(SamplePath("ext2.img"), image, fs::copy_options::overwrite_existing);
  const std::string debugfs = fs::exists("/sbin/debugfs") ? "/sbin/debugfs" : "debugfs";
  ASSERT_EQ(testing::Run({debugfs, "-w", "-R", "ln / /DOCS/up", image.string()}).Status, 0);
  const std::string blocks = testing::Run({debugfs, "-R", "blocks \"/DOCS/notes about disks.txt\"", image.string()}).Out;
  const CommandResult result = RunCli({"owner", image.string(), std::to_string(std::stoull(blocks) * 2)});
  EXPECT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(result.Err, "korvalane-cli: file-system fault: the folder of inode 2 is met again as /DOCS/up: not followed\n");
  EXPECT_EQ(Ours(result.Out), "/DOCS/notes about disks.txt");
  fs::remove_all(dir);
}

// An NTFS directory that is its own parent, holding BIG.DAT: the loop is named once, the
// walk ends, and the file is an orphan with the rest of its path.
TEST(OwnerFaultsTest, MftParentLoopsAreNamedNotFollowed) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-ntfs-faults-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path image = dir / "ntfs.img";
  fs::copy_file(SamplePath("ntfs.img"), image, fs::copy_options::overwrite_existing);
  std::string bytes;
  {
    std::ifstream in(image, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
  }
  const auto le = [&](size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = width; i-- > 0;) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
  };
  // The MFT's first extent (cluster 4 of 4 KiB here, from the boot sector) holds records of 1 KiB.
  const size_t mft = le(48, 8) * 4096;
  const auto record = [&](uint64_t number) { return mft + number * 1024; };
  ASSERT_EQ(bytes.substr(record(68), 4), "FILE");
  const uint64_t docs = 68 | le(record(68) + 16, 2) << 48;  // record number and sequence
  // Every $FILE_NAME of BIG.DAT (67) and of DOCS (68) names DOCS as its parent.
  for (const uint64_t number : {67, 68}) {
    size_t at = record(number) + le(record(number) + 20, 2);
    while (le(at, 4) != 0xFFFFFFFF && le(at + 4, 4) != 0) {
      if (le(at, 4) == 0x30) {
        const size_t value = at + le(at + 20, 2);
        for (size_t i = 0; i < 8; ++i) bytes[value + i] = static_cast<char>(docs >> (8 * i));
      }
      at += le(at + 4, 4);
    }
  }
  std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const CommandResult result = RunCli({"owner", image.string(), "20488"});
  EXPECT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(result.Err, "korvalane-cli: file-system fault: the parent references of MFT record 68 loop at record 68\n");
  EXPECT_EQ(result.Out, "20488  /$OrphanFiles/DOCS/BIG.DAT  (MFT record 67, byte 0 of the file)\n");
  fs::remove_all(dir);
}

}  // namespace
}  // namespace korvalane
