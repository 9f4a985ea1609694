// korvalane-cli export against real images: the bytes of every range equal what dd reads
// from the same image; the messages, exit statuses and the handling of existing files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
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
using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

std::string Sha256(const fs::path& file) {
  const testing::CommandResult result = testing::Run({"sha256sum", file.string()});
  EXPECT_EQ(result.Status, 0) << result.Err;
  return result.Out.substr(0, 64);
}

// In one read: the files here are up to 60 MiB, and a sanitizer build is slow per byte.
std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// The sectors of the given kinds ('+', '-', '?') in a ddrescue map, one a line, as GNU
// ddrescuelog reads the map.
std::string DdrescueLog(const fs::path& map, const std::string& kinds) {
  const testing::CommandResult listed = testing::Run({"ddrescuelog", "-b", "512", "-l" + kinds, map.string()});
  EXPECT_EQ(listed.Status, 0) << listed.Err;
  return listed.Out;
}

class ExportImagesTest : public ::testing::Test {
 protected:
  // A FAT volume of 60 MiB with a pattern in its data area: long enough that a range
  // over all of it goes sector by sector.
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::path(::testing::TempDir()) / ("korvalane-export-" + std::to_string(getpid())));
    fs::remove_all(*dir_);
    fs::create_directories(*dir_);
    const fs::path image = *dir_ / "large.img";
    const testing::CommandResult made =
        testing::Run({"/sbin/mkfs.fat", "-C", "-F", "16", "-s", "8", "-n", "LARGE", image.string(), "61440"});
    ASSERT_EQ(made.Status, 0) << made.Err;
    std::fstream file(image, std::ios::binary | std::ios::in | std::ios::out);
    std::string block(1 << 20, '\0');
    for (int mib = 4; mib < 60; ++mib) {
      for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>((i * 31 + static_cast<size_t>(mib)) >> 3);
      file.seekp(std::streamoff{mib} << 20);
      file.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    ASSERT_TRUE(file.good());
  }
  static void TearDownTestSuite() {
    fs::remove_all(*dir_);
    delete dir_;
  }

  static fs::path Large() { return *dir_ / "large.img"; }
  static fs::path Out(const std::string& name) { return *dir_ / name; }

  // What dd reads from the image for the range, as a file.
  static fs::path DdRange(const fs::path& image, uint32_t sectorSize, uint32_t start, uint32_t end) {
    const fs::path reference = *dir_ / "dd.bin";
    const testing::CommandResult dd =
        testing::Run({"dd", "if=" + image.string(), "of=" + reference.string(), "bs=" + std::to_string(sectorSize),
             "skip=" + std::to_string(start), "count=" + std::to_string(end - start), "status=none"});
    EXPECT_EQ(dd.Status, 0) << dd.Err;
    return reference;
  }

  static fs::path* dir_;
};

fs::path* ExportImagesTest::dir_ = nullptr;

TEST_F(ExportImagesTest, BytesEqualWhatDdReads) {
  struct Case {
    std::string image;  // a sample name, or empty for the large image
    uint32_t sectorSize;
    uint32_t start;
    uint32_t end;
  };
  const Case cases[] = {
      {"fat12.img", 512, 0, 2048},
      {"fat12.img", 512, 8000, 8192},      // up to the volume's last sector
      {"fat16.img", 512, 0, 32768},        // the whole volume in one read
      {"fat16.img", 512, 1, 2},
      {"fat32.img", 512, 33, 70000},
      {"fat16-2k.img", 2048, 100, 8192},   // end == TotalSectors
      {"fat16-4k.img", 4096, 0, 8192},
      {"ntfs.img", 512, 0, 32767},         // NTFS counts all but the backup boot sector
      {"ntfs-4k.img", 4096, 16, 4095},
      {"", 512, 0, 122880},                // 60 MiB: sector by sector
      {"", 512, 3, 102403},                // exactly 50 MiB, one read, odd start
  };
  for (const Case& c : cases) {
    const fs::path image = c.image.empty() ? Large() : fs::path(SamplePath(c.image));
    SCOPED_TRACE(image.filename().string() + " " + std::to_string(c.start) + ".." + std::to_string(c.end));
    const fs::path out = Out("range.bin");
    const testing::CommandResult result =
        RunCli({"export", "--force", "--sector-size", std::to_string(c.sectorSize), image.string(),
                std::to_string(c.start), std::to_string(c.end), out.string()});
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::string count = std::to_string(c.end - c.start);
    EXPECT_EQ(Lines(result.Out),
              (std::vector<std::string>{"Data saved to file", out.string(), count + " of " + count + " sectors saved"}));
    EXPECT_EQ(fs::file_size(out), uint64_t{c.end - c.start} * c.sectorSize);
    EXPECT_EQ(Sha256(out), Sha256(DdRange(image, c.sectorSize, c.start, c.end)));
  }
}

