// The NTFS file record report over hand-built records in an in-memory volume.
#include <gtest/gtest.h>

#include "core/views/FileRecord.h"
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
using testing::ResidentData;
using testing::StandardInformation;

constexpr uint64_t k20090307At1405 = 128809083000000000;  // FILETIME of 2009-03-07 14:05:00 UTC
constexpr uint32_t kRecordSector = 16;

class FileRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SetPlatform(&platform_);
    Geometry() = VolumeGeometry{};
    Geometry().CurrentDrive = "C:";
    Geometry().FileSystemKind = FileSystemKind::Ntfs;
    Geometry().BytesPerSector = 512;
    Geometry().SectorsPerCluster = 8;
    Geometry().TotalSectors = 64;
    platform_.AddDrive('C', std::vector<uint8_t>(64 * 512, 0));
  }
  void TearDown() override { SetPlatform(nullptr); }

  void Write(const std::vector<uint8_t>& bytes, uint32_t sector = kRecordSector) {
    std::vector<uint8_t>& disk = platform_.Find("C:")->Bytes;
    std::copy(bytes.begin(), bytes.end(), disk.begin() + static_cast<std::ptrdiff_t>(sector * 512u));
  }

  ViewText Show(uint32_t sector = kRecordSector, const MessagePump& pump = NoPump) {
    ViewText view;
    ShowFileRecord(sector, view, pump);
    return view;
  }

  MemoryPlatform platform_;
};

TEST_F(FileRecordTest, ResidentFile) {
  Write(RecordBuilder(40)
            .Add(StandardInformation(k20090307At1405))
            .Add(FileName(u"a.txt", 5))
            .Add(ResidentData(100))
            .End(0x11477982)
            .Protected());
  EXPECT_EQ(Show(), (ViewText{u"File a.txt", u"MFT record 40", u"Parent MFT record 5", u"Resident",
                              u"File size 100 b", u"Date/Time 2009-03-07 14:05:00"}));
  // The view reads two sectors a record and leaves the geometry as it was.
  EXPECT_EQ(Geometry().MftRecordBytes, 0);
}

