// The XFS decoders of `fields` past the AG headers, picked at their sectors without --as:
// inodes, btree block headers (the AG btrees' roots the AGF and AGI name, a fork's bmbt
// block), a directory's leaf, node and free index headers, against xfs_db -r print of the
// same inode or block; every v5 CRC32c holds, and fails where a byte was changed.
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
using testing::Lines;
using testing::SamplePath;
using testing::XfsDb;

struct Decoded {
  std::string Title;
  std::map<std::string, std::string> Numbers;  // the decimal of "N (0xN)" fields, by group and name
  std::vector<std::string> Checks;
};

Decoded FieldsAt(const std::string& image, uint64_t sector) {
  const testing::CommandResult result = testing::RunCli({"fields", image, std::to_string(sector)});
  EXPECT_EQ(result.Status, 0) << result.Err;
  Decoded d;
  const std::regex field(R"(^0x[0-9A-F]+  \d+  (.+?)  (\d+) \(0x[0-9A-F]+\)$)");
  std::string group;
  bool checks = false;
  for (const std::string& line : Lines(result.Out)) {
    std::smatch m;
    if (d.Title.empty()) d.Title = line;
    else if (line == "Checks:") checks = true;
    else if (checks) d.Checks.push_back(line);
    else if (std::regex_match(line, m, field)) d.Numbers[group + m[1].str()] = m[2];
    else if (!line.starts_with("0x")) group = line + ": ";
  }
  return d;
}

struct Image {
  std::string Path;
  uint64_t AgBlocks, AgBlockLog, SectorsPerBlock, SectorBytes;
  bool Crc;
  std::map<std::string, uint64_t> Folders;  // "node" -> its inode, by ncheck
  uint64_t Sector(uint64_t fsblock) const { return ((fsblock >> AgBlockLog) * AgBlocks + (fsblock & ((1ull << AgBlockLog) - 1))) * SectorsPerBlock; }
};

Image Open(const char* name) {
  Image image;
  image.Path = SamplePath(name);
  std::map<std::string, std::string> sb = XfsDb(image.Path, {"sb 0", "print"});
  image.AgBlocks = std::stoull(sb["agblocks"]);
  image.AgBlockLog = std::stoull(sb["agblklog"]);
  image.SectorBytes = std::stoull(sb["sectsize"]);
  image.SectorsPerBlock = std::stoull(sb["blocksize"]) / image.SectorBytes;
  image.Crc = (std::stoul(sb["versionnum"], nullptr, 16) & 0xF) == 5;
  std::smatch m;
  for (const std::string& line : testing::XfsDbLines(image.Path, {"blockget -n", "ncheck"})) {
    if (std::regex_match(line, m, std::regex(R"( *(\d+) (\w+)/\.)"))) image.Folders[m[2]] = std::stoull(m[1]);
  }
  return image;
}

void ExpectChecksHold(const Decoded& d, bool crc) {
  bool any = false;
  for (const std::string& check : d.Checks) {
    EXPECT_NE(check.find(": holds"), std::string::npos) << d.Title << ": " << check;
    any = any || check.find("CRC32c") != std::string::npos;
  }
  EXPECT_EQ(any, crc) << d.Title;
}

constexpr const char* kImages[] = {"xfs5.img", "xfs4.img", "xfs5-4k.img"};

TEST(XfsMetadataFields, InodesAgreeWithXfsDb) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    const Image image = Open(name);
    for (const uint64_t inode : {uint64_t{128}, uint64_t{131}, uint64_t{132}, uint64_t{134}, image.Folders.at("node")}) {
      SCOPED_TRACE(inode);
      std::map<std::string, std::string> db = XfsDb(image.Path, {"inode " + std::to_string(inode), "print"});
      const std::vector<std::string> convert = testing::XfsDbLines(image.Path, {"convert inode " + std::to_string(inode) + " daddr"});
      std::smatch m;
      ASSERT_TRUE(std::regex_search(convert.at(0), m, std::regex(R"(\((\d+)\))")));
      // xfs_db counts daddrs in 512 bytes; the volume's sectors may be larger.
      Decoded d = FieldsAt(image.Path, std::stoull(m[1]) * 512 / image.SectorBytes);
      EXPECT_TRUE(d.Title.starts_with("XFS inodes at sector ")) << d.Title;
      const std::string g = "Inode " + std::to_string(inode) + ": ";
      EXPECT_EQ(d.Numbers[g + "Size"], db["core.size"]);
      EXPECT_EQ(d.Numbers[g + "Blocks"], db["core.nblocks"]);
      EXPECT_EQ(d.Numbers[g + "Data extents"], db["core.nextents"]);
      EXPECT_EQ(d.Numbers[g + "Links"], db["core.nlinkv2"]);
      EXPECT_EQ(d.Numbers[g + "Generation"], db["core.gen"]);
      EXPECT_EQ(d.Numbers[g + "Owner (UID)"], db["core.uid"]);
      if (image.Crc) EXPECT_EQ(d.Numbers[g + "Inode number"], db["v3.inumber"]);
      EXPECT_EQ(d.Numbers[g + "Version"], db["core.version"]);
      ExpectChecksHold(d, image.Crc);
    }
  }
}

