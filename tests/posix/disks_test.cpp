// Whole disks as users hold them: the sample disks partitioned by sfdisk (MBR with logical
// partitions, GPT, GPT of 4096-byte sectors), read as image files and through a real loop
// device, compared with sfdisk's and The Sleuth Kit's reading of the same tables and with
// each partition cut out by dd; damaged tables, disks past 2^32 sectors, unknown and
// damaged volumes, and the reason a disk cannot be opened.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
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

struct Row {
  uint64_t Number, First, Count;
  std::string Type;  // MBR "0x07", GPT the type GUID
  bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Row& r) {
  return out << r.Number << ":" << r.First << "+" << r.Count << " " << r.Type;
}

// The partitions sfdisk reads: "disk.img5 : start= 69632, size= 16384, type=6".
std::vector<Row> SfdiskRows(const std::string& disk, uint32_t sectorSize) {
  std::vector<std::string> argv{"sfdisk", "--dump", disk};
  std::string loop;
  if (sectorSize != 512) {
    // sfdisk takes the sector size from the device it reads.
    const CommandResult attached = testing::Run({"losetup", "-f", "--show", "-r", "-b", std::to_string(sectorSize), disk});
    if (attached.Status != 0) return {};
    loop = Lines(attached.Out).at(0);
    argv.back() = loop;
  }
  const CommandResult dump = testing::Run(argv);
  if (!loop.empty()) testing::Run({"losetup", "-d", loop});
  EXPECT_EQ(dump.Status, 0) << dump.Err;
  std::vector<Row> rows;
  const std::regex line(R"((\d+) : start= *(\d+), size= *(\d+), type=([0-9A-Fa-f-]+))");
  for (auto it = std::sregex_iterator(dump.Out.begin(), dump.Out.end(), line); it != std::sregex_iterator(); ++it) {
    std::string type = (*it)[4];
    if (type.size() <= 2) type = "0x" + std::string(type.size() == 1 ? "0" : "") + type;
    for (char& c : type) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (type.starts_with("0X")) type[1] = 'x';
    rows.push_back({std::stoull((*it)[1]), std::stoull((*it)[2]), std::stoull((*it)[3]), type});
  }
  return rows;
}

// The data partitions mmls reads, as (first, count): its rows of slot "NNN" or "NNN:NNN".
std::vector<std::pair<uint64_t, uint64_t>> MmlsSpans(const std::string& disk, uint32_t sectorSize) {
  const CommandResult result = testing::Run({"mmls", "-b", std::to_string(sectorSize), disk});
  EXPECT_EQ(result.Status, 0) << result.Err;
  std::vector<std::pair<uint64_t, uint64_t>> spans;
  const std::regex row(R"(\d+:\s+\d+(?::\d+)?\s+(\d+)\s+(\d+)\s+(\d+))");
  for (const std::string& text : Lines(result.Out)) {
    std::smatch m;
    if (std::regex_search(text, m, row)) spans.emplace_back(std::stoull(m[1]), std::stoull(m[3]));
  }
  return spans;
}

// Our reading of the table: the lines of "details" after its heading.
std::vector<Row> DetailRows(const std::vector<std::string>& details) {
  std::vector<Row> rows;
  const std::regex line(R"((\d+) - (\d+) - (\d+) - (\d+) - (\S+).*)");
  for (const std::string& text : details) {
    std::smatch m;
    if (!std::regex_match(text, m, line)) continue;
    EXPECT_EQ(std::stoull(m[2]) + std::stoull(m[4]) - 1, std::stoull(m[3])) << text;
    rows.push_back({std::stoull(m[1]), std::stoull(m[2]), std::stoull(m[4]), m[5]});
  }
  return rows;
}

std::vector<std::string> CliLines(const std::vector<std::string>& args, int status = 0) {
  const CommandResult result = RunCli(args);
  EXPECT_EQ(result.Status, status) << result.Err;
  return Lines(result.Out);
}

class DisksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-disks-" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // A copy of a sample to damage.
  std::string Copy(const std::string& sample) {
    const fs::path copy = dir_ / sample;
    fs::copy_file(SamplePath(sample), copy, fs::copy_options::overwrite_existing);
    return copy.string();
  }

  // Sectors first .. first+count-1 of a disk, cut out by dd into a file of their own.
  std::string Cut(const std::string& disk, uint32_t sectorSize, uint64_t first, uint64_t count) {
    const std::string out = (dir_ / ("cut-" + std::to_string(first) + ".img")).string();
    const CommandResult dd = testing::Run({"dd", "if=" + disk, "of=" + out, "bs=" + std::to_string(sectorSize),
                                  "skip=" + std::to_string(first), "count=" + std::to_string(count), "status=none"});
    EXPECT_EQ(dd.Status, 0) << dd.Err;
    return out;
  }

  fs::path dir_;
};

struct Sample {
  const char* name;
  uint32_t sectorSize;
};

const Sample kDisks[] = {{"disk-mbr.img", 512}, {"disk-gpt.img", 512}, {"disk-gpt-4k.img", 4096}};

TEST_F(DisksTest, TheTableIsWhatSfdiskAndMmlsRead) {
  for (const Sample& s : kDisks) {
    SCOPED_TRACE(s.name);
    if (!fs::exists(SamplePath(s.name))) {
      GTEST_SKIP() << s.name << " was not made: this machine gave no loop device to partition it";
    }
    // No --sector-size: the 4096-byte disk is found from where its GPT header stands.
    const std::vector<std::string> details = CliLines({"details", SamplePath(s.name)});
    ASSERT_GE(details.size(), 2u);
    EXPECT_EQ(details[1], "Bytes per sector - " + std::to_string(s.sectorSize));
    const std::vector<Row> ours = DetailRows(details);
    const std::vector<Row> sfdisk = SfdiskRows(SamplePath(s.name), s.sectorSize);
    if (s.sectorSize != 512 && sfdisk.empty()) GTEST_SKIP() << "no loop device to let sfdisk read 4096-byte sectors";
    EXPECT_EQ(ours, sfdisk);

    // mmls lists the data partitions (and extended ones as tables, not as partitions).
    std::vector<std::pair<uint64_t, uint64_t>> data;
    for (const Row& r : ours) {
      if (r.Type != "0x05") data.emplace_back(r.First, r.Count);
    }
    EXPECT_EQ(data, MmlsSpans(SamplePath(s.name), s.sectorSize));

    // One drive for the disk and one for each partition, each said in the source column.
    const std::vector<std::string> drives = CliLines({"drives", SamplePath(s.name)});
    ASSERT_EQ(drives.size(), ours.size() + 1);
    EXPECT_TRUE(drives[0].ends_with("  " + SamplePath(s.name))) << drives[0];
    for (size_t i = 0; i < ours.size(); ++i) {
      const std::string prefix = "  " + SamplePath(s.name) + ", partition " + std::to_string(ours[i].Number) +
                                 " (sectors " + std::to_string(ours[i].First) + "-" +
                                 std::to_string(ours[i].First + ours[i].Count - 1) + ", ";
      EXPECT_NE(drives[i + 1].find(prefix), std::string::npos) << drives[i + 1];
    }
  }
}

