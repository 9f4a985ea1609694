// A rescue of a volume with real unreadable sectors (the tests' FUSE file system fails
// reads of them with EIO) under three files and a directory: export writes the ddrescue
// map, damaged lists exactly those four with their bad bytes, and hash of the failing
// source names the same sectors and equals sha256sum of the exported bytes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/Samples.h"

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

}  // namespace
}  // namespace korvalane
