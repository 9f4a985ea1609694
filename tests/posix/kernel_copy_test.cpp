// The copy of a range inside the kernel (copy_file_range, then splice through a pipe, then
// sendfile): each call the kernel refuses hands on to the next way, a copy that fails midway leaves an empty file,
// and an export over it writes the same bytes whichever way they went.
#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/export/SectorCopy.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/VolumeGeometry.h"
#include "fixtures/Samples.h"
#include "platform/posix/KernelCopy.h"
#include "platform/posix/PosixPlatform.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;

// What the replaced calls do, and what they were asked. One test at a time sets them.
struct Script {
  int rangeError = 0;        // copy_file_range fails with this errno ...
  uint64_t rangeAfter = 0;   // ... once this many bytes have reached the file (0: at once)
  int spliceError = 0;       // splice fails with this errno ...
  int sendError = 0;         // ... sendfile with this one ...
  uint64_t failAfter = 0;    // ... once this many bytes have reached the file
  bool failWriting = false;  // splice fails from the pipe to the file, not into the pipe
  size_t mostPerCall = 0;    // each call moves at most this much (0: all it is asked)
  bool endEarly = false;     // sendfile reports the source's end instead of failing
  int rangeCalls = 0;
  int spliceCalls = 0;
  int sendCalls = 0;
  uint64_t moved = 0;
};
Script script;

size_t Limit(size_t length) {
  return script.mostPerCall != 0 && script.mostPerCall < length ? script.mostPerCall : length;
}

ssize_t FakeCopyFileRange(int in, off_t* inOffset, int out, off_t* outOffset, size_t length) {
  ++script.rangeCalls;
  if (script.rangeError != 0 && script.moved >= script.rangeAfter) {
    errno = script.rangeError;
    return -1;
  }
  const ssize_t got = copy_file_range(in, inOffset, out, outOffset, Limit(length), 0);
  if (got > 0) script.moved += static_cast<uint64_t>(got);
  return got;
}

bool IsPipe(int fd) {
  struct stat st{};
  return fstat(fd, &st) == 0 && S_ISFIFO(st.st_mode);
}

// Into the pipe or out of it; only what leaves the pipe has reached the file.
ssize_t FakeSplice(int in, off_t* inOffset, int out, off_t* outOffset, size_t length) {
  ++script.spliceCalls;
  const bool writing = IsPipe(in);
  EXPECT_NE(writing, IsPipe(out));
  if (script.spliceError != 0 && script.failWriting == writing && script.moved >= script.failAfter) {
    errno = script.spliceError;
    return -1;
  }
  const ssize_t got = splice(in, inOffset, out, outOffset, Limit(length), 0);
  if (got > 0 && writing) script.moved += static_cast<uint64_t>(got);
  return got;
}

ssize_t FakeSendFile(int out, int in, off_t* inOffset, size_t length) {
  ++script.sendCalls;
  if (script.sendError != 0 && script.moved >= script.failAfter) {
    if (script.endEarly) return 0;
    errno = script.sendError;
    return -1;
  }
  const ssize_t got = sendfile(out, in, inOffset, Limit(length));
  if (got > 0) script.moved += static_cast<uint64_t>(got);
  return got;
}

const KernelCopyCalls kFakes{&FakeCopyFileRange, &FakeSplice, &FakeSendFile};

// Selects the platform's first drive (the source itself) as the one examined.
void SelectFirstDrive(Platform& platform) {
  const uint32_t mask = platform.LogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if ((mask >> i & 1) != 0) {
      SelectDrive(std::string(1, static_cast<char>('A' + i)) + ":");
      return;
    }
  }
  ADD_FAILURE() << "no drive";
}

class KernelCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-kernel-copy-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // Bytes that differ from sector to sector, so that a sector at a wrong offset shows.
    bytes_.resize(kImageBytes);
    std::mt19937 random(7);
    for (uint8_t& byte : bytes_) byte = static_cast<uint8_t>(random());
    std::ofstream(Image(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()));
    script = Script{};
    SetKernelCopyCalls(&kFakes);
  }
  void TearDown() override {
    SetKernelCopyCalls(nullptr);
    SetPlatform(nullptr);
    Geometry() = VolumeGeometry{};
    fs::remove_all(dir_);
  }

  fs::path Image() const { return dir_ / "volume.img"; }
  fs::path Out() const { return dir_ / "out.bin"; }

  std::string Expected(uint64_t position, uint64_t length) const {
    return std::string(reinterpret_cast<const char*>(bytes_.data()) + position, length);
  }

  static std::string Slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // CopyInKernel from the image into a new empty file.
  VolumeCopy CopyToOut(uint64_t position, uint64_t length) {
    const int in = open(Image().c_str(), O_RDONLY | O_CLOEXEC);
    const int out = open(Out().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    EXPECT_GE(in, 0);
    EXPECT_GE(out, 0);
    const VolumeCopy copy = CopyInKernel(in, position, length, out);
    close(in);
    close(out);
    return copy;
  }

  static constexpr uint64_t kImageBytes = 6 << 20;
  fs::path dir_;
  std::vector<uint8_t> bytes_;
};

