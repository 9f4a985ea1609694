// korvalane-cli export from a source with real unreadable sectors: a FUSE file system of
// our own (tests/fuse) whose file fails reads of chosen sectors with EIO, read directly
// and through a loop device over it, a real block device with real I/O errors. The file
// must hold zeros exactly at the bad sectors and the source's bytes everywhere else; the
// stderr line and the ddrescue map name exactly those sectors, as GNU ddrescue's own
// ddrescuelog reads the map, and ddrescue can finish the copy from the map.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fixtures/Samples.h"

extern char** environ;

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::Lines;
using testing::RunCli;

constexpr uint64_t kSectors = 122880;  // a 60 MiB volume
constexpr uint64_t kSector = 512;

// Sectors first-last (inclusive), as the stderr line names them.
struct BadArea {
  uint64_t First;
  uint64_t Last;
};

// Chunks of 1 MiB are sectors 2048k to 2048k + 2047.
const std::vector<BadArea> kBad = {
    {4096, 4096},    // the first sector of a chunk
    {8191, 8191},    // the last sector of a chunk
    {10240, 12287},  // a whole chunk
    {14332, 14339},  // across the end of a chunk
    {15000, 15000},
    {20001, 20002},
};

// In one read: the files here are up to 60 MiB, and a sanitizer build is slow per byte.
std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// sha256sum's digest of the file.
std::string Sha256Sum(const fs::path& file) {
  const testing::CommandResult result = testing::Run({"sha256sum", file.string()});
  EXPECT_EQ(result.Status, 0) << result.Err;
  return result.Out.substr(0, 64);
}

