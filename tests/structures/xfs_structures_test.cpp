// The XFS header decoders of `fields` (superblock, AGF, AGI, AGFL) and the comparison of
// AG 0's superblock with AG 1's on the mkfs.xfs samples, against xfs_db -r; a damaged
// header fails its CRC32c.
#include <gtest/gtest.h>

#include <algorithm>
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

using testing::Lines;
using testing::SamplePath;
using testing::XfsDb;

struct Fields {
  std::map<std::string, std::string> Numbers;  // "Free blocks" -> "2744"
  std::vector<std::string> Checks;
  std::string Title;
};

Fields DecodeAt(const std::string& image, uint64_t sector) {
  const testing::CommandResult result = testing::RunCli({"fields", image, std::to_string(sector)});
  EXPECT_EQ(result.Status, 0) << result.Err;
  Fields f;
  const std::regex field(R"(^0x[0-9A-F]+  \d+  (.+?)  (\d+) \(0x[0-9A-F]+\)$)");
  bool checks = false;
  for (const std::string& line : Lines(result.Out)) {
    if (f.Title.empty()) f.Title = line;
    if (line == "Checks:") checks = true;
    std::smatch m;
    if (checks) f.Checks.push_back(line);
    else if (std::regex_match(line, m, field)) f.Numbers[m[1]] = m[2];
  }
  return f;
}

struct Sample {
  const char* name;
  uint32_t sectorBytes;
  bool crc;
};
void PrintTo(const Sample& s, std::ostream* out) { *out << s.name; }

class XfsHeaders : public ::testing::TestWithParam<Sample> {};

TEST_P(XfsHeaders, EveryAgsHeadersAgreeWithXfsDbAndTheirChecksHold) {
  const Sample& s = GetParam();
  const std::string image = SamplePath(std::string(s.name) + ".img");
  const std::map<std::string, std::string> sb0 = XfsDb(image, {"sb 0", "print"});
  const uint32_t agcount = std::stoul(sb0.at("agcount"));
  const uint64_t agSectors = std::stoull(sb0.at("agblocks")) * std::stoull(sb0.at("blocksize")) / s.sectorBytes;
  for (uint32_t ag = 0; ag < agcount; ++ag) {
    const std::string n = std::to_string(ag);
    const uint64_t first = ag * agSectors;
    const Fields sb = DecodeAt(image, first);
    EXPECT_EQ(sb.Title, "XFS superblock at sector " + std::to_string(first));
    const std::map<std::string, std::string> dbsb = XfsDb(image, {"sb " + n, "print"});
    EXPECT_EQ(sb.Numbers.at("AG count"), dbsb.at("agcount"));
    EXPECT_EQ(sb.Numbers.at("Data blocks"), dbsb.at("dblocks"));
    EXPECT_EQ(sb.Numbers.at("Free data blocks"), dbsb.at("fdblocks"));
    EXPECT_EQ(sb.Numbers.at("Inodes allocated"), dbsb.at("icount"));

    const Fields agf = DecodeAt(image, first + 1);
    const std::map<std::string, std::string> dbagf = XfsDb(image, {"agf " + n, "print"});
    EXPECT_EQ(agf.Numbers.at("AG number"), dbagf.at("seqno"));
    EXPECT_EQ(agf.Numbers.at("Free blocks"), dbagf.at("freeblks"));
    EXPECT_EQ(agf.Numbers.at("Longest free extent"), dbagf.at("longest"));
    EXPECT_EQ(agf.Numbers.at("Free list count"), dbagf.at("flcount"));
    EXPECT_EQ(agf.Numbers.at("Free space by block btree root"), dbagf.at("bnoroot"));

    const Fields agi = DecodeAt(image, first + 2);
    const std::map<std::string, std::string> dbagi = XfsDb(image, {"agi " + n, "print"});
    EXPECT_EQ(agi.Numbers.at("Inodes allocated"), dbagi.at("count"));
    EXPECT_EQ(agi.Numbers.at("Free inodes"), dbagi.at("freecount"));
    EXPECT_EQ(agi.Numbers.at("Inode btree root"), dbagi.at("root"));
    EXPECT_EQ(agi.Numbers.at("Newest inode chunk"), dbagi.at("newino"));
    if (s.crc) {
      EXPECT_EQ(agi.Numbers.at("Free inode btree root"), dbagi.at("free_root"));
    }

    const Fields agfl = DecodeAt(image, first + 3);
    EXPECT_EQ(agfl.Title, "XFS free list (AGFL) at sector " + std::to_string(first + 3));
    // Every used slot of the ring as xfs_db lists them: "bno[0-118] = 0:null 1:6 2:7 ...".
    const testing::CommandResult db = testing::Run({"xfs_db", "-r", "-c", "agfl " + n, "-c", "print bno", image});
    std::map<std::string, std::string> slots;
    const std::regex slot(R"((\d+):(\d+))");
    for (auto it = std::sregex_iterator(db.Out.begin(), db.Out.end(), slot); it != std::sregex_iterator(); ++it) {
      slots["Slot " + (*it)[1].str()] = (*it)[2];
    }
    std::map<std::string, std::string> shown;
    for (const auto& [name, value] : agfl.Numbers) {
      if (name.rfind("Slot ", 0) == 0) shown[name] = value;
    }
    EXPECT_EQ(shown, slots);
    EXPECT_EQ(shown.size(), std::stoul(dbagf.at("flcount")));

    for (const Fields* f : {&sb, &agf, &agi, &agfl}) {
      // A v4 free list is a bare array: nothing to check.
      const size_t checks = s.crc ? 3u : (f == &agfl ? 0u : 2u);
      ASSERT_EQ(f->Checks.size(), checks) << f->Title;
      for (size_t i = 1; i < f->Checks.size(); ++i) EXPECT_NE(f->Checks[i].find(": holds"), std::string::npos) << f->Checks[i];
      const bool hasCrc = std::any_of(f->Checks.begin(), f->Checks.end(), [](const std::string& c) { return c.rfind("CRC32c", 0) == 0; });
      if (f != &agfl || s.crc) {
        EXPECT_EQ(hasCrc, s.crc) << f->Title;
      }
    }
    if (s.crc) {
      EXPECT_NE(dbagf.at("crc").find("(correct)"), std::string::npos);
    }
  }
}

