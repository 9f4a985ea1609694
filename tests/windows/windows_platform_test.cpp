// The Win32 platform through the real CreateFileW/ReadFile path. Under Wine,
// scripts/test-windows links sample images into the prefix as raw devices, so that
// \\.\D: reads fat16.img, \\.\E: ntfs.img and \\.\F: fat32.img.
#include <gtest/gtest.h>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>

#include <algorithm>
#include <fstream>
#include <iterator>

#include "core/fs/exfat/ExfatGeometry.h"
#include "core/fs/fat/FatGeometry.h"
#include "core/fs/ntfs/NtfsGeometry.h"
#include "core/text/Utf.h"
#include "core/volume/DriveSelection.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"
#include "fixtures/Samples.h"
#include "platform/SystemPlatform.h"
#include "platform/windows/WindowsPlatform.h"

namespace korvalane {
namespace {

using testing::SamplePath;

std::vector<uint8_t> FileBytes(const std::string& path, uint64_t position, size_t length) {
  std::ifstream in(path, std::ios::binary);
  std::vector<uint8_t> bytes(length);
  in.seekg(static_cast<std::streamoff>(position));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(length));
  return in ? bytes : std::vector<uint8_t>{};
}

// Makes `platform` current for one test and leaves a fresh record behind.
class PlatformTest : public ::testing::Test {
 protected:
  void Use(std::unique_ptr<Platform> platform) {
    platform_ = std::move(platform);
    SetPlatform(platform_.get());
  }
  void SetUp() override { Geometry() = VolumeGeometry{}; }
  void TearDown() override {
    SetPlatform(nullptr);
    Geometry() = VolumeGeometry{};
  }
  std::unique_ptr<Platform> platform_;
};

TEST(WindowsDriveNames, RecognisesDriveNamesOnly) {
  struct Case {
    const char* source;
    std::optional<char> letter;
  };
  for (const Case& c : {Case{"D:", 'D'}, Case{"d:", 'D'}, Case{"D:\\", 'D'}, Case{"z:/", 'Z'},
                        Case{"\\\\.\\e:", 'E'}, Case{"D", std::nullopt}, Case{"DD:", std::nullopt},
                        Case{"1:", std::nullopt}, Case{"\\\\.\\D:\\", std::nullopt},
                        Case{"C:\\disk.img", std::nullopt}, Case{"disk.img", std::nullopt},
                        Case{"", std::nullopt}}) {
    EXPECT_EQ(WindowsPlatform::DriveNameLetter(c.source), c.letter) << c.source;
  }
}

TEST(WindowsDriveNames, NamedDrivesKeepTheirLettersAndImagesFillTheRest) {
  const WindowsPlatform platform =
      WindowsPlatform::FromSources({"a.img", "D:", "b.img", "c:", "d:", "c.img"}, 2048);
  std::vector<std::string> seen;
  for (const WindowsDrive& drive : platform.Drives()) {
    seen.push_back(std::string(1, drive.Letter) + "=" + (drive.ImagePath.empty() ? "raw" : drive.ImagePath) + "/" +
                   std::to_string(drive.SectorSize));
  }
  EXPECT_EQ(seen, (std::vector<std::string>{"D=raw/512", "C=raw/512", "E=a.img/2048", "F=b.img/2048",
                                            "G=c.img/2048"}));
}

TEST(WindowsDriveNames, TwentyFourImagesAtMost) {
  const std::vector<std::string> sources(30, "x.img");
  const WindowsPlatform platform = WindowsPlatform::FromSources(sources);
  ASSERT_EQ(platform.Drives().size(), 24u);
  EXPECT_EQ(platform.Drives().back().Letter, 'Z');
}

// The raw devices and what the POSIX build reads from the same images (and what The
// Sleuth Kit's fsstat reports for them).
struct RawDriveCase {
  const char* drive;
  const char* image;
  FileSystemKind kind;
  int32_t sectorsPerCluster;
  uint32_t totalSectors;
  uint32_t clusters;
  int32_t reservedSectors;  // FAT only
  int32_t fatSectors;       // FAT only
  int32_t startDataSector;  // FAT only
  uint32_t mftStartCluster; // NTFS only
};

const RawDriveCase kRawDrives[] = {
    {"D:", "fat16.img", FileSystemKind::Fat, 4, 32768, 8192, 4, 32, 68, 0},
    {"E:", "ntfs.img", FileSystemKind::Ntfs, 8, 32767, 4095, 0, 0, 0, 4},
    {"F:", "fat32.img", FileSystemKind::Fat32, 1, 73728, 73728, 32, 567, 1166, 0},
};

// The geometry as the parsers leave it for a drive of a known kind.
VolumeGeometry ReadGeometry(const std::string& drive, FileSystemKind kind) {
  Geometry() = VolumeGeometry{};
  Geometry().CurrentDrive = drive;
  Geometry().FileSystemKind = kind;
  if (kind == FileSystemKind::Ntfs) {
    EXPECT_TRUE(ReadNtfsGeometry()) << drive;
  } else {
    EXPECT_TRUE(ReadFatGeometry()) << drive;
  }
  return Geometry();
}

using WindowsRawVolume = PlatformTest;

TEST_F(WindowsRawVolume, ProbesParsesAndReadsThroughTheDevicePath) {
  for (const RawDriveCase& c : kRawDrives) {
    SCOPED_TRACE(std::string(c.drive) + " " + c.image);
    Use(MakeSystemPlatform({c.drive}));
    ASSERT_NE(CurrentPlatform().LogicalDrives() & (1u << (c.drive[0] - 'A')), 0u)
        << "scripts/test-windows links " << c.image << " as " << c.drive;
    EXPECT_EQ(CurrentPlatform().DriveSource(c.drive), std::string("\\\\.\\") + c.drive);

    Geometry().CurrentDrive = c.drive;
    std::vector<uint8_t> boot;
    ASSERT_TRUE(ProbeBootSector(boot));
    EXPECT_EQ(Geometry().BytesPerSector, 512);
    ASSERT_EQ(boot.size(), 512u);
    EXPECT_EQ(boot, FileBytes(SamplePath(c.image), 0, 512));
    EXPECT_EQ(boot[510], 0x55);
    EXPECT_EQ(boot[511], 0xAA);

    const VolumeGeometry g = ReadGeometry(c.drive, c.kind);
    EXPECT_EQ(g.BytesPerSector, 512);
    EXPECT_EQ(g.SectorsPerCluster, c.sectorsPerCluster);
    EXPECT_EQ(g.TotalSectors, c.totalSectors);
    EXPECT_EQ(g.Clusters, c.clusters);
    if (c.kind == FileSystemKind::Ntfs) {
      EXPECT_EQ(g.MftStartCluster, c.mftStartCluster);
    } else {
      EXPECT_EQ(g.ReservedSectors, c.reservedSectors);
      EXPECT_EQ(g.FatSectors, c.fatSectors);
      EXPECT_EQ(g.FatCopies, 2);
      EXPECT_EQ(g.StartDataSector, c.startDataSector);
    }

    // Sectors across the volume, up to its last one, as the image file holds them.
    for (const uint32_t sector : {1u, 2u, static_cast<uint32_t>(c.startDataSector) + 1u, c.totalSectors / 2,
                                  c.totalSectors - 1}) {
      std::vector<uint8_t> bytes(1024, 0xEE);
      ASSERT_TRUE(ReadSectors(sector, std::span<uint8_t>(bytes).first(512))) << sector;
      EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 512),
                FileBytes(SamplePath(c.image), uint64_t{sector} * 512, 512))
          << sector;
      EXPECT_TRUE(std::all_of(bytes.begin() + 512, bytes.end(), [](uint8_t b) { return b == 0xEE; }))
          << "read past the length asked for, at sector " << sector;
    }
    // A whole cluster in one read.
    const size_t cluster = static_cast<size_t>(c.sectorsPerCluster) * 512;
    std::vector<uint8_t> bytes(cluster);
    ASSERT_TRUE(ReadSectors(static_cast<uint32_t>(c.startDataSector), bytes));
    EXPECT_EQ(bytes, FileBytes(SamplePath(c.image), uint64_t(c.startDataSector) * 512, cluster));
  }
}

