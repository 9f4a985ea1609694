#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/export/SectorCopy.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

namespace fs = std::filesystem;

// Bytes that differ from sector to sector and within one, so that a sector at the wrong
// offset or a missing one shows.
std::vector<uint8_t> Pattern(size_t sectors, uint32_t sectorSize) {
  std::vector<uint8_t> bytes(sectors * sectorSize);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>((i / sectorSize) * 7 + i % 251 + 1);
  }
  return bytes;
}

std::vector<uint8_t> Slurp(const fs::path& path) {
  std::error_code error;
  std::vector<uint8_t> bytes(static_cast<size_t>(fs::file_size(path, error)));
  std::ifstream in(path, std::ios::binary);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return bytes;
}

class SectorCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Other builds may run this test at the same moment: every run gets a folder of its own.
    dir_ = fs::path(::testing::TempDir()) /
           ("korvalane-copy-" + std::to_string(std::random_device{}()) + "-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    SetPlatform(&platform_);
    ExportBusy = false;
  }
  void TearDown() override {
    SetPlatform(nullptr);
    Geometry() = VolumeGeometry{};
    ExportBusy = false;
    fs::remove_all(dir_);
  }

  // Drive C: of `sectors` sectors, selected as the volume being examined.
  MemoryPlatform::Drive& UseDrive(size_t sectors, uint32_t sectorSize = 512) {
    MemoryPlatform::Drive& drive = platform_.AddDrive('C', Pattern(sectors, sectorSize), sectorSize);
    VolumeGeometry& g = Geometry();
    g.CurrentDrive = "C:";
    g.BytesPerSector = static_cast<int32_t>(sectorSize);
    g.TotalSectors = static_cast<uint32_t>(sectors);
    return drive;
  }

  // Copies the range as the dialog does (busy while it runs) into out.bin.
  CopyOutcome Copy(SectorRange range, const CopyHooks& hooks = {}) {
    ExportFile file;
    EXPECT_TRUE(file.Create(Out()));
    ExportBusy = true;
    const CopyOutcome outcome = CopySectorRange(range, file, hooks);
    ExportBusy = false;
    EXPECT_TRUE(file.Close());
    return outcome;
  }

  // The bytes the drive holds for the range.
  std::vector<uint8_t> Expected(SectorRange range) {
    const MemoryPlatform::Drive* drive = platform_.Find("C:");
    const size_t size = drive->SectorSize;
    return std::vector<uint8_t>(drive->Bytes.begin() + static_cast<std::ptrdiff_t>(range.Start * size),
                                drive->Bytes.begin() + static_cast<std::ptrdiff_t>(range.End * size));
  }

  fs::path Out() const { return dir_ / "out.bin"; }

  MemoryPlatform platform_;
  fs::path dir_;
};

TEST_F(SectorCopyTest, RangesUpTo50MiBTakeOneReadAndLongerOnesASectorAtATime) {
  struct Case {
    uint32_t sectors;
    uint32_t sectorSize;
    bool oneRead;
  };
  const Case cases[] = {
      {102400, 512, true},    // exactly 52,428,800 bytes
      {102401, 512, false},   // one sector more
      {12800, 4096, true},    // 52,428,800 bytes of large sectors
      {12801, 4096, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sectors) + " x " + std::to_string(c.sectorSize));
    UseDrive(c.sectors + 3, c.sectorSize);
    platform_.Reads = 0;
    const SectorRange range{2, 2 + c.sectors};
    const CopyOutcome outcome = Copy(range);
    EXPECT_EQ(outcome.End, CopyEnd::Complete);
    EXPECT_EQ(outcome.OneRead, c.oneRead);
    EXPECT_EQ(outcome.SectorsWritten, c.sectors);
    EXPECT_EQ(platform_.Reads, c.oneRead ? 1 : static_cast<int>(c.sectors));
    EXPECT_EQ(platform_.Opens, platform_.Closes);  // every read closes what it opened
    EXPECT_TRUE(Slurp(Out()) == Expected(range));
  }
}

