// fields --compare-backup on copies of the samples whose primary or backup was changed a
// byte at a time: every field whose bytes differ is named with the offsets of those bytes,
// the fields a sound backup holds otherwise are marked and their relations checked, and
// fsck.fat and sgdisk judge the same copies.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "core/disk/Crc32.h"
#include "fixtures/Samples.h"

namespace korvalane::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

// A byte string written at an offset of an image.
struct Patch {
  uint64_t Offset;
  std::string Bytes;
};

// The lines of one comparison: those after the line that names the pair, up to the next
// such line.
std::vector<std::string> Section(const std::vector<std::string>& lines, const std::string& title) {
  const std::regex pair(R"(^[^ ].*: sectors? \d+(-\d+)? and its backup at sectors? \d+(-\d+)?$)");
  std::vector<std::string> section;
  bool inside = false;
  for (const std::string& line : lines) {
    if (std::regex_match(line, pair)) {
      inside = line.starts_with(title + ": ");
      if (inside) section.push_back(line);
    } else if (inside) {
      section.push_back(line);
    }
  }
  return section;
}

// The lines of a comparison that name damage: those before the fields that differ by
// design, without the line that names the pair and the one that says nothing differs.
std::vector<std::string> Damage(const std::vector<std::string>& section) {
  std::vector<std::string> damage;
  for (size_t i = 1; i < section.size(); ++i) {
    if (section[i].ends_with("these fields differ by design:") || section[i] == "These fields differ by design:") break;
    if (section[i] != "No field differs") damage.push_back(section[i]);
  }
  return damage;
}

class CompareBackupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("korvalane-compare-backup-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A copy of a sample with the patches written: the samples themselves are never written.
  std::string Patched(const std::string& sample, const std::vector<Patch>& patches) {
    const fs::path copy = dir_ / sample;
    fs::copy_file(SamplePath(sample), copy, fs::copy_options::overwrite_existing);
    std::fstream file(copy, std::ios::in | std::ios::out | std::ios::binary);
    for (const Patch& patch : patches) {
      file.seekp(static_cast<std::streamoff>(patch.Offset));
      file.write(patch.Bytes.data(), static_cast<std::streamsize>(patch.Bytes.size()));
    }
    return copy.string();
  }

  // The bytes of an image at an offset.
  static std::vector<uint8_t> Read(const std::string& image, uint64_t offset, size_t size) {
    std::vector<uint8_t> bytes(size);
    std::ifstream file(image, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(offset));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    return bytes;
  }

  static std::vector<std::string> Compare(const std::string& image) {
    const CommandResult result = RunCli({"fields", "--compare-backup", image});
    EXPECT_EQ(result.Status, 0) << result.Err;
    return Lines(result.Out);
  }

  // jq's compact, raw answer to a filter over the JSON of the comparison.
  std::string Jq(const std::string& image, const std::string& filter) {
    const CommandResult result = RunCli({"fields", "--compare-backup", "--json", image});
    EXPECT_EQ(result.Status, 0) << result.Err;
    const fs::path file = dir_ / "comparison.json";
    std::ofstream(file) << result.Out;
    const CommandResult jq = testing::Run({"jq", "-rc", filter, file.string()});
    EXPECT_EQ(jq.Status, 0) << jq.Err;
    std::string out = jq.Out;
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
  }

  fs::path dir_;
};

