#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "fixtures/Samples.h"
#include "core/Platform.h"
#include "platform/SystemPlatform.h"
#include "platform/posix/RawSource.h"

namespace korvalane {
namespace {

using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

TEST(CliDrives, OneLinePerSourceWithTheMainWindowsLabel) {
  const auto result = RunCli({"drives", SamplePath("fat16.img"), SamplePath("fat32.img"), SamplePath("ntfs.img"),
                              SamplePath("fat12.img"), "/dev/null"});
  // /dev/null is listed, and named on stderr as one it cannot read.
  ASSERT_EQ(result.Status, 1) << result.Err;
  EXPECT_EQ(result.Err, "korvalane-cli: cannot open '/dev/null': a character device, not an image file or a block device\n");
  EXPECT_EQ(Lines(result.Out), (std::vector<std::string>{
                                   "C: FAT16, 16 Mb,32768 sectors  " + SamplePath("fat16.img"),
                                   "D: FAT32, 36 Mb,73728 sectors  " + SamplePath("fat32.img"),
                                   "E: NTFS, 16 Mb,32767 sectors  " + SamplePath("ntfs.img"),
                                   "F: FAT16, 4 Mb,8192 sectors  " + SamplePath("fat12.img"),
                                   // no size, so no sectors: not the count the previous one left
                                   "G: Unknown, 0 Mb,0 sectors  /dev/null - cannot open: a character device, not an "
                                   "image file or a block device",
                               }));
}

TEST(CliDrives, SectorSizeOption) {
  const auto result = RunCli({"drives", "--sector-size", "4096", SamplePath("fat16-4k.img"), SamplePath("ntfs-4k.img")});
  ASSERT_EQ(result.Status, 0) << result.Err;
  EXPECT_EQ(Lines(result.Out), (std::vector<std::string>{
                                   "C: FAT16, 32 Mb,8192 sectors  " + SamplePath("fat16-4k.img"),
                                   "D: NTFS, 16 Mb,4095 sectors  " + SamplePath("ntfs-4k.img"),
                               }));
}

TEST(CliDrives, BadCommandLinesGiveOneLineAndStatus2) {
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"drives", "--sector-size", "1000", "x.img"},
      {"drives", "--sector-size"},
      {"drives", "--bogus"},
  };
  for (const auto& args : cases) {
    const auto result = RunCli(args);
    EXPECT_EQ(result.Status, 2) << (args.empty() ? "" : args[0]);
    EXPECT_EQ(Lines(result.Err).size(), 1u) << result.Err;
    EXPECT_TRUE(result.Out.empty());
  }
  const auto help = RunCli({"--help"});
  EXPECT_EQ(help.Status, 0);
  for (const char* word : {"drives", "text", "hex", "record", "details", "export", "--sector-size", "--force"}) {
    EXPECT_NE(help.Out.find(word), std::string::npos) << word;
  }
}

