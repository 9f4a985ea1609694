// The volume details report and the MFT layout, over hand-built boot sectors and MFT
// record 0 in an in-memory volume.
#include <gtest/gtest.h>

#include <string>

#include "core/fs/FileSystem.h"
#include "core/fs/ntfs/NtfsFileSystem.h"
#include "core/views/Details.h"
#include "core/volume/VolumeGeometry.h"
#include "platform/memory/MemoryPlatform.h"
#include "views/NtfsRecordBuilder.h"

namespace korvalane {
namespace {

using testing::Attribute;
using testing::FileName;
using testing::IndexRoot;
using testing::NonResidentData;
using testing::Put;
using testing::RecordBuilder;
using testing::StandardInformation;

constexpr uint32_t kMftCluster = 8;

std::vector<uint8_t> NtfsVolume(uint32_t sectorSize, uint32_t sectorsPerCluster, size_t sectors,
                                uint64_t mftCluster = kMftCluster) {
  std::vector<uint8_t> v(sectors * sectorSize, 0);
  const char oem[] = "NTFS    ";
  std::copy(oem, oem + 8, v.begin() + 3);
  Put(v, 11, sectorSize, 2);
  v[13] = static_cast<uint8_t>(sectorsPerCluster);
  Put(v, 40, sectors - 1, 8);
  Put(v, 48, mftCluster, 8);
  return v;
}

std::vector<uint8_t> MftRecord0(const std::vector<uint8_t>& runs, size_t size = 1024) {
  return RecordBuilder(0, size)
      .Add(StandardInformation(0))
      .Add(FileName(u"$MFT", 5))
      .Add(NonResidentData(4096, runs))
      .End()
      .Protected();
}

const ViewText kNtfsLines{u"Drive C:\\, NTFS",         u"Bytes per sector - 512", u"Bytes per cluster - 1024",
                          u"Sectors per cluster - 2", u"Sectors - 127",           u"Clusters - 63",
                          u"Start MFT cluster - 8"};

class DetailsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPlatform(&platform_);
    Geometry() = VolumeGeometry{};
    UseNtfs(NtfsVolume(512, 2, 128), 512);
  }
  void TearDown() override { SetPlatform(nullptr); }

  void UseNtfs(std::vector<uint8_t> volume, uint32_t sectorSize) {
    platform_.AddDrive('C', std::move(volume), sectorSize).FileSystemName = "NTFS";
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = FileSystemKind::Ntfs;
  }

  void WriteAtSector(uint64_t sector, const std::vector<uint8_t>& bytes) {
    MemoryPlatform::Drive& d = *platform_.Find("C:");
    std::copy(bytes.begin(), bytes.end(), d.Bytes.begin() + static_cast<std::ptrdiff_t>(sector * d.SectorSize));
  }

  ViewText Report(const MessagePump& pump = NoPump) {
    ViewText view;
    ReportVolumeDetails(view, pump);
    return view;
  }

  MemoryPlatform platform_;
};

TEST_F(DetailsTest, NtfsReportWithTheMftExtents) {
  WriteAtSector(16, MftRecord0({0x11, 0x10, 0x08, 0x11, 0x00, 0x20, 0x11, 0x06, 0x10, 0x00}));
  ViewText expected = kNtfsLines;
  // The run with a count of 0 moves the start on but is neither counted nor listed.
  expected.insert(expected.end(), {u"MFT clusters - 22", u"Bytes per record MFT - 1024", u"MFT parts - 2", u"",
                                   u"MFT cluster - clusters count:", u"8 - 16", u"56 - 6"});
  EXPECT_EQ(Report(), expected);
  const std::span<const DataRun> extents = MftExtentsOf(CurrentFileSystem());
  ASSERT_EQ(extents.size(), 2u);
  EXPECT_EQ(extents[1].StartCluster, 56);
  EXPECT_EQ(Geometry().MftRecordBytes, 1024);
}