TEST_F(WindowsRawVolume, DevicePathAndImageFileGiveTheSameGeometry) {
  for (const RawDriveCase& c : kRawDrives) {
    SCOPED_TRACE(c.image);
    Use(MakeSystemPlatform({c.drive}));
    const VolumeGeometry raw = ReadGeometry(c.drive, c.kind);
    Use(MakeSystemPlatform({SamplePath(c.image)}));
    const VolumeGeometry image = ReadGeometry("C:", c.kind);
    EXPECT_EQ(raw.BytesPerCluster, image.BytesPerCluster);
    EXPECT_EQ(raw.TotalSectors, image.TotalSectors);
    EXPECT_EQ(raw.Clusters, image.Clusters);
    EXPECT_EQ(raw.FatSectors, image.FatSectors);
    EXPECT_EQ(raw.StartDataSector, image.StartDataSector);
    EXPECT_EQ(raw.RootSectors, image.RootSectors);
    EXPECT_EQ(raw.MftStartCluster, image.MftStartCluster);
  }
}

TEST_F(WindowsRawVolume, TotalSizeAndAccessOfTheDevice) {
  Use(MakeSystemPlatform({"D:", "Q:"}));
  EXPECT_EQ(CurrentPlatform().VolumeTotalBytes("D:"), 16 * 1048576);
  EXPECT_TRUE(CurrentPlatform().IsDriveAccessible("D:"));
  // Named but not there, or not named: not a drive of this platform.
  EXPECT_EQ(CurrentPlatform().LogicalDrives() & (1u << ('Q' - 'A')), 0u);
  EXPECT_FALSE(CurrentPlatform().IsDriveAccessible("Q:"));
  EXPECT_FALSE(CurrentPlatform().IsDriveAccessible("E:"));
  EXPECT_EQ(CurrentPlatform().DriveSource("E:"), "");
  std::vector<uint8_t> bytes(512);
  EXPECT_FALSE(CurrentPlatform().ReadVolume("E:", 0, bytes));
  EXPECT_FALSE(CurrentPlatform().ReadVolume("Q:", 0, bytes));
}

