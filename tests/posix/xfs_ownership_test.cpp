// korvalane-cli owner and damaged on the mkfs.xfs samples against xfs_db -r: every run of
// blocks that blockget's blockuse gives one use (an AG header, a btree, the free list, an
// inode chunk, the log, a file's or folder's data, free space) has that owner at its
// first and last block, the files named by the path ncheck gives their inode; a bad
// sector of an inode chunk or of a folder's block loses the inodes and entries there.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "fixtures/Samples.h"
#include "fixtures/XfsDb.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

constexpr const char* kImages[] = {"xfs5.img", "xfs4.img", "xfs5-4k.img"};

struct Geometry {
  uint64_t AgBlocks = 0, AgCount = 0, AgBlockLog = 0, DataBlocks = 0, SectorsPerBlock = 0;
};

Geometry GeometryOf(const std::string& image) {
  std::map<std::string, std::string> sb = testing::XfsDb(image, {"sb 0", "print"});
  Geometry g;
  g.AgBlocks = std::stoull(sb["agblocks"]);
  g.AgCount = std::stoull(sb["agcount"]);
  g.AgBlockLog = std::stoull(sb["agblklog"]);
  g.DataBlocks = std::stoull(sb["dblocks"]);
  g.SectorsPerBlock = std::stoull(sb["blocksize"]) / std::stoull(sb["sectsize"]);
  return g;
}

// ncheck's paths by inode, as ours: "/DOCS/notes.txt", a folder without its "/.".
std::map<std::string, std::string> Paths(const std::string& image) {
  std::map<std::string, std::string> paths;
  std::smatch m;
  for (const std::string& line : testing::XfsDbLines(image, {"blockget -n", "ncheck"})) {
    if (!std::regex_match(line, m, std::regex(R"( *(\d+) (.*))"))) continue;
    std::string path = "/" + m[2].str();
    if (path.ends_with("/.")) path.resize(path.size() - 2);
    paths[m[1]] = path;
  }
  return paths;
}

// The start of our owner's name for a blockuse type ("" for free), or nothing when the
// type is not one the samples hold.
std::optional<std::string> OursFor(const std::string& type, const std::string& inode, uint64_t ag,
                                   const std::map<std::string, std::string>& paths) {
  const std::string in = " (AG " + std::to_string(ag) + ")";
  static const std::map<std::string, std::string> kMetadata = {
      {"btbno", "free-space btree by block"}, {"btcnt", "free-space btree by size"}, {"btino", "inode btree"},
      {"btfino", "free inode btree"},         {"btrefc", "reference count btree"},   {"btrefcnt", "reference count btree"},
      {"btrmap", "reverse-mapping btree"},    {"freelist", "free list"}};
  if (type == "free1" || type == "free2") return "";
  if (type == "sb") return ag == 0 ? "superblock" : "superblock backup" + in;
  // With sectors as large as the blocks each header has a block of its own.
  if (type == "agf" || type == "agi" || type == "agfl") return std::string(type == "agf" ? "AGF" : type == "agi" ? "AGI" : "AGFL") + in;
  if (type == "log") return "log";
  if (type == "inode") return "inode chunk ";
  const auto it = kMetadata.find(type);
  if (it != kMetadata.end()) return it->second + in;
  if (!inode.empty() && paths.contains(inode)) return paths.at(inode);
  if (inode == "128") return "/";
  return std::nullopt;
}

// Our answer's owner without its place: "/DOCS  (inode 262272, ...)" is "/DOCS";
// "free" is "".
std::string Ours(const std::string& line) {
  std::string text = line.substr(line.find("  ") + 2);
  text = text.substr(0, text.find(" | "));
  text = text.substr(0, text.find("  ("));
  return text == "free" ? "" : text;
}

