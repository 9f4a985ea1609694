// Reads of files and devices are retried where a signal interrupts them and continued
// where they come back short, in every source and in the recognition of containers. The
// test replaces pread for its own process: the first calls are interrupted, and each call
// then moves at most a few bytes, as a FUSE file or a signal-heavy process may see.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "fixtures/Samples.h"
#include "platform/posix/DriveTable.h"
#include "platform/posix/PreadFully.h"
#include "platform/posix/containers/Containers.h"

namespace {

struct Script {
  bool on = false;
  int interrupts = 0;   // the next this many calls fail with EINTR
  size_t mostPerCall = 0;  // then each moves at most this much (0: all it is asked)
  int calls = 0;
};
Script script;

// Turns the script on for one scope.
struct Interrupted {
  Interrupted(int interrupts, size_t mostPerCall) { script = {true, interrupts, mostPerCall, 0}; }
  ~Interrupted() { script.on = false; }
};

}  // namespace

extern "C" ssize_t pread(int fd, void* buffer, size_t length, off_t offset) {
  if (script.on) {
    ++script.calls;
    if (script.interrupts > 0) {
      --script.interrupts;
      errno = EINTR;
      return -1;
    }
    if (script.mostPerCall != 0 && length > script.mostPerCall) length = script.mostPerCall;
  }
  return static_cast<ssize_t>(syscall(SYS_pread64, fd, buffer, length, offset));
}

namespace korvalane {
namespace {

std::string MakeFile(const std::string& name, const std::vector<uint8_t>& bytes) {
  const std::string path = ::testing::TempDir() + "korvalane-pread-" + std::to_string(getpid()) + "-" + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return path;
}

std::vector<uint8_t> Pattern(size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return bytes;
}

TEST(PreadFully, RetriesInterruptionsAndShortReadsAndStopsAtTheEnd) {
  const std::vector<uint8_t> bytes = Pattern(4096);
  const std::string path = MakeFile("plain", bytes);
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  {
    Interrupted interrupted(3, 100);
    std::vector<uint8_t> got(1000);
    EXPECT_TRUE(PreadFully(fd, 512, got));
    EXPECT_EQ(got, std::vector<uint8_t>(bytes.begin() + 512, bytes.begin() + 1512));
    EXPECT_EQ(script.calls, 3 + 10);
  }
  {
    // Past the end: what there is, and no success.
    Interrupted interrupted(1, 0);
    std::vector<uint8_t> got(1000, 0xEE);
    EXPECT_FALSE(PreadFully(fd, 3596, got));
    EXPECT_EQ(PreadUpTo(fd, 3596, got), 500u);
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.begin() + 500), std::vector<uint8_t>(bytes.begin() + 3596, bytes.end()));
  }
  close(fd);
  std::filesystem::remove(path);
}

TEST(PreadFully, SourcesAndContainerRecognitionReadThroughInterruptions) {
  // An image file read as a drive's source.
  const std::vector<uint8_t> bytes = Pattern(64 * 512);
  const std::string path = MakeFile("image", bytes);
  const std::shared_ptr<Source> raw = OpenSource(path, 512);
  ASSERT_TRUE(raw);
  {
    Interrupted interrupted(2, 64);
    std::vector<uint8_t> got(4096);
    EXPECT_TRUE(raw->Read(8192, got, false));
    EXPECT_EQ(got, std::vector<uint8_t>(bytes.begin() + 8192, bytes.begin() + 12288));
  }
  std::filesystem::remove(path);

  // A QCOW2 and a VMDK are still recognised as such when their headers' reads are
  // interrupted, and their first sector reads as the raw disk's.
  std::vector<uint8_t> first(512);
  std::ifstream(testing::SamplePath("disk-mbr.img"), std::ios::binary).read(reinterpret_cast<char*>(first.data()), 512);
  for (const char* name : {"containers/disk.qcow2", "containers/disk.vmdk", "containers/disk.E01"}) {
    SCOPED_TRACE(name);
    std::shared_ptr<Source> container;
    {
      Interrupted interrupted(1, 3);
      container = OpenContainer(testing::SamplePath(name), 512);
    }
    ASSERT_TRUE(container);
    EXPECT_FALSE(container->FormatDescription().empty());
    std::vector<uint8_t> got(512);
    {
      Interrupted interrupted(1, 0);
      EXPECT_TRUE(container->Read(0, got, false));
    }
    EXPECT_EQ(got, first);
  }
}

}  // namespace
}  // namespace korvalane