// A boot sector's backup that differs from its primary only in boot code, where the shown
// value (its first 16 bytes) reads the same: the field is named with the offsets of the
// differing bytes.
TEST_F(CompareBackupTest, BootCodeThatDiffersIsNamedWithItsOffsets) {
  struct Case {
    const char* Sample;
    const char* Title;
    uint64_t BackupStart;  // byte of the image where the backup copy starts
    std::vector<Patch> InBackup;  // offsets within the copy
    const char* LineEnd;  // how the field's line ends
    const char* Runs;  // the JSON's runs of the difference
  };
  const Case cases[] = {
      {"fat32.img", "FAT32 boot sector", 6 * 512, {{0x100, "\x11"}},
       "0x05A  420  Boot code  00  |  11  (1 byte differs, at 0x100)", R"([[256,1]])"},
      {"ntfs.img", "NTFS boot sector", 32767 * 512, {{0x150, "\xA5\xA5"}}, "(2 bytes differ, at 0x150-0x151)",
       R"([[336,2]])"},
      {"exfat.img", "exFAT boot sector", 12 * 512, {{0xC8, "\xA5"}}, "(1 byte differs, at 0x0C8)", R"([[200,1]])"},
      // Six places: the first four are named, and the count says how many there are.
      {"ntfs.img", "NTFS boot sector", 32767 * 512,
       {{0x100, "\xA5"}, {0x102, "\xA5"}, {0x104, "\xA5"}, {0x106, "\xA5"}, {0x108, "\xA5"}, {0x10A, "\xA5\xA5"}},
       "(7 bytes differ in 6 places, the first at 0x100, 0x102, 0x104, 0x106)",
       R"([[256,1],[258,1],[260,1],[262,1],[264,1],[266,2]])"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.Sample) + " at " + std::to_string(c.InBackup.front().Offset));
    // The exFAT sample's percentage in use differs by design; nothing else differs.
    const std::vector<std::string> healthy = Damage(Section(Compare(SamplePath(c.Sample)), c.Title));
    EXPECT_EQ(healthy, std::vector<std::string>{}) << healthy.front();

    std::vector<Patch> patches = c.InBackup;
    for (Patch& patch : patches) patch.Offset += c.BackupStart;
    const std::string image = Patched(c.Sample, patches);
    const std::vector<std::string> damage = Damage(Section(Compare(image), c.Title));
    ASSERT_EQ(damage.size(), 1u) << "one line for the boot code, none for any other field";
    EXPECT_TRUE(damage[0].find("  Boot code  ") != std::string::npos) << damage[0];
    EXPECT_TRUE(damage[0].ends_with(c.LineEnd)) << damage[0];
    const std::string selected = ".comparisons[] | select(.title == \"" + std::string(c.Title) + "\")";
    EXPECT_EQ(Jq(image, selected + " | [.differences[] | select(.expected | not) | .runs[] | [.offset, .size]]"), c.Runs);
    EXPECT_EQ(Jq(image, selected + " | .agrees"), "false");
    EXPECT_EQ(Jq(SamplePath(c.Sample), selected + " | .agrees"), "true");
  }
}

// fsck.fat compares the FAT32 boot sector with its backup byte by byte: the bytes it names
// are the ones named here.
TEST_F(CompareBackupTest, FsckFatNamesTheSameBytes) {
  const std::string image = Patched("fat32.img", {{6 * 512 + 0x100, "\x11\x22"}, {6 * 512 + 0x1F0, "\x33"}});
  const CommandResult fsck = testing::Run({"fsck.fat", "-n", image});
  std::vector<std::string> named;
  const std::regex difference(R"((\d+):[0-9a-f]{2}/[0-9a-f]{2})");
  for (auto it = std::sregex_iterator(fsck.Out.begin(), fsck.Out.end(), difference); it != std::sregex_iterator(); ++it) {
    named.push_back((*it)[1]);
  }
  EXPECT_EQ(named, (std::vector<std::string>{"256", "257", "496"})) << fsck.Out;
  const std::string offsets = Jq(image, "[.comparisons[0].differences[].runs[] | range(.offset; .offset + .size) | tostring]");
  EXPECT_EQ(offsets, R"(["256","257","496"])");
  // Each run's bytes, as fsck.fat names them.
  EXPECT_EQ(Jq(image, "[.comparisons[0].differences[].runs[] | .primary + \"/\" + .backup]"), R"(["0000/1122","00/33"])");
  EXPECT_EQ(Damage(Section(Compare(image), "FAT32 boot sector")).at(0),
            "0x05A  420  Boot code  00 00, 00  |  11 22, 33  (3 bytes differ, at 0x100-0x101, 0x1F0)");
  EXPECT_EQ(testing::Run({"fsck.fat", "-n", SamplePath("fat32.img")}).Out.find("differences between boot sector"),
            std::string::npos);
}

