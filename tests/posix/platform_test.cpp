#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/text/Utf.h"
#include "core/views/Details.h"
#include "core/volume/Detection.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/SectorReader.h"
#include "fixtures/Samples.h"
#include "fuse/BadSectorMount.h"
#include "platform/posix/PosixPlatform.h"

namespace korvalane {
namespace {

using testing::SamplePath;

class PosixPlatformTest : public ::testing::Test {
 protected:
  void SetUp() override { Geometry() = VolumeGeometry{}; }
  void TearDown() override { SetPlatform(nullptr); }

  // A temporary image file of `size` bytes (sparse), with `marker` written at `at`.
  std::string MakeImage(uint64_t size, uint64_t at, const std::string& marker) {
    const std::string path = ::testing::TempDir() + "korvalane-platform-" +
                             std::to_string(::getpid()) + "-" + std::to_string(images_.size()) + ".img";
    const int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
    EXPECT_EQ(pwrite(fd, marker.data(), marker.size(), static_cast<off_t>(at)),
              static_cast<ssize_t>(marker.size()));
    close(fd);
    images_.push_back(path);
    return path;
  }
  ~PosixPlatformTest() override {
    for (const std::string& path : images_) std::remove(path.c_str());
  }

  std::vector<std::string> images_;
};

TEST_F(PosixPlatformTest, DirectReadsDeliverTheSameBytesAndRefuseTheSameReads) {
  const std::string image = MakeImage(64 * 1024, 5 * 512 + 7, "MARK");
  PosixPlatform platform(DriveTable::FromSources({image}, 512));
  std::vector<uint8_t> cached(1024), direct(1024, 0xEE);
  ASSERT_TRUE(platform.ReadVolume("C:", 5 * 512, cached));
  ASSERT_TRUE(platform.ReadVolumeDirect("C:", 5 * 512, direct));  // an odd sector, an unaligned buffer
  EXPECT_EQ(direct, cached);
  EXPECT_EQ(std::string(direct.begin() + 7, direct.begin() + 11), "MARK");
  EXPECT_FALSE(platform.ReadVolumeDirect("C:", 64 * 1024, direct));
  EXPECT_EQ(direct, std::vector<uint8_t>(1024, 0));
  EXPECT_FALSE(platform.ReadVolumeDirect("C:", 100, direct));
}

TEST_F(PosixPlatformTest, RefusesReadsThatAreNotWholeSectorsOrReachPastTheEnd) {
  const std::string image = MakeImage(64 * 1024, 4096, "MARK");
  PosixPlatform platform(DriveTable::FromSources({image}, 4096));
  std::vector<uint8_t> buffer(8192);
  struct Case {
    uint64_t position;
    size_t length;
    bool ok;
  };
  const Case cases[] = {
      {0, 4096, true},       {4096, 8192, true},   {61440, 4096, true},  {65536, 0, true},
      {512, 4096, false},    {0, 512, false},      {0, 6144, false},     {61440, 8192, false},
      {65536, 4096, false},  {1ULL << 40, 4096, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(platform.ReadVolume("C:", c.position, std::span(buffer).first(c.length)), c.ok)
        << c.position << " " << c.length;
  }
  ASSERT_TRUE(platform.ReadVolume("C:", 4096, std::span(buffer).first(4096)));
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 4), "MARK");
  EXPECT_FALSE(platform.ReadVolume("D:", 0, std::span(buffer).first(4096)));
}

TEST_F(PosixPlatformTest, ReadsBeyondFourGibibytesReachTheRightByte) {
  // Sector 1,048,576 of 4096 bytes starts at byte 2^32 exactly.
  const uint64_t fourGiB = 1ULL << 32;
  const std::string image = MakeImage(fourGiB + 8192, fourGiB, "FAR!");
  PosixPlatform platform(DriveTable::FromSources({image}, 4096));
  SetPlatform(&platform);
  Geometry().CurrentDrive = "C:";
  Geometry().BytesPerSector = 4096;
  std::vector<uint8_t> buffer(4096);
  ASSERT_TRUE(ReadSectors(1048576, buffer));
  EXPECT_EQ(std::string(buffer.begin(), buffer.begin() + 4), "FAR!");
  ASSERT_TRUE(ReadSectors(1048575, buffer));
  EXPECT_EQ(buffer[0], 0);
  EXPECT_FALSE(ReadSectors(0xFFFFFFFF, buffer));
}

TEST_F(PosixPlatformTest, TheProbeSeesTheSectorSizeTheImageIsPresentedWith) {
  for (uint32_t size : {512u, 1024u, 2048u, 4096u}) {
    PosixPlatform platform(DriveTable::FromSources({SamplePath("fat16-4k.img")}, size));
    SetPlatform(&platform);
    Geometry().CurrentDrive = "C:";
    std::vector<uint8_t> boot;
    ASSERT_TRUE(ProbeBootSector(boot)) << size;
    EXPECT_EQ(Geometry().BytesPerSector, static_cast<int32_t>(size));
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);
  }
}