class ExportFaultsTest : public ::testing::Test {
 protected:
  // A FAT volume whose data area holds a pattern that differs from sector to sector.
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::path(::testing::TempDir()) / ("korvalane-faults-" + std::to_string(getpid())));
    fs::remove_all(*dir_);
    fs::create_directories(*dir_ / "mnt");
    const testing::CommandResult made = testing::Run({"/sbin/mkfs.fat", "-C", "-F", "16", "-s", "8", "-n", "FAULTS",
                                                      Image().string(), std::to_string(kSectors * kSector / 1024)});
    ASSERT_EQ(made.Status, 0) << made.Err;
    std::fstream file(Image(), std::ios::binary | std::ios::in | std::ios::out);
    std::string block(1 << 20, '\0');
    for (uint64_t mib = 1; mib < kSectors * kSector >> 20; ++mib) {
      for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i / kSector + mib * 2048) * 7 + i % 251);
      file.seekp(static_cast<std::streamoff>(mib << 20));
      file.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    ASSERT_TRUE(file.good());
    file.close();
    *image_ = ReadAll(Image());
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir_);
    delete dir_;
    image_->clear();
  }

  void TearDown() override {
    if (!loop_.empty()) testing::Run({"/sbin/losetup", "-d", loop_});
    if (helper_ > 0) {
      kill(helper_, SIGTERM);
      int status = 0;
      waitpid(helper_, &status, 0);
    }
    // The helper's mount goes with it (auto_unmount); a lazy unmount covers a helper
    // that could not clean up.
    for (int i = 0; i < 100 && IsMounted(); ++i) {
      testing::Run({"umount", "-l", Mount().string()});
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  }

  static fs::path Image() { return *dir_ / "faults.img"; }
  static fs::path Mount() { return *dir_ / "mnt"; }
  static fs::path Out(const std::string& name) { return *dir_ / name; }
  static fs::path FuseFile() { return Mount() / "disk.img"; }

  static bool IsMounted() {
    struct stat mount{};
    struct stat parent{};
    return stat(Mount().c_str(), &mount) != 0 || stat(Mount().parent_path().c_str(), &parent) != 0 ||
           mount.st_dev != parent.st_dev;
  }

  // Mounts the FUSE file system over the image, failing reads of `bad`; false (with the
  // reason in skip_) where the machine refuses FUSE.
  bool MountFaulty(const std::vector<BadArea>& bad, const std::vector<std::string>& extra = {},
                   const fs::path& image = Image()) {
#ifndef KORVALANE_BADSECTORFS_PATH
    (void)bad;
    (void)extra;
    (void)image;
    skip_ = "the FUSE helper korvalane-badsectorfs was not built (libfuse3 not found when configuring)";
    return false;
#else
    if (access("/dev/fuse", R_OK | W_OK) != 0) {
      skip_ = "this machine has no usable /dev/fuse";
      return false;
    }
    std::vector<std::string> argv{KORVALANE_BADSECTORFS_PATH, image.string(), Mount().string()};
    for (const BadArea& area : bad) {
      argv.push_back("--bad");
      const uint64_t length = (area.Last - area.First + 1) * kSector;
      argv.push_back(std::to_string(area.First * kSector) + ":" + std::to_string(length));
    }
    argv.insert(argv.end(), extra.begin(), extra.end());
    std::vector<char*> pointers;
    for (std::string& arg : argv) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const std::string log = (*dir_ / "badsectorfs.log").string();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int spawned = posix_spawn(&helper_, pointers[0], &actions, nullptr, pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned != 0) {
      helper_ = -1;
      skip_ = "could not start korvalane-badsectorfs";
      return false;
    }
    for (int i = 0; i < 1000; ++i) {
      struct stat st{};
      if (stat(FuseFile().c_str(), &st) == 0 && static_cast<uintmax_t>(st.st_size) == fs::file_size(image)) return true;
      int status = 0;
      if (waitpid(helper_, &status, WNOHANG) == helper_) {
        helper_ = -1;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    skip_ = "this machine refuses the FUSE mount: " + ReadAll(log);
    return false;
#endif
  }

  // A loop device over the FUSE file that hands each read to it as asked (direct I/O),
  // as a disk passes each request to its medium; false (with the reason) where the
  // machine refuses loop devices.
  bool AttachLoop() {
    const testing::CommandResult made =
        testing::Run({"/sbin/losetup", "--find", "--show", "--read-only", "--direct-io=on", FuseFile().string()});
    if (made.Status != 0 || made.Out.empty()) {
      skip_ = "this machine refuses loop devices (losetup: " + made.Err + ")";
      return false;
    }
    loop_ = made.Out.substr(0, made.Out.find('\n'));
    return true;
  }

  // The source's bytes of the range, with zeros for the bad sectors in it.
  static std::string Expected(uint64_t start, uint64_t end, const std::set<uint64_t>& zeroed) {
    std::string bytes = image_->substr(start * kSector, (end - start) * kSector);
    for (const uint64_t s : zeroed) {
      if (s < start || s >= end) continue;
      std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>((s - start) * kSector), kSector, '\0');
    }
    return bytes;
  }

  // The sectors of the given kinds ('-', '+', '?') that ddrescuelog finds in the map, one
  // a line.
  static std::string MapList(const fs::path& map, const std::string& kinds) {
    const testing::CommandResult listed = testing::Run({"ddrescuelog", "-b", "512", "-l" + kinds, map.string()});
    EXPECT_EQ(listed.Status, 0) << listed.Err;
    return listed.Out;
  }
  static uint64_t LineCount(const std::string& text) {
    return static_cast<uint64_t>(std::count(text.begin(), text.end(), '\n'));
  }

  // ddrescue takes the map, reads what it marks unreadable from the fault-free image
  // into the exported file, and afterwards counts the range as rescued.
  static void FinishWithDdrescue(const fs::path& out, const fs::path& map, uint64_t start, uint64_t end) {
    const std::string domain = std::to_string(start * kSector);
    const std::string size = std::to_string((end - start) * kSector);
    const testing::CommandResult before = testing::Run({"ddrescuelog", "-D", "-i", domain, "-s", size, map.string()});
    const testing::CommandResult rescue = testing::Run(
        {"ddrescue", "-q", "-r1", "-i", domain, "-o", "0", "-s", size, Image().string(), out.string(), map.string()});
    ASSERT_EQ(rescue.Status, 0) << rescue.Err;
    const testing::CommandResult after = testing::Run({"ddrescuelog", "-D", "-i", domain, "-s", size, map.string()});
    EXPECT_EQ(after.Status, 0) << "the map after ddrescue:\n" << ReadAll(map);
    EXPECT_TRUE(ReadAll(out) == Expected(start, end, {}));
    if (before.Status == 0) ADD_FAILURE() << "ddrescuelog found the copy finished before ddrescue ran";
  }

  static fs::path* dir_;
  static std::string* image_;
  pid_t helper_ = -1;
  std::string loop_;
  std::string skip_;
};

fs::path* ExportFaultsTest::dir_ = nullptr;
std::string* ExportFaultsTest::image_ = new std::string;

std::set<uint64_t> SectorsOf(const std::vector<BadArea>& areas) {
  std::set<uint64_t> sectors;
  for (const BadArea& area : areas) {
    for (uint64_t s = area.First; s <= area.Last; ++s) sectors.insert(s);
  }
  return sectors;
}

TEST_F(ExportFaultsTest, ZerosExactlyAtTheUnreadableSectorsAndAMapOfThem) {
  if (!MountFaulty(kBad)) GTEST_SKIP() << skip_;
  const std::set<uint64_t> bad = SectorsOf(kBad);
  struct Case {
    bool throughLoop;  // else the FUSE file itself
    uint64_t start;
    uint64_t end;
    std::string line;  // the last line on stderr
  };
  const std::string all = "4096, 8191, 10240-12287, 14332-14339, 15000, 20001-20002 (2061 sectors written as zeros)";
  const Case cases[] = {
      // 16 MiB: the one read fails, then 1 MiB chunks.
      {false, 0, 32768, all},
      // Chunks that begin and end inside the range's first and last MiB.
      {false, 4000, 14336, "4096, 8191, 10240-12287, 14332-14335 (2054 sectors written as zeros)"},
      {true, 0, 32768, all},
      {true, 8191, 14333, "8191, 10240-12287, 14332 (2050 sectors written as zeros)"},
      // Not one sector can be read.
      {true, 10240, 12288, "10240-12287 (2048 sectors written as zeros)"},
      // The whole volume, 60 MiB: in chunks from the start.
      {true, 0, kSectors, all},
  };
  for (const Case& c : cases) {
    // The file read directly has been checked when the machine refuses loop devices.
    if (c.throughLoop && loop_.empty() && !AttachLoop()) GTEST_SKIP() << skip_;
    const std::string source = c.throughLoop ? loop_ : FuseFile().string();
    SCOPED_TRACE(source + " " + std::to_string(c.start) + ".." + std::to_string(c.end));
    const fs::path out = Out("out.bin");
    const fs::path map = Out("out.map");
    const testing::CommandResult result = RunCli({"export", "--force", "--sha256", "--map", map.string(), source,
                                                  std::to_string(c.start), std::to_string(c.end), out.string()});
    EXPECT_EQ(result.Status, 1) << result.Err;
    const std::string count = std::to_string(c.end - c.start);
    // The digest, taken while writing, is of the file: zeros where sectors were unreadable.
    const std::vector<std::string> saved{"Data saved to file", out.string(), count + " of " + count + " sectors saved",
                                         "SHA256 (" + out.string() + ") = " + Sha256Sum(out)};
    EXPECT_EQ(Lines(result.Out), saved);
    ASSERT_FALSE(Lines(result.Err).empty());
    EXPECT_EQ(Lines(result.Err).back(), "korvalane-cli: unreadable sectors: " + c.line);
    EXPECT_TRUE(ReadAll(out) == Expected(c.start, c.end, bad));

    std::string badInRange;
    for (const uint64_t s : bad) {
      if (s >= c.start && s < c.end) badInRange += std::to_string(s) + "\n";
    }
    EXPECT_EQ(MapList(map, "-"), badInRange);
    EXPECT_EQ(LineCount(MapList(map, "+")), c.end - c.start - LineCount(badInRange));
    // Outside the range, up to the source's end.
    EXPECT_EQ(LineCount(MapList(map, "?")), kSectors - (c.end - c.start));
    FinishWithDdrescue(out, map, c.start, c.end);
  }
}

// A map of a partition's export is in the bytes of the disk it names: ddrescue, given the
// map and the disk, completes the whole disk around the exported partition, bad sectors
// and all, and the partition's bytes come out exactly the disk's.
TEST_F(ExportFaultsTest, APartitionsMapIsInTheDisksOwnBytes) {
  // An MBR disk of 8 MiB: partition 1 at sector 2048, partition 2 at 8192 (3 MiB), over
  // bytes that differ from sector to sector.
  constexpr uint64_t kDiskSectors = 16384;
  constexpr uint64_t kFirst = 8192;
  constexpr uint64_t kCount = 6144;
  const fs::path disk = Out("disk.img");
  {
    std::string bytes(kDiskSectors * kSector, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i / kSector) * 13 + i % 241 + 1);
    std::ofstream(disk, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const fs::path script = Out("disk.sfdisk");
  std::ofstream(script) << "label: dos\nstart=2048, size=4096, type=83\nstart=" << kFirst << ", size=" << kCount
                        << ", type=83\n";
  const testing::CommandResult made =
      testing::Run({"sh", "-c", "/sbin/sfdisk --no-reread --no-tell-kernel -q '" + disk.string() + "' < '" +
                                    script.string() + "'"});
  ASSERT_EQ(made.Status, 0) << made.Err;
  const std::string whole = ReadAll(disk);

  // Two sectors of the partition cannot be read (not in its first page: the sector size
  // is found by reading its first sector, which the page cache reads a page at a time).
  if (!MountFaulty({{kFirst + 40, kFirst + 40}, {kFirst + 100, kFirst + 100}}, {}, disk)) GTEST_SKIP() << skip_;
  const fs::path out = Out("partition2.bin");
  const fs::path map = Out("partition2.map");
  const testing::CommandResult result = RunCli({"export", "--force", "--partition", "2", "--map", map.string(),
                                                FuseFile().string(), "0", std::to_string(kCount), out.string()});
  EXPECT_EQ(result.Status, 1) << result.Err;
  // The user is told the drive's own sectors; the map has the disk's.
  EXPECT_EQ(Lines(result.Err).back(), "korvalane-cli: unreadable sectors: 40, 100 (2 sectors written as zeros)");
  EXPECT_EQ(MapList(map, "-"), std::to_string(kFirst + 40) + "\n" + std::to_string(kFirst + 100) + "\n");
  EXPECT_EQ(LineCount(MapList(map, "?")), kDiskSectors - kCount);
  const std::string text = ReadAll(map);
  EXPECT_NE(text.find("\n# Source: " + FuseFile().string() + "\n"), std::string::npos) << text;
  EXPECT_NE(text.find(", from byte " + std::to_string(kFirst * kSector) + " of the source\n"), std::string::npos)
      << text;

  // The exported partition in its place in an otherwise empty copy of the disk; ddrescue
  // reads from the fault-free disk whatever the map does not count as copied.
  const fs::path rescued = Out("rescued.img");
  {
    std::string bytes(kDiskSectors * kSector, '\0');
    const std::string exported = ReadAll(out);
    ASSERT_EQ(exported.size(), kCount * kSector);
    bytes.replace(kFirst * kSector, exported.size(), exported);
    std::ofstream(rescued, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  const testing::CommandResult rescue =
      testing::Run({"ddrescue", "-q", "-r1", disk.string(), rescued.string(), map.string()});
  ASSERT_EQ(rescue.Status, 0) << rescue.Err;
  EXPECT_EQ(testing::Run({"ddrescuelog", "-D", map.string()}).Status, 0) << ReadAll(map);
  const std::string after = ReadAll(rescued);
  EXPECT_TRUE(after.compare(kFirst * kSector, kCount * kSector, whole, kFirst * kSector, kCount * kSector) == 0)
      << "the partition's bytes differ from the disk's";
  EXPECT_TRUE(after == whole) << "the disk around the partition differs";
}

// The medium is pulled in the middle of the copy: every sector from the chunk that was
// being read is written as zeros and named, the ones before are exact, nothing says done.
TEST_F(ExportFaultsTest, ASourceThatDisappearsMidCopy) {
  for (const bool throughLoop : {false, true}) {
    SCOPED_TRACE(throughLoop ? "loop device" : "FUSE file");
    TearDown();
    helper_ = -1;
    loop_.clear();
    if (!MountFaulty({}, {"--vanish-after", std::to_string(20 << 20)})) GTEST_SKIP() << skip_;
    if (throughLoop && !AttachLoop()) GTEST_SKIP() << skip_;
    const std::string source = throughLoop ? loop_ : FuseFile().string();
    const fs::path out = Out("vanished.bin");
    const fs::path map = Out("vanished.map");
    const testing::CommandResult result = RunCli(
        {"export", "--force", "--map", map.string(), source, "0", std::to_string(kSectors), out.string()});
    EXPECT_EQ(result.Status, 1) << result.Err;
    const std::string all = std::to_string(kSectors);
    EXPECT_EQ(Lines(result.Out).back(), all + " of " + all + " sectors saved");
    const std::string saved = ReadAll(out);
    ASSERT_EQ(saved.size(), kSectors * kSector);
    // The first sector that is not the source's.
    uint64_t lost = 0;
    while (lost < kSectors && saved.compare(lost * kSector, kSector, *image_, lost * kSector, kSector) == 0) ++lost;
    EXPECT_EQ(lost % 2048, 0u) << lost;  // a chunk's first sector
    EXPECT_GE(lost, 2048u);
    EXPECT_LE(lost, uint64_t{20 << 20} / kSector);
    EXPECT_TRUE(saved.find_first_not_of('\0', lost * kSector) == std::string::npos);
    EXPECT_EQ(Lines(result.Err).back(), "korvalane-cli: unreadable sectors: " + std::to_string(lost) + "-" +
                                            std::to_string(kSectors - 1) + " (" + std::to_string(kSectors - lost) +
                                            " sectors written as zeros)");
    const std::string unreadable = MapList(map, "-");
    EXPECT_EQ(LineCount(unreadable), kSectors - lost);
    EXPECT_EQ(unreadable.substr(0, unreadable.find('\n')), std::to_string(lost));
  }
}

}  // namespace
}  // namespace korvalane