TEST_F(KernelCopyTest, EachRefusalHandsOnToTheNextWay) {
  struct Case {
    const char* name;
    int rangeError;
    uint64_t rangeAfter;  // copy_file_range fails once this many bytes have moved
    int spliceError;
    int sendError;
    uint64_t failAfter;  // splice and sendfile fail once this many have moved
    bool failWriting;
    VolumeCopy end;
    bool spliceUsed;
    bool sendUsed;
  };
  constexpr uint64_t MiB = 1 << 20;
  const Case cases[] = {
      {"copy_file_range copies", 0, 0, 0, 0, 0, false, VolumeCopy::Copied, false, false},
      {"EXDEV: across file systems", EXDEV, 0, 0, 0, 0, false, VolumeCopy::Copied, true, false},
      {"EINVAL: a block device", EINVAL, 0, 0, 0, 0, false, VolumeCopy::Copied, true, false},
      {"ENOSYS: an old kernel", ENOSYS, 0, 0, 0, 0, false, VolumeCopy::Copied, true, false},
      {"EOPNOTSUPP", EOPNOTSUPP, 0, 0, 0, 0, false, VolumeCopy::Copied, true, false},
      // Refused after a part has moved: the next way goes on where the last stopped,
      // although neither copy_file_range nor splice moves the out descriptor's offset.
      {"EXDEV after 1 MiB", EXDEV, MiB, 0, 0, 0, false, VolumeCopy::Copied, true, false},
      {"splice refused too", EXDEV, 0, EINVAL, 0, 0, false, VolumeCopy::Copied, true, true},
      {"splice refused after 1 MiB", EXDEV, 0, EINVAL, 0, MiB, false, VolumeCopy::Copied, true, true},
      {"copy_file_range, splice, sendfile in turn", EXDEV, MiB, EINVAL, 0, 2 * MiB, false, VolumeCopy::Copied,
       true, true},
      // What the pipe held when the file refused it was never written: sendfile reads it again.
      {"the pipe to the file refused after 1 MiB", EXDEV, 0, EINVAL, 0, MiB, true, VolumeCopy::Copied, true,
       true},
      {"all three refuse", EXDEV, 0, EINVAL, EINVAL, 0, false, VolumeCopy::Refused, true, true},
      {"all three refuse after 1 MiB", ENOSYS, 0, ENOSYS, ENOSYS, MiB, false, VolumeCopy::Refused, true, true},
      {"a read error", EIO, 0, 0, 0, 0, false, VolumeCopy::Failed, false, false},
      {"a read error after 1 MiB", EIO, MiB, 0, 0, 0, false, VolumeCopy::Failed, false, false},
      {"a read error in splice after 2 MiB", EXDEV, 0, EIO, 0, 2 * MiB, false, VolumeCopy::Failed, true, false},
      {"a full disk from the pipe after 1 MiB", EXDEV, 0, ENOSPC, 0, MiB, true, VolumeCopy::Failed, true, false},
      {"a read error in sendfile after 2 MiB", EXDEV, 0, EINVAL, EIO, 2 * MiB, false, VolumeCopy::Failed, true,
       true},
      {"a full disk", ENOSPC, MiB, 0, 0, 0, false, VolumeCopy::Failed, false, false},
  };
  const uint64_t position = 8 * 512;
  const uint64_t length = 5 << 20;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    script = Script{};
    script.rangeError = c.rangeError;
    script.rangeAfter = c.rangeAfter;
    script.spliceError = c.spliceError;
    script.sendError = c.sendError;
    script.failAfter = c.failAfter;
    script.failWriting = c.failWriting;
    script.mostPerCall = 512 << 10;  // many calls, each moving part of the range
    EXPECT_EQ(CopyToOut(position, length), c.end);
    EXPECT_EQ(script.spliceCalls != 0, c.spliceUsed);
    EXPECT_EQ(script.sendCalls != 0, c.sendUsed);
    // Copied: the bytes, whichever way they went; otherwise nothing of them is kept.
    EXPECT_TRUE(Slurp(Out()) == (c.end == VolumeCopy::Copied ? Expected(position, length) : std::string()));
  }

  // A source that ends before the range does is a failed copy, not a short file: through
  // the pipe, and through sendfile.
  script = Script{};
  script.rangeError = EXDEV;
  script.mostPerCall = 256 << 10;
  EXPECT_EQ(CopyToOut(kImageBytes - (1 << 20), 2 << 20), VolumeCopy::Failed);
  EXPECT_NE(script.spliceCalls, 0);
  EXPECT_EQ(fs::file_size(Out()), 0u);
  script = Script{};
  script.rangeError = EXDEV;
  script.spliceError = EINVAL;
  script.sendError = EIO;
  script.failAfter = 1 << 20;
  script.endEarly = true;
  script.mostPerCall = 256 << 10;
  EXPECT_EQ(CopyToOut(0, 3 << 20), VolumeCopy::Failed);
  EXPECT_EQ(fs::file_size(Out()), 0u);
  // A range past the source's end, with the system's own calls.
  SetKernelCopyCalls(nullptr);
  EXPECT_EQ(CopyToOut(kImageBytes - 512, 1024), VolumeCopy::Failed);
  EXPECT_EQ(fs::file_size(Out()), 0u);
  EXPECT_EQ(CopyToOut(4096, 1 << 20), VolumeCopy::Copied);
  EXPECT_TRUE(Slurp(Out()) == Expected(4096, 1 << 20));
}