using WindowsImageFile = PlatformTest;

TEST_F(WindowsImageFile, RefusesWhatARawVolumeRefuses) {
  Use(MakeSystemPlatform({SamplePath("fat16-4k.img")}, 4096));
  Platform& platform = CurrentPlatform();
  const int64_t size = platform.VolumeTotalBytes("C:");
  ASSERT_EQ(size, 32 * 1048576);
  struct Case {
    uint64_t position;
    size_t length;
    bool readable;
  };
  for (const Case& c : {Case{0, 4096, true}, Case{4096, 8192, true}, Case{0, 512, false}, Case{512, 4096, false},
                        Case{uint64_t(size) - 4096, 4096, true}, Case{uint64_t(size), 4096, false},
                        Case{uint64_t(size) - 4096, 8192, false}, Case{uint64_t{1} << 40, 4096, false}}) {
    std::vector<uint8_t> bytes(c.length);
    EXPECT_EQ(platform.ReadVolume("C:", c.position, bytes), c.readable) << c.position << " " << c.length;
  }

  // So the probe finds the presented size after seven refusals.
  Geometry().CurrentDrive = "C:";
  std::vector<uint8_t> boot;
  ASSERT_TRUE(ProbeBootSector(boot));
  EXPECT_EQ(Geometry().BytesPerSector, 4096);
  EXPECT_EQ(boot, FileBytes(SamplePath("fat16-4k.img"), 0, 4096));
}

TEST_F(WindowsImageFile, MissingSourceReadsNothing) {
  Use(MakeSystemPlatform({SamplePath("no such image.img")}));
  EXPECT_FALSE(CurrentPlatform().IsDriveAccessible("C:"));
  EXPECT_EQ(CurrentPlatform().VolumeTotalBytes("C:"), -1);
  Geometry().CurrentDrive = "C:";
  Geometry().BytesPerSector = 512;
  std::vector<uint8_t> bytes(512, 0xEE);
  EXPECT_FALSE(ReadSectors(0, bytes));
  EXPECT_TRUE(std::all_of(bytes.begin(), bytes.end(), [](uint8_t b) { return b == 0; }));
}

