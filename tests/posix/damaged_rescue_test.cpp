// A rescue of a volume with real unreadable sectors (the tests' FUSE file system fails
// reads of them with EIO) under three files and a directory: export writes the ddrescue
// map, damaged lists exactly those four with their bad bytes and the file whose entry
// stood in the directory's bad sector, and hash of the failing source names the same
// sectors and equals sha256sum of the exported bytes. Then a failing sector in the
// metadata of each file system: the walk of the failing source loses only what that
// sector held, and damaged names the files whose records stood there.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/Samples.h"
#include "fuse/BadSectorMount.h"

extern char** environ;

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::RunCli;

constexpr uint64_t kSector = 512;
constexpr uint64_t kSectors = 32768;  // the FAT16 sample: 4-sector clusters from sector 100

TEST(DamagedRescueTest, ListsExactlyTheFilesUnderUnreadableSectors) {
#ifndef KORVALANE_BADSECTORFS_PATH
  GTEST_SKIP() << "the FUSE helper korvalane-badsectorfs was not built (libfuse3 not found when configuring)";
#else
  if (access("/dev/fuse", R_OK | W_OK) != 0) GTEST_SKIP() << "this machine has no usable /dev/fuse";
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-rescue-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "mnt");
  const fs::path image = dir / "fat16.img";
  fs::copy_file(testing::SamplePath("fat16.img"), image);
  // README.TXT's only sector, the second of Quarterly report.txt (bytes 512-719 of it),
  // the first of the DOCS directory, one in the middle of BIG.DAT.
  const std::vector<uint64_t> bad = {100, 105, 112, 200};
  std::vector<std::string> argv = {KORVALANE_BADSECTORFS_PATH, image.string(), (dir / "mnt").string(), "--direct-io"};
  for (const uint64_t sector : bad) {
    argv.push_back("--bad");
    argv.push_back(std::to_string(sector * kSector) + ":" + std::to_string(kSector));
  }
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  pid_t helper = -1;
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&quiet, 1, 2);
  const int spawned = posix_spawn(&helper, pointers[0], &quiet, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  ASSERT_EQ(spawned, 0);
  const fs::path source = dir / "mnt" / "disk.img";
  bool mounted = false;
  for (int i = 0; i < 500 && !mounted; ++i) {
    struct stat st{};
    mounted = stat(source.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == kSectors * kSector;
    if (!mounted) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  const auto stop = [&] {
    kill(helper, SIGTERM);
    int status = 0;
    waitpid(helper, &status, 0);
    testing::Run({"umount", "-l", (dir / "mnt").string()});
  };
  if (!mounted) {
    stop();
    fs::remove_all(dir);
    GTEST_SKIP() << "this machine refuses the FUSE mount";
  }

  const std::string out = (dir / "rescued.bin").string();
  const std::string map = (dir / "rescued.map").string();
  const CommandResult exported = RunCli({"export", "--map", map, source.string(), "0", std::to_string(kSectors), out});
  EXPECT_EQ(exported.Status, 1);
  EXPECT_EQ(exported.Err, "korvalane-cli: unreadable sectors: 100, 105, 112, 200 (4 sectors written as zeros)\n");

  const CommandResult hashed = RunCli({"hash", source.string(), "0", std::to_string(kSectors)});
  stop();
  EXPECT_EQ(hashed.Status, 1);
  EXPECT_EQ(hashed.Err, "korvalane-cli: unreadable sectors: 100, 105, 112, 200 (4 sectors hashed as zeros)\n");
  const CommandResult sum = testing::Run({"sha256sum", out});
  EXPECT_EQ(hashed.Out.substr(hashed.Out.find(" = ") + 3, 64), sum.Out.substr(0, 64));

  const CommandResult damaged = RunCli({"damaged", image.string(), map});
  EXPECT_EQ(damaged.Status, 0) << damaged.Err;
  EXPECT_EQ(damaged.Err, "");
  EXPECT_EQ(damaged.Out,
            "/README.TXT  (first cluster 2)  size 26  bad 26\n"
            "/Quarterly report.txt  (first cluster 3)  size 720  bad 208\n"
            "/DOCS  (directory, first cluster 5)  bad 512\n"
            "  entry at byte 64: /DOCS/notes about disks.txt  size 23  (metadata lost; the data lies elsewhere)\n"
            "/BIG.DAT  (first cluster 8)  size 938895  bad 512\n"
            "2048 bad bytes in the volume\n");
  fs::remove_all(dir);
#endif
}

// The first line of a program's output.
std::string FirstLine(const std::vector<std::string>& argv) {
  const std::string out = testing::Run(argv).Out;
  return out.substr(0, out.find('\n'));
}

// One unreadable sector in each file system's metadata, read through the failing source as
// a rescue reads it: the walk loses that sector's records alone (a file whose record is
// sound is still named at its data: before, a failed read of a run of MFT records, or of
// a block of the FAT, lost them all), and damaged, over the map export wrote, names the
// files whose records stood there, from what can still be read (the folder's index on
// NTFS, the folder's entry on ext).
TEST(DamagedRescueTest, FilesWhoseRecordsStandInUnreadableSectorsAreNamed) {
  struct Case {
    const char* Image;
    uint64_t BadSector;      // in the volume's metadata
    uint64_t SoundSector;    // data of a file whose record is sound
    std::string SoundOwner;  // the start of its answer
    std::string Err;         // owner's stderr on the failing source
    std::regex Record;       // a line damaged prints
  };
  const std::string ntfs = testing::SamplePath("ntfs.img");
  const std::string ext2 = testing::SamplePath("ext2.img");
  for (const std::string& image : {ntfs, ext2}) {
    if (!fs::exists(image)) GTEST_SKIP() << image << " was not made here (see make-samples)";
  }
  // NTFS: the first sector of README.TXT's record (1 KiB records in $MFT's 4 KiB clusters).
  // The first cluster of a record's unnamed $DATA, by istat.
  const auto firstCluster = [&](const std::string& record) {
    std::smatch m;
    const std::string out = testing::Run({"istat", ntfs, record}).Out;
    return std::regex_search(out, m, std::regex(R"(\$DATA \(128-\d+\)   Name: N/A   Non-Resident[^\n]*\n(\d+) )")) ? std::stoull(m[1]) : 0;
  };
  const uint64_t readme = std::stoull(FirstLine({"ifind", "-n", "/README.TXT", ntfs}));
  const uint64_t mftSector = firstCluster("0") * 8;  // the MFT's first records stand together
  const uint64_t bigCluster = firstCluster(FirstLine({"ifind", "-n", "/BIG.DAT", ntfs}));
  ASSERT_NE(mftSector, 0u);
  ASSERT_NE(bigCluster, 0u);
  std::smatch m;
  // ext2: the sector of README.TXT's inode (imap), and BIG.DAT's first block.
  const std::string debugfs = fs::exists("/sbin/debugfs") ? "/sbin/debugfs" : "debugfs";
  const std::string imap = testing::Run({debugfs, "-R", "imap /README.TXT", ext2}).Out;
  ASSERT_TRUE(std::regex_search(imap, m, std::regex(R"(located at block (\d+), offset 0x([0-9a-f]+))")));
  const uint64_t inodeSector = (std::stoull(m[1]) * 1024 + std::stoull(m[2], nullptr, 16)) / 512;
  const uint64_t bigBlock = std::stoull(testing::Run({debugfs, "-R", "blocks /BIG.DAT", ext2}).Out);
  // FAT16: the second sector of FAT 1, by fsstat.
  const std::string fat = testing::Run({"fsstat", testing::SamplePath("fat16.img")}).Out;
  ASSERT_TRUE(std::regex_search(fat, m, std::regex(R"(\* FAT 0: (\d+) - )")));
  const uint64_t fatSecond = std::stoull(m[1]) + 1;
  const Case kCases[] = {
      {"ntfs.img", mftSector + readme * 2, bigCluster * 8, std::to_string(bigCluster * 8) + "  /BIG.DAT  (MFT record", "",
       std::regex(R"(  MFT record \d+: /README.TXT(  size \d+)?  \(metadata lost, and with it where the data lies; named by its folder's index\))")},
      {"ext2.img", inodeSector, bigBlock * 2, std::to_string(bigBlock * 2) + "  /BIG.DAT  (inode 12, byte 0 of the file)", "",
       std::regex(R"(  inode 16: /README.TXT  \(metadata lost, and with it where the data lies\))")},
      // FAT16: FAT 1's second sector, the entries of clusters 256-511 (BIG.DAT's chain
      // runs from cluster 8 past them; README.TXT is cluster 2).
      {"fat16.img", fatSecond, 100, "100  /README.TXT  (first cluster 2, byte 0 of the file)",
       "korvalane-cli: file-system fault: the FAT chain of /BIG.DAT cannot be followed past cluster 256 (the FAT cannot be read there)\n",
       std::regex(R"(FAT 1  bad 512)")},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.Image);
    const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-rescue-meta-" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path image = dir / c.Image;
    fs::copy_file(testing::SamplePath(c.Image), image);
    std::string map;
    {
      testing::BadSectorMount mount(dir / "mnt");
      const std::string why = mount.Mount(image.string(), {std::to_string(c.BadSector * kSector) + ":" + std::to_string(kSector)});
      if (!why.empty()) GTEST_SKIP() << why;
      const std::string source = mount.File().string();
      const CommandResult owner = RunCli({"owner", source, std::to_string(c.SoundSector)});
      EXPECT_EQ(owner.Status, 0) << owner.Err;
      EXPECT_EQ(owner.Err, c.Err);
      EXPECT_TRUE(owner.Out.starts_with(c.SoundOwner)) << owner.Out;
      map = (dir / "rescued.map").string();
      const std::string out = (dir / "rescued.bin").string();
      // The drive's sectors, as details counts them (NTFS's boot sector counts one fewer
      // than the image has).
      const std::string details = RunCli({"details", image.string()}).Out;
      ASSERT_TRUE(std::regex_search(details, m, std::regex(R"(\nSectors - (\d+))")));
      const uint64_t sectors = std::stoull(m[1]);
      const CommandResult exported = RunCli({"export", "--map", map, source, "0", std::to_string(sectors), out});
      EXPECT_EQ(exported.Status, 1);
      EXPECT_EQ(exported.Err, "korvalane-cli: unreadable sectors: " + std::to_string(c.BadSector) + " (1 sector written as zeros)\n");
      // The failing source itself, and the rescued copy, with zeros where it failed.
      for (const std::string& rescued : {source, out}) {
        const CommandResult damaged = RunCli({"damaged", rescued, map});
        EXPECT_EQ(damaged.Status, 0) << damaged.Err;
        bool found = false;
        for (const std::string& line : testing::Lines(damaged.Out)) found = found || std::regex_match(line, c.Record);
        EXPECT_TRUE(found) << rescued << ":\n" << damaged.Out;
      }
    }
    fs::remove_all(dir);
  }
}

}  // namespace
}  // namespace korvalane