// --sha256 adds the digest of the bytes written, in sha256sum --tag's line, so that
// sha256sum -c checks the file: one read, chunks, a chunk that fails and goes sector by
// sector (the image cut short: zeros from there), an empty range. A failed write gets none.
TEST_F(ExportImagesTest, Sha256IsThatOfTheFileAsWritten) {
  const fs::path cut = Out("cut-sha.img");
  fs::copy_file(Large(), cut, fs::copy_options::overwrite_existing);
  fs::resize_file(cut, (uint64_t{3} << 20) + 512 * 5);
  struct Case {
    fs::path image;
    uint32_t start;
    uint32_t end;
  };
  const Case cases[] = {
      {SamplePath("fat16.img"), 0, 32768},  // one read
      {Large(), 7, 122880},                 // chunks in two buffers
      {cut, 1, 12000},                      // the one read fails; a chunk sector by sector
      {Large(), 9, 9},                      // empty
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image.filename().string() + " " + std::to_string(c.start) + ".." + std::to_string(c.end));
    const fs::path out = Out("hashed.bin");
    const testing::CommandResult result = RunCli({"export", "--force", "--sha256", c.image.string(),
                                                  std::to_string(c.start), std::to_string(c.end), out.string()});
    EXPECT_EQ(result.Status, c.image == cut ? 1 : 0) << result.Err;
    const std::vector<std::string> lines = Lines(result.Out);
    ASSERT_EQ(lines.size(), 4u) << result.Out;
    EXPECT_EQ(lines[3], "SHA256 (" + out.string() + ") = " + Sha256(out));
    if (c.image != cut) {
      EXPECT_EQ(Sha256(out), Sha256(DdRange(c.image, 512, c.start, c.end)));
    }
    const testing::CommandResult checked =
        testing::Run({"sh", "-c", "printf '%s\\n' \"$1\" | sha256sum -c --status", "sh", lines[3]});
    EXPECT_EQ(checked.Status, 0) << checked.Err;
  }
  const testing::CommandResult full =
      RunCli({"export", "--force", "--sha256", SamplePath("fat16.img"), "0", "100", "/dev/full"});
  EXPECT_EQ(full.Status, 1);
  EXPECT_EQ(full.Out.find("SHA256"), std::string::npos);
  EXPECT_NE(full.Err.find("korvalane-cli: no SHA-256: the file does not hold the whole range\n"), std::string::npos);
}

TEST_F(ExportImagesTest, RefusesBadRangesWithTheDialogsMessages) {
  struct Case {
    std::string start;
    std::string end;
    std::string message;
  };
  const Case cases[] = {
      {"0", "0", "Invalid end sector value!"},
      {"00", "10", "Invalid start sector value!"},
      {"12abc", "20", "Invalid start sector value!"},
      {"0", "32769", "Invalid end sector value!"},
      {"0", "-1", "Invalid end sector value!"},
      {"10", "9", "Invalid sectors range!"},
  };
  const fs::path out = Out("refused.bin");
  for (const Case& c : cases) {
    const testing::CommandResult result = RunCli({"export", SamplePath("fat16.img"), c.start, c.end, out.string()});
    EXPECT_EQ(result.Status, 2) << c.start << ".." << c.end;
    // The dialog's message comes first; a refused end adds the limit.
    std::string expected = "korvalane-cli: " + c.message + "\n";
    if (c.message == "Invalid end sector value!") {
      expected += "korvalane-cli: END must be a number from 1 to 32768, the drive's sector count (sector END itself is "
                  "not included)\n";
    }
    EXPECT_EQ(result.Err, expected);
    EXPECT_FALSE(fs::exists(out));
  }
  // Blanks around the numbers are ignored, and $/0x numbers are hexadecimal.
  const testing::CommandResult spaced = RunCli({"export", SamplePath("fat16.img"), " 5 ", "$10", out.string()});
  EXPECT_EQ(spaced.Status, 0) << spaced.Err;
  EXPECT_EQ(fs::file_size(out), 11u * 512);
  fs::remove(out);

  const testing::CommandResult missing = RunCli({"export", (*dir_ / "absent.img").string(), "0", "1", out.string()});
  EXPECT_EQ(missing.Status, 2);
  EXPECT_NE(missing.Err.find("absent.img"), std::string::npos) << missing.Err;
  EXPECT_EQ(RunCli({"export", SamplePath("fat16.img"), "0", "1"}).Status, 2);
}