TEST_F(DisksTest, EachPartitionReadsAsTheSamePartitionCutOutByDd) {
  std::string missing;
  for (const Sample& s : kDisks) {
    SCOPED_TRACE(s.name);
    if (!fs::exists(SamplePath(s.name))) {
      missing += (missing.empty() ? "" : ", ") + std::string(s.name);
      continue;
    }
    const std::string disk = SamplePath(s.name);
    for (const Row& r : DetailRows(CliLines({"details", disk}))) {
      if (r.Type == "0x05") continue;
      SCOPED_TRACE("partition " + std::to_string(r.Number));
      const std::string cut = Cut(disk, s.sectorSize, r.First, r.Count);
      const std::string number = std::to_string(r.Number);
      const std::vector<std::string> details = CliLines({"details", "--partition", number, disk});
      EXPECT_EQ(details, CliLines({"details", cut}));
      // The root directory (FAT) or the MFT (NTFS) as "File record", the last sector as hex.
      std::string recordSector = "0";
      for (const std::string& line : details) {
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(Start data sector - (\d+))"))) recordSector = m[1];
      }
      for (const char* view : {"record", "hex", "text"}) {
        EXPECT_EQ(CliLines({view, "--partition", number, disk, recordSector}), CliLines({view, cut, recordSector}))
            << view;
      }
      const std::string last = std::to_string(r.Count - 1);
      EXPECT_EQ(CliLines({"hex", disk, "--partition", number, last}), CliLines({"hex", cut, last}));
      // The partition ends where the table says, whatever follows on the disk: the sector
      // after it is refused (NTFS counts one sector less) or unreadable (FAT counts them all).
      const CommandResult after = RunCli({"hex", disk, "--partition", number, std::to_string(r.Count)});
      EXPECT_TRUE(after.Status == 2 || (after.Status == 1 && after.Out == "Reading error\n")) << after.Out;
    }
  }
  // The disks that were there are checked first; a missing one still shows as a skip.
  if (!missing.empty()) GTEST_SKIP() << missing << " was not made: this machine gave no loop device to partition it";
}

TEST_F(DisksTest, OptionsGoAnywhereBeforeTheArgumentsAndAMissingPartitionIsRefused) {
  const std::string disk = SamplePath("disk-mbr.img");
  const std::vector<std::string> expected = CliLines({"hex", "--partition", "5", disk, "0"});
  EXPECT_EQ(CliLines({"--partition", "5", "hex", disk, "0"}), expected);
  EXPECT_EQ(CliLines({"--partition=5", "hex", disk, "0"}), expected);
  EXPECT_EQ(CliLines({"hex", disk, "0", "--partition", "5"}), expected);
  EXPECT_EQ(CliLines({"--sector-size", "4096", "text", SamplePath("fat16-4k.img"), "1"}),
            CliLines({"text", "--sector-size", "4096", SamplePath("fat16-4k.img"), "1"}));

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"details", "--partition", "4", disk},
        std::vector<std::string>{"details", "--partition", "1", SamplePath("fat16.img")},
        std::vector<std::string>{"details", "--partition", "0", disk},
        std::vector<std::string>{"text", "--force", disk, "0"}}) {
    const CommandResult result = RunCli(args);
    EXPECT_EQ(result.Status, 2) << args[2];
    EXPECT_EQ(Lines(result.Err).size(), 1u) << result.Err;
  }
  EXPECT_EQ(RunCli({"details", "--partition", "4", disk}).Err,
            "korvalane-cli: " + disk + " has no partition 4\n");
}

// A whole disk has no file records: its record view stays empty, as the window's does, and
// says why on stderr (status 0); its partitions list theirs.
TEST_F(DisksTest, AWholeDiskSaysItHasNoFileRecords) {
  for (const char* name : {"disk-mbr.img", "disk-gpt.img"}) {
    const std::string disk = SamplePath(name);
    for (const char* sector : {"0", "1", "2048"}) {
      for (const bool json : {false, true}) {
        SCOPED_TRACE(std::string(name) + " sector " + sector + (json ? " --json" : ""));
        const CommandResult result =
            json ? RunCli({"record", "--json", disk, sector}) : RunCli({"record", disk, sector});
        EXPECT_EQ(result.Status, 0);
        EXPECT_EQ(result.Out, json ? "{\n  \"found\": false\n}\n" : "");
        EXPECT_EQ(result.Err, "korvalane-cli: '" + disk +
                                  "' is a whole disk, which has no file records: its partition table is in 'details', "
                                  "and --partition N reads the records of partition N\n");
      }
    }
    const CommandResult partition = RunCli({"record", "--partition", "1", disk, "0"});
    EXPECT_EQ(partition.Err, "");
    EXPECT_FALSE(partition.Out.empty());
  }
}

