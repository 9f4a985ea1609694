// damaged reads its map by the map's size: a map of a few lines on a small volume costs
// a few MiB more than showing one sector, measured as the peak resident size of
// korvalane-cli run as this test's own child; a map that comes through a pipe, whose size
// is not known, reads the same.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/Samples.h"

extern char** environ;

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CliPath;
using testing::CommandResult;
using testing::RunCli;
using testing::SamplePath;

// A map of the 16 MiB NTFS sample with two bad areas: in the MFT and in BIG.DAT's clusters.
constexpr char kMap[] =
    "# Mapfile. Created by GNU ddrescue version 1.27\n"
    "# current_pos  current_status  current_pass\n"
    "0x00000000     +               1\n"
    "#      pos        size  status\n"
    "0x00000000  0x00004000  +\n"
    "0x00004000  0x00000400  -\n"
    "0x00004400  0x00A00000  +\n"
    "0x00A04400  0x00001000  -\n"
    "0x00A05400  0x005FAC00  +\n";

class DamagedMapTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-damaged-map-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    map_ = (dir_ / "ntfs.map").string();
    std::ofstream(map_) << kMap;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path dir_;
  std::string map_;
};

// Runs korvalane-cli with its output thrown away; its exit status and its peak resident
// size in KiB, as wait4 reports them for this child alone.
std::pair<int, long> PeakOfCli(const std::vector<std::string>& args) {
  std::vector<std::string> argv{CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t quiet;
  posix_spawn_file_actions_init(&quiet);
  posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&quiet, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, pointers[0], &quiet, nullptr, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&quiet);
  if (spawned != 0) return {-1, 0};
  int status = 0;
  struct rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status)) return {-1, 0};
  return {WEXITSTATUS(status), usage.ru_maxrss};
}

TEST_F(DamagedMapTest, ASmallMapCostsLittleMemory) {
  // Measured above what the program costs to show one sector of the same volume: a
  // sanitizer build's shadow memory alone is some 60 MiB.
  const auto [shown, baseKiB] = PeakOfCli({"hex", SamplePath("ntfs.img"), "0"});
  ASSERT_EQ(shown, 0);
  const auto [status, peakKiB] = PeakOfCli({"damaged", SamplePath("ntfs.img"), map_});
  ASSERT_EQ(status, 0);
  EXPECT_LT(peakKiB - baseKiB, 32 * 1024) << "korvalane-cli damaged peaked at " << peakKiB << " KiB for a map of "
                                          << sizeof kMap << " bytes, hex of one sector at " << baseKiB << " KiB";
}

TEST_F(DamagedMapTest, AMapThroughAPipeReadsAsTheFile) {
  const CommandResult fromFile = RunCli({"damaged", SamplePath("ntfs.img"), map_});
  ASSERT_EQ(fromFile.Status, 0) << fromFile.Err;
  EXPECT_NE(fromFile.Out.find("$MFT"), std::string::npos) << fromFile.Out;

  const std::string fifo = (dir_ / "map.fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // The writer blocks until the command opens the pipe, and ends it by closing it.
  std::thread writer([&] { std::ofstream(fifo) << kMap; });
  const CommandResult fromPipe = RunCli({"damaged", SamplePath("ntfs.img"), fifo});
  writer.join();
  EXPECT_EQ(fromPipe.Status, fromFile.Status) << fromPipe.Err;
  EXPECT_EQ(fromPipe.Out, fromFile.Out);
  EXPECT_EQ(fromPipe.Err, fromFile.Err);
}

}  // namespace
}  // namespace korvalane