TEST(XfsMetadataFields, BtreeAndDirectoryHeadersAgreeWithXfsDb) {
  for (const char* name : kImages) {
    SCOPED_TRACE(name);
    const Image image = Open(name);
    struct Block {
      uint64_t FsBlock;
      std::string Type;   // xfs_db's
      std::string Title;  // ours
      std::map<std::string, std::string> Same;  // our field, xfs_db's
    };
    std::vector<Block> blocks;
    const std::map<std::string, std::string> agf = XfsDb(image.Path, {"agf 1", "print"});
    const std::map<std::string, std::string> agi = XfsDb(image.Path, {"agi 1", "print"});
    const uint64_t ag1 = 1ull << image.AgBlockLog;
    const std::map<std::string, std::string> shortForm = {{"Level", "level"}, {"Records", "numrecs"}};
    blocks.push_back({ag1 + std::stoull(agf.at("bnoroot")), "bnobt", "XFS btree block header", shortForm});
    blocks.push_back({ag1 + std::stoull(agf.at("cntroot")), "cntbt", "XFS btree block header", shortForm});
    blocks.push_back({ag1 + std::stoull(agi.at("root")), "inobt", "XFS btree block header", shortForm});
    // The node folder: its bmbt block (the root's one pointer), its first leaf-area
    // block (a node) and its free index block.
    const std::string nodeInode = "inode " + std::to_string(image.Folders.at("node"));
    const std::map<std::string, std::string> node = XfsDb(image.Path, {nodeInode, "print"});
    std::smatch m;
    // Its data fork is a btree where mkfs gave it more extents than the inode holds.
    const std::string ptr = node.count("u3.bmbt.ptrs[1]") ? node.at("u3.bmbt.ptrs[1]") : node.count("u.bmbt.ptrs[1]") ? node.at("u.bmbt.ptrs[1]") : "";
    if (!ptr.empty()) blocks.push_back({std::stoull(ptr), "bmapbtd", "XFS btree block header", shortForm});
    const std::string dir = image.Crc ? "dir3" : "dir2";
    for (const std::string& line : testing::XfsDbLines(image.Path, {nodeInode, "bmap"})) {
      if (!std::regex_search(line, m, std::regex(R"(data offset (\d+) startblock (\d+))"))) continue;
      const uint64_t offset = std::stoull(m[1]);
      if (offset == 8388608) blocks.push_back({std::stoull(m[2]), dir, "XFS directory or attribute node block header", {{"Entries", "nhdr.count"}, {"Level", "nhdr.level"}}});
      if (offset == 16777216) blocks.push_back({std::stoull(m[2]), dir, "XFS directory free index block header", {{"Valid entries", "fhdr.nvalid"}, {"Used entries", "fhdr.nused"}}});
    }
    // The leaf folder's one leaf block.
    for (const std::string& line : testing::XfsDbLines(image.Path, {"inode " + std::to_string(image.Folders.at("leaf")), "bmap"})) {
      if (std::regex_search(line, m, std::regex(R"(data offset 8388608 startblock (\d+))"))) {
        blocks.push_back({std::stoull(m[1]), dir, "XFS directory leaf block header", {{"Entries", "lhdr.count"}, {"Stale entries", "lhdr.stale"}}});
      }
    }
    ASSERT_EQ(blocks.size(), ptr.empty() ? 6u : 7u);
    for (const Block& b : blocks) {
      SCOPED_TRACE(b.Title + " at block " + std::to_string(b.FsBlock));
      const uint64_t sector = image.Sector(b.FsBlock);
      Decoded d = FieldsAt(image.Path, sector);
      EXPECT_EQ(d.Title, b.Title + " at sector " + std::to_string(sector));
      std::map<std::string, std::string> db = XfsDb(image.Path, {"fsblock " + std::to_string(b.FsBlock), "type " + b.Type, "print"});
      for (const auto& [ours, theirs] : b.Same) {
        ASSERT_TRUE(db.contains(theirs)) << theirs;
        EXPECT_EQ(d.Numbers[ours], db[theirs]) << ours << " / " << theirs;
      }
      ExpectChecksHold(d, image.Crc);
    }
  }
}

// A byte changed in an inode and in a btree block of a copy: each CRC32c fails, and the
// fields still decode.
TEST(XfsMetadataFields, ChangedBytesFailTheirChecksums) {
  const Image image = Open("xfs5.img");
  const fs::path copy = fs::path(::testing::TempDir()) / ("korvalane-xfs-crc-" + std::to_string(getpid()) + ".img");
  fs::copy_file(image.Path, copy, fs::copy_options::overwrite_existing);
  const uint64_t inodeSector = 128;  // inode 128, the root
  const uint64_t btreeSector = 8;    // AG 0's bnobt root
  {
    std::fstream out(copy, std::ios::binary | std::ios::in | std::ios::out);
    for (const uint64_t at : {inodeSector * 512 + 92, btreeSector * 512 + 6}) {  // the generation; the record count
      out.seekg(static_cast<std::streamoff>(at));
      char c = 0;
      out.read(&c, 1);
      c = static_cast<char>(c ^ 0x40);
      out.seekp(static_cast<std::streamoff>(at));
      out.write(&c, 1);
    }
  }
  for (const uint64_t sector : {inodeSector, btreeSector}) {
    const Decoded d = FieldsAt(copy.string(), sector);
    ASSERT_FALSE(d.Checks.empty()) << d.Title;
    EXPECT_NE(d.Checks.back().find("CRC32c: fails"), std::string::npos) << d.Checks.back();
  }
  fs::remove(copy);
}

}  // namespace
}  // namespace korvalane
