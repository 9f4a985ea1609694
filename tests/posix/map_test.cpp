// korvalane-cli map against The Sleuth Kit: the allocated and free units blkls counts, the
// metadata areas fsstat lays out; a ddrescue map's bad areas in two files; the picture
// decoded by python3's zlib.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/map/VolumeMap.h"
#include "fixtures/Samples.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

// The legend of `map SOURCE`: each class's units.
std::map<std::string, uint64_t> Legend(const std::string& out) {
  std::map<std::string, uint64_t> legend;
  const std::regex line(R"(^([a-z]+)  (\d+) units  (\d+) bytes  \(.*\)$)");
  std::smatch m;
  for (const std::string& text : Lines(out)) {
    if (std::regex_match(text, m, line)) legend[m[1]] = std::stoull(m[2]);
  }
  return legend;
}

// The data units blkls lists in one allocation state ("a" or "f").
uint64_t Blkls(const std::string& image, const std::string& state) {
  const CommandResult result = testing::Run({"blkls", state == "a" ? "-a" : "-A", "-l", image});
  uint64_t count = 0;
  for (const std::string& line : Lines(result.Out)) count += line.ends_with("|" + state) ? 1 : 0;
  return count;
}

// The units of every "NAME: A - B" line of fsstat whose name matches.
uint64_t FsstatUnits(const std::string& image, const std::string& name) {
  const std::string out = testing::Run({"fsstat", image}).Out;
  const std::regex line("^\\s*\\**\\s*" + name + ": (\\d+) - (\\d+)$");
  uint64_t units = 0;
  std::smatch m;
  for (const std::string& text : Lines(out)) {
    if (std::regex_match(text, m, line)) units += std::stoull(m[2]) - std::stoull(m[1]) + 1;
  }
  return units;
}

// The blocks of an ext volume's BLOCK_UNINIT groups that its backup superblock, group
// descriptors and reserved descriptor blocks use, as dumpe2fs lists them: a group whose
// block bitmap is not initialised has those in use all the same (the kernel and e2fsck
// count them so), but TSK takes every block of such a group as free.
uint64_t UninitGroupMetadata(const std::string& image) {
  const std::string dumpe2fs = fs::exists("/sbin/dumpe2fs") ? "/sbin/dumpe2fs" : "dumpe2fs";
  uint64_t blocks = 0;
  bool uninit = false;
  const std::regex range(R"( at (\d+)(-(\d+))?)");
  for (const std::string& line : Lines(testing::Run({dumpe2fs, image}).Out)) {
    if (line.starts_with("Group ")) uninit = line.find("BLOCK_UNINIT") != std::string::npos;
    if (!uninit || !(line.starts_with("  Backup superblock at") || line.starts_with("  Reserved GDT blocks at"))) continue;
    for (std::sregex_iterator m(line.begin(), line.end(), range), end; m != end; ++m) {
      const uint64_t first = std::stoull((*m)[1]);
      blocks += ((*m)[3].matched ? std::stoull((*m)[3]) : first) - first + 1;
    }
  }
  return blocks;
}

// The free blocks dumpe2fs counts.
uint64_t Dumpe2fsFree(const std::string& image) {
  const std::string dumpe2fs = fs::exists("/sbin/dumpe2fs") ? "/sbin/dumpe2fs" : "dumpe2fs";
  std::smatch m;
  const std::string out = testing::Run({dumpe2fs, "-h", image}).Out;
  return std::regex_search(out, m, std::regex(R"(Free blocks:\s+(\d+))")) ? std::stoull(m[1]) : 0;
}

constexpr const char* kAllocated[] = {"file", "folder", "boot", "table", "records", "journal", "metadata", "lost"};

// The units TSK counts as allocated are ours in use (file data, folders, metadata and
// what no file reaches); its free ones are ours free and those of deleted files. What we
// call "not in any cluster" (the last, partial cluster of NTFS that only its backup boot
// sector uses) TSK does not count at all. On ext, see UninitGroupMetadata: there the
// free blocks are what dumpe2fs counts.
TEST(MapTest, TotalsAreWhatBlklsCounts) {
  for (const char* name : {"fat32.img", "fat16.img", "exfat.img", "ntfs.img", "ntfs-fragmented.img", "ext4.img", "ext3.img"}) {
    const bool ext = std::string(name).starts_with("ext");
    SCOPED_TRACE(name);
    const std::string image = SamplePath(name);
    const CommandResult result = RunCli({"map", image});
    ASSERT_EQ(result.Status, 0) << result.Err;
    std::map<std::string, uint64_t> legend = Legend(result.Out);
    ASSERT_EQ(legend.size(), kMapClassCount);
    uint64_t allocated = 0;
    for (const char* what : kAllocated) allocated += legend[what];
    const uint64_t uninit = ext ? UninitGroupMetadata(image) : 0;
    EXPECT_EQ(allocated, Blkls(image, "a") + uninit);
    EXPECT_EQ(legend["free"] + legend["deleted"], Blkls(image, "f") - uninit);
    if (ext) EXPECT_EQ(legend["free"] + legend["deleted"], Dumpe2fsFree(image));
    EXPECT_EQ(legend["unreadable"], 0u);
    EXPECT_LE(legend["outside"], 1u);
  }
}