TEST(OwnershipXfsTest, OwnerIsWhatBlockuseAndNcheckSay) {
  setenv("LC_ALL", "C.UTF-8", 1);
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    const std::string path = SamplePath(name);
    if (!fs::exists(path)) GTEST_SKIP() << name << " was not made here (see make-samples-xfs)";
    const Geometry g = GeometryOf(path);
    const std::map<std::string, std::string> paths = Paths(path);
    ASSERT_GT(paths.size(), 2400u);
    std::vector<std::string> requests = {"blockget -n"};
    for (uint64_t ag = 0; ag < g.AgCount; ++ag) {
      requests.push_back("fsblock " + std::to_string(ag << g.AgBlockLog));
      requests.push_back("blockuse -n -c " + std::to_string(std::min(g.AgBlocks, g.DataBlocks - ag * g.AgBlocks)));
    }
    // Runs of one use: their first and last block, and what owns them.
    struct Run {
      uint64_t First, Last;
      std::string Type, Inode;
      uint64_t Ag;
    };
    std::vector<Run> runs;
    std::smatch m;
    const std::regex use(R"(block \d+ \((\d+)/(\d+)\) type (\w+)(?: inode (\d+))?.*)");
    uint64_t blocks = 0;
    for (const std::string& line : testing::XfsDbLines(path, requests)) {
      if (!std::regex_match(line, m, use)) continue;
      ++blocks;
      const uint64_t ag = std::stoull(m[1]);
      const uint64_t linear = ag * g.AgBlocks + std::stoull(m[2]);
      std::string type = m[3];
      if (type == "free2") type = "free1";  // in both free-space btrees or one: free
      if (!runs.empty() && runs.back().Last + 1 == linear && runs.back().Type == type && runs.back().Inode == m[4].str()) {
        runs.back().Last = linear;
      } else {
        runs.push_back({linear, linear, type, m[4], ag});
      }
    }
    ASSERT_EQ(blocks, g.DataBlocks);
    ASSERT_GT(runs.size(), 20u);
    std::vector<std::string> args = {"owner", path};
    for (const Run& run : runs) {
      args.push_back(std::to_string(run.First * g.SectorsPerBlock));
      args.push_back(std::to_string(run.Last * g.SectorsPerBlock + g.SectorsPerBlock - 1));
    }
    // Each AG's headers, a sector each.
    for (uint64_t ag = 0; ag < g.AgCount; ++ag) {
      for (uint64_t s = 1; s < 4; ++s) args.push_back(std::to_string(ag * g.AgBlocks * g.SectorsPerBlock + s));
    }
    const CommandResult result = RunCli(args);
    ASSERT_EQ(result.Status, 0) << result.Err;
    EXPECT_EQ(result.Err, "");
    const std::vector<std::string> lines = Lines(result.Out);
    ASSERT_EQ(lines.size(), args.size() - 2);
    std::map<std::string, int> types;
    for (size_t i = 0; i < runs.size(); ++i) {
      const std::optional<std::string> expected = OursFor(runs[i].Type, runs[i].Inode, runs[i].Ag, paths);
      ASSERT_TRUE(expected) << "blockuse type " << runs[i].Type << " inode " << runs[i].Inode;
      ++types[runs[i].Type];
      for (const std::string& line : {lines[2 * i], lines[2 * i + 1]}) {
        const std::string ours = Ours(line);
        // The sectors of the superblock's block after the four headers.
        const bool headers = runs[i].Type == "sb" && ours == "AG headers (AG " + std::to_string(runs[i].Ag) + ")";
        EXPECT_TRUE(expected->empty() ? ours.empty() : ours.starts_with(*expected) || headers)
            << line << ": blockuse says " << runs[i].Type << " " << runs[i].Inode << " (" << *expected << ")";
      }
    }
    // The samples hold every use the walk names but the realtime and quota files.
    for (const char* type : {"sb", "btbno", "btcnt", "btino", "freelist", "inode", "log", "data", "dir", "free1"}) {
      EXPECT_GT(types[type], 0) << type;
    }
    for (uint64_t ag = 0; ag < g.AgCount; ++ag) {
      const std::string in = " (AG " + std::to_string(ag) + ")";
      const size_t at = 2 * runs.size() + 3 * ag;
      EXPECT_EQ(Ours(lines[at]), "AGF" + in);
      EXPECT_EQ(Ours(lines[at + 1]), "AGI" + in);
      EXPECT_EQ(Ours(lines[at + 2]), "AGFL" + in);
    }
  }
}