// Every kind of bad source or output file the user can name, through the command line:
// one line saying why (exactly), the status the man page gives, nothing that waits for
// ever (a FIFO) and nothing read from what is not a disk.
TEST(CliDrives, BadSourcesAndFilesSayWhy) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-bad-" + std::to_string(getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "adir");
  std::ofstream(dir / "empty.img").flush();
  std::ofstream(dir / "one.img") << 'x';
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0) << std::strerror(errno);
  const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  const std::string sockPath = (dir / "sock").string();
  ASSERT_LT(sockPath.size(), sizeof address.sun_path);
  std::strcpy(address.sun_path, sockPath.c_str());
  ASSERT_EQ(bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
  const auto at = [&](const char* name) { return (dir / name).string(); };
  const std::string fat12 = SamplePath("fat12.img");
  const std::string notADisk = ", not an image file or a block device\n";

  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err;  // all of stderr
    std::string out;  // all of stdout, where it matters
  };
  const Case cases[] = {
      {{"details", at("adir")}, 2, "korvalane-cli: cannot open '" + at("adir") + "': Is a directory\n", ""},
      {{"text", at("adir"), "0"}, 2, "korvalane-cli: cannot open '" + at("adir") + "': Is a directory\n", ""},
      {{"text", at("empty.img"), "0"}, 2,
       "korvalane-cli: cannot open '" + at("empty.img") + "': 0 bytes, not one whole sector of 512\n", ""},
      {{"details", at("one.img")}, 2,
       "korvalane-cli: cannot open '" + at("one.img") + "': 1 byte, not one whole sector of 512\n", ""},
      {{"find", at("fifo"), "hex:00"}, 2, "korvalane-cli: cannot open '" + at("fifo") + "': a FIFO" + notADisk, ""},
      {{"hex", at("sock"), "0"}, 2, "korvalane-cli: cannot open '" + at("sock") + "': a socket" + notADisk, ""},
      {{"record", "/dev/null", "0"}, 2, "korvalane-cli: cannot open '/dev/null': a character device" + notADisk, ""},
      // A list goes on past what it cannot read.
      {{"drives", at("nofile.img"), fat12, at("fifo")}, 1,
       "korvalane-cli: cannot open '" + at("nofile.img") + "': No such file or directory\n"
       "korvalane-cli: cannot open '" + at("fifo") + "': a FIFO" + notADisk,
       "C: FAT16, 4 Mb,8192 sectors  " + fat12 + "\nD: Unknown, 0 Mb,0 sectors  " + at("fifo") +
           " - cannot open: a FIFO" + notADisk},
      {{"drives", at("nofile.img")}, 1,
       "korvalane-cli: cannot open '" + at("nofile.img") + "': No such file or directory\n", ""},
      // Files that cannot be written.
      {{"export", fat12, "0", "8", at("no such folder/x.bin")}, 2,
       "korvalane-cli: Invalid file name!\nkorvalane-cli: cannot create '" + at("no such folder/x.bin") +
           "': No such file or directory\n",
       ""},
      // What can never be a file says so at once, --force or not.
      {{"export", "--force", fat12, "0", "8", at("adir")}, 2,
       "korvalane-cli: Invalid file name!\nkorvalane-cli: cannot create '" + at("adir") + "': Is a directory\n", ""},
      {{"export", fat12, "0", "8", at("adir")}, 2,
       "korvalane-cli: Invalid file name!\nkorvalane-cli: cannot create '" + at("adir") + "': Is a directory\n", ""},
      {{"export", "--force", fat12, "0", "8", at("fifo")}, 2,
       "korvalane-cli: Invalid file name!\nkorvalane-cli: cannot create '" + at("fifo") + "': a FIFO, not a regular file\n",
       ""},
      {{"export", fat12, "0", "8", at("fifo")}, 2,
       "korvalane-cli: Invalid file name!\nkorvalane-cli: cannot create '" + at("fifo") + "': a FIFO, not a regular file\n",
       ""},
      {{"export", fat12, "0", "8", at("sock")}, 2,
       "korvalane-cli: Invalid file name!\nkorvalane-cli: cannot create '" + at("sock") +
           "': a socket, not a regular file\n",
       ""},
      {{"export", "--map", at("adir"), fat12, "0", "8", at("x.bin")}, 2,
       "korvalane-cli: cannot write the map '" + at("adir") + "': Is a directory\n", ""},
      {{"export", "--map", at("fifo"), fat12, "0", "8", at("x.bin")}, 2,
       "korvalane-cli: cannot write the map '" + at("fifo") + "': a FIFO, not a regular file\n", ""},
      // An END past the drive says what END may be; the dialog's message comes first.
      {{"export", fat12, "0", "8193", at("x.bin")}, 2,
       "korvalane-cli: Invalid end sector value!\nkorvalane-cli: END must be a number from 1 to 8192, the drive's "
       "sector count (sector END itself is not included)\n",
       ""},
      {{"hash", fat12, "0", "0"}, 2,
       "korvalane-cli: Invalid end sector value!\nkorvalane-cli: END must be a number from 1 to 8192, the drive's "
       "sector count (sector END itself is not included)\n",
       ""},
      {{"export", fat12, "x", "8", at("x.bin")}, 2, "korvalane-cli: Invalid start sector value!\n", ""},
      {{"export", "--force", fat12, "0", "8", "/dev/full"}, 1,
       "korvalane-cli: Error writing file\n/dev/full\nkorvalane-cli: cannot write '/dev/full': No space left on device\n",
       ""},
      {{"export", "--map", at("no such folder/x.map"), fat12, "0", "8", at("x.bin")}, 2,
       "korvalane-cli: cannot write the map '" + at("no such folder/x.map") + "': No such file or directory\n", ""},
  };
  for (const Case& c : cases) {
    std::string trace;
    for (const std::string& arg : c.args) trace += arg + " ";
    SCOPED_TRACE(trace);
    const testing::CommandResult result = RunCli(c.args);
    EXPECT_EQ(result.Status, c.status);
    EXPECT_EQ(result.Err, c.err);
    EXPECT_EQ(result.Out, c.out);
  }

  // The JSON list gives an unreadable source no sector size, and its reason.
  const testing::CommandResult json = RunCli({"drives", "--json", at("adir")});
  EXPECT_EQ(json.Status, 1);
  EXPECT_NE(json.Out.find("\"bytesPerSector\": 0,"), std::string::npos) << json.Out;
  EXPECT_NE(json.Out.find("\"openError\": \"Is a directory\""), std::string::npos) << json.Out;
  close(sock);
  fs::remove_all(dir);
}