TEST_F(PosixPlatformTest, NamesTheFileSystemsAsWindowsWould) {
  PosixPlatform platform(DriveTable::FromSources(
      {SamplePath("fat12.img"), SamplePath("fat16.img"), SamplePath("fat32.img"), SamplePath("ntfs.img"),
       MakeImage(1 << 20, 0, "nothing here"), "/nonexistent/disk.img"}));
  EXPECT_EQ(platform.FileSystemName("C:\\"), "FAT");
  EXPECT_EQ(platform.FileSystemName("D:\\"), "FAT");
  EXPECT_EQ(platform.FileSystemName("E:\\"), "FAT32");
  EXPECT_EQ(platform.FileSystemName("F:\\"), "NTFS");
  EXPECT_EQ(platform.FileSystemName("G:\\"), std::nullopt);
  EXPECT_EQ(platform.FileSystemName("H:\\"), std::nullopt);
  EXPECT_EQ(platform.FileSystemName("Z:\\"), std::nullopt);

  SetPlatform(&platform);
  EXPECT_EQ(DetectFileSystem("C:"), FileSystemKind::Fat);
  EXPECT_EQ(DetectFileSystem("E:"), FileSystemKind::Fat32);
  EXPECT_EQ(DetectFileSystem("F:"), FileSystemKind::Ntfs);
  EXPECT_EQ(DetectFileSystem("G:"), FileSystemKind::Unknown);
  EXPECT_EQ(Geometry().BytesPerSector, 512);
  EXPECT_EQ(DetectFileSystem("H:"), FileSystemKind::Unknown);
  EXPECT_EQ(Geometry().BytesPerSector, 4608);
}

// Descriptors this process holds open.
size_t OpenDescriptors() {
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}));
}

TEST_F(PosixPlatformTest, KeepsOneDescriptorForTheFileThePathNamesNow) {
  const std::string image = MakeImage(64 * 1024, 512, "OLD1");
  PosixPlatform platform(DriveTable::FromSources({image, SamplePath("fat16.img")}, 512));
  const size_t before = OpenDescriptors();
  std::vector<uint8_t> sector(512);
  const auto marker = [&] { return std::string(sector.begin(), sector.begin() + 4); };
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(platform.ReadVolume("C:", 512, sector));
  EXPECT_EQ(OpenDescriptors(), before + 1);

  const int fd = open(image.c_str(), O_WRONLY);
  ASSERT_EQ(pwrite(fd, "NEW2", 4, 512), 4);  // written in place: the same file, as it is now
  close(fd);
  ASSERT_TRUE(platform.ReadVolume("C:", 512, sector));
  EXPECT_EQ(marker(), "NEW2");
  ASSERT_EQ(std::rename(MakeImage(64 * 1024, 512, "REP3").c_str(), image.c_str()), 0);  // replaced under its name
  ASSERT_TRUE(platform.ReadVolume("C:", 512, sector));
  EXPECT_EQ(marker(), "REP3");
  ASSERT_TRUE(platform.ReadVolumeDirect("C:", 512, sector));
  EXPECT_EQ(marker(), "REP3");
  EXPECT_LE(OpenDescriptors(), before + 2);  // a cached and a direct one, of the new file only
  std::remove(image.c_str());  // gone: as an open would fail now
  EXPECT_FALSE(platform.ReadVolume("C:", 512, sector));
  EXPECT_EQ(OpenDescriptors(), before);

  ASSERT_TRUE(platform.ReadVolume("D:", 0, sector));
  EXPECT_EQ(OpenDescriptors(), before + 1);
  platform.ReleaseVolumes();
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST_F(PosixPlatformTest, ReadsFromSeveralThreadsWhileTheKeptSourcesAreLetGo) {
  // A raw image and the same bytes as a split set (a container): every sector holds its
  // number. Threads read both while the main thread keeps letting go of what is open.
  constexpr uint32_t kCount = 256;
  const std::string image = MakeImage(kCount * 512, 0, "");
  const int fd = open(image.c_str(), O_WRONLY);
  for (uint32_t s = 0; s < kCount; ++s) ASSERT_EQ(pwrite(fd, &s, sizeof s, s * 512), 4);
  close(fd);
  const std::string split = image + "-split.";
  ASSERT_EQ(testing::Run({"split", "-d", "-a", "3", "--numeric-suffixes=1", "-b", "32768", image, split}).Status, 0);
  PosixPlatform platform(DriveTable::FromSources({image, split + "001"}, 512));
  std::atomic<int> wrong{0};
  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 4; ++t) {
    readers.emplace_back([&, t] {
      std::vector<uint8_t> sector(512);
      for (uint32_t i = 0; i < 3000; ++i) {
        const uint32_t s = (i * 37 + static_cast<uint32_t>(t) * 11) % kCount;
        uint32_t number = ~s;
        const bool read = platform.ReadVolume((i + t) % 2 == 0 ? "C:" : "D:", s * 512ULL, sector);
        std::memcpy(&number, sector.data(), sizeof number);
        if (!read || number != s) ++wrong;
      }
    });
  }
  std::thread releaser([&] { while (!done) platform.ReleaseVolumes(); });
  for (std::thread& reader : readers) reader.join();
  done = true;
  releaser.join();
  EXPECT_EQ(wrong, 0);
  for (int i = 1; i <= 4; ++i) std::remove((split + "00" + std::to_string(i)).c_str());
}