TEST_F(SectorCopyTest, UnreadableSectorsBecomeZerosAndLaterSectorsKeepTheirOffsets) {
  MemoryPlatform::Drive& drive = UseDrive(40);
  drive.UnreadableSectors = {13, 14, 17};
  const SectorRange range{10, 20};
  const CopyOutcome outcome = Copy(range);
  EXPECT_FALSE(outcome.OneRead);  // the one read covering 13 failed
  EXPECT_EQ(outcome.End, CopyEnd::Complete);
  EXPECT_EQ(outcome.SectorsWritten, 10u);
  EXPECT_EQ(outcome.UnreadableSectors, 3u);
  std::vector<uint8_t> expected = Expected(range);
  for (const uint32_t s : {13u, 14u, 17u}) {
    std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>((s - range.Start) * 512), 512, uint8_t{0});
  }
  EXPECT_TRUE(Slurp(Out()) == expected);
  EXPECT_EQ(platform_.Reads, 1 + 10);
}

TEST_F(SectorCopyTest, ASourceThatDisappearsLeavesZerosToTheFullLength) {
  UseDrive(64);
  int reads = 0;
  platform_.BeforeRead = [&](std::string_view, uint64_t, size_t length) {
    if (length > 512) return false;  // the one read fails: go sector by sector
    return ++reads <= 5;             // then the medium is pulled after five sectors
  };
  const SectorRange range{8, 24};
  const CopyOutcome outcome = Copy(range);
  EXPECT_EQ(outcome.End, CopyEnd::Complete);
  EXPECT_EQ(outcome.UnreadableSectors, 11u);
  std::vector<uint8_t> expected = Expected(range);
  std::fill(expected.begin() + 5 * 512, expected.end(), uint8_t{0});
  EXPECT_TRUE(Slurp(Out()) == expected);
}

TEST_F(SectorCopyTest, AVolumeThatCannotBeOpenedGivesAFileOfZeros) {
  UseDrive(16).FailOpen = true;
  const CopyOutcome outcome = Copy(SectorRange{0, 16});
  EXPECT_EQ(outcome.UnreadableSectors, 16u);
  EXPECT_TRUE(Slurp(Out()) == std::vector<uint8_t>(16 * 512, 0));
}

TEST_F(SectorCopyTest, AShortReadIsPaddedWithZeros) {
  UseDrive(16).DeliverAtMost = 100;
  const CopyOutcome outcome = Copy(SectorRange{0, 4});
  EXPECT_TRUE(outcome.OneRead);
  std::vector<uint8_t> expected = Expected(SectorRange{0, 4});
  std::fill(expected.begin() + 100, expected.end(), uint8_t{0});
  EXPECT_TRUE(Slurp(Out()) == expected);
}

TEST_F(SectorCopyTest, ShowsEvenPercentagesBeforeEachSector) {
  UseDrive(20);
  std::string label = "Please wait...";
  std::vector<std::string> seen;  // what the label reads as each sector is read
  platform_.BeforeRead = [&](std::string_view, uint64_t, size_t length) {
    if (length > 512) return false;
    seen.push_back(label);
    return true;
  };
  CopyHooks hooks;
  int shows = 0;
  hooks.ShowPercent = [&](int32_t percent) {
    ++shows;
    label = std::to_string(percent) + "%";
  };
  Copy(SectorRange{4, 12}, hooks);
  const std::vector<std::string> expected{"0%", "12%", "12%", "38%", "50%", "62%", "62%", "88%"};
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(shows, 6);  // an unchanged label is not set again
  EXPECT_EQ(CopyPercent(1, 8), 12);
  EXPECT_EQ(CopyPercent(2, 8), 25);
  EXPECT_EQ(CopyPercent(3, 8), 38);
}

TEST_F(SectorCopyTest, TheOneReadShowsNoProgressAndRunsNoPump) {
  UseDrive(20);
  CopyHooks hooks;
  int calls = 0;
  hooks.Pump = [&] { ++calls; };
  hooks.ShowPercent = [&](int32_t) { ++calls; };
  EXPECT_TRUE(Copy(SectorRange{0, 20}, hooks).OneRead);
  EXPECT_EQ(calls, 0);
}

TEST_F(SectorCopyTest, AClearedBusyFlagStopsBeforeTheNextSector) {
  struct Case {
    int stopAtPump;  // the pump call (1-based) in which Stop is confirmed; 0 = never
    uint64_t expectedSectors;
    CopyEnd expectedEnd;
  };
  for (const Case& c : {Case{1, 0, CopyEnd::Stopped}, Case{4, 3, CopyEnd::Stopped}, Case{0, 200, CopyEnd::Complete}}) {
    SCOPED_TRACE(c.stopAtPump);
    UseDrive(200).UnreadableSectors = {199};  // the one read fails
    CopyHooks hooks;
    int pumps = 0;
    hooks.Pump = [&] {
      if (++pumps == c.stopAtPump) ExportBusy = false;
    };
    const int readsBefore = platform_.Reads;
    const CopyOutcome outcome = Copy(SectorRange{0, 200}, hooks);
    EXPECT_EQ(outcome.End, c.expectedEnd);
    EXPECT_EQ(outcome.SectorsWritten, c.expectedSectors);
    EXPECT_EQ(platform_.Reads - readsBefore, 1 + static_cast<int>(c.expectedSectors));
    std::vector<uint8_t> expected = Expected(SectorRange{0, static_cast<uint32_t>(c.expectedSectors)});
    if (c.expectedSectors == 200) std::fill(expected.end() - 512, expected.end(), uint8_t{0});
    EXPECT_TRUE(Slurp(Out()) == expected);
  }
}