TEST_F(FileRecordTest, FolderAndLargeFile) {
  struct Case {
    const char* what;
    RecordBuilder record;
    ViewText expected;
  };
  const Case cases[] = {
      {"folder",
       RecordBuilder(68).Add(StandardInformation(k20090307At1405)).Add(FileName(u"DOCS", 5)).Add(IndexRoot()).End(),
       {u"Folder DOCS", u"MFT record 68", u"Parent MFT record 5", u"File size 0 b", u"Date/Time 2009-03-07 14:05:00"}},
      {"non-resident data with 64-bit size and runs",
       RecordBuilder(4294967295u)
           .Add(StandardInformation(k20090307At1405))
           .Add(FileName(u"BIG.DAT", 0xFFFFFFFFFFFF))
           .Add(NonResidentData(5000000000, {0x21, 0x18, 0x34, 0x56, 0x11, 0x30, 0x80, 0x00}))
           .End(),
       {u"File BIG.DAT", u"MFT record 4294967295", u"Parent MFT record 281474976710655", u"File size 5000000000 b",
        u"Date/Time 2009-03-07 14:05:00", u"", u"Start cluster - clusters count:", u"22068 - 24", u"21940 - 48"}},
      {"non-resident data whose list is empty",
       RecordBuilder(41).Add(StandardInformation(k20090307At1405)).Add(FileName(u"empty", 5))
           .Add(NonResidentData(0, {0x00})).End(),
       {u"File empty", u"MFT record 41", u"Parent MFT record 5", u"File size 0 b", u"Date/Time 2009-03-07 14:05:00"}},
      {"no standard information: the zero date",
       RecordBuilder(42).Add(FileName(u"x", 5)).End(),
       {u"File x", u"MFT record 42", u"Parent MFT record 5", u"File size 0 b", u"Date/Time 1899-12-30 00:00:00"}},
      {"a time the platform cannot convert",
       RecordBuilder(43).Add(StandardInformation(uint64_t{1} << 63)).Add(FileName(u"x", 5)).End(),
       {u"File x", u"MFT record 43", u"Parent MFT record 5", u"File size 0 b", u"Date/Time ?"}},
      {"several names and data streams: the last of each",
       RecordBuilder(44)
           .Add(StandardInformation(k20090307At1405))
           .Add(FileName(u"QUARTE~1.TXT", 5))
           .Add(FileName(u"Quarterly report.txt", 6))
           .Add(NonResidentData(4096, {0x11, 0x01, 0x20, 0x00}))
           .Add(ResidentData(17))
           .End(),
       {u"File Quarterly report.txt", u"MFT record 44", u"Parent MFT record 6", u"Resident", u"File size 17 b",
        u"Date/Time 2009-03-07 14:05:00"}},
      {"types are told by their low byte; 0x100 neither ends the walk nor counts",
       RecordBuilder(45).Add(FileName(u"x", 5)).Add(Attribute(0x100, 16)).Add(Attribute(0x190, 16)).End(),
       {u"Folder x", u"MFT record 45", u"Parent MFT record 5", u"File size 0 b", u"Date/Time 1899-12-30 00:00:00"}},
      {"an attribute of type 0xB0 ends the walk like the end marker",
       RecordBuilder(46).Add(FileName(u"x", 5)).Add(Attribute(0xB0, 16)).Add(Attribute(0x40, 0)).End(),
       {u"File x", u"MFT record 46", u"Parent MFT record 5", u"File size 0 b", u"Date/Time 1899-12-30 00:00:00"}},
      // A sparse run has no clusters to list; the runs after it are the file's too.
      {"sparse file, as ntfs-3g writes one",
       RecordBuilder(64).Add(StandardInformation(k20090307At1405)).Add(FileName(u"sp", 5))
           .Add(NonResidentData(126976, {0x21, 0x02, 0x00, 0x0A, 0x01, 0x08, 0x11, 0x03, 0x0A, 0x01, 0x11, 0x11, 0x01,
                                         0x14, 0x00}))
           .End(),
       {u"File sp", u"MFT record 64", u"Parent MFT record 5", u"File size 126976 b", u"Date/Time 2009-03-07 14:05:00",
        u"", u"Start cluster - clusters count:", u"2560 - 2", u"2570 - 3", u"2590 - 1"}},
      {"run list across byte 510",
       RecordBuilder(47).Add(StandardInformation(k20090307At1405)).Add(FileName(u"x", 5)).Add(Attribute(0x40, 192))
           .Add(NonResidentData(8192, {0x11, 0x01, 0x20, 0x11, 0x01, 0x20, 0x11, 0x01, 0x20, 0x00}))
           .End(),
       {u"File x", u"MFT record 47", u"Parent MFT record 5", u"File size 8192 b", u"Date/Time 2009-03-07 14:05:00",
        u"", u"Start cluster - clusters count:", u"32 - 1", u"64 - 1", u"96 - 1"}},
      {"Cyrillic name",
       RecordBuilder(66).Add(FileName(u"\u041E\u0442\u0447\u0451\u0442 \u0437\u0430 \u043C\u0430\u0439.txt", 5)).End(),
       {u"File \u041E\u0442\u0447\u0451\u0442 \u0437\u0430 \u043C\u0430\u0439.txt", u"MFT record 66",
        u"Parent MFT record 5", u"File size 0 b", u"Date/Time 1899-12-30 00:00:00"}},
  };
  for (const Case& c : cases) {
    Write(std::vector<uint8_t>(1024, 0));
    Write(c.record.Protected());
    EXPECT_EQ(Show(), c.expected) << c.what;
  }
}

