#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/export/SectorCopy.h"
#include "core/hash/RangeHash.h"
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

TEST_F(SectorCopyTest, RangesUpTo50MiBTakeOneReadAndLongerOnesGoInChunksOf1MiB) {
  struct Case {
    uint32_t sectors;
    uint32_t sectorSize;
    bool oneRead;
    int reads;
  };
  // The range starts at sector 2: chunks begin at whole MiB of the volume, so the first
  // one is two sectors short.
  const Case cases[] = {
      {102400, 512, true, 1},     // exactly 52,428,800 bytes
      {102401, 512, false, 51},   // one sector more: 50 chunks and a last one of 3 sectors
      {12800, 4096, true, 1},     // 52,428,800 bytes of large sectors
      {12801, 4096, false, 51},
      {11000, 4608, true, 1},
      {12000, 4608, false, 53},   // 227 sectors (1,045,916 bytes) to a chunk
      {12000, 1536, true, 1},
      {40000, 1536, false, 59},   // 682 sectors to a chunk
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
    EXPECT_EQ(platform_.Reads, c.reads);
    EXPECT_EQ(platform_.DirectReads, 0);
    EXPECT_EQ(platform_.Opens, platform_.Closes + 1);  // opened once for the whole copy, and kept
    EXPECT_TRUE(Slurp(Out()) == Expected(range));
  }
}

TEST_F(SectorCopyTest, A200MiBRangeTakes200ReadsOf1MiB) {
  constexpr uint64_t kSectors = 409600;
  UseDrive(kSectors);
  std::vector<size_t> lengths;
  platform_.BeforeRead = [&](std::string_view, uint64_t position, size_t length) {
    if (position != lengths.size() * kChunkBytes) ADD_FAILURE() << "read at " << position;
    lengths.push_back(length);
    return true;
  };
  const CopyOutcome outcome = Copy(SectorRange{0, kSectors});
  EXPECT_EQ(outcome.End, CopyEnd::Complete);
  EXPECT_EQ(lengths, std::vector<size_t>(200, kChunkBytes));
  // Compared a MiB at a time: the drive itself already takes 200 MiB.
  const std::vector<uint8_t>& bytes = platform_.Find("C:")->Bytes;
  std::ifstream in(Out(), std::ios::binary);
  std::vector<uint8_t> piece(kChunkBytes);
  size_t same = 0;
  for (size_t mib = 0; mib < 200; ++mib) {
    in.read(reinterpret_cast<char*>(piece.data()), static_cast<std::streamsize>(piece.size()));
    if (in && std::equal(piece.begin(), piece.end(), bytes.begin() + static_cast<std::ptrdiff_t>(mib * kChunkBytes))) {
      ++same;
    }
  }
  EXPECT_EQ(same, 200u);
  EXPECT_EQ(in.get(), EOF);
}

// Bad sectors in the chunks of a range: only a chunk that fails is read again, sector by
// sector past the cache, and exactly the bad sectors come out as zeros although a cached
// read fails for the whole 4 KiB page around each of them.
TEST_F(SectorCopyTest, OnlyTheBadSectorsOfAFailedChunkBecomeZeros) {
  struct Case {
    const char* name;
    uint64_t driveSectors;
    SectorRange range;
    std::set<uint64_t> bad;
    std::vector<SectorRange> unreadable;
    int reads;        // the one read (up to 50 MiB), a read per chunk, then the retries ...
    int directReads;  // ... one direct read per sector of each chunk that failed
  };
  const auto all = [](uint64_t first, uint64_t end) {
    std::set<uint64_t> sectors;
    for (uint64_t s = first; s < end; ++s) sectors.insert(s);
    return sectors;
  };
  const Case cases[] = {
      {"first sector of a chunk", 8200, {0, 8192}, {2048}, {{2048, 2049}}, 1 + 4 + 2048, 2048},
      {"last sector of a chunk", 8200, {0, 8192}, {4095}, {{4095, 4096}}, 1 + 4 + 2048, 2048},
      {"a whole chunk", 8200, {0, 8192}, all(4096, 6144), {{4096, 6144}}, 1 + 4 + 2048, 2048},
      {"across a chunk's end", 8200, {0, 8192}, all(2045, 2053), {{2045, 2053}}, 1 + 4 + 4096, 4096},
      // Chunks 5-2047, 2048-4095, 4096-6143 and 6144-6150; the third reads. (Chunks
      // counted from the range's start would share pages, and the third would fail too.)
      {"scattered, odd start", 8200, {5, 6151}, {6, 100, 101, 2050, 6150},
       {{6, 7}, {100, 102}, {2050, 2051}, {6150, 6151}}, 1 + 4 + 2043 + 2048 + 7, 2043 + 2048 + 7},
      {"every sector", 8200, {2038, 4106}, all(0, 8200), {{2038, 4106}}, 1 + 3 + 2068, 2068},
      // More than 50 MiB: in chunks from the start, 54 of them, without a one read.
      {"beyond 50 MiB", 110000, {0, 110000}, {102401}, {{102401, 102402}}, 54 + 2048, 2048},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemoryPlatform::Drive& drive = UseDrive(c.driveSectors);
    drive.UnreadableSectors = c.bad;
    drive.CachePageBytes = 4096;
    platform_.Reads = platform_.DirectReads = 0;
    const CopyOutcome outcome = Copy(c.range);
    EXPECT_EQ(outcome.End, CopyEnd::Complete);
    EXPECT_FALSE(outcome.OneRead);
    EXPECT_EQ(outcome.SectorsWritten, c.range.Count());
    const std::vector<SectorRange>& unreadable = outcome.Unreadable.Ranges();
    ASSERT_EQ(unreadable.size(), c.unreadable.size());
    uint64_t zeroed = 0;
    std::vector<uint8_t> expected = Expected(c.range);
    for (size_t i = 0; i < unreadable.size(); ++i) {
      const SectorRange bad = c.unreadable[i];
      EXPECT_EQ(unreadable[i].Start, bad.Start) << i;
      EXPECT_EQ(unreadable[i].End, bad.End) << i;
      zeroed += bad.Count();
      std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>((bad.Start - c.range.Start) * 512),
                  bad.Count() * 512, uint8_t{0});
    }
    EXPECT_EQ(outcome.Unreadable.Count(), zeroed);
    EXPECT_TRUE(Slurp(Out()) == expected);
    EXPECT_EQ(platform_.Reads, c.reads);
    EXPECT_EQ(platform_.DirectReads, c.directReads);
    EXPECT_EQ(platform_.Opens, platform_.Closes + 1);
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
  EXPECT_EQ(outcome.Unreadable.Count(), 3u);
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
  EXPECT_EQ(outcome.Unreadable.Count(), 11u);
  std::vector<uint8_t> expected = Expected(range);
  std::fill(expected.begin() + 5 * 512, expected.end(), uint8_t{0});
  EXPECT_TRUE(Slurp(Out()) == expected);
}

