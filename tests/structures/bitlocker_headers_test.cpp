// BitLocker volumes. Nothing here formats one, so the test builds the bytes it needs from
// the format itself: a Windows 7 volume header (EB 58 90, "-FVE-FS-", a FAT32-like
// parameter block, the BitLocker identifier and the three FVE metadata block offsets at
// 0xB0, 0xB8 and 0xC0) and three FVE metadata blocks (block header, metadata header, one
// description entry). bdeinfo (libbde) reads the same bytes as the oracle. --compare-backup
// holds the blocks against one another.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "fixtures/Samples.h"

namespace korvalane::testing {
namespace {

namespace fs = std::filesystem;

constexpr uint64_t kVolumeBytes = 4 << 20;
constexpr std::array<uint64_t, 3> kBlocks = {0x100000, 0x180000, 0x200000};
// 4967D63B-2E29-4AD8-8399-F6A339E3D001 and a volume identifier, as GUIDs are stored.
constexpr uint8_t kIdentifier[] = {0x3B, 0xD6, 0x67, 0x49, 0x29, 0x2E, 0xD8, 0x4A,
                                   0x83, 0x99, 0xF6, 0xA3, 0x39, 0xE3, 0xD0, 0x01};
constexpr uint8_t kVolumeId[] = {0x56, 0x52, 0x4F, 0x4B, 0x00, 0x00, 0x00, 0x40,
                                 0x80, 0x00, 0x00, 0x00, 0x00, 0x0B, 0x17, 0x70};
constexpr uint64_t kCreated = 132681216960000000;  // 2021-06-14 05:21:36 UTC
constexpr char kDescription[] = "KORVALANE C: 15/06/2021";

void Put(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[at + i] = static_cast<uint8_t>(value >> (8 * i));
}
void PutText(std::vector<uint8_t>& bytes, size_t at, const char* text) { std::memcpy(bytes.data() + at, text, std::strlen(text)); }

struct Volume {
  std::string Label = "NO NAME    ";
  // Where each block says the three blocks are (the volume header's by default).
  std::array<std::array<uint64_t, 3>, 3> BlockCopies = {kBlocks, kBlocks, kBlocks};
  uint16_t EntrySize = 0;  // 0: the description's own size
};

std::vector<uint8_t> Build(const Volume& v) {
  std::vector<uint8_t> image(kVolumeBytes, 0);
  const uint8_t jump[] = {0xEB, 0x58, 0x90};
  std::copy(std::begin(jump), std::end(jump), image.begin());
  PutText(image, 3, "-FVE-FS-");
  Put(image, 11, 512, 2);
  image[13] = 8;
  image[21] = 0xF8;
  Put(image, 24, 63, 2);
  Put(image, 26, 255, 2);
  Put(image, 28, 2048, 4);
  Put(image, 36, 0x1FE0, 4);
  Put(image, 44, 8, 4);
  Put(image, 48, 1, 2);
  Put(image, 50, 6, 2);
  image[64] = 0x80;
  image[66] = 0x29;
  Put(image, 67, 0x4B4F5256, 4);
  PutText(image, 71, v.Label.c_str());
  PutText(image, 82, "FAT32   ");
  std::copy(std::begin(kIdentifier), std::end(kIdentifier), image.begin() + 0xA0);
  for (size_t i = 0; i < 3; ++i) Put(image, 0xB0 + 8 * i, kBlocks[i], 8);
  Put(image, 510, 0xAA55, 2);

  std::vector<uint8_t> entry(8);
  for (const char* c = kDescription; *c != 0; ++c) entry.insert(entry.end(), {static_cast<uint8_t>(*c), 0});
  entry.insert(entry.end(), {0, 0});
  Put(entry, 0, v.EntrySize != 0 ? v.EntrySize : entry.size(), 2);
  Put(entry, 2, 0x0007, 2);  // description
  Put(entry, 4, 0x0002, 2);  // a Unicode string
  Put(entry, 6, 1, 2);
  const uint32_t metadataSize = static_cast<uint32_t>(48 + entry.size());
  for (size_t b = 0; b < 3; ++b) {
    const size_t at = kBlocks[b];
    PutText(image, at, "-FVE-FS-");
    Put(image, at + 8, 64, 2);
    Put(image, at + 10, 2, 2);  // version 2: Windows 7 and later
    Put(image, at + 12, 4, 2);
    Put(image, at + 14, 4, 2);
    Put(image, at + 16, kVolumeBytes, 8);
    Put(image, at + 28, 16, 4);
    for (size_t i = 0; i < 3; ++i) Put(image, at + 32 + 8 * i, v.BlockCopies[b][i], 8);
    Put(image, at + 56, 0x280000, 8);
    const size_t m = at + 64;
    Put(image, m, metadataSize, 4);
    Put(image, m + 4, 1, 4);
    Put(image, m + 8, 48, 4);
    Put(image, m + 12, metadataSize, 4);
    std::copy(std::begin(kVolumeId), std::end(kVolumeId), image.begin() + static_cast<std::ptrdiff_t>(m + 16));
    Put(image, m + 32, 1, 4);
    Put(image, m + 36, 0x8004, 4);  // AES-128-XTS
    Put(image, m + 40, kCreated, 8);
    std::copy(entry.begin(), entry.end(), image.begin() + static_cast<std::ptrdiff_t>(m + 48));
  }
  return image;
}

std::map<std::string, std::string> Pairs(const std::string& text, const std::string& separator) {
  std::map<std::string, std::string> values;
  for (const std::string& line : Lines(text)) {
    const size_t at = line.find(separator);
    if (at == std::string::npos) continue;
    std::string key = line.substr(0, at);
    key.erase(0, key.find_first_not_of(" \t"));
    key.erase(key.find_last_not_of(" \t") + 1);
    std::string value = line.substr(at + separator.size());
    value.erase(0, value.find_first_not_of(" \t"));
    values[key] = value;
  }
  return values;
}

std::string Upper(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  return text;
}

class BitlockerHeadersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("korvalane-bitlocker-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Write(const Volume& v, const std::string& name = "bitlocker.img") {
    const fs::path path = dir_ / name;
    const std::vector<uint8_t> bytes = Build(v);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return path.string();
  }