TEST_F(DetailsTest, MftLinesOfUnusualRunLists) {
  struct Case {
    const char* what;
    std::vector<uint8_t> runs;
    ViewText mftLines;
  };
  const Case cases[] = {
      {"list that begins with 00", {0x00},
       {u"MFT clusters - 0", u"Bytes per record MFT - 1024", u"MFT parts - 0", u"", u"MFT cluster - clusters count:"}},
      {"worked example", {0x33, 0x20, 0xC8, 0x00, 0x00, 0x00, 0x0C, 0x00},
       {u"MFT clusters - 51232", u"Bytes per record MFT - 1024", u"MFT parts - 1", u"",
        u"MFT cluster - clusters count:", u"786432 - 51232"}},
      {"counts that add up beyond 32 bits",
       {0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00},
       {u"MFT clusters - 8589934590", u"Bytes per record MFT - 1024", u"MFT parts - 2", u"",
        u"MFT cluster - clusters count:", u"1 - 4294967295", u"2 - 4294967295"}},
      {"count of 2^32 is dropped", {0x15, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07, 0x00},
       {u"MFT clusters - 0", u"Bytes per record MFT - 1024", u"MFT parts - 0", u"", u"MFT cluster - clusters count:"}},
  };
  for (const Case& c : cases) {
    WriteAtSector(16, MftRecord0(c.runs));
    ViewText expected = kNtfsLines;
    expected.insert(expected.end(), c.mftLines.begin(), c.mftLines.end());
    EXPECT_EQ(Report(), expected) << c.what;
  }
}

TEST_F(DetailsTest, RecordSizeComesFromTheUpdateSequenceCount) {
  UseNtfs(NtfsVolume(4096, 1, 64), 4096);
  WriteAtSector(8, MftRecord0({0x11, 0x10, 0x08, 0x00}, 4096));  // count 9
  EXPECT_EQ(Report().size(), 13u);
  EXPECT_EQ(Geometry().MftRecordBytes, 4096);
  const std::span<const DataRun> extents = MftExtentsOf(CurrentFileSystem());
  ASSERT_EQ(extents.size(), 1u);
  EXPECT_EQ(extents[0].ClusterCount, 16);
}

TEST_F(DetailsTest, MftRecordZeroThatCannotBeUsed) {
  struct Case {
    const char* what;
    std::function<void(std::vector<uint8_t>& record, MemoryPlatform::Drive& drive)> spoil;
    int32_t recordBytesAfter;
  };
  const Case cases[] = {
      {"first read fails", [](auto&, auto& d) { d.UnreadableSectors = {16}; }, 512},
      {"second read fails", [](auto&, auto& d) { d.UnreadableSectors = {17}; }, 1024},
      {"no F at the start", [](auto& r, auto&) { r[0] = 'B'; }, 512},
      {"no I second", [](auto& r, auto&) { r[1] = 'A'; }, 512},
      {"update sequence count 0", [](auto& r, auto&) { Put(r, 6, 0, 2); }, 512},
      {"update sequence count 1", [](auto& r, auto&) { Put(r, 6, 1, 2); }, 512},
      {"record above 64 KiB", [](auto& r, auto&) { Put(r, 6, 130, 2); }, 512},
      {"largest record size, past the volume's end", [](auto& r, auto&) { Put(r, 6, 129, 2); }, 65536},
      {"index root before any data", [](auto& r, auto&) {
         r = RecordBuilder(0).Add(StandardInformation(0)).Add(IndexRoot()).Add(NonResidentData(1, {0x11, 1, 1}))
                 .End().Protected();
       }, 1024},
      {"end marker before any data", [](auto& r, auto&) {
         r = RecordBuilder(0).Add(StandardInformation(0)).Add(FileName(u"$MFT", 5)).End().Protected();
       }, 1024},
      {"zero-length attribute", [](auto& r, auto&) {
         r = RecordBuilder(0).Add(StandardInformation(0)).Add(Attribute(0x30, 0)).Add(NonResidentData(1, {0x11, 1, 1}))
                 .End().Protected();
       }, 1024},
      {"walk leaves the record", [](auto& r, auto&) {
         RecordBuilder b(0);
         b.Add(StandardInformation(0));
         b.Add(Attribute(0x30, 1024 - b.Position));
         r = b.Protected();
       }, 1024},
      {"first attribute outside", [](auto& r, auto&) { Put(r, 20, 4000, 2); }, 1024},
  };
  for (const Case& c : cases) {
    SetUp();
    std::vector<uint8_t> record = MftRecord0({0x11, 0x10, 0x08, 0x00});
    // An earlier request found the MFT's extents; the one after the damage finds none.
    WriteAtSector(16, record);
    Report();
    ASSERT_FALSE(MftExtentsOf(CurrentFileSystem()).empty()) << c.what;
    c.spoil(record, *platform_.Find("C:"));
    WriteAtSector(16, record);
    EXPECT_EQ(Report(), kNtfsLines) << c.what;
    EXPECT_EQ(Geometry().MftRecordBytes, c.recordBytesAfter) << c.what;
    EXPECT_TRUE(MftExtentsOf(CurrentFileSystem()).empty()) << c.what;
  }
}