// A mapfile whose one bad area is the sector of `sectorBytes` at `byte`.
std::string OneBadSectorMap(const std::string& image, uint64_t byte, uint64_t sectorBytes) {
  const std::string map = (fs::path(::testing::TempDir()) / ("korvalane-xfs-bad-" + std::to_string(getpid()) + ".map")).string();
  const uint64_t size = fs::file_size(image);
  char text[256];
  std::snprintf(text, sizeof text, "# Rescue Logfile\n0x00000000     +     1\n0x00000000  0x%08llX  +\n0x%08llX  0x%08llX  -\n0x%08llX  0x%08llX  +\n",
                static_cast<unsigned long long>(byte), static_cast<unsigned long long>(byte), static_cast<unsigned long long>(sectorBytes),
                static_cast<unsigned long long>(byte + sectorBytes), static_cast<unsigned long long>(size - byte - sectorBytes));
  std::ofstream(map) << text;
  return map;
}

// The sector of an inode lost: each inode that sector holds (xfs_db convert) is named
// with its path (ncheck), its size and where its data lies (inode N: core.size,
// core.format). v4 with 256-byte inodes, two a sector.
TEST(DamagedXfsTest, InodesInTheBadSectorNameTheirFiles) {
  const std::string path = SamplePath("xfs4.img");
  if (!fs::exists(path)) GTEST_SKIP() << "xfs4.img was not made here (see make-samples-xfs)";
  const std::map<std::string, std::string> paths = Paths(path);
  std::smatch m;
  const std::vector<std::string> convert = testing::XfsDbLines(path, {"convert inode 132 daddr", "convert inode 133 daddr"});
  ASSERT_EQ(convert.size(), 2u);
  ASSERT_EQ(convert[0], convert[1]) << "the two inodes share a sector";
  ASSERT_TRUE(std::regex_search(convert[0], m, std::regex(R"(\((\d+)\))")));
  const uint64_t sector = std::stoull(m[1]);
  std::string expected;
  for (const char* inode : {"132", "133"}) {
    std::map<std::string, std::string> core = testing::XfsDb(path, {std::string("inode ") + inode, "print core.size core.format core.nextents"});
    ASSERT_TRUE(core["core.format"].starts_with("2 ")) << core["core.format"];
    expected += std::string("  inode ") + inode + ": " + paths.at(inode) + "  size " + core["core.size"] +
                (core["core.nextents"] != "0" ? "  (metadata lost; the data lies elsewhere)\n" : "  (metadata lost; it has no data)\n");
  }
  const std::string map = OneBadSectorMap(path, sector * 512, 512);
  const CommandResult text = RunCli({"damaged", path, map});
  EXPECT_EQ(text.Status, 0) << text.Err;
  EXPECT_EQ(text.Out, "inode chunk 128-191  bad 512\n" + expected + "512 bad bytes in the volume\n");
  fs::remove(map);
}

