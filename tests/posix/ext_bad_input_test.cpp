// The ext parsers on damaged structures: the sample ext4 superblock with one field made
// wrong, extent trees and block maps that loop or point outside the volume, directory
// blocks whose records do not fit. Each shows what it can and says what is wrong.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "core/fs/ext/Directory.h"
#include "core/fs/ext/Inode.h"
#include "core/fs/ext/Superblock.h"
#include "fixtures/Samples.h"

namespace korvalane::ext {
namespace {

void Put(std::vector<uint8_t>& b, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> SampleSuperblock() {
  std::ifstream file(testing::SamplePath("ext4.img"), std::ios::binary);
  std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), {});
  if (bytes.size() < 2048) return std::vector<uint8_t>(1024, 0);
  return std::vector<uint8_t>(bytes.begin() + 1024, bytes.begin() + 2048);
}

TEST(ExtBadInputTest, SuperblockFieldsOutOfBoundsAreRefusedWithTheReason) {
  const std::vector<uint8_t> good = SampleSuperblock();
  const uint64_t volume = 16u << 20;
  ASSERT_TRUE(ParseSuperblock(good, volume, 512).Value) << ParseSuperblock(good, volume, 512).Problem;
  struct Case {
    size_t offset, width;
    uint64_t value;
    std::string problem;
  };
  for (const Case& c : std::vector<Case>{
           {0x38, 2, 0xEF54, "no ext superblock (no magic number 0xEF53 at byte 1080)"},
           {0x18, 4, 7, "the block size 2^(10+7) is not one of 1024 to 65536"},
           {0x04, 4, 0, "the block count 0 leaves no block after the first data block 0"},
           {0x04, 4, 4097, "4097 blocks of 4096 bytes do not fit the volume of 16777216 bytes"},
           {0x20, 4, 0, "blocks per group 0 is not one of 1 to 32768"},
           {0x28, 4, 40000, "inodes per group 40000 is not one of 1 to 32768"},
           {0x00, 4, 4097, "the inode count 4097 does not fit 4 groups of 1024 inodes"},
           {0x58, 2, 100, "the inode size 100 is not a power of two from 128 to the block size"},
           {0xFE, 2, 48, "the group descriptor size 48 is not a power of two from 64 to 1024"},
       }) {
    std::vector<uint8_t> bytes = good;
    Put(bytes, c.offset, c.value, c.width);
    const SuperblockParse parse = ParseSuperblock(bytes, volume, 512);
    EXPECT_FALSE(parse.Value) << c.problem;
    EXPECT_EQ(parse.Problem, c.problem);
  }
  // A block smaller than the device's sector cannot be addressed by sectors.
  std::vector<uint8_t> small = good;
  Put(small, 0x18, 0, 4);
  EXPECT_EQ(ParseSuperblock(small, volume, 4096).Problem, "blocks of 1024 bytes are smaller than the sector of 4096");
  // A changed byte the checksum covers is a mismatch, not a refusal.
  std::vector<uint8_t> changed = good;
  changed[0x300] ^= 1;
  const SuperblockParse parse = ParseSuperblock(changed, volume, 512);
  ASSERT_TRUE(parse.Value && parse.Value->SuperblockChecksum);
  EXPECT_FALSE(parse.Value->SuperblockChecksum->Ok());
}

// A volume of 64 blocks of 1024 bytes, blocks given by the test.
struct Volume {
  Superblock sb;
  std::map<uint64_t, std::vector<uint8_t>> blocks;
  int reads = 0;
  Volume() {
    sb.BlockBytes = 1024;
    sb.BlocksCount = 64;
    sb.InodeBytes = 256;
    sb.InodesCount = 64;
  }
  std::vector<uint8_t>& Block(uint64_t n) {
    blocks[n].resize(sb.BlockBytes, 0);
    return blocks[n];
  }
  BlockReader Reader() {
    return [this](uint64_t block, std::span<uint8_t> out) {
      ++reads;
      const std::vector<uint8_t>& b = Block(block);
      std::copy(b.begin(), b.end(), out.begin());
      return true;
    };
  }
};

// An extent node: header (magic, entries, max, depth), then entries of three words each
// (leaf: logical, length | start high, start low; index: logical, child low, child high).
void Node(std::vector<uint8_t>& b, size_t at, uint16_t max, uint16_t depth, const std::vector<std::array<uint32_t, 3>>& entries) {
  Put(b, at, 0xF30A, 2);
  Put(b, at + 2, entries.size(), 2);
  Put(b, at + 4, max, 2);
  Put(b, at + 6, depth, 2);
  for (size_t i = 0; i < entries.size(); ++i) {
    for (size_t w = 0; w < 3; ++w) Put(b, at + 12 + 12 * i + 4 * w, entries[i][w], 4);
  }
}

Inode ExtentInode(const std::vector<uint8_t>& root) {
  Inode inode;
  inode.Mode = kTypeFile | 0644;
  inode.Links = 1;
  inode.Flags = kFlagExtents;
  std::copy(root.begin(), root.begin() + 60, inode.BlockArea.begin());
  return inode;
}

TEST(ExtBadInputTest, ExtentTreesThatLoopOverlapOrLeaveTheVolumeSayWhy) {
  struct Case {
    const char* name;
    uint16_t rootDepth;
    std::vector<std::array<uint32_t, 3>> root;
    std::vector<std::array<uint32_t, 3>> child;  // block 10, depth rootDepth - 1
    std::string problem;
    size_t extents;
  };
  for (const Case& c : std::vector<Case>{
           {"a loop", 2, {{0, 10, 0}}, {{0, 10, 0}}, "the extent tree reaches block 10 a second time (a loop)", 0},
           {"too deep", 6, {{0, 10, 0}}, {}, "the extent tree claims a depth of 6, more than 5", 0},
           {"index outside", 1, {{0, 99, 0}}, {}, "an extent index points to block 99, outside the volume", 0},
           {"leaf outside", 0, {{0, 8, 60}}, {}, "the extent at logical block 0 (block 60, 8 blocks) lies outside the volume", 1},
           {"overlap", 0, {{0, 4, 20}, {2, 4, 30}}, {}, "extents overlap at logical block 2", 2},
           {"a sound tree of depth 1", 1, {{0, 10, 0}}, {{0, 1, 20}}, "", 1},
       }) {
    Volume v;
    std::vector<uint8_t> root(60, 0);
    Node(root, 0, 4, c.rootDepth, c.root);
    if (!c.child.empty()) Node(v.Block(10), 0, 84, static_cast<uint16_t>(c.rootDepth - 1), c.child);
    const InodeData data = MapInode(v.sb, ExtentInode(root), v.Reader());
    EXPECT_EQ(data.Extents.size(), c.extents) << c.name;
    if (c.problem.empty()) {
      EXPECT_TRUE(data.Problems.empty()) << c.name << ": " << (data.Problems.empty() ? "" : data.Problems[0]);
    } else {
      ASSERT_FALSE(data.Problems.empty()) << c.name;
      EXPECT_EQ(data.Problems[0], c.problem) << c.name;
    }
  }
}

TEST(ExtBadInputTest, BlockMapCyclesAndPointersOutsideStopThere) {
  Volume v;
  Inode inode;
  inode.Mode = kTypeFile | 0644;
  inode.Links = 1;
  const auto pointer = [&](size_t i, uint32_t block) {
    for (size_t k = 0; k < 4; ++k) inode.BlockArea[i * 4 + k] = static_cast<uint8_t>(block >> (8 * k));
  };
  pointer(0, 5);
  pointer(1, 6);
  pointer(14, 20);                  // triple indirect block 20 ...
  Put(v.Block(20), 0, 20, 4);      // ... whose first pointer is itself
  Put(v.Block(20), 4, 21, 4);      // and a double indirect block 21 ...
  Put(v.Block(21), 0, 22, 4);      // ... to a single indirect block 22 ...
  Put(v.Block(22), 0, 30, 4);      // ... to data blocks 30 and 31
  Put(v.Block(22), 4, 31, 4);
  Put(v.Block(22), 8, 1000, 4);    // and one outside the volume
  const InodeData data = MapInode(v.sb, inode, v.Reader());
  ASSERT_EQ(data.Runs.size(), 3u);
  EXPECT_EQ(data.Runs[0].Physical, 5u);
  EXPECT_EQ(data.Runs[0].Count, 2u);
  EXPECT_EQ(data.Runs[1].Physical, 30u);
  EXPECT_EQ(data.Runs[1].Count, 2u);
  const uint64_t k = 256;  // pointers a block
  EXPECT_EQ(data.Runs[1].Logical, 12 + k + k * k + k * k);  // the triple's second entry
  ASSERT_EQ(data.IndirectRuns.size(), 1u);
  EXPECT_EQ(data.IndirectRuns[0].Physical, 20u);
  EXPECT_EQ(data.IndirectRuns[0].Count, 3u);
  EXPECT_EQ(data.Problems, (std::vector<std::string>{"the block map reaches block 20 a second time (a loop)",
                                                     "the block map names block 1000 (logical block " +
                                                         std::to_string(12 + k + 2 * k * k + 2) + "), outside the volume"}));
  EXPECT_EQ(v.reads, 3);
}

TEST(ExtBadInputTest, DirectoryRecordsThatDoNotFitEndTheListingWithALine) {
  Superblock sb;
  sb.BlockBytes = 1024;
  sb.InodesCount = 100;
  sb.Incompat = kIncompatFiletype;
  // Two sound records ("." and "a"), then the third as each case makes it.
  struct Case {
    uint16_t length;
    uint8_t nameLength;
    std::string problem;
  };
  for (const Case& c : std::vector<Case>{
           {0, 1, "the record at byte 24 has a length of 0 (too short); the records after it are not read"},
           {1002, 1, "the record at byte 24 has a length of 1002 (not a multiple of 4); the records after it are not read"},
           {1004, 1, "the record at byte 24 has a length of 1004 (past the block); the records after it are not read"},
           {12, 9, "the name at byte 24 (9 bytes) runs past its record of 12"},
       }) {
    std::vector<uint8_t> b(1024, 0);
    const auto record = [&](size_t at, uint32_t inode, uint16_t length, uint8_t nameLength, const char* name) {
      Put(b, at, inode, 4);
      Put(b, at + 4, length, 2);
      b[at + 6] = nameLength;
      b[at + 7] = 1;
      std::copy(name, name + std::strlen(name), b.begin() + static_cast<ptrdiff_t>(at + 8));
    };
    record(0, 2, 12, 1, ".");
    record(12, 12, 12, 1, "a");
    record(24, 13, c.length, c.nameLength, "bbbbbbbbb");
    const DirectoryBlock dir = ParseDirectoryBlock(sb, b);
    EXPECT_EQ(dir.Kind, DirectoryKind::Linear);
    ASSERT_GE(dir.Entries.size(), 2u);
    EXPECT_EQ(dir.Entries[1].Name, "a");
    EXPECT_EQ(dir.Problems, std::vector<std::string>{c.problem});
  }
  // A first record that is no record: no directory at all.
  EXPECT_EQ(ParseDirectoryBlock(sb, std::vector<uint8_t>(1024, 0)).Kind, DirectoryKind::NotADirectory);
}

}  // namespace
}  // namespace korvalane::ext