TEST_F(FileRecordTest, EndMarkerEndsTheWalkWhateverFollowsIt) {
  for (uint32_t after : {0u, 0x11477982u, 0xFFFFFFFFu}) {
    Write(RecordBuilder(40).Add(FileName(u"a.txt", 5)).End(after).Protected());
    EXPECT_EQ(Show(), (ViewText{u"File a.txt", u"MFT record 40", u"Parent MFT record 5", u"File size 0 b",
                                u"Date/Time 1899-12-30 00:00:00"}))
        << after;
  }
}

TEST_F(FileRecordTest, CorruptRecordsShowNothing) {
  struct Case {
    const char* what;
    std::vector<uint8_t> record;
  };
  std::vector<Case> cases;
  cases.push_back({"zero-length attribute", RecordBuilder(40).Add(FileName(u"a", 5)).Add(Attribute(0x40, 0)).End()
                                                .Protected()});
  cases.push_back({"zero-length 0xB0 attribute", RecordBuilder(40).Add(FileName(u"a", 5)).Add(Attribute(0xB0, 0))
                                                     .Protected()});
  cases.push_back({"no file name", RecordBuilder(40).Add(StandardInformation(1)).Add(ResidentData(3)).End()
                                       .Protected()});
  cases.push_back({"empty name", RecordBuilder(40).Add(FileName(u"", 5)).End().Protected()});
  {
    RecordBuilder r(40);
    Put(r.Bytes, 20, 1020, 2);  // the first attribute's header would pass the record's end
    cases.push_back({"first attribute at the end", r.Protected()});
  }
  {
    RecordBuilder r(40);
    Put(r.Bytes, 20, 60000, 2);
    cases.push_back({"first attribute far outside", r.Protected()});
  }
  {
    RecordBuilder r(40);
    r.Add(FileName(u"a", 5));
    r.Add(Attribute(0x40, 1024 - r.Position));  // steps exactly to the end: no end marker
    cases.push_back({"walk runs off the record", r.Protected()});
  }
  {
    // A name whose length byte reaches beyond the record.
    RecordBuilder r(40);
    r.Add(Attribute(0x40, 1024 - 56 - 104));
    r.Add(FileName(u"abcdefg", 5));
    r.Bytes[r.Position - 104 + 88] = 255;
    r.Bytes[1016] = 0xFF;  // end marker in the last bytes, inside the name
    r.Bytes[1017] = 0xFF;
    r.Bytes[1018] = 0xFF;
    r.Bytes[1019] = 0xFF;
    cases.push_back({"name past the record", r.Protected()});
  }
  for (const Case& c : cases) {
    Write(std::vector<uint8_t>(1024, 0));
    Write(c.record);
    EXPECT_EQ(Show(), ViewText{}) << c.what;
  }
}

TEST_F(FileRecordTest, NotAFileRecord) {
  const ViewText notARecord{u"This sector does not contain information about a file records"};
  EXPECT_EQ(Show(), notARecord);
  std::vector<uint8_t> record = RecordBuilder(40).Add(FileName(u"a", 5)).End().Protected();
  record[3] = 'e';
  Write(record);
  EXPECT_EQ(Show(), notARecord);
  // A record that cannot be read whole (it reaches past the volume's end): nothing.
  EXPECT_EQ(Show(63), ViewText{});
  platform_.Find("C:")->UnreadableSectors = {kRecordSector + 1};
  EXPECT_EQ(Show(), ViewText{});
}

TEST_F(FileRecordTest, UpdateSequenceIsUndoneBeforeTheNameIsRead) {
  // A name running across byte 510, whose last two bytes the volume replaced.
  RecordBuilder r(40);
  r.Add(Attribute(0x40, 272));
  r.Add(FileName(u"a name that runs across the end of the first 512 bytes of the record, in two strides", 5));
  r.End();
  Write(r.Protected(0x5A5A));
  const ViewText view = Show();
  ASSERT_FALSE(view.empty());
  EXPECT_EQ(view.front(), u"File a name that runs across the end of the first 512 bytes of the record, in two strides");
}

