// Containers as sources: the partitioned sample disk made into every container format by
// qemu-img, ewfacquire and split (scripts/make-samples-containers) reads exactly as the
// raw disk does, in every view and in export, and as The Sleuth Kit (and qemu, for
// QCOW2) read it; a missing segment, extent, parent or backing file is named; damaged
// containers give a clear error or "Reading error", never a crash.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "fixtures/Samples.h"
#include "platform/posix/PosixPlatform.h"
#include "platform/posix/containers/Containers.h"
#include "platform/posix/containers/EwfSource.h"
#include "platform/posix/containers/SplitRawSource.h"
#include "platform/posix/containers/VhdiSource.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;
using testing::CommandResult;
using testing::Lines;
using testing::RunCli;
using testing::SamplePath;

const std::string kRawDisk = "disk-mbr.img";
constexpr uint64_t kDiskSectors = 131072;
// The QCOW2 overlay (and the differencing VHD made here) hold 4 KiB of 'K' of their own
// at this byte of the disk, in free space after the last partition.
constexpr uint64_t kOverlayByte = 67072000;
constexpr size_t kOverlayBytes = 4096;

struct Container {
  const char* File;         // in DIR/containers/
  const char* Format;       // what the drive list says of it
  const char* TskType;      // img_stat -i TYPE, or nullptr where The Sleuth Kit reads none
  bool Overlay = false;     // holds the 4 KiB of its own
};

const Container kContainers[] = {
    {"disk.E01", "EWF, 4 segments", "ewf"},
    {"disk.vmdk", "VMDK, monolithicSparse", "vmdk"},
    {"disk-stream.vmdk", "VMDK, streamOptimized", "vmdk"},
    {"disk-flat.vmdk", "VMDK, monolithicFlat", "vmdk"},
    {"disk-split.vmdk", "VMDK, twoGbMaxExtentSparse", "vmdk"},
    {"disk.vhd", "VHD, dynamic", "vhd"},
    {"disk-fixed.vhd", "VHD, fixed", "vhd"},
    {"disk.vhdx", "VHDX, dynamic", "vhd"},
    {"disk.qcow2", "QCOW2", nullptr},
    {"disk-overlay.qcow2", "QCOW2, 1 backing file", nullptr, true},
    {"disk-mbr.001", "split raw, 4 segments", "raw"},
    {"disk-mbr.aa", "split raw, 3 segments", "raw"},
};

std::string ContainerPath(const std::string& file) { return SamplePath("containers/" + file); }

std::vector<std::string> CliLines(const std::vector<std::string>& args, int status = 0) {
  const CommandResult result = RunCli(args);
  EXPECT_EQ(result.Status, status) << result.Err;
  return Lines(result.Out);
}