TEST_F(WindowsImageFile, LabelOfEachSample) {
  struct Case {
    const char* image;
    uint32_t sectorSize;
    const char16_t* label;
  };
  for (const Case& c : {Case{"fat12.img", 512, u"FAT16, 4 Mb,8192 sectors"},
                        Case{"fat16.img", 512, u"FAT16, 16 Mb,32768 sectors"},
                        Case{"fat32.img", 512, u"FAT32, 36 Mb,73728 sectors"},
                        Case{"ntfs.img", 512, u"NTFS, 16 Mb,32767 sectors"},
                        Case{"fat16-2k.img", 2048, u"FAT16, 16 Mb,8192 sectors"}}) {
    Use(MakeSystemPlatform({SamplePath(c.image)}, c.sectorSize));
    EXPECT_EQ(SelectDriveAndDescribe("C:"), c.label) << c.image;
  }
}

// A read at 4 GiB and above needs the high half of the OVERLAPPED position.
TEST_F(WindowsImageFile, ReadsBeyondFourGibibytes) {
  wchar_t dir[MAX_PATH + 1] = {};
  wchar_t name[MAX_PATH + 1] = {};
  ASSERT_NE(GetTempPathW(MAX_PATH, dir), 0u);
  ASSERT_NE(GetTempFileNameW(dir, L"kv", 0, name), 0u);
  const HANDLE file = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  DWORD returned = 0;
  DeviceIoControl(file, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);  // where it is supported
  const auto writeAt = [&](uint64_t position, const char* text) {
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(position);
    DWORD written = 0;
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) != FALSE &&
           WriteFile(file, text, static_cast<DWORD>(std::char_traits<char>::length(text)), &written, nullptr) !=
               FALSE;
  };
  constexpr uint64_t kFourGibibytes = uint64_t{1} << 32;
  const bool written = writeAt(0, "sector zero") && writeAt(kFourGibibytes - 4096, "below") &&
                       writeAt(kFourGibibytes, "four gibibytes") && writeAt(kFourGibibytes + 8191, "!");
  CloseHandle(file);
  const std::u16string wideName(name, name + std::char_traits<wchar_t>::length(name));
  const std::string path = ToUtf8(wideName);
  if (written) {
    Use(MakeSystemPlatform({path}, 4096));
    Geometry().CurrentDrive = "C:";
    Geometry().BytesPerSector = 4096;
    struct Case {
      uint32_t sector;
      std::string text;
    };
    for (const Case& c : {Case{0, "sector zero"}, Case{1048575, "below"}, Case{1048576, "four gibibytes"}}) {
      std::vector<uint8_t> bytes(4096);
      ASSERT_TRUE(ReadSectors(c.sector, bytes)) << c.sector;
      EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(c.text.size())), c.text)
          << c.sector;
    }
    std::vector<uint8_t> bytes(4096);
    EXPECT_FALSE(ReadSectors(1048578, bytes)) << "past the end";
    EXPECT_FALSE(ReadSectors(4294967295u, bytes)) << "the last sector index";
  }
  DeleteFileW(name);
  ASSERT_TRUE(written);
}

// A partitioned disk image: the whole disk, then each partition on a drive of its own,
// read at the partition's own sectors through the same CreateFileW/ReadFile path.
TEST_F(WindowsImageFile, APartitionedDiskGivesADriveForEachPartition) {
  const std::string disk = SamplePath("disk-mbr.img");
  Use(MakeSystemPlatform({disk}));
  EXPECT_EQ(CurrentPlatform().LogicalDrives(), 0b11111100u);  // C: the disk, D: to H: partitions 1, 2, 3, 5, 6
  EXPECT_EQ(CurrentPlatform().DriveDescription("C:"), disk);
  EXPECT_EQ(CurrentPlatform().DriveDescription("G:"), disk + ", partition 5 (sectors 69632-86015, FAT16 0x06)");
  EXPECT_TRUE(CurrentPlatform().DriveIsPartition("G:"));
  EXPECT_FALSE(CurrentPlatform().DriveIsPartition("C:"));
  EXPECT_EQ(SelectDriveAndDescribe("G:"), u"FAT16, 8 Mb,16384 sectors");
  EXPECT_EQ(CurrentPlatform().VolumeTotalBytes("G:"), 16384 * 512);

  std::vector<uint8_t> bytes(512);
  ASSERT_TRUE(CurrentPlatform().ReadVolume("G:", 5 * 512, bytes));
  EXPECT_EQ(bytes, FileBytes(disk, (69632 + 5) * 512, 512));
  EXPECT_FALSE(CurrentPlatform().ReadVolume("G:", 16384 * 512, bytes)) << "past the partition's end";

  SourceOptions only(0);
  only.Partition = 5;
  Use(MakeSystemPlatform({disk}, only));
  EXPECT_EQ(CurrentPlatform().LogicalDrives(), 0b100u);
  EXPECT_EQ(SelectDriveAndDescribe("C:"), u"FAT16, 8 Mb,16384 sectors");
  only.Partition = 4;
  std::string error;
  EXPECT_EQ(MakeSystemPlatform({disk}, only, &error), nullptr);
  EXPECT_EQ(error, disk + " has no partition 4");
}