TEST(MapTest, MetadataAreasAreWhatFsstatLaysOut) {
  const std::string fat32 = SamplePath("fat32.img");
  std::map<std::string, uint64_t> legend = Legend(RunCli({"map", fat32}).Out);
  EXPECT_EQ(legend["boot"], FsstatUnits(fat32, "Reserved"));
  EXPECT_EQ(legend["table"], FsstatUnits(fat32, "FAT \\d"));
  EXPECT_EQ(legend["boot"], 32u);

  // exFAT: the boot regions and the space that aligns the FAT and the data area.
  const std::string exfat = SamplePath("exfat.img");
  legend = Legend(RunCli({"map", exfat}).Out);
  EXPECT_EQ(legend["boot"], FsstatUnits(exfat, "Reserved") + FsstatUnits(exfat, "Data Area alignment space"));
  EXPECT_GT(legend["table"], FsstatUnits(exfat, "FAT \\d"));  // the FAT and the allocation bitmap

  // ext: the inode tables of every group; the journal as the blocks istat lists for its
  // inode, its data and its indirect blocks.
  for (const char* name : {"ext4.img", "ext3.img"}) {
    SCOPED_TRACE(name);
    const std::string ext = SamplePath(name);
    legend = Legend(RunCli({"map", ext}).Out);
    EXPECT_EQ(legend["records"], FsstatUnits(ext, "Inode Table"));
    const std::string journal = testing::Run({"istat", ext, "8"}).Out;
    const size_t listed = journal.find("Direct Blocks:");
    ASSERT_NE(listed, std::string::npos);
    std::istringstream blocks(journal.substr(listed));
    uint64_t count = 0;
    for (std::string word; blocks >> word;) count += word.find_first_not_of("0123456789") == std::string::npos ? 1 : 0;
    EXPECT_EQ(legend["journal"], count);
  }
}

// A run line of `map`: its first unit, count, class and owner.
struct RunLine {
  uint64_t First;
  uint64_t Count;
  std::string Class;
  std::string Owner;
};

std::vector<RunLine> Runs(const std::string& out) {
  std::vector<RunLine> runs;
  const std::regex line(R"(^(\d+)  (\d+)  ([a-z]+)(  (.*))?$)");
  std::smatch m;
  for (const std::string& text : Lines(out)) {
    if (std::regex_match(text, m, line)) runs.push_back({std::stoull(m[1]), std::stoull(m[2]), m[3], m[5]});
  }
  return runs;
}

TEST(MapTest, BadAreasOfARescueMapColourExactlyTheirUnits) {
  const std::string image = SamplePath("fat16.img");
  const std::vector<RunLine> before = Runs(RunCli({"map", image}).Out);
  // Two sectors of BIG.DAT and the two that "Quarterly report.txt" (720 bytes) fills, where
  // ifind finds them.
  std::vector<uint64_t> bad;
  for (const RunLine& run : before) {
    if (run.Owner.starts_with("/BIG.DAT  ")) bad.insert(bad.end(), {run.First + 5, run.First + 6});
    if (run.Owner.starts_with("/Quarterly report.txt  ")) {
      for (uint64_t i = 0; i < 2; ++i) bad.push_back(run.First + i);
    }
  }
  ASSERT_EQ(bad.size(), 4u);
  for (const uint64_t sector : bad) {
    const std::string inode = Lines(testing::Run({"ifind", "-d", std::to_string(sector), image}).Out).at(0);
    const std::string file = Lines(testing::Run({"ffind", image, inode}).Out).at(0);
    EXPECT_TRUE(file == "/BIG.DAT" || file == "/Quarterly report.txt") << sector << ": " << file;
  }
  const fs::path map = fs::path(::testing::TempDir()) / ("korvalane-map-" + std::to_string(getpid()) + ".map");
  {
    std::ofstream out(map);
    out << "# Rescue Logfile\n0x00000000  +  1\n";
    uint64_t at = 0;
    std::vector<uint64_t> sorted = bad;
    std::sort(sorted.begin(), sorted.end());
    for (const uint64_t sector : sorted) {
      if (sector * 512 > at) out << at << "  " << sector * 512 - at << "  +\n";
      out << sector * 512 << "  512  -\n";
      at = sector * 512 + 512;
    }
    out << at << "  " << 32768 * 512 - at << "  +\n";
  }
  const CommandResult result = RunCli({"map", "--map", map.string(), image});
  fs::remove(map);
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(Legend(result.Out)["unreadable"], 4u);
  std::vector<uint64_t> unreadable;
  for (const RunLine& run : Runs(result.Out)) {
    if (run.Class != "unreadable") continue;
    for (uint64_t i = 0; i < run.Count; ++i) unreadable.push_back(run.First + i);
    // The owner of the bytes lost is named.
    EXPECT_TRUE(run.Owner.starts_with("/BIG.DAT  ") || run.Owner.starts_with("/Quarterly report.txt  ")) << run.Owner;
  }
  std::sort(bad.begin(), bad.end());
  EXPECT_EQ(unreadable, bad);
}