// In one read: a character at a time through an iterator takes minutes for the tests'
// hundreds of MiB in a sanitizer build.
std::string ReadAll(const fs::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  std::string bytes(in ? static_cast<size_t>(in.tellg()) : 0, '\0');
  in.seekg(0);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

// The raw disk's bytes, with the overlay's own 4 KiB where a container holds them.
std::string ExpectedDisk(bool overlay) {
  std::string disk = ReadAll(SamplePath(kRawDisk));
  if (overlay) disk.replace(kOverlayByte, kOverlayBytes, std::string(kOverlayBytes, 'K'));
  return disk;
}

// "details" of a partition, the view of its first data sector (the FAT root directory,
// the NTFS boot sector's neighbour) and of its first and last sectors.
std::vector<std::vector<std::string>> PartitionViews(const std::string& source, const std::string& number,
                                                     uint64_t sectors) {
  std::vector<std::vector<std::string>> views;
  views.push_back(CliLines({"details", "--partition", number, source}));
  std::string dataSector = "0";
  for (const std::string& line : views.back()) {
    std::smatch m;
    if (std::regex_match(line, m, std::regex(R"(Start data sector - (\d+))"))) dataSector = m[1];
  }
  views.push_back(CliLines({"record", "--partition", number, source, dataSector}));
  views.push_back(CliLines({"hex", "--partition", number, source, "0"}));
  views.push_back(CliLines({"text", "--partition", number, source, "1"}));
  views.push_back(CliLines({"hex", "--partition", number, source, std::to_string(sectors - 1)}));
  return views;
}

class ContainersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) / ("korvalane-containers-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Copies of sample containers, to damage.
  std::string Copy(const std::vector<std::string>& files) {
    for (const std::string& file : files) fs::copy_file(ContainerPath(file), dir_ / file);
    return (dir_ / files.front()).string();
  }

  // A differencing VHD on the sample disk.vhd as its parent: an empty dynamic VHD made by
  // qemu-img, given the 4 KiB of its own by qemu-io, then made differencing (qemu makes
  // none) by setting its disk type, its parent's identifier and name.
  std::string MakeDifferencingVhd() {
    const std::string parent = Copy({"disk.vhd"});
    const std::string child = (dir_ / "child.vhd").string();
    EXPECT_EQ(testing::Run({"qemu-img", "create", "-q", "-f", "vpc", "-o", "subformat=dynamic,force_size=on", child, "64M"}).Status, 0);
    EXPECT_EQ(testing::Run({"qemu-io", "-f", "vpc", "-c", "write -q -P 0x4b " + std::to_string(kOverlayByte) + " 4096", child}).Status, 0);
    std::string bytes = ReadAll(child);
    const std::string parentFooter = ReadAll(parent).substr(0, 512);
    // Big-endian fields. The footer: data offset (the dynamic header) at 16, disk type
    // at 60, checksum at 64, unique identifier at 68. The dynamic header: checksum at 36,
    // parent's identifier at 40, parent's name (UTF-16BE) at 64.
    const auto checksum = [](std::string& block, size_t at) {
      for (size_t i = 0; i < 4; ++i) block[at + i] = 0;
      uint32_t sum = 0;
      for (const char c : block) sum += static_cast<uint8_t>(c);
      sum = ~sum;
      for (size_t i = 0; i < 4; ++i) block[at + i] = static_cast<char>(sum >> (24 - 8 * i));
    };
    std::string footer = bytes.substr(0, 512);
    footer[63] = 4;  // differencing
    checksum(footer, 64);
    uint64_t header = 0;
    for (size_t i = 16; i < 24; ++i) header = header << 8 | static_cast<uint8_t>(footer[i]);
    std::string dynamic = bytes.substr(header, 1024);
    EXPECT_EQ(dynamic.substr(0, 8), "cxsparse");
    dynamic.replace(40, 16, parentFooter.substr(68, 16));
    const std::string name = "disk.vhd";
    for (size_t i = 0; i < name.size(); ++i) {
      dynamic[64 + 2 * i] = 0;
      dynamic[65 + 2 * i] = name[i];
    }
    checksum(dynamic, 36);
    bytes.replace(0, 512, footer);
    bytes.replace(bytes.size() - 512, 512, footer);
    bytes.replace(header, 1024, dynamic);
    std::ofstream(child, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return child;
  }

  fs::path dir_;
};

TEST_F(ContainersTest, EveryFormatListsTheDrivesOfTheRawDisk) {
  const std::string raw = SamplePath(kRawDisk);
  const std::vector<std::string> rawDrives = CliLines({"drives", raw});
  ASSERT_EQ(rawDrives.size(), 6u);  // the disk and partitions 1, 2, 3, 5, 6
  for (const Container& c : kContainers) {
    SCOPED_TRACE(c.File);
    const std::string path = ContainerPath(c.File);
    const std::vector<std::string> drives = CliLines({"drives", path});
    ASSERT_EQ(drives.size(), rawDrives.size());
    for (size_t i = 0; i < drives.size(); ++i) {
      // The same label; the source named with its format, then the same partition.
      std::string expected = rawDrives[i];
      expected.replace(expected.find(raw), raw.size(), path + " (" + c.Format + ")");
      EXPECT_EQ(drives[i], expected);
    }
    EXPECT_EQ(CliLines({"details", path}), CliLines({"details", raw}));
  }
}

TEST_F(ContainersTest, EveryPartitionShowsTheSameViewsAsInTheRawDisk) {
  const std::string raw = SamplePath(kRawDisk);
  // Partition: number and sectors.
  const std::vector<std::pair<std::string, uint64_t>> partitions{
      {"1", 32768}, {"2", 32768}, {"3", 63488}, {"5", 16384}, {"6", 16384}};
  std::vector<std::vector<std::vector<std::string>>> expected;
  for (const auto& [number, sectors] : partitions) expected.push_back(PartitionViews(raw, number, sectors));
  for (const Container& c : kContainers) {
    SCOPED_TRACE(c.File);
    for (size_t i = 0; i < partitions.size(); ++i) {
      SCOPED_TRACE("partition " + partitions[i].first);
      EXPECT_EQ(PartitionViews(ContainerPath(c.File), partitions[i].first, partitions[i].second), expected[i]);
    }
  }
}

TEST_F(ContainersTest, ExportGivesTheRawDisksBytes) {
  const std::string raw = ExpectedDisk(false);
  const std::string overlay = ExpectedDisk(true);
  // 102400 sectors from partition 1 to past partition 6 in one read (50 MiB), and the
  // disk's last 2072 sectors, with the overlay's own bytes, sector by sector.
  struct Range {
    uint64_t Start, End;
  };
  for (const Container& c : kContainers) {
    SCOPED_TRACE(c.File);
    for (const Range r : {Range{2048, 104448}, Range{129000, kDiskSectors}}) {
      const fs::path out = dir_ / "export.bin";
      fs::remove(out);
      const std::vector<std::string> said =
          CliLines({"export", ContainerPath(c.File), std::to_string(r.Start), std::to_string(r.End), out.string()});
      ASSERT_EQ(said.size(), 3u);
      EXPECT_EQ(said[2], std::to_string(r.End - r.Start) + " of " + std::to_string(r.End - r.Start) + " sectors saved");
      EXPECT_TRUE(ReadAll(out) == (c.Overlay ? overlay : raw).substr(r.Start * 512, (r.End - r.Start) * 512))
          << "sectors " << r.Start << "-" << r.End - 1 << " differ";
    }
  }
}

TEST_F(ContainersTest, TheSleuthKitAndQemuReadTheSameDisk) {
  for (const Container& c : kContainers) {
    SCOPED_TRACE(c.File);
    const std::string path = ContainerPath(c.File);
    if (c.TskType == nullptr) {
      // qemu's own reading of the image, byte for byte against our export of all of it.
      const fs::path qemu = dir_ / "qemu.raw";
      const fs::path ours = dir_ / "ours.raw";
      fs::remove(ours);
      ASSERT_EQ(testing::Run({"qemu-img", "convert", "-f", "qcow2", "-O", "raw", path, qemu.string()}).Status, 0);
      CliLines({"export", path, "0", std::to_string(kDiskSectors), ours.string()});
      EXPECT_TRUE(ReadAll(ours) == ReadAll(qemu));
      continue;
    }
    const CommandResult stat = testing::Run({"img_stat", "-i", c.TskType, path});
    ASSERT_EQ(stat.Status, 0) << stat.Err;
    EXPECT_TRUE(std::regex_search(stat.Out, std::regex(R"(Size (of data )?in bytes:\s*67108864\b)"))) << stat.Out;
    EXPECT_TRUE(std::regex_search(stat.Out, std::regex(R"(Sector size:\s*512\b)"))) << stat.Out;
    // fsstat through the same container at each partition's offset: the sizes it reads
    // are the ones our details report.
    for (const auto& [number, offset, label] :
         {std::tuple<const char*, const char*, const char*>{"1", "2048", "Total Range: 0 - "},
          {"2", "34816", "Total Sector Range: 0 - "}, {"5", "69632", "Total Range: 0 - "}}) {
      SCOPED_TRACE(std::string("partition ") + number);
      const CommandResult fsstat = testing::Run({"fsstat", "-i", c.TskType, "-o", offset, path});
      ASSERT_EQ(fsstat.Status, 0) << fsstat.Err;
      std::smatch last;
      ASSERT_TRUE(std::regex_search(fsstat.Out, last, std::regex(std::string(label) + R"((\d+))")));
      const std::vector<std::string> details = CliLines({"details", "--partition", number, path});
      ASSERT_GE(details.size(), 5u);
      EXPECT_EQ(details[4], "Sectors - " + std::to_string(std::stoull(last[1]) + 1));
    }
  }
}

TEST_F(ContainersTest, ADifferencingVhdReadsThroughItsParent) {
  const std::string child = MakeDifferencingVhd();
  const std::vector<std::string> drives = CliLines({"drives", child});
  ASSERT_EQ(drives.size(), 6u);
  EXPECT_NE(drives[0].find(child + " (VHD, differencing, 1 parent)"), std::string::npos) << drives[0];
  EXPECT_EQ(CliLines({"details", "--partition", "2", child}), CliLines({"details", "--partition", "2", SamplePath(kRawDisk)}));
  const fs::path out = dir_ / "tail.bin";
  CliLines({"export", child, "129000", std::to_string(kDiskSectors), out.string()});
  EXPECT_TRUE(ReadAll(out) == ExpectedDisk(true).substr(129000 * 512));
}

TEST_F(ContainersTest, AVmdkDeltaDiskReadsThroughItsParent) {
  Copy({"disk.vmdk"});
  const std::string child = (dir_ / "delta.vmdk").string();
  ASSERT_EQ(testing::Run({"qemu-img", "create", "-q", "-f", "vmdk", "-b", "disk.vmdk", "-F", "vmdk", child}).Status, 0);
  ASSERT_EQ(testing::Run({"qemu-io", "-f", "vmdk", "-c", "write -q -P 0x4b " + std::to_string(kOverlayByte) + " 4096", child}).Status, 0);
  const std::vector<std::string> drives = CliLines({"drives", child});
  ASSERT_EQ(drives.size(), 6u);
  EXPECT_NE(drives[0].find(child + " (VMDK, monolithicSparse, 1 parent)"), std::string::npos) << drives[0];
  const fs::path out = dir_ / "tail.bin";
  CliLines({"export", child, "129000", std::to_string(kDiskSectors), out.string()});
  EXPECT_TRUE(ReadAll(out) == ExpectedDisk(true).substr(129000 * 512));

  fs::remove(dir_ / "disk.vmdk");
  const CommandResult result = RunCli({"drives", child});
  EXPECT_EQ(result.Status, 2);
  EXPECT_EQ(result.Err, "korvalane-cli: cannot open '" + child + "' (VMDK): parent file '" + (dir_ / "disk.vmdk").string() +
                            "' is missing\n");
}

// An export never writes into any file the container is read from.
TEST_F(ContainersTest, NoPartOfAContainerIsExportedInto) {
  struct Case {
    std::vector<std::string> Files;  // copied; the first is opened
    std::string Target;
  };
  const Case cases[] = {
      {{"disk.E01", "disk.E02", "disk.E03", "disk.E04"}, "disk.E03"},
      {{"disk-flat.vmdk", "disk-flat-flat.vmdk"}, "disk-flat-flat.vmdk"},
      {{"disk-overlay.qcow2", "disk.qcow2"}, "disk.qcow2"},
      {{"disk-mbr.001", "disk-mbr.002", "disk-mbr.003", "disk-mbr.004"}, "disk-mbr.004"},
      {{"child.vhd"}, "disk.vhd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Target);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const std::string path = c.Files.front() == "child.vhd" ? MakeDifferencingVhd() : Copy(c.Files);
    const std::string target = (dir_ / c.Target).string();
    const std::string before = ReadAll(target);
    const CommandResult result = RunCli({"export", "--force", path, "0", "8", target});
    EXPECT_EQ(result.Status, 2);
    EXPECT_EQ(result.Err, "korvalane-cli: Invalid file name!\nkorvalane-cli: cannot create '" + target +
                              "': the drive is read from it\n");
    EXPECT_TRUE(ReadAll(target) == before);
  }
}

// EWF stores its bytes per sector, and that is the sector size of the media, unless
// another one is asked for.
TEST_F(ContainersTest, AnEwfImageHasTheSectorSizeItStores) {
  for (const char* bytes : {"512", "4096"}) {
    SCOPED_TRACE(bytes);
    const std::string target = (dir_ / ("fat16-" + std::string(bytes))).string();
    const CommandResult made = testing::Run({"ewfacquire", "-u", "-q", "-t", target, "-P", bytes, "-c", "empty-block", "-C", "1",
                                    "-D", "fat16", "-E", "1", "-e", "k", "-N", "n", SamplePath("fat16.img")});
    ASSERT_EQ(made.Status, 0) << made.Err;
    EXPECT_EQ(OpenContainer(target + ".E01", 0)->SectorSize(), static_cast<uint32_t>(std::stoul(bytes)));
    EXPECT_EQ(OpenContainer(target + ".E01", 2048)->SectorSize(), 2048u);
  }
  // A disk of 4096-byte sectors acquired as such shows the drives of the raw disk.
  const std::string disk = SamplePath("disk-gpt-4k.img");
  if (!fs::exists(disk)) GTEST_SKIP() << "disk-gpt-4k.img was not made: this machine gave no loop device";
  const std::string target = (dir_ / "gpt-4k").string();
  ASSERT_EQ(testing::Run({"ewfacquire", "-u", "-q", "-t", target, "-P", "4096", "-c", "empty-block", "-C", "1", "-D", "gpt",
                          "-E", "1", "-e", "k", "-N", "n", disk}).Status, 0);
  const std::vector<std::string> raw = CliLines({"drives", disk});
  const std::vector<std::string> ewf = CliLines({"drives", target + ".E01"});
  ASSERT_EQ(ewf.size(), raw.size());
  for (size_t i = 0; i < raw.size(); ++i) EXPECT_EQ(ewf[i].substr(0, ewf[i].find("  ")), raw[i].substr(0, raw[i].find("  ")));
  EXPECT_EQ(CliLines({"details", "--partition", "2", target + ".E01"}), CliLines({"details", "--partition", "2", disk}));
}

// What is missing is named, the command line stops with status 2 and one line, and the
// drive still stands in the window with the same reason.
TEST_F(ContainersTest, AMissingSegmentExtentParentOrBackingFileIsNamed) {
  struct Case {
    std::vector<std::string> Files;  // copied; the first is opened
    std::string Removed;             // then deleted
    std::string Format;
    std::string Reason;              // with DIR for the copies' folder
  };
  const Case cases[] = {
      {{"disk.E01", "disk.E02", "disk.E04"}, "", "EWF", "segment file 'DIR/disk.E03' is missing"},
      {{"disk.E01", "disk.E02", "disk.E03"}, "", "EWF", "segment file 'DIR/disk.E04' is missing"},
      {{"disk-flat.vmdk", "disk-flat-flat.vmdk"}, "disk-flat-flat.vmdk", "VMDK", "extent file 'DIR/disk-flat-flat.vmdk' is missing"},
      {{"disk-split.vmdk", "disk-split-s001.vmdk"}, "disk-split-s001.vmdk", "VMDK", "extent file 'DIR/disk-split-s001.vmdk' is missing"},
      {{"disk-overlay.qcow2", "disk.qcow2"}, "disk.qcow2", "QCOW2", "backing file 'DIR/disk.qcow2' is missing"},
      {{"disk-mbr.001", "disk-mbr.002", "disk-mbr.003", "disk-mbr.004"}, "disk-mbr.002", "split raw, 1 segment",
       "segment file 'DIR/disk-mbr.002' is missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Files.front() + " without " + c.Removed);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const std::string path = Copy(c.Files);
    if (!c.Removed.empty()) fs::remove(dir_ / c.Removed);
    const std::string reason = std::regex_replace(c.Reason, std::regex("DIR"), dir_.string());
    for (const char* command : {"drives", "details", "hex"}) {
      std::vector<std::string> args{command, path};
      if (std::string(command) == "hex") args.push_back("0");
      const CommandResult result = RunCli(args);
      EXPECT_EQ(result.Status, 2) << command;
      EXPECT_EQ(result.Err, "korvalane-cli: cannot open '" + path + "' (" + c.Format + "): " + reason + "\n");
      EXPECT_EQ(result.Out, "");
    }
    PosixPlatform platform(DriveTable::FromSources({path}));
    EXPECT_EQ(platform.LogicalDrives(), 1u << 2);  // C: alone
    EXPECT_EQ(platform.OpenError("C:"), reason);
    EXPECT_EQ(platform.DriveDescription("C:"), path + " (" + c.Format + ")");
    EXPECT_FALSE(platform.IsDriveAccessible("C:"));
  }

  const std::string child = MakeDifferencingVhd();
  fs::remove(dir_ / "disk.vhd");
  const CommandResult result = RunCli({"hex", child, "0"});
  EXPECT_EQ(result.Status, 2);
  EXPECT_EQ(result.Err, "korvalane-cli: cannot open '" + child + "' (VHD): parent file '" + (dir_ / "disk.vhd").string() +
                            "' is missing\n");
}

// Damaged containers: a truncated or garbled one is refused at the open with the
// library's reason, or reads "Reading error" where its data is lost; the rest still
// reads, and nothing crashes (a signal would give status -1).
TEST_F(ContainersTest, DamagedContainersGiveAClearErrorOrReadingError) {
  const std::string raw = ExpectedDisk(false);
  {
    // A truncated segment: libewf would take every chunk for damaged.
    const std::string path = Copy({"disk.E01", "disk.E02", "disk.E03", "disk.E04"});
    fs::resize_file(dir_ / "disk.E02", fs::file_size(dir_ / "disk.E02") / 2);
    const CommandResult result = RunCli({"details", path});
    EXPECT_EQ(result.Status, 2);
    EXPECT_EQ(result.Err, "korvalane-cli: cannot open '" + path + "' (EWF): segment file '" + (dir_ / "disk.E02").string() +
                              "' is truncated\n");
  }
  {
    // A chunk whose bytes no longer match its checksum: its sectors are unreadable (and
    // exported as zeros, counted), every other sector is the raw disk's.
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const std::string path = Copy({"disk.E01", "disk.E02", "disk.E03", "disk.E04"});
    std::string bytes = ReadAll(path);
    const size_t sectors = bytes.find(std::string("sectors") + std::string(9, '\0'));
    ASSERT_NE(sectors, std::string::npos);
    const size_t damaged = sectors + 76 + 300000;
    for (size_t i = 0; i < 64; ++i) bytes[damaged + i] = static_cast<char>(bytes[damaged + i] ^ 0x5A);
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const fs::path out = dir_ / "all.bin";
    const CommandResult exported = RunCli({"export", path, "0", std::to_string(kDiskSectors), out.string()});
    EXPECT_EQ(exported.Status, 1);
    std::smatch count;
    ASSERT_TRUE(std::regex_search(exported.Err, count, std::regex(R"(\((\d+) sectors written as zeros\))")))
        << exported.Err;
    const uint64_t unreadable = std::stoull(count[1]);
    EXPECT_GE(unreadable, 1u);
    EXPECT_LE(unreadable, 128u);  // one chunk of 64 sectors, or the two the bytes straddle
    const std::string got = ReadAll(out);
    ASSERT_EQ(got.size(), raw.size());
    uint64_t differing = 0;
    uint64_t firstBad = 0;
    for (uint64_t s = 0; s < kDiskSectors; ++s) {
      if (got.compare(s * 512, 512, raw, s * 512, 512) == 0) continue;
      if (differing++ == 0) firstBad = s;
      EXPECT_EQ(got.substr(s * 512, 512), std::string(512, '\0')) << "sector " << s;
    }
    EXPECT_LE(differing, unreadable);
    if (differing > 0) {
      EXPECT_EQ(CliLines({"hex", path, std::to_string(firstBad)}, 1), std::vector<std::string>{"Reading error"});
    }
    EXPECT_EQ(CliLines({"details", "--partition", "2", path}),
              CliLines({"details", "--partition", "2", SamplePath(kRawDisk)}));
  }

  // The front half of each container, and random bytes behind each signature.
  std::vector<std::pair<std::string, std::string>> hostile;  // name, bytes
  for (const char* file : {"disk.E01", "disk.vmdk", "disk-stream.vmdk", "disk.vhd", "disk-fixed.vhd", "disk.vhdx",
                           "disk.qcow2"}) {
    const std::string bytes = ReadAll(ContainerPath(file));
    hostile.emplace_back(std::string("half-") + file, bytes.substr(0, bytes.size() / 2));
  }
  std::string noise(200000, '\0');
  uint32_t state = 12345;
  for (char& c : noise) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 16);
  }
  for (const std::string& signature : {std::string("EVF\x09\x0D\x0A\xFF\x00\x01\x01\x00\x00\x00", 13),
                                      std::string("EVF2\x0D\x0A\x81\x00", 8), std::string("KDMV"), std::string("COWD"),
                                      std::string("# Disk DescriptorFile\n"), std::string("vhdxfile"),
                                      std::string("conectix"), std::string("QFI\xFB", 4)}) {
    hostile.emplace_back("noise-" + std::to_string(hostile.size()) + ".bin", signature + noise);
  }
  std::string footer = "conectix" + noise;
  footer.replace(footer.size() - 512, 8, "conectix");
  hostile.emplace_back("noise-footer.vhd", footer);

  for (const auto& [name, bytes] : hostile) {
    SCOPED_TRACE(name);
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    const CommandResult drives = RunCli({"drives", path.string()});
    if (bytes.starts_with("EVF2")) {
      EXPECT_TRUE(drives.Err.find("(EWF2): EWF version 2 (Ex01) is not read by libewf") != std::string::npos ||
                  drives.Status == 0)
          << drives.Err;
    }
    ASSERT_TRUE(drives.Status == 0 || drives.Status == 2) << drives.Status << " " << drives.Err;
    if (drives.Status == 2) {
      EXPECT_EQ(Lines(drives.Err).size(), 1u) << drives.Err;
      EXPECT_TRUE(drives.Err.starts_with("korvalane-cli: cannot open '" + path.string() + "' (")) << drives.Err;
      continue;
    }
    // Opened: every view either shows the sector or says it cannot be read.
    for (const char* sector : {"0", "2048", "40000", "131071"}) {
      const CommandResult hex = RunCli({"hex", path.string(), sector});
      EXPECT_TRUE(hex.Status == 0 || hex.Status == 1 || hex.Status == 2) << sector << ": " << hex.Status;
      if (hex.Status == 1) {
        EXPECT_EQ(hex.Out, "Reading error\n") << sector;
      }
    }
  }
}

// Containers cut short at every cluster, grain, block or chunk boundary of their file and
// a byte on either side: each is refused, or every sector of its disk reads as the disk's
// own bytes or not at all. A library must never be handed a read its file cannot serve
// (libqcow copied a whole cluster out of the shorter buffer of what a cut file held).
TEST_F(ContainersTest, CutShortContainersReadTheDisksBytesOrNothing) {
  struct Cut {
    const char* File;  // in DIR/containers/ (scripts/make-samples-containers-small)
    uint64_t Unit;     // the cluster, grain, block or chunk size of its file
    bool Opens;        // opens cut short (a VHD loses its footer, an E01 is refused)
  };
  const Cut kCuts[] = {
      {"small.qcow2", 65536, true},        {"small-4k-z.qcow2", 4096, true}, {"small-v1.qcow", 4096, true},
      {"small.vmdk", 65536, true},         {"small-stream.vmdk", 32768, true}, {"small.vhd", 65536, false},
      {"small-fixed.vhd", 65536, false},   {"small.vhdx", 1 << 20, true},    {"small.E01", 32768, false},
  };
  constexpr size_t kPiece = 64 * 1024;
  const std::string raw = ReadAll(ContainerPath("small.img"));
  ASSERT_EQ(raw.size(), 17u * 65536);

  for (const Cut& c : kCuts) {
    SCOPED_TRACE(c.File);
    const std::string whole = ReadAll(ContainerPath(c.File));
    ASSERT_GT(whole.size(), c.Unit);
    // Around the last five boundaries (the data clusters lie at the end) and five spread
    // over the rest, and in the middle of the last unit: about thirty cuts.
    std::vector<uint64_t> boundaries;
    for (uint64_t at = c.Unit; at < whole.size(); at += c.Unit) boundaries.push_back(at);
    std::set<uint64_t> cuts{whole.size() - 1, whole.size() - c.Unit / 2};
    const auto cutAround = [&](uint64_t boundary) {
      for (const uint64_t cut : {boundary - 1, boundary, boundary + 1}) cuts.insert(cut);
    };
    const size_t count = boundaries.size();
    const size_t tail = std::min<size_t>(count, 5);
    for (size_t i = count - tail; i < count; ++i) cutAround(boundaries[i]);
    for (size_t k = 0; k < 5 && count > tail; ++k) cutAround(boundaries[k * (count - tail) / 5]);
    // One copy, cut shorter and shorter.
    size_t opened = 0;
    uint64_t unreadable = 0;
    const fs::path path = dir_ / c.File;
    std::ofstream(path, std::ios::binary).write(whole.data(), static_cast<std::streamsize>(whole.size()));
    if (const std::shared_ptr<Source> uncut = OpenContainer(path.string(), 0)) {
      EXPECT_EQ(uncut->Damage(), "");
    }
    for (auto cut = cuts.rbegin(); cut != cuts.rend(); ++cut) {
      SCOPED_TRACE("cut at byte " + std::to_string(*cut));
      fs::resize_file(path, *cut);
      const std::shared_ptr<Source> source = OpenContainer(path.string(), 0);
      // A fixed VHD without its footer is a raw image, no container.
      if (source == nullptr || !source->OpenError().empty()) continue;
      ++opened;
      const uint64_t unreadableBefore = unreadable;
      const uint64_t size = static_cast<uint64_t>(source->Size());
      std::string piece(kPiece, '\0');
      const auto bytes = [&](size_t length) { return std::span(reinterpret_cast<uint8_t*>(piece.data()), length); };
      const auto expected = [&](uint64_t at, size_t length) {
        return at < raw.size() ? raw.substr(at, length) : std::string(length, '\0');
      };
      for (uint64_t at = 0; at < size; at += kPiece) {
        const size_t length = static_cast<size_t>(std::min<uint64_t>(kPiece, size - at));
        if (source->Read(at, bytes(length), false)) {
          ASSERT_TRUE(piece.compare(0, length, expected(at, length)) == 0) << "bytes " << at << "+" << length;
          continue;
        }
        for (uint64_t sector = at; sector < at + length; sector += 512) {
          if (source->Read(sector, bytes(512), false)) {
            ASSERT_TRUE(piece.compare(0, 512, expected(sector, 512)) == 0) << "sector at byte " << sector;
          } else {
            ++unreadable;
          }
        }
      }
      // The tables say what the cut took: the damage is named exactly when some of the
      // disk's bytes are gone.
      EXPECT_EQ(!source->Damage().empty(), unreadable > unreadableBefore) << source->Damage();
    }
    // Those that open cut short lose what was cut off, as unreadable sectors.
    EXPECT_EQ(opened > 0 && unreadable > 0, c.Opens) << opened << " cuts opened, " << unreadable << " sectors unreadable";
  }
}

// A QCOW2 copy cut short where partition 2 begins: the partitions keep the disk's
// 512-byte sectors and their sector counts though their first sectors are gone, what the
// file still holds reads as the raw disk's, and every drive says the container is cut
// short.
TEST_F(ContainersTest, ACutQcow2KeepsItsDisksSectorsAndSaysItIsCutShort) {
  constexpr uint64_t kPartition2 = 34816;  // its first sector, 32768 sectors long
  const std::string cut = (dir_ / "cut.qcow2").string();
  const uint64_t size = testing::CutQcow2Copy(cut, kPartition2 * 512);
  ASSERT_GT(size, 0u);
  const std::string damage = "damaged or cut short: its tables point past its end at byte " + std::to_string(size);

  const CommandResult json = RunCli({"drives", "--json", cut});
  ASSERT_EQ(json.Status, 0) << json.Err;
  // The disk, partitions 1, 2 and 3; the logical ones' chain starts past the cut.
  std::vector<std::vector<std::string>> drives;
  const std::regex object(R"(\{[^{}]*\})");
  for (std::sregex_iterator m(json.Out.begin(), json.Out.end(), object), end; m != end; ++m) {
    const std::string text = m->str();
    std::vector<std::string> fields;
    for (const char* key : {"drive", "fileSystem", "sectors", "bytesPerSector", "damage"}) {
      std::smatch value;
      std::regex_search(text, value, std::regex("\"" + std::string(key) + R"(": *"?([^",]*))"));
      fields.push_back(value[1]);
    }
    drives.push_back(fields);
  }
  const std::vector<std::vector<std::string>> expected{
      {"C:", "Unknown", "131072", "512", damage},
      {"D:", "FAT16", "32768", "512", damage},
      {"E:", "Unknown", "32768", "512", damage},
      {"F:", "Unknown", "63488", "512", damage},
  };
  EXPECT_EQ(drives, expected) << json.Out;
  for (const std::string& line : CliLines({"drives", cut})) {
    EXPECT_TRUE(line.ends_with(") - " + damage)) << line;
  }

  // Sector 300 of partition 2 is one the disk never wrote (zeros in the raw disk and
  // nowhere in the file), its first sector is cut off.
  EXPECT_EQ(CliLines({"hex", "--partition", "2", cut, "300"}),
            CliLines({"hex", "--partition", "2", SamplePath(kRawDisk), "300"}));
  EXPECT_EQ(CliLines({"hex", "--partition", "2", cut, "0"}, 1), std::vector<std::string>{"Reading error"});
  EXPECT_EQ(CliLines({"text", "--partition", "1", cut, "0"}), CliLines({"text", "--partition", "1", SamplePath(kRawDisk), "0"}));
}