TEST_F(FileRecordTest, RecordLengthFollowsMftRecordBytes) {
  // Before any details request: two sectors a record.
  struct Case {
    int32_t sectorSize;
    int32_t expected;
  };
  for (const Case& c : {Case{512, 1024}, Case{4096, 8192}}) {
    Geometry().BytesPerSector = c.sectorSize;
    Geometry().MftRecordBytes = 0;
    platform_.AddDrive('C', std::vector<uint8_t>(64 * 4096, 0), static_cast<uint32_t>(c.sectorSize));
    std::vector<uint8_t> record = RecordBuilder(40, 1024).Add(FileName(u"a", 5)).End().Protected();
    std::copy(record.begin(), record.end(), platform_.Find("C:")->Bytes.begin() + 2 * c.sectorSize);
    // The read spans `expected` bytes: a bad sector just past them is not read, a bad last
    // one of them is. The view leaves the geometry as it was.
    const uint64_t lastSector = 2 + static_cast<uint64_t>(c.expected / c.sectorSize) - 1;
    platform_.Find("C:")->UnreadableSectors = {lastSector + 1};
    ViewText view;
    ShowFileRecord(2, view, NoPump);
    EXPECT_EQ(Geometry().MftRecordBytes, 0);
    EXPECT_EQ(view.size(), 5u) << c.sectorSize;
    platform_.Find("C:")->UnreadableSectors = {lastSector};
    view.clear();
    ShowFileRecord(2, view, NoPump);
    EXPECT_EQ(view, ViewText{}) << c.sectorSize;
    platform_.Find("C:")->UnreadableSectors.clear();
  }

  // A smaller record length: only records whose attributes lie inside it are reported.
  Geometry().BytesPerSector = 512;
  platform_.AddDrive('C', std::vector<uint8_t>(64 * 512, 0));
  Geometry().MftRecordBytes = 512;
  Write(RecordBuilder(40).Add(FileName(u"a", 5)).End().Protected());
  EXPECT_EQ(Show().size(), 5u);
  Write(RecordBuilder(40).Add(Attribute(0x40, 500)).Add(FileName(u"a", 5)).End().Protected());
  EXPECT_EQ(Show(), ViewText{});

  for (int32_t unusable : {-1024, 65536 + 512, 1000}) {
    Geometry().MftRecordBytes = unusable;
    EXPECT_EQ(Show(), ViewText{}) << unusable;
  }
}

TEST_F(FileRecordTest, RecordShorterThanItsSignature) {
  // A rejected boot sector can leave a sector size of a few bytes behind.
  platform_.AddDrive('C', {'F', 'I', 'L', 'E', 0, 0, 0, 0}, 1);
  Geometry().BytesPerSector = 1;
  EXPECT_EQ(Show(0), ViewText{u"This sector does not contain information about a file records"});
  EXPECT_EQ(Geometry().MftRecordBytes, 0);
}

TEST_F(FileRecordTest, PumpRunsPerAttributeAndPerRunAndASupersededReportShowsNothing) {
  Write(RecordBuilder(40)
            .Add(StandardInformation(k20090307At1405))
            .Add(FileName(u"a", 5))
            .Add(NonResidentData(8192, {0x11, 0x01, 0x20, 0x11, 0x01, 0x20, 0x00}))
            .End()
            .Protected());
  int calls = 0;
  EXPECT_EQ(Show(kRecordSector, [&] { return ++calls > 0; }).size(), 9u);
  EXPECT_EQ(calls, 4 + 3);  // three attributes and the end marker; two runs and the list's end

  for (int allowed : {0, 2, 5}) {
    calls = 0;
    EXPECT_EQ(Show(kRecordSector, [&] { return ++calls <= allowed; }), ViewText{}) << allowed;
  }
}

}  // namespace
}  // namespace korvalane
