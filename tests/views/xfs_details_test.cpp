// The XFS superblock, its checks and the Details report on the mkfs.xfs sample images
// (v5, v4, v5 with 4096-byte sectors), checked against xfs_db -r on the same images.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "core/fs/xfs/Superblock.h"
#include "fixtures/Samples.h"
#include "fixtures/XfsDb.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::SamplePath;
using testing::XfsDb;

// The value of "Label - value" in the report.
std::string Value(const std::vector<std::string>& report, const std::string& label) {
  for (const std::string& line : report) {
    if (line.rfind(label + " - ", 0) == 0) return line.substr(label.size() + 3);
  }
  ADD_FAILURE() << "no line " << label;
  return {};
}

std::vector<std::string> Details(const std::string& image) {
  const testing::CommandResult result = testing::RunCli({"details", image});
  EXPECT_EQ(result.Status, 0) << result.Err;
  return Lines(result.Out);
}

std::vector<uint8_t> FirstBytes(const std::string& image, size_t count) {
  std::vector<uint8_t> bytes(count);
  std::ifstream file(image, std::ios::binary);
  file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
  EXPECT_TRUE(file) << image;
  return bytes;
}

struct Sample {
  const char* name;
  uint32_t sectorBytes;
  bool crc;
};
void PrintTo(const Sample& s, std::ostream* out) { *out << s.name; }

class XfsDetails : public ::testing::TestWithParam<Sample> {};

TEST_P(XfsDetails, SuperblockLinesAgreeWithXfsDb) {
  const Sample& s = GetParam();
  const std::string image = SamplePath(std::string(s.name) + ".img");
  std::map<std::string, std::string> sb = XfsDb(image, {"sb 0", "print"});
  const std::vector<std::string> report = Details(image);
  ASSERT_FALSE(report.empty());
  EXPECT_EQ(report[0], "Drive C:\\, XFS");
  EXPECT_EQ(Value(report, "Bytes per sector"), sb["sectsize"]);
  EXPECT_EQ(Value(report, "Bytes per block"), sb["blocksize"]);
  EXPECT_EQ(Value(report, "Blocks"), sb["dblocks"]);
  EXPECT_EQ(Value(report, "Sectors"),
            std::to_string(std::stoull(sb["dblocks"]) * std::stoull(sb["blocksize"]) / s.sectorBytes));
  EXPECT_EQ(Value(report, "Free blocks"), sb["fdblocks"]);
  EXPECT_EQ(Value(report, "Allocation groups"), sb["agcount"]);
  EXPECT_EQ(Value(report, "Blocks per allocation group"), sb["agblocks"]);
  EXPECT_EQ(Value(report, "Inodes"), sb["icount"]);
  EXPECT_EQ(Value(report, "Free inodes"), sb["ifree"]);
  EXPECT_EQ(Value(report, "Inode size"), sb["inodesize"]);
  EXPECT_EQ(Value(report, "Inodes per block"), sb["inopblock"]);
  EXPECT_EQ(Value(report, "Root inode"), sb["rootino"]);
  EXPECT_EQ(Value(report, "Log blocks"), sb["logblocks"]);
  EXPECT_EQ(Value(report, "UUID"), sb["uuid"]);
  EXPECT_EQ(Value(report, "Volume name"), "KORVALANE");
  EXPECT_EQ(Value(report, "Version"), s.crc ? "5" : "4");
  // The log's start as AG and block: xfs_db's convert gives both from the fsblock.
  const testing::CommandResult agno = testing::Run({"xfs_db", "-r", "-c", "convert fsb " + sb["logstart"] + " agno", image});
  const testing::CommandResult agbno = testing::Run({"xfs_db", "-r", "-c", "convert fsb " + sb["logstart"] + " agbno", image});
  const std::regex decimal(R"(\((\d+)\))");
  std::smatch a, b;
  ASSERT_TRUE(std::regex_search(agno.Out, a, decimal)) << agno.Out;
  ASSERT_TRUE(std::regex_search(agbno.Out, b, decimal)) << agbno.Out;
  EXPECT_EQ(Value(report, "Log start (AG/block)"), a[1].str() + "/" + b[1].str());

  const std::string features = Value(report, "Features");
  EXPECT_EQ(features.find("crc") != std::string::npos, s.crc) << features;
  if (s.crc) {
    // xfs_db: "crc = 0x8ab87c1b (correct)".
    const std::string crc = sb["crc"];
    ASSERT_NE(crc.find("(correct)"), std::string::npos);
    EXPECT_EQ(Value(report, "Superblock checksum"), testing::XfsDbChecksum(crc) + ", verified");
    EXPECT_NE(features.find("finobt"), std::string::npos);
    EXPECT_NE(features.find("sparse_inodes"), std::string::npos);
  } else {
    for (const std::string& line : report) EXPECT_EQ(line.find("checksum"), std::string::npos) << line;
  }
}

TEST_P(XfsDetails, OneLinePerAllocationGroupFromItsAgfAndAgi) {
  const Sample& s = GetParam();
  const std::string image = SamplePath(std::string(s.name) + ".img");
  const std::vector<std::string> report = Details(image);
  const uint32_t agcount = std::stoul(XfsDb(image, {"sb 0", "print agcount"})["agcount"]);
  const uint32_t agblocks = std::stoul(XfsDb(image, {"sb 0", "print agblocks"})["agblocks"]);
  std::vector<std::string> lines;
  for (const std::string& line : report) {
    if (line.rfind("AG ", 0) == 0) lines.push_back(line);
  }
  ASSERT_EQ(lines.size(), agcount);
  for (uint32_t ag = 0; ag < agcount; ++ag) {
    std::map<std::string, std::string> h = XfsDb(image, {"agf " + std::to_string(ag), "print freeblks length",
                                                          "agi " + std::to_string(ag), "print count freecount"});
    EXPECT_EQ(lines[ag], "AG " + std::to_string(ag) + " - start block " + std::to_string(uint64_t{ag} * agblocks) +
                             ", blocks " + h["length"] + ", free blocks " + h["freeblks"] + ", inodes " + h["count"] +
                             ", free inodes " + h["freecount"]);
  }
}