// Without a sector size named, an image is presented with the one its content declares.
TEST_F(WindowsImageFile, TheSectorSizeComesFromTheImage) {
  Use(MakeSystemPlatform({SamplePath("fat16-4k.img"), SamplePath("ntfs-4k.img"), SamplePath("fat16.img")}));
  EXPECT_EQ(SelectDriveAndDescribe("C:"), u"FAT16, 32 Mb,8192 sectors");
  EXPECT_EQ(Geometry().BytesPerSector, 4096);
  EXPECT_EQ(SelectDriveAndDescribe("D:"), u"NTFS, 16 Mb,4095 sectors");
  EXPECT_EQ(SelectDriveAndDescribe("E:"), u"FAT16, 16 Mb,32768 sectors");
  EXPECT_EQ(Geometry().BytesPerSector, 512);
}

using WindowsClock = PlatformTest;

TEST_F(WindowsClock, ConvertsFileTimesInTheLocalZone) {
  Use(MakeSystemPlatform({}));
  // 2009-03-07 14:05:00.123 UTC; the tests run with TZ=UTC.
  constexpr uint64_t kReadmeTime = 128809083001230000;
  const std::optional<CivilTime> time = CurrentPlatform().FileTimeToLocal(kReadmeTime);
  ASSERT_TRUE(time);
  EXPECT_EQ(time->Year, 2009);
  EXPECT_EQ(time->Month, 3);
  EXPECT_EQ(time->Day, 7);
  EXPECT_EQ(time->Hour, 14);
  EXPECT_EQ(time->Minute, 5);
  EXPECT_EQ(time->Second, 0);
  EXPECT_EQ(time->Millisecond, 123);
  EXPECT_FALSE(CurrentPlatform().FileTimeToLocal(uint64_t{1} << 63));
  EXPECT_FALSE(CurrentPlatform().FileTimeToLocal(UINT64_MAX));

  const std::string text = ToUtf8(CurrentPlatform().FormatDateTime(*time));
  EXPECT_NE(text.find("2009"), std::string::npos) << text;
  EXPECT_NE(text.find(":05:00"), std::string::npos) << text;
  EXPECT_NE(text.find(' '), std::string::npos) << text;
}

TEST(WindowsCli, ListsNamedDrivesAndImages) {
  const testing::CommandResult images =
      testing::RunCli({"drives", SamplePath("fat16.img"), SamplePath("ntfs.img")});
  ASSERT_EQ(images.Status, 0) << images.Err;
  EXPECT_EQ(testing::Lines(images.Out),
            (std::vector<std::string>{"C: FAT16, 16 Mb,32768 sectors  " + SamplePath("fat16.img"),
                                      "D: NTFS, 16 Mb,32767 sectors  " + SamplePath("ntfs.img")}));

  // Wine makes up the file-system name of a raw device, so only the frame is certain.
  const testing::CommandResult raw = testing::RunCli({"drives", "D:"});
  ASSERT_EQ(raw.Status, 0) << raw.Err;
  const std::vector<std::string> lines = testing::Lines(raw.Out);
  ASSERT_EQ(lines.size(), 1u) << raw.Out;
  EXPECT_EQ(lines[0].substr(0, 3), "D: ");
  EXPECT_NE(lines[0].find(", 16 Mb,"), std::string::npos) << lines[0];
  EXPECT_EQ(lines[0].substr(lines[0].size() - 8), "  \\\\.\\D:");
}

}  // namespace
}  // namespace korvalane