TEST_F(SectorCopyTest, AVolumeThatCannotBeOpenedGivesAFileOfZeros) {
  UseDrive(16).FailOpen = true;
  const CopyOutcome outcome = Copy(SectorRange{0, 16});
  EXPECT_EQ(outcome.Unreadable.Count(), 16u);
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

// The system's own copy of a range into the file comes first where only the file takes
// the bytes; what it refuses is read into a buffer as before, and a copy of its that fails
// is a failed one read: the chunks (or, for a range of one chunk, the sectors) follow.
TEST_F(SectorCopyTest, TheSystemsCopyComesFirstAndFallsBackWhenRefusedOrFailed) {
  struct Call {
    uint64_t Position;
    uint64_t Length;
    fs::path File;
  };
  struct Case {
    const char* name;
    SectorRange range;
    VolumeCopy answer;
    bool oneRead;
    int reads;
    int directReads;
  };
  const Case cases[] = {
      {"copied", {3, 40}, VolumeCopy::Copied, true, 0, 0},
      {"refused", {3, 40}, VolumeCopy::Refused, true, 1, 0},
      // A range of one chunk has failed as a whole: sector by sector past the cache.
      {"failed, one chunk", {3, 40}, VolumeCopy::Failed, false, 37, 37},
      // Chunks 2-2047, 2048-4095 and 4096-4097, each read once; the whole is not read again.
      {"failed, three chunks", {2, 4098}, VolumeCopy::Failed, false, 3, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseDrive(4100);
    std::vector<Call> calls;
    platform_.CopyToFile = [&](std::string_view drive, uint64_t position, uint64_t length, const fs::path& file) {
      EXPECT_EQ(drive, "C:");
      calls.push_back({position, length, file});
      // Through a descriptor of its own, into the file the copy has already made empty.
      std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
      EXPECT_TRUE(out.is_open());
      const std::vector<uint8_t> bytes = Expected(c.range);
      if (c.answer == VolumeCopy::Copied) {
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
      } else if (c.answer == VolumeCopy::Failed) {
        // A device cannot be emptied again: what a failed copy left must be overwritten.
        out << std::string(1024, 'X');
      }
      return c.answer;
    };
    platform_.Reads = platform_.DirectReads = 0;
    const CopyOutcome outcome = Copy(c.range);
    EXPECT_EQ(outcome.End, CopyEnd::Complete);
    EXPECT_EQ(outcome.OneRead, c.oneRead);
    EXPECT_EQ(outcome.SectorsWritten, c.range.Count());
    EXPECT_TRUE(outcome.Unreadable.Empty());
    EXPECT_EQ(platform_.Reads, c.reads);
    EXPECT_EQ(platform_.DirectReads, c.directReads);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Position, c.range.Start * 512);
    EXPECT_EQ(calls[0].Length, c.range.Count() * 512);
    EXPECT_EQ(calls[0].File, Out());
    EXPECT_TRUE(Slurp(Out()) == Expected(c.range));
  }

  // Where anything but the file takes the bytes (a digest, a sink), or no one read is
  // wanted, or the range is longer than one read, the system is not asked.
  UseDrive(102410);
  int asked = 0;
  platform_.CopyToFile = [&](std::string_view, uint64_t, uint64_t, const fs::path&) {
    ++asked;
    return VolumeCopy::Refused;
  };
  Digest digest(DigestKind::Sha256);
  CopyHooks withDigest;
  withDigest.Digests = {&digest};
  CopyHooks withSink;
  withSink.Sink = [](std::span<const uint8_t>) { return true; };
  CopyHooks inChunks;
  inChunks.OneRead = false;
  for (const CopyHooks* hooks : {&withDigest, &withSink, &inChunks}) {
    EXPECT_EQ(Copy(SectorRange{0, 64}, *hooks).End, CopyEnd::Complete);
  }
  EXPECT_FALSE(Copy(SectorRange{0, 102401}).OneRead);
  EXPECT_EQ(asked, 0);
  EXPECT_TRUE(Slurp(Out()) == Expected(SectorRange{0, 102401}));
  EXPECT_EQ(Copy(SectorRange{0, 64}).End, CopyEnd::Complete);
  EXPECT_EQ(asked, 1);
}

// A hash reads in chunks at every length, so that hashing overlaps reading; its digest is
// that of the bytes an export writes.
TEST_F(SectorCopyTest, AHashReadsInChunksAtEveryLength) {
  UseDrive(8200);
  const SectorRange range{2, 4098};
  platform_.Reads = 0;
  ExportBusy = true;
  const RangeHashOutcome outcome = HashSectorRange(range, {DigestKind::Sha256, DigestKind::Md5}, CopyHooks{});
  ExportBusy = false;
  EXPECT_EQ(outcome.End, CopyEnd::Complete);
  EXPECT_EQ(outcome.SectorsHashed, range.Count());
  EXPECT_EQ(platform_.Reads, 3);  // 2-2047, 2048-4095, 4096-4097: no read of the whole
  ASSERT_EQ(outcome.Digests.size(), 2u);
  const std::vector<uint8_t> bytes = Expected(range);
  for (const auto& [kind, hex] : outcome.Digests) {
    Digest expected(kind);
    expected.Update(bytes);
    EXPECT_EQ(hex, expected.Hex()) << DigestName(kind);
  }
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

// Five chunks, the fourth with a bad sector: the pump and the progress come before each
// chunk and before each further sector of the retried one, and Stop ends the copy there.
TEST_F(SectorCopyTest, ProgressAndStopBetweenChunksAndWithinARetriedOne) {
  constexpr uint64_t kChunk = 2048;
  struct Case {
    const char* name;
    int stopAtPump;  // 0 = never
    CopyEnd end;
    uint64_t sectors;
  };
  const Case cases[] = {
      {"not stopped", 0, CopyEnd::Complete, 5 * kChunk},
      {"before the third chunk", 3, CopyEnd::Stopped, 2 * kChunk},
      {"before the retry's 101st sector", 4 + 100, CopyEnd::Stopped, 3 * kChunk + 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    UseDrive(5 * kChunk).UnreadableSectors = {3 * kChunk + 50};
    CopyHooks hooks;
    int pumps = 0;
    hooks.Pump = [&] {
      if (++pumps == c.stopAtPump) ExportBusy = false;
    };
    std::vector<int32_t> shown;
    hooks.ShowPercent = [&](int32_t percent) { shown.push_back(percent); };
    const CopyOutcome outcome = Copy(SectorRange{0, 5 * kChunk}, hooks);
    EXPECT_EQ(outcome.End, c.end);
    EXPECT_EQ(outcome.SectorsWritten, c.sectors);
    std::vector<uint8_t> expected = Expected(SectorRange{0, c.sectors});
    if (c.sectors > 3 * kChunk + 50) std::fill_n(expected.begin() + (3 * kChunk + 50) * 512, 512, uint8_t{0});
    EXPECT_TRUE(Slurp(Out()) == expected);
    if (c.stopAtPump == 0) {
      EXPECT_EQ(pumps, 4 + 2047 + 1);
      // 0, 20 and 40 % before the first three chunks, then every even percentage through
      // the retried fourth (its last sector rounds to 80), and nothing new for the fifth.
      std::vector<int32_t> expectedShown{0, 20, 40};
      for (int32_t percent = 60; percent <= 80; percent += 2) expectedShown.push_back(percent);
      EXPECT_EQ(shown, expectedShown);
    }
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
  if (!linkError) {
    EXPECT_TRUE(IsDriveSource(dir_ / "link.img", "C:"));
  }
  EXPECT_FALSE(IsDriveSource(dir_ / "other.img", "C:"));  // does not exist
  std::ofstream(dir_ / "other.img") << "x";
  EXPECT_FALSE(IsDriveSource(dir_ / "other.img", "C:"));
  EXPECT_FALSE(IsDriveSource(image, "D:"));  // no such drive: no source
}

}  // namespace
}  // namespace korvalane