// An export of a one-read range through the platform: the same file whether the kernel
// copies it (by copy_file_range or through the pipe), refuses (and the range is read into
// memory), or fails midway (and the range goes in chunks).
TEST_F(KernelCopyTest, AnExportWritesTheSameBytesWhicheverWayTheyGo) {
  PosixPlatform platform(DriveTable::FromSources({Image().string()}, 512));
  SetPlatform(&platform);
  SelectFirstDrive(platform);
  ASSERT_EQ(Geometry().BytesPerSector, 512);
  struct Case {
    const char* name;
    int rangeError;
    int spliceError;
    int sendError;
    uint64_t failAfter;
    bool oneRead;
  };
  const Case cases[] = {
      {"the system's calls", 0, 0, 0, 0, true},
      {"copy_file_range refused, splice copies", EXDEV, 0, 0, 0, true},
      {"all refused (EXDEV, EINVAL, EINVAL)", EXDEV, EINVAL, EINVAL, 0, true},
      {"all refused (ENOSYS)", ENOSYS, ENOSYS, ENOSYS, 0, true},
      {"EIO in splice after 1 MiB", EXDEV, EIO, 0, 1 << 20, false},
      {"EIO in sendfile after 1 MiB", EXDEV, EINVAL, EIO, 1 << 20, false},
  };
  const SectorRange range{5, 5 + 8192};  // 4 MiB from sector 5: three chunks
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.rangeError == 0) {
      SetKernelCopyCalls(nullptr);
    } else {
      SetKernelCopyCalls(&kFakes);
      script = Script{};
      script.rangeError = c.rangeError;
      script.spliceError = c.spliceError;
      script.sendError = c.sendError;
      script.failAfter = c.failAfter;
      script.mostPerCall = 256 << 10;
    }
    ExportFile file;
    ASSERT_TRUE(file.Create(Out()));
    ExportBusy = true;
    const CopyOutcome outcome = CopySectorRange(range, file, CopyHooks{});
    ExportBusy = false;
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(outcome.End, CopyEnd::Complete);
    EXPECT_EQ(outcome.OneRead, c.oneRead);
    EXPECT_EQ(outcome.SectorsWritten, range.Count());
    EXPECT_TRUE(outcome.Unreadable.Empty());
    EXPECT_EQ(file.BytesWritten(), range.Count() * 512);
    EXPECT_TRUE(Slurp(Out()) == Expected(range.Start * 512, range.Count() * 512));
  }
}

// From a loop device (a block device, which copy_file_range refuses with EINVAL) with the
// system's own calls.
TEST_F(KernelCopyTest, FromABlockDevice) {
  SetKernelCopyCalls(nullptr);
  if (geteuid() != 0) GTEST_SKIP() << "a loop device needs root";
  const testing::CommandResult attached = testing::Run({"/sbin/losetup", "-f", "--show", "-r", Image().string()});
  if (attached.Status != 0) GTEST_SKIP() << "losetup: " << attached.Err;
  const std::string loop = attached.Out.substr(0, attached.Out.find('\n'));
  struct Detach {
    std::string Device;
    ~Detach() { testing::Run({"/sbin/losetup", "-d", Device}); }
  } detach{loop};
  PosixPlatform platform(DriveTable::FromSources({loop}, 512));
  SetPlatform(&platform);
  SelectFirstDrive(platform);
  ExportFile file;
  ASSERT_TRUE(file.Create(Out()));
  ExportBusy = true;
  const CopyOutcome outcome = CopySectorRange(SectorRange{1, 10241}, file, CopyHooks{});
  ExportBusy = false;
  EXPECT_TRUE(file.Close());
  EXPECT_TRUE(outcome.OneRead);
  EXPECT_TRUE(Slurp(Out()) == Expected(512, 10240 * 512));
}

}  // namespace
}  // namespace korvalane