TEST_F(ExportImagesTest, AnEmptyRangeMakesAnEmptyFile) {
  const fs::path out = Out("empty.bin");
  const testing::CommandResult result = RunCli({"export", "--force", SamplePath("fat32.img"), "5", "5", out.string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_TRUE(fs::exists(out));
  EXPECT_EQ(fs::file_size(out), 0u);
  EXPECT_EQ(Lines(result.Out).back(), "0 of 0 sectors saved");
}

TEST_F(ExportImagesTest, ReplacesAnExistingFileOnlyWithForce) {
  const fs::path out = Out("existing.bin");
  std::ofstream(out) << "keep me";
  const testing::CommandResult refused = RunCli({"export", SamplePath("fat12.img"), "0", "4", out.string()});
  EXPECT_EQ(refused.Status, 2);
  EXPECT_NE(refused.Err.find("already exists"), std::string::npos) << refused.Err;
  EXPECT_EQ(ReadAll(out), "keep me");

  const testing::CommandResult forced = RunCli({"export", "--force", SamplePath("fat12.img"), "0", "4", out.string()});
  EXPECT_EQ(forced.Status, 0) << forced.Err;
  EXPECT_EQ(fs::file_size(out), 4u * 512);

  // A longer old file is emptied first: nothing of it remains behind the new bytes.
  std::ofstream(out) << std::string(10000, 'x');
  EXPECT_EQ(RunCli({"export", "--force", SamplePath("fat12.img"), "0", "1", out.string()}).Status, 0);
  EXPECT_EQ(fs::file_size(out), 512u);
}

TEST_F(ExportImagesTest, RefusesToWriteIntoItsOwnSourceOrAMissingFolder) {
  // A copy of a sample, so that a failure here cannot damage the shared images.
  const fs::path image = Out("own.img");
  fs::copy_file(SamplePath("fat12.img"), image, fs::copy_options::overwrite_existing);
  const std::string before = Sha256(image);
  fs::create_symlink(image, Out("own-link.img"));
  for (const fs::path& target : {image, Out("own-link.img"), *dir_ / "." / "own.img"}) {
    const testing::CommandResult result = RunCli({"export", "--force", image.string(), "0", "8", target.string()});
    EXPECT_EQ(result.Status, 2) << target;
    EXPECT_EQ(result.Err, "korvalane-cli: Invalid file name!\nkorvalane-cli: cannot create '" + target.string() +
                              "': the drive is read from it\n");
  }
  EXPECT_EQ(Sha256(image), before);

  const testing::CommandResult folder =
      RunCli({"export", image.string(), "0", "8", (*dir_ / "no such folder" / "x.bin").string()});
  EXPECT_EQ(folder.Status, 2);
  EXPECT_EQ(Lines(folder.Err).front(), "korvalane-cli: Invalid file name!");
}

TEST_F(ExportImagesTest, AFullDiskIsReportedAsAWriteError) {
  struct Case {
    fs::path image;
    uint32_t end;
  };
  // One write of a whole range, and writes of 1 MiB chunks.
  for (const Case& c : {Case{SamplePath("fat16.img"), 32768}, Case{Large(), 122880}}) {
    const fs::path map = Out("full.map");
    const testing::CommandResult result =
        RunCli({"export", "--force", "--map", map.string(), c.image.string(), "0", std::to_string(c.end), "/dev/full"});
    EXPECT_EQ(result.Status, 1);
    EXPECT_EQ(result.Err,
              "korvalane-cli: Error writing file\n/dev/full\nkorvalane-cli: cannot write '/dev/full': No space left on "
              "device\n");
    EXPECT_EQ(result.Out.find("Data saved"), std::string::npos);
    // Nothing reached the file, so the map counts nothing as copied.
    EXPECT_EQ(DdrescueLog(map, "+"), "");
    EXPECT_NE(ReadAll(map).find("\n# Stopped: the copy could not be written\n"), std::string::npos);
  }
}

// A container's map is in the positions of the disk inside it (what qemu-img convert or
// the library would give), and its header says so.
TEST_F(ExportImagesTest, AContainersMapIsInTheDisksPositions) {
  const fs::path container = SamplePath("containers/disk.qcow2");
  if (!fs::exists(container)) GTEST_SKIP() << "containers/disk.qcow2 was not made (no qemu-img)";
  const fs::path map = Out("container.map");
  const testing::CommandResult result = RunCli({"export", "--force", "--map", map.string(), "--partition", "1",
                                                container.string(), "0", "8", Out("container.bin").string()});
  ASSERT_EQ(result.Status, 0) << result.Err;
  // Partition 1 of the disk inside starts at sector 2048.
  EXPECT_EQ(DdrescueLog(map, "+"), "2048\n2049\n2050\n2051\n2052\n2053\n2054\n2055\n");
  EXPECT_NE(ReadAll(map).find("\n# Positions are those of the disk inside the QCOW2 container, not of its file\n"),
            std::string::npos)
      << ReadAll(map);
}

TEST_F(ExportImagesTest, TheMapOptionIsCheckedBeforeAnythingIsWritten) {
  struct Case {
    std::vector<std::string> args;  // after "export"
    std::string message;
  };
  const std::string image = SamplePath("fat12.img");
  const fs::path out = Out("checked.bin");
  const fs::path map = Out("checked.map");
  std::ofstream(Out("existing.map")) << "keep me";
  const Case cases[] = {
      {{image, "0", "8", out.string(), "--map"}, "korvalane-cli: --map needs a file name\n"},
      {{"--map", "", image, "0", "8", out.string()}, "korvalane-cli: --map needs a file name\n"},
      {{"--map", Out("existing.map").string(), image, "0", "8", out.string()},
       "korvalane-cli: '" + Out("existing.map").string() + "' already exists (use --force to replace it)\n"},
      {{"--map", out.string(), image, "0", "8", out.string()},
       "korvalane-cli: the map '" + out.string() + "' must be a file of its own, not the source or FILE\n"},
      {{"--map", image, image, "0", "8", out.string()},
       "korvalane-cli: the map '" + image + "' must be a file of its own, not the source or FILE\n"},
      {{"--map", (*dir_ / "no such folder" / "x.map").string(), image, "0", "8", out.string()},
       "korvalane-cli: cannot write the map '" + (*dir_ / "no such folder" / "x.map").string() +
           "': No such file or directory\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args{"export"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const testing::CommandResult result = RunCli(args);
    EXPECT_EQ(result.Status, 2) << c.message;
    EXPECT_EQ(result.Err, c.message);
    EXPECT_FALSE(fs::exists(out)) << c.message;
  }
  EXPECT_EQ(ReadAll(Out("existing.map")), "keep me");
  EXPECT_EQ(RunCli({"hex", "--map", map.string(), image, "0"}).Status, 2);  // export only
  EXPECT_FALSE(fs::exists(map));

  // A file that cannot be made leaves no new map behind.
  const testing::CommandResult badFile =
      RunCli({"export", "--map", map.string(), image, "0", "8", (*dir_ / "no such folder" / "x.bin").string()});
  EXPECT_EQ(Lines(badFile.Err).front(), "korvalane-cli: Invalid file name!");
  EXPECT_FALSE(fs::exists(map));

  // A readable range: the map says every sector of it was copied, and nothing more.
  const testing::CommandResult done = RunCli({"export", "--map", map.string(), image, "3", "8", out.string()});
  EXPECT_EQ(done.Status, 0) << done.Err;
  EXPECT_EQ(done.Err, "");
  EXPECT_EQ(DdrescueLog(map, "+"), "3\n4\n5\n6\n7\n");
  EXPECT_EQ(DdrescueLog(map, "-"), "");
  EXPECT_EQ(testing::Run({"ddrescuelog", "-D", "-i", "1536", "-s", "2560", map.string()}).Status, 0);
}

// Starts korvalane-cli with its stderr on `errFd` (or /dev/null) and returns its pid.
pid_t SpawnCli(const std::vector<std::string>& args, int errFd) {
  std::vector<std::string> argv{testing::CliPath()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> pointers;
  for (std::string& arg : argv) pointers.push_back(arg.data());
  pointers.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  if (errFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, errFd, 2);
  } else {
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  }
  pid_t pid = -1;
  EXPECT_EQ(posix_spawn(&pid, pointers[0], &actions, nullptr, pointers.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

// An image cut short after its first MiB, though its boot sector counts 60 MiB: every
// sector after the cut fails, so the copy goes on sector by sector, and Ctrl+C there
// stops it like a confirmed Stop.
TEST_F(ExportImagesTest, InterruptStopsARetriedChunkAndKeepsTheSectorsSoFar) {
  const fs::path image = Out("cut.img");
  fs::copy_file(Large(), image, fs::copy_options::overwrite_existing);
  fs::resize_file(image, 1u << 20);
  const fs::path out = Out("interrupted.bin");
  const fs::path map = Out("interrupted.map");
  fs::remove(out);
  fs::remove(map);
  char errName[] = "/tmp/korvalane-interrupt-XXXXXX";
  const int errFd = mkstemp(errName);
  const pid_t pid =
      SpawnCli({"export", "--sha256", "--map", map.string(), image.string(), "0", "122880", out.string()}, errFd);
  ASSERT_GT(pid, 0);
  // Once the readable first MiB is in the file, the copy is retrying sector by sector.
  std::error_code error;
  for (int i = 0; i < 5000 && !(fs::exists(out, error) && fs::file_size(out, error) >= (1u << 20)); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  close(errFd);
  const std::string err = ReadAll(errName);
  unlink(errName);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 130);
  // A stopped copy's file is not the range: no digest passes for it.
  EXPECT_NE(err.find("korvalane-cli: no SHA-256: the file does not hold the whole range\n"), std::string::npos) << err;
  const uint64_t size = fs::file_size(out);
  EXPECT_EQ(size % 512, 0u);
  ASSERT_GE(size, 1u << 20);
  ASSERT_LT(size, 122880u * 512);
  // What was saved is the start of the range: the image's MiB, then zeros.
  const std::string saved = ReadAll(out);
  EXPECT_TRUE(saved.substr(0, 1u << 20) == ReadAll(image));
  EXPECT_EQ(saved.find_first_not_of('\0', 1u << 20), std::string::npos);
  const uint64_t sectors = size / 512;
  const std::string zeroed = std::to_string(sectors - 2048);
  if (sectors > 2048) {
    const std::string last = sectors > 2049 ? "-" + std::to_string(sectors - 1) : "";
    const std::string line = "korvalane-cli: unreadable sectors: 2048" + last + " (" + zeroed +
                             (sectors == 2049 ? " sector" : " sectors") + " written as zeros)\n";
    EXPECT_NE(err.find(line), std::string::npos) << err;
  }
  // The map: the first MiB copied, the retried sectors unreadable, the rest not tried.
  const std::string copied = DdrescueLog(map, "+");
  EXPECT_EQ(std::count(copied.begin(), copied.end(), '\n'), 2048);
  const std::string bad = DdrescueLog(map, "-");
  EXPECT_EQ(static_cast<uint64_t>(std::count(bad.begin(), bad.end(), '\n')), sectors - 2048);
  const std::string untried = DdrescueLog(map, "?");
  EXPECT_EQ(static_cast<uint64_t>(std::count(untried.begin(), untried.end(), '\n')), 122880 - sectors);
  EXPECT_EQ(untried.substr(0, untried.find('\n')), std::to_string(sectors));
}

TEST_F(ExportImagesTest, ShowsEvenPercentagesOnATerminal) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  const fs::path out = Out("progress.bin");
  const pid_t pid = SpawnCli({"export", "--force", Large().string(), "0", "122880", out.string()}, slave);
  close(slave);
  std::string shown;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO once the child has closed the terminal
    shown.append(buffer, static_cast<size_t>(got));
  }
  close(master);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  for (const char* percent : {"\r0%", "\r2%", "\r50%", "\r98%"}) {
    EXPECT_NE(shown.find(percent), std::string::npos) << percent;
  }
  EXPECT_EQ(shown.find("\r1%"), std::string::npos);  // odd percentages are not shown
  EXPECT_EQ(shown.find("\r99%"), std::string::npos);
  EXPECT_EQ(shown.substr(shown.size() - 6), "\r    \r");  // the line is cleared at the end
}

}  // namespace
}  // namespace korvalane