// A bad sector of the root's single data block loses the names of the entries in it, the
// inodes and data staying sound (xfs_db ls / as the oracle: its entries past . and .. all
// stand in the block's first sector).
TEST(DamagedXfsTest, FolderEntriesInTheBadSectorNameTheirFiles) {
  const std::string path = SamplePath("xfs5.img");
  if (!fs::exists(path)) GTEST_SKIP() << "xfs5.img was not made here (see make-samples-xfs)";
  std::smatch m;
  const std::vector<std::string> bmap = testing::XfsDbLines(path, {"inode 128", "bmap"});
  ASSERT_EQ(bmap.size(), 1u);
  ASSERT_TRUE(std::regex_search(bmap[0], m, std::regex(R"(startblock (\d+) \((\d+)/(\d+)\) count 1)"))) << bmap[0];
  const uint64_t block = std::stoull(m[1]);  // AG 0: the same as the linear block
  std::vector<std::string> expected;
  for (const std::string& line : testing::XfsDbLines(path, {"path /", "ls"})) {
    // "12   131   regular   0x10563e11  10 README.TXT (good)": its place, inode, type,
    // name hash, name length and name.
    if (!std::regex_match(line, m, std::regex(R"(\d+ +\d+ +\w+ +0x[0-9a-f]+ +\d+ (.*) \(good\))"))) continue;
    if (m[1] == "." || m[1] == "..") continue;
    expected.push_back("/" + m[1].str());
  }
  ASSERT_GE(expected.size(), 6u);
  const std::string map = OneBadSectorMap(path, block * 4096, 512);
  const CommandResult text = RunCli({"damaged", path, map});
  EXPECT_EQ(text.Status, 0) << text.Err;
  const std::vector<std::string> lines = Lines(text.Out);
  ASSERT_EQ(lines.size(), expected.size() + 2) << text.Out;
  EXPECT_EQ(lines[0], "/  (inode 128)  bad 512");
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_TRUE(std::regex_match(lines[i + 1], m, std::regex(R"(  entry at byte \d+: (.*?)  (size \d+|directory)  \(its name lost; its inode and data are not\))")))
        << lines[i + 1];
    EXPECT_EQ(m[1], expected[i]);
  }
  fs::remove(map);
}

// Bytes changed in a copy of the v5 sample: a by-block btree deeper than any, an inode
// btree root of the wrong level, an extent of README.TXT past the volume. Each is named
// on stderr once and the walk goes on: the free space comes from the by-size btree, the
// inode chunks the inode btree no longer reaches and README.TXT's block are in use by
// nothing (lost), every other owner stays (the root's block, the files' inodes named by
// the folders).
TEST(OwnershipXfsTest, HostileHeadersAndExtentsAreNamedAndTheWalkGoesOn) {
  const std::string path = SamplePath("xfs5.img");
  if (!fs::exists(path)) GTEST_SKIP() << "xfs5.img was not made here (see make-samples-xfs)";
  const fs::path copy = fs::path(::testing::TempDir()) / ("korvalane-xfs-hostile-" + std::to_string(getpid()) + ".img");
  fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
  const std::vector<uint64_t> readme = {std::stoull(testing::XfsDb(path, {"inode 131", "print u3.bmx[0].startblock"}).at("u3.bmx[0].startblock"))};
  {
    std::fstream out(copy, std::ios::binary | std::ios::in | std::ios::out);
    const auto put = [&](uint64_t at, const std::string& bytes) {
      out.seekp(static_cast<std::streamoff>(at));
      out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    };
    put(512 + 28, std::string("\0\0\0\x1e", 4));   // AGF 0: 30 levels of the by-block btree
    put(1024 + 24, std::string("\0\0\0\x02", 4));  // AGI 0: a root of level 1 (it is a leaf)
    put(131 * 512 + 176 + 8, std::string(8, '\xff'));  // inode 131's extent: start and length all ones
  }
  const std::string root = testing::XfsDbLines(path, {"inode 128", "bmap"}).at(0);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(root, m, std::regex(R"(startblock (\d+))")));
  const CommandResult result = RunCli({"owner", copy.string(), "96", std::to_string(readme[0] * 8), "128", std::to_string(std::stoull(m[1]) * 8)});
  EXPECT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(result.Out, "96  free\n" + std::to_string(readme[0] * 8) + "  allocated, no file\n128  allocated, no file\n" +
                            std::to_string(std::stoull(m[1]) * 8) + "  /  (inode 128, byte 0 of the directory)\n");
  for (const char* fault : {"the free-space btree by block of AG 0 has 30 levels", "block 3 of AG 0 is no block of level 1 of its inode btree",
                            "/README.TXT: an extent starts past the volume"}) {
    EXPECT_NE(result.Err.find(fault), std::string::npos) << result.Err;
  }
  fs::remove(copy);
}

}  // namespace
}  // namespace korvalane