  static std::map<std::string, std::string> Details(const std::string& image) {
    const CommandResult result = RunCli({"details", image});
    EXPECT_EQ(result.Status, 0) << result.Err;
    return Pairs(result.Out, " - ");
  }

  fs::path dir_;
};

TEST_F(BitlockerHeadersTest, NamedAndDecodedAsBdeinfoReadsIt) {
  const std::string image = Write({});
  const CommandResult drives = RunCli({"drives", image});
  ASSERT_EQ(drives.Status, 0) << drives.Err;
  EXPECT_TRUE(drives.Out.starts_with("C: BitLocker, 4 Mb,8192 sectors")) << drives.Out;

  std::map<std::string, std::string> details = Details(image);
  EXPECT_EQ(details["Layout"], "Windows 7 and later");
  EXPECT_EQ(details["BitLocker identifier"], "4967D63B-2E29-4AD8-8399-F6A339E3D001");
  for (size_t i = 0; i < 3; ++i) {
    const std::string line = details["FVE metadata block " + std::to_string(i + 1)];
    EXPECT_TRUE(line.starts_with("at byte " + std::to_string(kBlocks[i]) + ", version 2, ")) << line;
    EXPECT_TRUE(line.ends_with(", 1 entries, offsets agree")) << line;
  }
  EXPECT_EQ(details["Encryption method"], "0x8004 (AES-128-XTS)");

  // bdeinfo reads the metadata, then fails to unlock a volume that has no key protector.
  const CommandResult bde = testing::Run({"bdeinfo", image});
  std::map<std::string, std::string> oracle = Pairs(bde.Out, ": ");
  ASSERT_FALSE(oracle["Volume identifier"].empty()) << bde.Out << bde.Err;
  EXPECT_EQ(details["Volume identifier"], Upper(oracle["Volume identifier"]));
  EXPECT_EQ(details["Description"], oracle["Description"]);
  EXPECT_EQ(oracle["Encryption method"], "AES-XTS 128-bit");
  EXPECT_EQ(oracle["Creation time"], "Jun 14, 2021 05:21:36.000000000 UTC");
  const CommandResult json = RunCli({"details", "--json", image});
  EXPECT_NE(json.Out.find("\"creationTime\": \"2021-06-14T05:21:36"), std::string::npos) << json.Out;
}

TEST_F(BitlockerHeadersTest, RecognisedBeforeNtfsWhateverItsLabelSays) {
  // A volume label of "NTFS" puts the name NTFS looks for into the boot sector's text.
  Volume v;
  v.Label = "NTFS       ";
  const CommandResult drives = RunCli({"drives", Write(v)});
  EXPECT_TRUE(drives.Out.starts_with("C: BitLocker, ")) << drives.Out;
}

TEST_F(BitlockerHeadersTest, FieldsOfTheHeaderAndEachBlock) {
  const std::string image = Write({});
  const CommandResult header = RunCli({"fields", image, "0"});
  ASSERT_EQ(header.Status, 0) << header.Err;
  EXPECT_TRUE(header.Out.starts_with("BitLocker volume header at sector 0\n")) << header.Out;
  for (const char* line : {"0x0A0  16  BitLocker identifier  4967D63B-2E29-4AD8-8399-F6A339E3D001",
                           "0x0B8  8  FVE metadata block 2 offset  1572864 (0x180000)", "Signature: holds",
                           "Boot signature: holds"}) {
    EXPECT_NE(header.Out.find(line), std::string::npos) << line;
  }
  for (size_t i = 0; i < 3; ++i) {
    const CommandResult block = RunCli({"fields", image, std::to_string(kBlocks[i] / 512)});
    ASSERT_EQ(block.Status, 0) << block.Err;
    EXPECT_TRUE(block.Out.starts_with("BitLocker FVE metadata block at sector ")) << block.Out;
    for (const char* line : {"0x064  4  Encryption method  0x00008004 (AES-128-XTS)", "0x072  2  Entry type  0x0007 (description)",
                             "0x078  48  Text  \"KORVALANE C: 15/06/2021\"", "Metadata size copy: holds",
                             "FVE metadata block 3 offset (as the volume header names it): holds"}) {
      EXPECT_NE(block.Out.find(line), std::string::npos) << line << "\n" << block.Out;
    }
  }
}

TEST_F(BitlockerHeadersTest, ABlockWhoseOffsetsDisagreeIsNamed) {
  Volume v;
  v.BlockCopies[1][2] = 0x300000;
  const std::string image = Write(v);
  std::map<std::string, std::string> details = Details(image);
  EXPECT_TRUE(details["FVE metadata block 1"].ends_with("offsets agree"));
  EXPECT_TRUE(details["FVE metadata block 2"].ends_with(
      "offsets differ: block 3 at 3145728 where the volume header says 2097152"))
      << details["FVE metadata block 2"];
  const CommandResult block = RunCli({"fields", image, std::to_string(kBlocks[1] / 512)});
  EXPECT_NE(block.Out.find("FVE metadata block 3 offset (as the volume header names it): fails (stored 3145728, computed "
                           "2097152)"),
            std::string::npos)
      << block.Out;
}

// The three FVE metadata blocks are copies: --compare-backup holds the second and the
// third against the first, headers and entries.
TEST_F(BitlockerHeadersTest, CompareBackupHoldsTheOtherBlocksAgainstTheFirst) {
  const CommandResult sound = RunCli({"fields", "--compare-backup", Write({})});
  ASSERT_EQ(sound.Status, 0) << sound.Err;
  EXPECT_EQ(Lines(sound.Out), (std::vector<std::string>{
                                  "BitLocker FVE metadata block: sector 2048 and its backup at sector 3072",
                                  "No field differs",
                                  "BitLocker FVE metadata block: sector 2048 and its backup at sector 4096",
                                  "No field differs",
                              }));

  // Block 2 names another third block; block 3's description has one letter changed.
  Volume v;
  v.BlockCopies[1][2] = 0x300000;
  const std::string image = Write(v);
  {
    std::fstream file(image, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(kBlocks[2] + 112 + 8 + 2));  // the description's "O"
    file.put('0');
  }
  const CommandResult damaged = RunCli({"fields", "--compare-backup", image});
  ASSERT_EQ(damaged.Status, 0) << damaged.Err;
  const std::vector<std::string> lines = Lines(damaged.Out);
  ASSERT_EQ(lines.size(), 4u) << damaged.Out;
  EXPECT_EQ(lines[0], "BitLocker FVE metadata block: sector 2048 and its backup at sector 3072");
  EXPECT_EQ(lines[1], "0x030  8  Block header: FVE metadata block 3 offset  2097152 (0x200000)  |  3145728 (0x300000)");
  EXPECT_EQ(lines[2], "BitLocker FVE metadata block: sector 2048 and its backup at sector 4096");
  EXPECT_TRUE(lines[3].starts_with("0x078  48  Entry 1: Text  \"KORVALANE C: 15/06/2021\"")) << lines[3];
  EXPECT_TRUE(lines[3].find("\"K0RVALANE C: 15/06/2021\"") != std::string::npos) << lines[3];

  const CommandResult json = RunCli({"fields", "--compare-backup", "--json", image});
  EXPECT_NE(json.Out.find("\"backupSector\": 4096"), std::string::npos) << json.Out;
}

TEST_F(BitlockerHeadersTest, EntriesOfHostileSizesStopTheWalk) {
  struct Case {
    uint16_t EntrySize;
    const char* Note;
  };
  const Case cases[] = {
      {3, "The entries stop: the entry at 0x0070 has a size of 3 that does not hold it in the metadata"},
      {0xFFFF, "The entries stop: the entry at 0x0070 has a size of 65535 that does not hold it in the metadata"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.EntrySize);
    Volume v;
    v.EntrySize = c.EntrySize;
    const std::string image = Write(v);
    const CommandResult block = RunCli({"fields", image, std::to_string(kBlocks[0] / 512)});
    ASSERT_EQ(block.Status, 0) << block.Err;
    EXPECT_NE(block.Out.find(c.Note), std::string::npos) << block.Out;
    EXPECT_EQ(block.Out.find("Entry 1"), std::string::npos);
    EXPECT_TRUE(Details(image)["FVE metadata block 1"].ends_with(", 0 entries, offsets agree"));
  }
}

}  // namespace
}  // namespace korvalane::testing