TEST(MapTest, ThePictureDecodesToTheCellsColours) {
  const std::string image = SamplePath("ntfs.img");
  const fs::path png = fs::path(::testing::TempDir()) / ("korvalane-map-" + std::to_string(getpid()) + ".png");
  const CommandResult result = RunCli({"map", "--cells", "100", "--png", png.string(), "--width", "50", image});
  ASSERT_EQ(result.Status, 0) << result.Err;
  // 100 cells: 10 columns of 5 pixels.
  const std::string script = R"(
import struct, sys, zlib
data = open(sys.argv[1], 'rb').read()
assert data[:8] == b'\x89PNG\r\n\x1a\n'
at, idat, width, height = 8, b'', 0, 0
while at < len(data):
    length, kind = struct.unpack('>I4s', data[at:at + 8])
    body = data[at + 8:at + 8 + length]
    assert struct.unpack('>I', data[at + 8 + length:at + 12 + length])[0] == zlib.crc32(kind + body)
    if kind == b'IHDR':
        width, height = struct.unpack('>II', body[:8])
        assert body[8:] == bytes([8, 2, 0, 0, 0])
    if kind == b'IDAT':
        idat += body
    at += 12 + length
raw = zlib.decompress(idat)
row = width * 3 + 1
assert len(raw) == row * height
print(width, height)
for y in range(height):
    assert raw[y * row] == 0
    print(' '.join(raw[y * row + 1 + x * 3:y * row + 4 + x * 3].hex() for x in range(width)))
)";
  const CommandResult decoded = testing::Run({"python3", "-c", script, png.string()});
  fs::remove(png);
  ASSERT_EQ(decoded.Status, 0) << decoded.Err;
  const std::vector<std::string> rows = Lines(decoded.Out);
  ASSERT_EQ(rows.size(), 51u);
  EXPECT_EQ(rows[0], "50 50");
  std::vector<std::string> cells;
  const std::regex cell(R"(^cell \d+  \d+  ([a-z]+).*$)");
  std::smatch m;
  for (const std::string& line : Lines(result.Out)) {
    if (std::regex_match(line, m, cell)) cells.push_back(m[1]);
  }
  ASSERT_EQ(cells.size(), 100u);
  std::map<std::string, std::string> colours;
  for (size_t c = 0; c < kMapClassCount; ++c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "%06x", MapClassColour(static_cast<MapClass>(c)));
    colours[MapClassName(static_cast<MapClass>(c))] = hex;
  }
  std::vector<std::string> seen;
  for (size_t i = 0; i < cells.size(); ++i) {
    const size_t x = i % 10 * 5;
    const size_t y = i / 10 * 5;
    for (const size_t dy : {size_t{0}, size_t{4}}) {
      std::istringstream row(rows[1 + y + dy]);
      std::vector<std::string> pixels{std::istream_iterator<std::string>(row), std::istream_iterator<std::string>()};
      ASSERT_EQ(pixels.size(), 50u);
      EXPECT_EQ(pixels[x], colours[cells[i]]) << "cell " << i;
      EXPECT_EQ(pixels[x + 4], colours[cells[i]]) << "cell " << i;
    }
    if (std::find(seen.begin(), seen.end(), cells[i]) == seen.end()) seen.push_back(cells[i]);
  }
  EXPECT_GE(seen.size(), 3u);  // metadata, files and free space at least
}

// XFS's walk names its areas too: AG headers, allocation btrees, inode chunks, the log.
TEST(MapTest, XfsAreasHaveTheirClasses) {
  const CommandResult xfs = RunCli({"map", SamplePath("xfs5.img")});
  ASSERT_EQ(xfs.Status, 0) << xfs.Err;
  for (const char* area : {"\nboot  ", "\ntable  ", "\nrecords  ", "\njournal  ", "\nfolder  "}) {
    const size_t at = xfs.Out.find(area);
    ASSERT_NE(at, std::string::npos) << area;
    EXPECT_NE(xfs.Out.compare(at + std::string(area).size(), 2, "0 "), 0) << "no units of" << area;
  }
}

TEST(MapTest, RefusesWhatItCannotDraw) {
  EXPECT_EQ(RunCli({"map", "--cells", "0", SamplePath("fat16.img")}).Status, 2);
  EXPECT_EQ(RunCli({"map", "--width", "x", SamplePath("fat16.img")}).Status, 2);
  EXPECT_EQ(RunCli({"map", "--map", "/nonexistent/map", SamplePath("fat16.img")}).Status, 2);
  // An encrypted volume has no files of its own to walk.
  const CommandResult luks = RunCli({"map", SamplePath("luks2.img")});
  EXPECT_EQ(luks.Status, 2);
  EXPECT_NE(luks.Err.find("cannot tell the owners"), std::string::npos) << luks.Err;
  EXPECT_NE(RunCli({"--help"}).Out.find("map SOURCE"), std::string::npos);
}

}  // namespace
}  // namespace korvalane