TEST_F(DetailsTest, MftBeyondTheVolumeOrBeyondSixtyFourBits) {
  struct Case {
    uint64_t mftCluster;
    const char16_t* clusterLine;
    int reads;
  };
  const Case cases[] = {
      // Sector 2^32 is asked for (and is not there), not a sector wrapped into 32 bits.
      {0x80000000u, u"Start MFT cluster - 2147483648", 2},
      // A first sector that 64 bits cannot hold is not read at all.
      {UINT64_MAX / 2 + 1, u"Start MFT cluster - 9223372036854775808", 1},
  };
  for (const Case& c : cases) {
    UseNtfs(NtfsVolume(512, 2, 128, c.mftCluster), 512);
    platform_.Reads = 0;
    EXPECT_EQ(Report(), (ViewText{u"Drive C:\\, NTFS", u"Bytes per sector - 512", u"Bytes per cluster - 1024",
                                  u"Sectors per cluster - 2", u"Sectors - 127", u"Clusters - 63", c.clusterLine}));
    EXPECT_EQ(Geometry().MftRecordBytes, 512);
    EXPECT_EQ(platform_.Reads, c.reads);  // the boot sector, and the MFT's first sector if it has one
  }
}

TEST_F(DetailsTest, PumpRunsPerAttributeAndPerRunAndASupersededReportStops) {
  WriteAtSector(16, MftRecord0({0x11, 0x10, 0x08, 0x11, 0x06, 0x30, 0x00}));
  int calls = 0;
  EXPECT_EQ(Report([&] { return ++calls > 0; }).size(), kNtfsLines.size() + 7);
  EXPECT_EQ(calls, 2 + 3);  // two attributes stepped over; two runs and the list's end
  for (int allowed : {0, 1, 3}) {
    calls = 0;
    EXPECT_EQ(Report([&] { return ++calls <= allowed; }), kNtfsLines) << allowed;
  }
}

// Where locate finds an MFT record: its sector, or the first words of its refusal.
std::string Located(uint64_t record) {
  const Location at = LocateNtfsMftRecord(record, NoPump);
  return at.Sector ? std::to_string(*at.Sector) : at.Error;
}

// An $ATTRIBUTE_LIST entry: type, length 32, no name, first VCN, the holding record's reference.
std::vector<uint8_t> ListEntry(uint32_t type, uint64_t vcn, uint64_t reference) {
  std::vector<uint8_t> entry(32, 0);
  Put(entry, 0, type, 4);
  Put(entry, 4, 32, 2);
  Put(entry, 8, vcn, 8);
  Put(entry, 16, reference, 8);
  return entry;
}

TEST_F(DetailsTest, MftExtentsInAnExtensionRecordOfRecordZero) {
  constexpr uint64_t kSequence1 = uint64_t{1} << 48;
  struct Case {
    const char* what;
    uint64_t baseReference;  // record 3's
    ViewText mftLines;
    std::string record5, record6;
  };
  const Case cases[] = {
      {"extension of record 0", kSequence1,
       {u"MFT clusters - 6", u"Bytes per record MFT - 1024", u"MFT parts - 2", u"", u"MFT cluster - clusters count:",
        u"8 - 4", u"40 - 2"},
       "82", "MFT record 6 lies beyond the MFT (it holds 6 records)"},
      // A record whose base reference is 0 is a base record, not an extension of record 0.
      {"record 3 is no extension", 0,
       {u"MFT clusters - 4", u"Bytes per record MFT - 1024", u"MFT parts - 1", u"", u"MFT cluster - clusters count:",
        u"8 - 4"},
       "MFT record 5 lies beyond the MFT (it holds 4 records)", "MFT record 6 lies beyond the MFT (it holds 4 records)"},
      {"extension of another record", kSequence1 | 7,
       {u"MFT clusters - 4", u"Bytes per record MFT - 1024", u"MFT parts - 1", u"", u"MFT cluster - clusters count:",
        u"8 - 4"},
       "MFT record 5 lies beyond the MFT (it holds 4 records)", "MFT record 6 lies beyond the MFT (it holds 4 records)"},
  };
  for (const Case& c : cases) {
    SetUp();
    std::vector<uint8_t> entries;
    for (const auto& entry : {ListEntry(0x10, 0, kSequence1), ListEntry(0x30, 0, kSequence1), ListEntry(0x80, 0, kSequence1),
                              ListEntry(0x80, 4, kSequence1 | 3)}) {
      entries.insert(entries.end(), entry.begin(), entry.end());
    }
    Attribute list(0x20, 24 + entries.size());
    Put(list.Bytes, 16, entries.size(), 4);
    Put(list.Bytes, 20, 24, 2);
    std::copy(entries.begin(), entries.end(), list.Bytes.begin() + 24);
    WriteAtSector(16, RecordBuilder(0)
                          .Add(StandardInformation(0))
                          .Add(list)
                          .Add(FileName(u"$MFT", 5))
                          .Add(NonResidentData(6144, {0x11, 0x04, 0x08, 0x00}))
                          .End()
                          .Protected());
    // Record 3 holds the MFT's virtual clusters 4 and 5, at clusters 40 and 41.
    Attribute data = NonResidentData(6144, {0x11, 0x02, 0x28, 0x00});
    Put(data.Bytes, 16, 4, 8);
    RecordBuilder extension(3);
    Put(extension.Bytes, 32, c.baseReference, 8);
    WriteAtSector(22, extension.Add(data).End().Protected());
    ViewText expected = kNtfsLines;
    expected.insert(expected.end(), c.mftLines.begin(), c.mftLines.end());
    EXPECT_EQ(Report(), expected) << c.what;
    EXPECT_EQ(Located(3), "22") << c.what;
    EXPECT_EQ(Located(5), c.record5) << c.what;
    EXPECT_EQ(Located(6), c.record6) << c.what;
  }
}