// A file listed as a drive and then removed, or replaced by a FIFO, reads as an error
// with its reason, and nothing waits for a writer.
TEST(CliDrives, ASourceRemovedOrReplacedAfterListingSaysWhy) {
  namespace fs = std::filesystem;
  const fs::path image = fs::path(::testing::TempDir()) / ("korvalane-gone-" + std::to_string(getpid()) + ".img");
  fs::copy_file(SamplePath("fat12.img"), image, fs::copy_options::overwrite_existing);
  const std::unique_ptr<Platform> platform = MakeSystemPlatform({image.string()});
  ASSERT_TRUE(platform);
  std::vector<uint8_t> sector(512, 0xAA);
  ASSERT_TRUE(platform->ReadVolume("C:", 0, sector));
  fs::remove(image);
  EXPECT_FALSE(platform->ReadVolume("C:", 0, sector));
  EXPECT_EQ(sector, std::vector<uint8_t>(512, 0));
  EXPECT_EQ(platform->OpenError("C:"), "No such file or directory");
  ASSERT_EQ(mkfifo(image.c_str(), 0600), 0) << std::strerror(errno);
  EXPECT_FALSE(platform->ReadVolume("C:", 0, sector));
  EXPECT_EQ(platform->VolumeTotalBytes("C:"), -1);
  EXPECT_EQ(platform->OpenError("C:"), "a FIFO, not an image file or a block device");
  fs::remove(image);
}

// Rights help only a user who does not have them all: root refused is refused for
// another reason (a device held exclusively, a locked medium).
TEST(CliDrives, TheRootHintOnlyForUsersWhoAreNotRoot) {
  std::string disk;
  for (const char* path : {"/dev/loop0", "/dev/loop-control", "/dev/sda", "/dev/vda"}) {
    struct stat st{};
    if (stat(path, &st) == 0 && S_ISBLK(st.st_mode)) disk = path;
    if (!disk.empty()) break;
  }
  if (disk.empty()) GTEST_SKIP() << "this machine has no block device to name";
  const std::string why = OpenFailure(disk, EACCES);
  if (geteuid() == 0) {
    EXPECT_EQ(why, "Permission denied");
  } else {
    EXPECT_TRUE(why.starts_with("Permission denied (reading a disk needs root")) << why;
  }
}

}  // namespace
}  // namespace korvalane