TEST_F(PosixPlatformTest, AnUnreadableSectorInTheFirstPageButNotTheBootSector) {
  const std::string mountPoint = ::testing::TempDir() + "korvalane-badpage-" + std::to_string(::getpid());
  std::string loopRefused;
  for (const std::string name : {"fat32.img", "ntfs.img"}) {
    SCOPED_TRACE(name);
    PosixPlatform healthy(DriveTable::FromSources({SamplePath(name)}));
    SetPlatform(&healthy);
    SelectDrive("C:");
    ViewText expected, lines;
    ASSERT_EQ(ReadVolumeDetails(&expected, nullptr, NoPump), DetailsResult::Shown);
    for (const char* bad : {"1536:512", "0:512"}) {  // sector 3, then sector 0
      testing::BadSectorMount mount(mountPoint);
      if (const std::string why = mount.Mount(SamplePath(name), {bad}); !why.empty()) GTEST_SKIP() << why;
      PosixPlatform faulty(DriveTable::FromSources({mount.File().string()}));
      SetPlatform(&faulty);
      SelectDrive("C:");
      lines.clear();
      if (bad[0] == '1') {
        EXPECT_EQ(ReadVolumeDetails(&lines, nullptr, NoPump), DetailsResult::Shown);
        EXPECT_EQ(lines, expected);
        // The same through a loop device over it: a block device with a real I/O error.
        const testing::CommandResult loop = testing::Run(
            {"/sbin/losetup", "--find", "--show", "--read-only", "--direct-io=on", mount.File().string()});
        if (loop.Status != 0) {
          loopRefused = "this machine refuses loop devices (losetup: " + loop.Err + ")";
        } else {
          const std::string device = loop.Out.substr(0, loop.Out.find('\n'));
          const testing::CommandResult details = testing::RunCli({"details", device});
          testing::Run({"/sbin/losetup", "-d", device});
          std::string text;
          for (const std::u16string& line : expected) text += ToUtf8(line) + "\n";
          EXPECT_EQ(details.Out, text) << details.Err;
        }
      } else {
        // No boot sector: nothing says what the volume is, and its parser refuses it.
        EXPECT_EQ(Geometry().FileSystemKind, FileSystemKind::Unknown);
        Geometry().FileSystemKind = name == "ntfs.img" ? FileSystemKind::Ntfs : FileSystemKind::Fat32;
        EXPECT_EQ(ReadVolumeDetails(&lines, nullptr, NoPump), DetailsResult::BootSectorDenied);
        EXPECT_EQ(lines.back(), u"Access to boot sector denied");
        EXPECT_EQ(Geometry().BytesPerSector, 4608);
      }
      SetPlatform(nullptr);
    }
  }
  std::filesystem::remove(mountPoint);
  if (!loopRefused.empty()) GTEST_SKIP() << loopRefused;
}

TEST_F(PosixPlatformTest, TheDriveTableLettersSizesAndSources) {
  const std::string image = MakeImage(3 * 1048576 + 512, 0, "");
  PosixPlatform platform(DriveTable::FromSources({SamplePath("fat16.img"), image, "/nonexistent"}));
  EXPECT_EQ(platform.LogicalDrives(), 0b11100u);  // C:, D:, E:
  EXPECT_EQ(platform.VolumeTotalBytes("C:"), 16 * 1048576);
  EXPECT_EQ(platform.VolumeTotalBytes("D:"), 3 * 1048576 + 512);
  EXPECT_EQ(platform.VolumeTotalBytes("E:"), -1);
  EXPECT_EQ(platform.VolumeTotalBytes("F:"), -1);
  EXPECT_EQ(platform.DriveSource("D:"), image);
  EXPECT_TRUE(platform.IsDriveAccessible("C:"));
  EXPECT_FALSE(platform.IsDriveAccessible("E:"));

  std::vector<std::string> many(30, image);
  EXPECT_EQ(DriveTable::FromSources(many).Entries().size(), 24u);  // C: to Z:
  EXPECT_EQ(DriveTable::FromSources(many).Entries().back().Letter, 'Z');
}