TEST_F(DisksTest, AGptWhosePrimaryHeaderIsZeroedOpensFromTheBackup) {
  const std::string disk = Copy("disk-gpt.img");
  {
    std::fstream file(disk, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(512);
    file.write(std::string(512, '\0').data(), 512);
  }
  const std::vector<std::string> details = CliLines({"details", disk});
  EXPECT_EQ(DetailRows(details), DetailRows(CliLines({"details", SamplePath("disk-gpt.img")})));
  EXPECT_EQ(details.back(), "The primary GPT header at sector 1 has no signature; the backup at sector 131071 is used.");
  EXPECT_EQ(CliLines({"record", "--partition", "1", disk, "0"}),
            CliLines({"record", "--partition", "1", SamplePath("disk-gpt.img"), "0"}));
}

TEST_F(DisksTest, AnEbrLoopEndsWithANoteAndTheDiskStaysViewable) {
  const std::string disk = Copy("disk-mbr.img");
  {
    // The second EBR (at 86016), the chain's last, gets a link back to the first (the
    // extended partition's start + 0).
    std::string link(16, '\0');
    link[4] = 0x05;
    link[12] = 1;
    std::fstream file(disk, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(86016 * 512 + 446 + 16);
    file.write(link.data(), 16);
  }
  const std::vector<std::string> details = CliLines({"details", disk});
  EXPECT_EQ(details.back(), "The chain of logical partitions loops back to sector 67584; it ends there.");
  EXPECT_EQ(DetailRows(details).size(), 5u);  // 1, 2, 3, 5 and 6 read once each
  EXPECT_EQ(CliLines({"hex", disk, "131071"}).size(), 128u);
}

TEST_F(DisksTest, ADiskPastTwoToTheThirtyTwoSectorsIsBrowsableToItsEnd) {
  // A sparse image of 2^32 + 64 sectors whose boot sector is ntfs.img's with that count.
  const uint64_t sectors = (uint64_t{1} << 32) + 64;
  const std::string image = (dir_ / "huge.img").string();
  std::string boot(512, '\0');
  std::ifstream(SamplePath("ntfs.img"), std::ios::binary).read(boot.data(), 512);
  for (int i = 0; i < 8; ++i) boot[40 + i] = static_cast<char>((sectors - 1) >> (8 * i));
  {
    std::ofstream out(image, std::ios::binary);
    out.write(boot.data(), 512);
    out.seekp(static_cast<std::streamoff>(((uint64_t{1} << 32) + 5) * 512));
    out << "sector 2^32 + 5";
  }
  fs::resize_file(image, sectors * 512);
  EXPECT_EQ(CliLines({"drives", image}),
            (std::vector<std::string>{"C: NTFS, 2097152 Mb,4294967359 sectors  " + image}));
  const std::vector<std::string> details = CliLines({"details", image});
  ASSERT_GE(details.size(), 6u);
  EXPECT_EQ(details[4], "Sectors - 4294967359");
  EXPECT_EQ(details[5], "Clusters - 536870919");
  const std::vector<std::string> text = CliLines({"text", image, "4294967301"});
  ASSERT_EQ(text.size(), 8u);
  EXPECT_EQ(text[0].substr(0, 15), "sector 2^32 + 5");
  EXPECT_EQ(CliLines({"text", image, "$100000005"}), text);
}

TEST_F(DisksTest, UnknownAndDamagedVolumesAreBrowsableToTheirLastSector) {
  const std::string ntfs = Copy("ntfs.img");
  {
    std::fstream file(ntfs, std::ios::in | std::ios::out | std::ios::binary);
    file.write(std::string(512, '\0').data(), 512);
  }
  // The GPT disk's ext2 volume without its superblock's magic number: a volume of no
  // file system Korvalane reads.
  const std::string ext2 = Cut(SamplePath("disk-gpt.img"), 512, 51200, 32768);
  {
    std::fstream file(ext2, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(1080);
    file.write("\0\0", 2);
  }
  for (const std::string& image : {ntfs, ext2}) {
    SCOPED_TRACE(image);
    const uint64_t sectors = fs::file_size(image) / 512;
    EXPECT_EQ(CliLines({"drives", image}),
              (std::vector<std::string>{"C: Unknown, 16 Mb," + std::to_string(sectors) + " sectors  " + image}));
    std::string last(512, '\0');
    std::ifstream in(image, std::ios::binary);
    in.seekg(static_cast<std::streamoff>((sectors - 1) * 512));
    in.read(last.data(), 512);
    const std::vector<std::string> hex = CliLines({"hex", image, std::to_string(sectors - 1)});
    ASSERT_EQ(hex.size(), 128u);
    const std::string exported = (dir_ / "last.bin").string();
    fs::remove(exported);
    CliLines({"export", image, std::to_string(sectors - 1), std::to_string(sectors), exported});
    std::ifstream got(exported, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(got), {}), last);
  }
}

// A real block device: a loop device attached without -P, so the kernel made no
// partition nodes and the partitions come from the table read through the disk.
TEST_F(DisksTest, ALoopDeviceWithoutPartitionNodes) {
  const CommandResult attached = testing::Run({"losetup", "-f", "--show", "-r", SamplePath("disk-mbr.img")});
  if (attached.Status != 0) GTEST_SKIP() << "this machine gives no loop device: " << attached.Err;
  const std::string loop = Lines(attached.Out).at(0);
  struct Detach {
    std::string Device;
    ~Detach() { testing::Run({"losetup", "-d", Device}); }
  } detach{loop};
  const std::vector<std::string> drives = CliLines({"drives", loop});
  const std::vector<std::string> imageDrives = CliLines({"drives", SamplePath("disk-mbr.img")});
  ASSERT_EQ(drives.size(), imageDrives.size());
  for (size_t i = 0; i < drives.size(); ++i) {
    // The same label, the same partition; only the source's name differs.
    const size_t split = imageDrives[i].find("  ");
    EXPECT_EQ(drives[i].substr(0, split), imageDrives[i].substr(0, split));
    EXPECT_EQ(drives[i].substr(split + 2 + loop.size()),
              imageDrives[i].substr(split + 2 + SamplePath("disk-mbr.img").size()));
  }
  EXPECT_EQ(CliLines({"details", "--partition", "5", loop}),
            CliLines({"details", "--partition", "5", SamplePath("disk-mbr.img")}));
  // Without sources the machine's disks are listed, this one with its partitions.
  bool listed = false;
  for (const std::string& line : CliLines({"drives"})) {
    if (line.find(loop + ", partition 5 (sectors 69632-86015, FAT16 0x06)") != std::string::npos) listed = true;
  }
  EXPECT_TRUE(listed) << "drives without sources did not list " << loop << "'s partition 5";

  // A user who may not read the device is told why.
  const CommandResult nobody = testing::Run({"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups",
                                    testing::CliPath(), "text", loop, "0"});
  if (getuid() != 0) GTEST_SKIP() << "not root: cannot run as another user";
  EXPECT_EQ(nobody.Status, 1) << nobody.Err;
  // Where udev runs, disks belong to the group "disk"; elsewhere to root alone.
  EXPECT_TRUE(nobody.Err == "korvalane-cli: cannot open '" + loop + "': Permission denied (reading a disk needs root)\n" ||
              nobody.Err == "korvalane-cli: cannot open '" + loop +
                                "': Permission denied (reading a disk needs root or membership of its group, here "
                                "'disk')\n")
      << nobody.Err;
}

}  // namespace
}  // namespace korvalane