// A healthy GPT: its backup header differs from the primary in its own CRC32, its place,
// its partner's place and its entry array's place, each by the relation the format sets;
// the entry arrays are equal. sgdisk finds no problem.
TEST_F(CompareBackupTest, AHealthyGptAgreesWithItsBackup) {
  const std::string disk = SamplePath("disk-gpt.img");
  const std::vector<std::string> lines = Compare(disk);
  ASSERT_EQ(lines.size(), 8u) << lines.size();
  EXPECT_EQ(lines[0], "GPT header: sector 1 and its backup at sector 131071");
  EXPECT_EQ(lines[1], "The backup agrees; these fields differ by design:");
  EXPECT_TRUE(lines[2].starts_with("0x010  4  Header CRC32  0x")) << lines[2];
  EXPECT_TRUE(lines[2].ends_with("  (each copy's Header CRC32 holds)")) << lines[2];
  EXPECT_EQ(lines[3], "0x018  8  Current LBA  1 (0x1)  |  131071 (0x1FFFF)  (the backup's Current LBA is the primary's Backup LBA)");
  EXPECT_EQ(lines[4], "0x020  8  Backup LBA  131071 (0x1FFFF)  |  1 (0x1)  (the backup's Backup LBA is the primary's Current LBA)");
  EXPECT_TRUE(lines[5].starts_with("0x048  8  Partition entries LBA  2 (0x2)  |  131039 (0x1FFDF)  (the primary's entry array"))
      << lines[5];
  EXPECT_EQ(lines[6], "GPT partition entries: sectors 2-33 and its backup at sectors 131039-131070");
  EXPECT_EQ(lines[7], "No field differs");
  EXPECT_EQ(Jq(disk, "[.comparisons[] | [.structure, .agrees, .sectors, ([.differences[] | select(.expected | not)] | length)]]"),
            R"([["gpt-header",true,1,0],["gpt-entries",true,32,0]])");
  EXPECT_NE(testing::Run({"sgdisk", "-v", disk}).Out.find("No problems found"), std::string::npos);
}

// An entry changed in the backup array (its name, one letter) is named in the arrays'
// comparison; sgdisk finds the backup table damaged too.
TEST_F(CompareBackupTest, AChangedBackupEntryIsNamed) {
  const uint64_t backupArray = 131039 * 512;
  const std::string disk = Patched("disk-gpt.img", {{backupArray + 128 + 56, "D"}});
  const std::vector<std::string> entries = Section(Compare(disk), "GPT partition entries");
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[1], "0x0B8  72  Entry 2: Name  \"data\"  |  \"Data\"  (1 byte differs, at 0x0B8)");
  EXPECT_EQ(Section(Compare(disk), "GPT header").at(1), "The backup agrees; these fields differ by design:");
  EXPECT_EQ(testing::Run({"sgdisk", "-v", disk}).Out.find("No problems found"), std::string::npos);

  // The last LBA of the first entry changed in the primary array.
  const std::string primary = Patched("disk-gpt.img", {{2 * 512 + 40, "\x00\x30"s}});
  EXPECT_EQ(Section(Compare(primary), "GPT partition entries").at(1),
            "0x028  8  Entry 1: Last LBA  12288 (0x3000)  |  18431 (0x47FF)");
}

// A backup header rewritten with its CRC32 made anew: the fields that differ by design are
// listed as damage where their relation fails, and a relation that fails where the bytes
// agree is named on its own.
TEST_F(CompareBackupTest, RelationsOfTheBackupGptHeaderAreChecked) {
  const uint64_t backupHeader = 131071 * 512;
  struct Case {
    std::vector<Patch> InHeader;
    bool NewCrc;
    std::vector<std::string> Lines;  // those after the pair's line
  };
  const std::string crcFails = "0x010  4  Header CRC32  ";
  const std::string designed = "These fields differ by design:";
  const std::string arrayFails =
      "0x048  8  Partition entries LBA  2 (0x2)  |  131039 (0x1FFDF)  (differs by design only where the primary's entry array";
  const Case cases[] = {
      {{{32, "\x05\0\0\0\0\0\0\0"s}}, true,
       {"0x020  8  Backup LBA  131071 (0x1FFFF)  |  5 (0x5)  (differs by design only where the backup's Backup LBA is "
        "the primary's Current LBA; here it does not)",
        designed}},
      {{{24, "\x01\0\0\0\0\0\0\0"s}}, true,
       {arrayFails, "Fails: the backup's Current LBA is the primary's Backup LBA", designed}},
      {{{0x100, "\x01"}}, false, {"0x100  1  Bytes outside the fields  00  |  01", designed}},
      {{{40, "\x23"}}, false, {crcFails, "0x028  8  First usable LBA  2048 (0x800)  |  2083 (0x823)", designed}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Lines.front());
    std::vector<Patch> patches;
    std::vector<uint8_t> header = Read(SamplePath("disk-gpt.img"), backupHeader, 92);
    for (const Patch& patch : c.InHeader) {
      patches.push_back({backupHeader + patch.Offset, patch.Bytes});
      if (patch.Offset + patch.Bytes.size() <= header.size()) {
        std::copy(patch.Bytes.begin(), patch.Bytes.end(), header.begin() + static_cast<std::ptrdiff_t>(patch.Offset));
      }
    }
    if (c.NewCrc) {
      std::fill_n(header.begin() + 16, 4, 0);
      const uint32_t crc = Crc32(header);
      patches.push_back({backupHeader + 16, std::string{static_cast<char>(crc), static_cast<char>(crc >> 8),
                                                        static_cast<char>(crc >> 16), static_cast<char>(crc >> 24)}});
    }
    const std::vector<std::string> section = Section(Compare(Patched("disk-gpt.img", patches)), "GPT header");
    ASSERT_GE(section.size(), c.Lines.size() + 1);
    for (size_t i = 0; i < c.Lines.size(); ++i) EXPECT_TRUE(section[1 + i].starts_with(c.Lines[i])) << section[1 + i];
    EXPECT_TRUE(section[c.Lines.size() + 1].starts_with("0x0")) << "the fields that keep their relations follow";
  }
}