// Each format whose tables can be read says when they point past the end of a file cut
// short, naming the file when it is one of several; a container whole says nothing (see
// EveryFormatListsTheDrivesOfTheRawDisk, whose lines are the raw disk's).
TEST_F(ContainersTest, ContainersCutShortSayWhichFileIs) {
  struct Case {
    std::vector<std::string> Files;  // copied; the first is named
    std::string Cut;                 // the file cut short (to half its size)
    std::string Named;               // the file the damage names, or empty for the container
  };
  const Case kCases[] = {
      {{"disk.qcow2"}, "disk.qcow2", ""},
      {{"disk-overlay.qcow2", "disk.qcow2"}, "disk.qcow2", "backing file '{}': "},
      {{"disk.vmdk"}, "disk.vmdk", ""},
      {{"disk-stream.vmdk"}, "disk-stream.vmdk", ""},
      {{"disk-split.vmdk", "disk-split-s001.vmdk"}, "disk-split-s001.vmdk", "extent file '{}': "},
      {{"disk.vhdx"}, "disk.vhdx", ""},
  };
  for (const Case& c : kCases) {
    SCOPED_TRACE(c.Cut);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    const std::string path = Copy(c.Files);
    const fs::path cut = dir_ / c.Cut;
    const uint64_t size = fs::file_size(cut) / 2;
    fs::resize_file(cut, size);
    std::string named = c.Named;
    if (const size_t at = named.find("{}"); at != std::string::npos) named.replace(at, 2, cut.string());
    const std::vector<std::string> drives = CliLines({"drives", path});
    ASSERT_FALSE(drives.empty());
    EXPECT_TRUE(drives[0].ends_with(" - " + named + "damaged or cut short: its tables point past its end at byte " +
                                    std::to_string(size)))
        << drives[0];
  }

  // A split raw set whose second segment lost its end: every byte after it would be read
  // from the wrong place.
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  const std::string set = Copy({"disk-mbr.001", "disk-mbr.002", "disk-mbr.003", "disk-mbr.004"});
  fs::resize_file(dir_ / "disk-mbr.002", 1000000);
  const std::vector<std::string> drives = CliLines({"drives", set});
  ASSERT_FALSE(drives.empty());
  EXPECT_TRUE(drives[0].ends_with(" - damaged or cut short: segment file '" + (dir_ / "disk-mbr.002").string() +
                                  "' holds 1000000 bytes, fewer than the 20971520 of the first, so every byte after it "
                                  "is out of place"))
      << drives[0];

  // A VHD cut short loses its footer and is refused; one whose block allocation table
  // points past its end (its last block's entry made 8 GiB on) is read, and says so.
  fs::remove_all(dir_);
  fs::create_directories(dir_);
  const std::string vhd = Copy({"disk.vhd"});
  std::string bytes = ReadAll(vhd);
  const auto be = [&](size_t at, size_t width) {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
  };
  // The footer's copy: the dynamic header at 16; that header: the table at 16, its
  // entries at 28, the block size at 32.
  const uint64_t header = be(16, 8);
  ASSERT_EQ(bytes.substr(header, 8), "cxsparse");
  const uint64_t table = be(header + 16, 8);
  size_t last = 0;
  for (size_t i = 0; i < be(header + 28, 4); ++i) {
    if (be(table + 4 * i, 4) != 0xFFFFFFFF) last = i;
  }
  bytes.replace(table + 4 * last, 4, std::string("\x00\xFF\xFF\xF0", 4));
  std::ofstream(vhd, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  const std::vector<std::string> vhdDrives = CliLines({"drives", vhd});
  ASSERT_FALSE(vhdDrives.empty());
  EXPECT_TRUE(vhdDrives[0].ends_with(" - damaged or cut short: its tables point past its end at byte " +
                                     std::to_string(bytes.size())))
      << vhdDrives[0];
  EXPECT_EQ(CliLines({"hex", vhd, std::to_string(last * be(header + 32, 4) / 512)}, 1), std::vector<std::string>{"Reading error"});
}

// QCOW2 version 3 marks clusters that read as zeros (qemu-io "write -z"): one that keeps
// its space, one that has none. Both read as zeros, as qemu reads them, not as the bytes
// kept in the space or the header.
TEST_F(ContainersTest, Qcow2ZeroClustersReadAsZeros) {
  const std::string path = (dir_ / "zeros.qcow2").string();
  ASSERT_EQ(testing::Run({"qemu-img", "convert", "-q", "-f", "raw", "-O", "qcow2", ContainerPath("small.img"), path}).Status, 0);
  for (const char* write : {"write -q -z 65536 65536", "write -q -z -u 196608 131072"}) {
    ASSERT_EQ(testing::Run({"qemu-io", "-f", "qcow2", "-c", write, path}).Status, 0) << write;
  }
  const fs::path qemu = dir_ / "qemu.raw";
  ASSERT_EQ(testing::Run({"qemu-img", "convert", "-q", "-f", "qcow2", "-O", "raw", path, qemu.string()}).Status, 0);
  const fs::path out = dir_ / "out.bin";
  const CommandResult exported = RunCli({"export", path, "0", std::to_string(17 * 128), out.string()});
  EXPECT_EQ(exported.Status, 0) << exported.Err;
  const std::string expected = ReadAll(qemu);
  EXPECT_EQ(expected.substr(65536, 65536), std::string(65536, '\0'));
  EXPECT_TRUE(ReadAll(out) == expected);
}

TEST(ContainerRecognitionTest, SignaturesNotNamesSayWhatAFileIs) {
  struct Case {
    std::string Head;
    std::string Tail;
    ContainerKind Expected;
  };
  const std::string footer = "conectix" + std::string(504, '\0');
  const Case cases[] = {
      {std::string("EVF\x09\x0D\x0A\xFF\x00", 8), "", ContainerKind::Ewf},
      {std::string("LVF\x09\x0D\x0A\xFF\x00", 8), "", ContainerKind::Ewf},
      {std::string("EVF2\x0D\x0A\x81\x00", 8), "", ContainerKind::Ewf},
      {std::string("EVF\x09\x0D\x0A\xFF\x01", 8), "", ContainerKind::None},  // one byte off
      {"KDMV\x01", "", ContainerKind::Vmdk},
      {"COWD", "", ContainerKind::Vmdk},
      {"# Disk DescriptorFile\nversion=1\n", "", ContainerKind::Vmdk},
      {"# Disk Descriptor", "", ContainerKind::None},
      {"vhdxfile", "", ContainerKind::Vhdi},
      {"conectix", "", ContainerKind::Vhdi},
      {std::string(512, '\0'), footer, ContainerKind::Vhdi},          // a fixed VHD
      {std::string(512, '\0'), footer.substr(0, 511), ContainerKind::None},
      {std::string("QFI\xFB", 4), "", ContainerKind::Qcow},
      {"QFI", "", ContainerKind::None},
      {std::string("\xEB\x3C\x90MSDOS5.0", 11), "", ContainerKind::None},  // a FAT boot sector
      {"", "", ContainerKind::None},
  };
  for (const Case& c : cases) {
    const std::span<const uint8_t> head(reinterpret_cast<const uint8_t*>(c.Head.data()), c.Head.size());
    const std::span<const uint8_t> tail(reinterpret_cast<const uint8_t*>(c.Tail.data()), c.Tail.size());
    EXPECT_EQ(RecognizeContainer(head, tail), c.Expected) << c.Head.substr(0, 12);
  }
}

TEST(ContainerNamingTest, EwfSegmentNamesFollowE99WithEaa) {
  const std::pair<uint32_t, std::string> cases[] = {
      {1, "x/disk.E01"}, {2, "x/disk.E02"}, {10, "x/disk.E10"}, {99, "x/disk.E99"},
      {100, "x/disk.EAA"}, {101, "x/disk.EAB"}, {126, "x/disk.EBA"}, {775, "x/disk.EZZ"}, {776, "x/disk.FAA"},
  };
  for (const auto& [number, name] : cases) EXPECT_EQ(EwfSegmentName("x/disk.E01", number), name) << number;
  EXPECT_EQ(EwfSegmentName("disk.e01", 3), "disk.e03");
  EXPECT_EQ(EwfSegmentName("disk.e01", 100), "disk.eaa");
  EXPECT_EQ(EwfSegmentName("disk.L01", 2), "disk.L02");
}

TEST(ContainerNamingTest, VhdParentsAreLookedForBesideTheChild) {
  EXPECT_EQ(VhdParentPath("/vm/child.vhd", "C:\\VMs\\base.vhd"), "/vm/base.vhd");
  EXPECT_EQ(VhdParentPath("/vm/child.vhd", ".\\base.vhd"), "/vm/base.vhd");
  EXPECT_EQ(VhdParentPath("child.vhd", "base.vhd"), "base.vhd");
  EXPECT_EQ(VhdParentPath("/vm/child.vhd", "/elsewhere/base.vhd"), "/vm/base.vhd");
}

TEST(ContainerNamingTest, SplitRawSetsStartAtTheirFirstNumberAndNameAGap) {
  const fs::path dir = fs::path(::testing::TempDir()) / ("korvalane-split-" + std::to_string(getpid()));
  struct Case {
    std::vector<std::string> Present;
    std::string Named;
    size_t Segments;
    std::string Missing;
  };
  const Case cases[] = {
      {{"d.001", "d.002", "d.003"}, "d.001", 3, ""},
      {{"d.000", "d.001"}, "d.000", 2, ""},
      {{"d.001", "d.002"}, "d.002", 0, ""},           // not the first
      {{"d.001"}, "d.001", 0, ""},                    // alone: a raw image
      {{"d.001", "d.002", "d.004"}, "d.001", 2, "d.003"},
      {{"d.001", "d.003"}, "d.001", 1, "d.002"},
      {{"d.001", "d.0002"}, "d.001", 0, ""},          // another width, another set
      {{"d.aa", "d.ab", "d.ac"}, "d.aa", 3, ""},
      {{"d.az", "d.ba"}, "d.az", 0, ""},
      {{"d.img", "d.002"}, "d.img", 0, ""},
      {{"d.99", "d.100"}, "d.99", 0, ""},
  };
  for (const Case& c : cases) {
    fs::remove_all(dir);
    fs::create_directories(dir);
    for (const std::string& name : c.Present) std::ofstream(dir / name) << "x";
    const SplitRawSet set = FindSplitRawSet((dir / c.Named).string());
    EXPECT_EQ(set.Segments.size(), c.Segments) << c.Named << " of " << c.Present.size();
    EXPECT_EQ(set.Missing, c.Missing.empty() ? "" : (dir / c.Missing).string()) << c.Named;
  }
  fs::remove_all(dir);
}

TEST(EwfSegmentWalkTest, AHostileChainOfSectionsEnds) {
  // A header, then sections at 13 and on; each case sets one descriptor's fields.
  struct Section {
    uint64_t Offset;
    std::string Type;
    uint64_t Next;
    uint64_t Size;
  };
  struct Case {
    const char* What;
    std::vector<Section> Sections;
    uint64_t FileSize;
    bool Next, Done, Truncated;
  };
  const Case cases[] = {
      {"a whole segment", {{13, "header", 100, 87}, {100, "next", 100, 0}}, 176, true, false, false},
      {"the last segment", {{13, "volume", 100, 87}, {100, "done", 100, 0}}, 176, false, true, false},
      {"a chain that points back", {{13, "header", 100, 87}, {100, "table", 13, 76}}, 400, false, false, true},
      {"a chain that points at itself", {{13, "table", 13, 76}}, 400, false, false, true},
      {"a section past the end", {{13, "sectors", 100, 1u << 30}}, 400, false, false, true},
      {"a next offset past the end", {{13, "sectors", 1u << 30, 100}}, 400, false, false, true},
      {"cut in a descriptor", {{13, "header", 100, 87}}, 150, false, false, true},
      {"a huge next offset", {{13, "table", UINT64_MAX - 10, 76}}, 400, false, false, true},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> file(c.FileSize, 0);
    const std::array<uint8_t, 13> header{'E', 'V', 'F', 0x09, 0x0D, 0x0A, 0xFF, 0x00, 0x01, 0x01, 0x00, 0x00, 0x00};
    std::copy(header.begin(), header.end(), file.begin());
    for (const Section& s : c.Sections) {
      if (s.Offset + 76 > file.size()) continue;
      std::copy(s.Type.begin(), s.Type.end(), file.begin() + static_cast<std::ptrdiff_t>(s.Offset));
      for (size_t i = 0; i < 8; ++i) {
        file[s.Offset + 16 + i] = static_cast<uint8_t>(s.Next >> (8 * i));
        file[s.Offset + 24 + i] = static_cast<uint8_t>(s.Size >> (8 * i));
      }
    }
    size_t reads = 0;
    const EwfSegmentWalk walk = WalkEwfSegment(
        [&](uint64_t position, std::span<uint8_t> buffer) {
          ++reads;
          if (position > file.size() || buffer.size() > file.size() - position) return false;
          std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(position), buffer.size(), buffer.begin());
          return true;
        },
        file.size());
    EXPECT_TRUE(walk.Readable) << c.What;
    EXPECT_EQ(walk.Number, 1u) << c.What;
    EXPECT_EQ(walk.EndsWithNext, c.Next) << c.What;
    EXPECT_EQ(walk.EndsWithDone, c.Done) << c.What;
    EXPECT_EQ(walk.Truncated, c.Truncated) << c.What;
    EXPECT_LE(reads, 10u) << c.What;
  }
}

}  // namespace
}  // namespace korvalane