TEST_P(XfsHeaders, SecondarySuperblockAgreesWithThePrimary) {
  const Sample& s = GetParam();
  const std::string image = SamplePath(std::string(s.name) + ".img");
  const testing::CommandResult result = testing::RunCli({"fields", "--compare-backup", image});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const std::vector<std::string> lines = Lines(result.Out);
  ASSERT_FALSE(lines.empty());
  const uint64_t agSectors = uint64_t{19200} * 4096 / s.sectorBytes;
  EXPECT_EQ(lines[0], "XFS superblock: sector 0 and its backup at sector " + std::to_string(agSectors));
  const testing::CommandResult json = testing::RunCli({"fields", "--compare-backup", image, "--json"});
  EXPECT_NE(json.Out.find("\"agrees\": true"), std::string::npos) << result.Out;
}

INSTANTIATE_TEST_SUITE_P(Samples, XfsHeaders,
                         ::testing::Values(Sample{"xfs5", 512, true}, Sample{"xfs4", 512, false},
                                           Sample{"xfs5-4k", 4096, true}),
                         [](const auto& info) { return info.param.crc ? (info.param.sectorBytes == 512 ? "v5" : "v5_4k") : "v4"; });

// A copy of the v5 sample with one byte changed.
std::string DamagedCopy(const std::string& name, uint64_t byte, char value) {
  const std::string copy = (std::filesystem::temp_directory_path() / name).string();
  EXPECT_EQ(testing::Run({"cp", "--sparse=always", SamplePath("xfs5.img"), copy}).Status, 0);
  std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(static_cast<std::streamoff>(byte));
  file.put(value);
  return copy;
}

TEST(XfsDamagedHeaders, ChangedFreeCountFailsTheAgfChecksumInFieldsAndDetails) {
  // AG 1's AGF: sector 1 of the AG (19200 blocks of 4096 bytes in), its free blocks at 52.
  const uint64_t agf = uint64_t{19200} * 4096 + 512;
  const std::string copy = DamagedCopy("korvalane-xfs-agf.img", agf + 52 + 3, 0x11);
  const Fields f = DecodeAt(copy, agf / 512);
  ASSERT_FALSE(f.Checks.empty());
  EXPECT_EQ(f.Checks.back().rfind("CRC32c: fails", 0), 0u) << f.Checks.back();
  // xfs_db finds the same fault when it reads the AG's headers.
  const testing::CommandResult db = testing::Run({"xfs_db", "-r", "-c", "agf 1", "-c", "print crc", copy});
  EXPECT_NE(db.Err.find("Metadata CRC error detected"), std::string::npos) << db.Err;
  EXPECT_NE(db.Err.find("xfs_agf"), std::string::npos) << db.Err;
  const testing::CommandResult details = testing::RunCli({"details", copy});
  EXPECT_NE(details.Out.find("AG 1 - start block 19200, blocks 19200, free blocks"), std::string::npos);
  EXPECT_NE(details.Out.find(", AGF checksum mismatch: stored 0x"), std::string::npos) << details.Out;
  std::filesystem::remove(copy);
}

TEST(XfsDamagedHeaders, ChangedSecondarySuperblockDisagreesWithThePrimary) {
  // AG 2's superblock, its AG count.
  const uint64_t sb2 = uint64_t{2} * 19200 * 4096;
  const std::string copy = DamagedCopy("korvalane-xfs-sb.img", sb2 + 88 + 3, 0x07);
  // The comparison is with AG 1's copy: a damaged AG 2 shows in fields only.
  const Fields f = DecodeAt(copy, sb2 / 512);
  EXPECT_EQ(f.Numbers.at("AG count"), "7");
  EXPECT_EQ(f.Checks.back().rfind("CRC32c: fails", 0), 0u);
  std::filesystem::remove(copy);
  const uint64_t sb1 = uint64_t{19200} * 4096;
  const std::string copy1 = DamagedCopy("korvalane-xfs-sb1.img", sb1 + 88 + 3, 0x07);
  const testing::CommandResult json = testing::RunCli({"fields", "--compare-backup", copy1, "--json"});
  EXPECT_NE(json.Out.find("\"agrees\": false"), std::string::npos) << json.Out;
  EXPECT_NE(json.Out.find("\"name\": \"AG count\""), std::string::npos);
  std::filesystem::remove(copy1);
}

}  // namespace
}  // namespace korvalane