TEST_F(SectorCopyTest, EmptyRangesAndTheLastSector) {
  UseDrive(32);
  EXPECT_EQ(Copy(SectorRange{5, 5}).SectorsWritten, 0u);
  EXPECT_TRUE(fs::exists(Out()));
  EXPECT_EQ(fs::file_size(Out()), 0u);
  EXPECT_EQ(platform_.Reads, 0);

  // End == TotalSectors: the volume's last sector is copied.
  const CopyOutcome outcome = Copy(SectorRange{30, 32});
  EXPECT_TRUE(outcome.OneRead);
  EXPECT_TRUE(Slurp(Out()) == Expected(SectorRange{30, 32}));

  // A volume that reports no sector size copies nothing rather than dividing by it.
  Geometry().BytesPerSector = 0;
  EXPECT_EQ(Copy(SectorRange{0, 10}).SectorsWritten, 0u);
  EXPECT_EQ(fs::file_size(Out()), 0u);
}

TEST_F(SectorCopyTest, ExportFileGathersSmallWritesAndReportsFailures) {
  ExportFile file;
  EXPECT_FALSE(file.Write(std::vector<uint8_t>(10, 1)));  // not open
  EXPECT_TRUE(file.Create(Out()));
  EXPECT_TRUE(file.Close());

  ExportFile missing;
  EXPECT_FALSE(missing.Create(dir_ / "no such folder" / "x.bin"));
  EXPECT_FALSE(fs::exists(dir_ / "no such folder"));
  // A folder of the chosen name is not replaced by a file.
  fs::create_directory(dir_ / "folder.bin");
  EXPECT_FALSE(missing.Create(dir_ / "folder.bin"));
  EXPECT_TRUE(fs::is_directory(dir_ / "folder.bin"));

  // Writes of all sizes, small ones gathered and large ones passed through, keep their order.
  std::vector<uint8_t> expected;
  ASSERT_TRUE(file.Create(dir_ / "mixed.bin"));
  for (const size_t size : {size_t{512}, size_t{3 << 20}, size_t{1}, size_t{(1 << 20) - 1}, size_t{4096}, size_t{0}}) {
    std::vector<uint8_t> chunk(size, static_cast<uint8_t>(size % 255 + 1));
    EXPECT_TRUE(file.Write(chunk));
    expected.insert(expected.end(), chunk.begin(), chunk.end());
  }
  EXPECT_TRUE(file.Close());
  EXPECT_TRUE(Slurp(dir_ / "mixed.bin") == expected);

  // Creating an existing file empties it.
  ASSERT_TRUE(file.Create(dir_ / "mixed.bin"));
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(fs::file_size(dir_ / "mixed.bin"), 0u);
}

TEST_F(SectorCopyTest, RecognisesTheDrivesOwnSource) {
  const fs::path image = dir_ / "image.img";
  std::ofstream(image) << "volume";
  UseDrive(4).Source = image.string();
  EXPECT_TRUE(IsDriveSource(image, "C:"));
  EXPECT_TRUE(IsDriveSource(dir_ / "." / "image.img", "C:"));
  // Windows lets only some users make symbolic links; where one can be made, it counts.
  std::error_code linkError;
  fs::create_symlink(image, dir_ / "link.img", linkError);
  if (!linkError) EXPECT_TRUE(IsDriveSource(dir_ / "link.img", "C:"));
  EXPECT_FALSE(IsDriveSource(dir_ / "other.img", "C:"));  // does not exist
  std::ofstream(dir_ / "other.img") << "x";
  EXPECT_FALSE(IsDriveSource(dir_ / "other.img", "C:"));
  EXPECT_FALSE(IsDriveSource(image, "D:"));  // no such drive: no source
}

}  // namespace
}  // namespace korvalane