TEST_F(DetailsTest, LocateThroughHolesAndUnmappedPartsOfTheMft) {
  struct Case {
    const char* what;
    std::vector<uint8_t> runs;
    uint64_t record;
    std::string located;
  };
  const Case cases[] = {
      {"after a sparse run", {0x11, 0x02, 0x08, 0x01, 0x02, 0x11, 0x02, 0x20, 0x00}, 4, "80"},
      {"in a sparse run", {0x11, 0x02, 0x08, 0x01, 0x02, 0x11, 0x02, 0x20, 0x00}, 2,
       "MFT record 2 lies in a sparse run of the MFT, which has no clusters on the volume"},
      {"a run before cluster 0", {0x11, 0x02, 0x08, 0x11, 0x02, 0xF0, 0x00}, 3,
       "the MFT's data runs are corrupt (a run starts at cluster -8)"},
      {"a run past the volume", {0x11, 0x02, 0x08, 0x11, 0x02, 0x7F, 0x00}, 3,
       "the MFT's data runs are corrupt (cluster 136 lies outside the volume)"},
  };
  for (const Case& c : cases) {
    WriteAtSector(16, MftRecord0(c.runs));
    Report();  // the geometry, from the boot sector
    EXPECT_EQ(Located(c.record), c.located) << c.what;
  }
}

TEST_F(DetailsTest, FatReport) {
  // A FAT32 boot sector on drive E:.
  std::vector<uint8_t> v(8192 * 512, 0);
  v[13] = 4;            // sectors per cluster
  Put(v, 14, 32, 2);    // reserved
  v[16] = 2;            // FAT copies
  Put(v, 32, 8192, 4);  // sectors
  Put(v, 36, 16, 4);    // sectors per FAT
  platform_.RemoveDrive('C');
  platform_.AddDrive('E', std::move(v)).FileSystemName = "FAT32";
  Geometry().CurrentDrive = "E:";
  Geometry().FileSystemKind = FileSystemKind::Fat32;
  EXPECT_EQ(Report(), (ViewText{u"Drive E:\\, FAT Type - 32", u"Bytes per sector - 512", u"Bytes per cluster - 2048",
                                u"Sectors per cluster - 4", u"Sectors - 8192", u"Clusters - 2048",
                                u"Sectors before FAT - 32", u"FAT copies - 2", u"FAT sectors - 16",
                                u"FAT size - 8192", u"Start data sector - 64", u"Root sectors - 4"}));
}

TEST_F(DetailsTest, BootSectorUnusableOrUnknownVolume) {
  const ViewText denied{u"Access to boot sector denied"};
  platform_.Find("C:")->FailOpen = true;
  EXPECT_EQ(Report(), denied);
  Geometry().FileSystemKind = FileSystemKind::Fat;
  EXPECT_EQ(Report(), denied);

  UseNtfs(NtfsVolume(256, 2, 128), 512);  // a sector size below 512 is refused
  EXPECT_EQ(Report(), denied);

  UseNtfs(NtfsVolume(512, 2, 128), 512);
  Geometry().FileSystemKind = FileSystemKind::Unknown;
  EXPECT_EQ(Report(), ViewText{});
}

}  // namespace
}  // namespace korvalane