// exFAT's volume flags and percentage in use, FAT32's state byte and FSInfo hints: a
// mounted or used volume changes them in the primary only.
TEST_F(CompareBackupTest, FieldsOnlyThePrimaryFollowsAreMarked) {
  const std::string exfat = Patched("exfat.img", {{106, "\x02"}, {112, "\x2A"}});
  const std::vector<std::string> boot = Section(Compare(exfat), "exFAT boot sector");
  ASSERT_EQ(boot.size(), 4u);
  EXPECT_EQ(boot[1], "The backup agrees; these fields differ by design:");
  EXPECT_TRUE(boot[2].starts_with("0x06A  2  Volume flags  0x0002 (volume dirty)  |  0x0000  (stale in the backup")) << boot[2];
  EXPECT_TRUE(boot[3].starts_with("0x070  1  Percent in use  42 (0x2A)  |  ")) << boot[3];
  EXPECT_EQ(Jq(exfat, "[.comparisons[] | .agrees]"), "[true,true]");

  struct Case {
    Patch InPrimary;
    const char* Field;
    bool Agrees;
  };
  const Case fat32[] = {
      {{65, "\x01"}, "Reserved", true},   // the state byte: not cleanly unmounted
      {{65, "\x03"}, "Reserved", true},   // and a disk error met
      {{65, "\x04"}, "Reserved", false},  // no such state bit
      {{512 + 488, "\xFF\xFF\xFF\xFF"}, "Free cluster count", true},
      {{512 + 492, "\x07\0\0\0"s}, "Next free cluster", true},
  };
  for (const Case& c : fat32) {
    SCOPED_TRACE(c.InPrimary.Offset);
    const std::string image = Patched("fat32.img", {c.InPrimary});
    EXPECT_EQ(Jq(image, "[.comparisons[] | .agrees] | all"), c.Agrees ? "true" : "false");
    EXPECT_EQ(Jq(image, "[.comparisons[].differences[] | select(.name == \"" + std::string(c.Field) +
                            "\") | [.offset, .expected, .relationHolds]]"),
              "[[" + std::to_string(c.InPrimary.Offset % 512) + ",true," + (c.Agrees ? "true" : "false") + "]]");
  }
  // A free count past the volume's clusters is no hint at all.
  const std::string count = Patched("fat32.img", {{7 * 512 + 488, "\x00\x00\x00\x10"s}});
  const std::vector<std::string> fsinfo = Damage(Section(Compare(count), "FAT32 FSInfo sector"));
  ASSERT_EQ(fsinfo.size(), 1u);
  EXPECT_TRUE(fsinfo[0].starts_with("0x1E8  4  Free cluster count  ")) << fsinfo[1];
  EXPECT_TRUE(fsinfo[0].ends_with("|  268435456 (0x10000000)  (differs by design only where the backup's is a stale hint: "
                                  "0xFFFFFFFF or at most the volume's clusters; here it does not)"))
      << fsinfo[0];
}

}  // namespace
}  // namespace korvalane::testing