TEST_P(XfsDetails, DriveLabelNamesXfsWithTheSuperblocksSectors) {
  const Sample& s = GetParam();
  const std::string image = SamplePath(std::string(s.name) + ".img");
  const testing::CommandResult result = testing::RunCli({"drives", image});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const uint64_t sectors = uint64_t{300} * 1048576 / s.sectorBytes;
  EXPECT_EQ(result.Out.rfind("C: XFS, 300 Mb," + std::to_string(sectors) + " sectors", 0), 0u) << result.Out;
}

TEST_P(XfsDetails, JsonCarriesTheSameValues) {
  const Sample& s = GetParam();
  const std::string image = SamplePath(std::string(s.name) + ".img");
  const testing::CommandResult result = testing::RunCli({"details", image, "--json"});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_NE(result.Out.find("\"fileSystem\": \"XFS\""), std::string::npos);
  EXPECT_NE(result.Out.find("\"bytesPerSector\": " + std::to_string(s.sectorBytes)), std::string::npos);
  EXPECT_NE(result.Out.find("\"groups\": ["), std::string::npos);
  EXPECT_EQ(result.Out.find("\"verified\": true") != std::string::npos, s.crc);
}

INSTANTIATE_TEST_SUITE_P(Samples, XfsDetails,
                         ::testing::Values(Sample{"xfs5", 512, true}, Sample{"xfs4", 512, false},
                                           Sample{"xfs5-4k", 4096, true}),
                         [](const auto& info) { return info.param.crc ? (info.param.sectorBytes == 512 ? "v5" : "v5_4k") : "v4"; });

TEST(XfsSuperblock, DamagedByteFailsTheChecksumButStillParses) {
  std::vector<uint8_t> bytes = FirstBytes(SamplePath("xfs5.img"), 512);
  xfs::SuperblockParse good = xfs::ParseSuperblock(bytes, 0);
  ASSERT_TRUE(good.Value) << good.Problem;
  ASSERT_TRUE(good.Value->SuperblockChecksum);
  EXPECT_TRUE(good.Value->SuperblockChecksum->Ok());
  bytes[108] ^= 0x20;  // the label's first letter
  xfs::SuperblockParse bad = xfs::ParseSuperblock(bytes, 0);
  ASSERT_TRUE(bad.Value) << bad.Problem;
  EXPECT_FALSE(bad.Value->SuperblockChecksum->Ok());
  EXPECT_EQ(bad.Value->SuperblockChecksum->Stored, good.Value->SuperblockChecksum->Stored);
}

TEST(XfsSuperblock, DamagedImageShowsTheMismatchInDetails) {
  const std::string copy = (std::filesystem::temp_directory_path() / "korvalane-xfs-damaged.img").string();
  ASSERT_EQ(testing::Run({"cp", "--sparse=always", SamplePath("xfs5.img"), copy}).Status, 0);
  {
    std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(108);
    file.put('k');
  }
  const std::vector<std::string> report = Details(copy);
  EXPECT_EQ(Value(report, "Volume name"), "kORVALANE");
  EXPECT_EQ(Value(report, "Superblock checksum").rfind("mismatch: stored 0x", 0), 0u);
  std::filesystem::remove(copy);
}

// Big-endian fields of the superblock a case rewrites.
void PutBe(std::vector<uint8_t>& b, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) b[offset + i] = static_cast<uint8_t>(value >> (8 * (width - 1 - i)));
}

TEST(XfsSuperblock, HostileFieldsAreRefusedWithTheirReason) {
  const std::vector<uint8_t> sample = FirstBytes(SamplePath("xfs5.img"), 512);
  struct Case {
    const char* what;
    size_t offset;
    uint64_t value;
    size_t width;
    uint64_t volumeBytes;
    const char* reason;
  } cases[] = {
      {"no magic", 0, 0x58465343, 4, 0, "no XFS superblock"},
      {"agcount 0", 88, 0, 4, 0, "allocation group count 0"},
      {"agcount past dblocks", 88, 40, 4, 0, "do not make the"},
      {"agcount too few", 88, 2, 4, 0, "do not make the"},
      {"block log out of range", 120, 17, 1, 0, "block size"},
      {"block size not its log", 4, 8192, 4, 0, "block size"},
      {"sector log out of range", 121, 8, 1, 0, "sector size"},
      {"sector larger than block", 102, 8192, 2, 0, "sector size"},
      {"inode size not its log", 104, 1024, 2, 0, "inode size"},
      {"agblocks past their log", 84, 40000, 4, 0, "do not fit their log"},
      {"dblocks past the volume", 8, 76800, 8, 100 * 1048576, "past the end of the volume"},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = sample;
    PutBe(bytes, c.offset, c.value, c.width);
    const xfs::SuperblockParse parse = xfs::ParseSuperblock(bytes, c.volumeBytes);
    EXPECT_FALSE(parse.Value) << c.what;
    EXPECT_NE(parse.Problem.find(c.reason), std::string::npos) << c.what << ": " << parse.Problem;
  }
  EXPECT_TRUE(xfs::ParseSuperblock(sample, 300 * 1048576).Value);
  EXPECT_FALSE(xfs::ParseSuperblock(std::span(sample).first(100), 0).Value);
}

}  // namespace
}  // namespace korvalane