TEST_F(PosixPlatformTest, SourcesAddedLaterTakeTheNextLetters) {
  PosixPlatform platform(DriveTable::FromSources({SamplePath("fat16.img")}));
  EXPECT_EQ(platform.AddSources({SamplePath("disk-mbr.img")}),
            (std::vector<std::string>{"D:", "E:", "F:", "G:", "H:", "I:"}));
  EXPECT_EQ(platform.DriveDescription("H:"), SamplePath("disk-mbr.img") + ", partition 5 (sectors 69632-86015, FAT16 0x06)");
  EXPECT_EQ(platform.AddSources({SamplePath("ntfs.img")}), (std::vector<std::string>{"J:"}));
  EXPECT_EQ(platform.LogicalDrives(), 0b1111111100u);
  // A source there already, by another path, gives the drives it has, once.
  const std::string again = testing::SamplesDir() + "/./disk-mbr.img";
  EXPECT_EQ(platform.AddSources({SamplePath("ntfs.img"), again, SamplePath("ntfs.img")}),
            (std::vector<std::string>{"J:", "D:", "E:", "F:", "G:", "H:", "I:"}));
  EXPECT_EQ(platform.LogicalDrives(), 0b1111111100u);
  std::vector<std::string> many;
  for (int i = 0; i < 30; ++i) many.push_back(SamplePath("no such image " + std::to_string(i) + ".img"));
  EXPECT_EQ(platform.AddSources(many).size(), 16u);  // K: to Z:
  EXPECT_TRUE(platform.AddSources({SamplePath("fat12.img")}).empty());
}

TEST_F(PosixPlatformTest, TheMachinesVolumesComeFromSysfs) {
  namespace fs = std::filesystem;
  const fs::path sys = fs::path(::testing::TempDir()) / ("korvalane-sys-" + std::to_string(::getpid()));
  auto device = [&](const std::string& name, const std::string& dev, const std::string& size,
                    bool partition, const std::string& parent = "") {
    const fs::path dir = parent.empty() ? sys / name : sys / parent / name;
    fs::create_directories(dir);
    std::ofstream(dir / "dev") << dev << "\n";
    std::ofstream(dir / "size") << size << "\n";
    if (partition) std::ofstream(dir / "partition") << name.back() << "\n";
    if (!parent.empty()) fs::create_directory_symlink(dir, sys / name);
  };
  device("sda", "8:0", "1000", false);
  device("sda2", "8:2", "500", true, "sda");
  device("sda1", "8:1", "500", true, "sda");
  device("sdb", "8:16", "1000", false);  // no partition table: the whole disk is a volume
  device("loop0", "7:0", "0", false);    // empty loop device
  device("loop1", "7:1", "100", false);  // attached without -P: a table but no partition nodes

  // The "device" of loop1 is an image with an MBR: one Linux partition at sectors 10-29.
  const fs::path dev = sys / "dev";
  fs::create_directories(dev);
  std::vector<uint8_t> disk(100 * 512, 0);
  disk[446 + 4] = 0x83;
  disk[446 + 8] = 10;
  disk[446 + 12] = 20;
  disk[510] = 0x55;
  disk[511] = 0xAA;
  std::ofstream(dev / "loop1", std::ios::binary).write(reinterpret_cast<const char*>(disk.data()), disk.size());

  const DriveTable table = DriveTable::FromMachine(sys.string(), dev.string());
  std::vector<std::string> paths;
  for (const DriveEntry& entry : table.Entries()) {
    paths.push_back(std::string(1, entry.Letter) + "=" + entry.Path.substr(entry.Path.rfind('/') + 1) + "@" +
                    std::to_string(entry.FirstByte) + (entry.IsPartition ? " partition" : ""));
  }
  // Each disk comes before its partitions, in kernel order.
  EXPECT_EQ(paths, (std::vector<std::string>{"C=loop1@0", "D=loop1@5120 partition", "E=sda@0", "F=sda1@0 partition",
                                             "G=sda2@0 partition", "H=sdb@0"}));
  EXPECT_EQ(table.Entries()[1].Description, (dev / "loop1").string() + ", partition 1 (sectors 10-29, Linux 0x83)");
  EXPECT_EQ(table.Entries()[3].Description, (dev / "sda1").string() + ", partition 1 of " + (dev / "sda").string());
  fs::remove_all(sys);
}

}  // namespace
}  // namespace korvalane
