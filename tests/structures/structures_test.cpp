// The decoders on bytes made to break them: structures cut short by the buffer's end,
// hostile counts and lengths, checks that cannot be made; and the data inspector's values.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "core/fs/exfat/Structures.h"
#include "core/fs/fat/Structures.h"
#include "core/fs/ntfs/Structures.h"
#include "core/structures/Catalog.h"
#include "core/structures/DiskStructures.h"
#include "core/structures/Inspector.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

void Put(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

const Check* FindCheck(const Structure& s, const std::string& prefix) {
  for (const Check& check : s.Checks) {
    if (check.Name.starts_with(prefix)) return &check;
  }
  return nullptr;
}

class StructuresTest : public ::testing::Test {
 protected:
  void SetUp() override { SetPlatform(&platform_); }
  MemoryPlatform platform_;
};

TEST_F(StructuresTest, EveryDecoderStopsWhereItsBytesEnd) {
  // Each decoder over the first bytes of a sector of 0xFF bytes (no end markers, lengths
  // that reach far): the fields that fit are shown, and the cut names the first that did
  // not.
  const std::vector<uint8_t> sector(512, 0xFF);
  for (const StructureKind& kind : StructureKinds()) {
    for (const size_t length : {size_t{0}, size_t{3}, size_t{100}, size_t{450}, size_t{511}}) {
      SCOPED_TRACE(std::string(kind.Id) + " over " + std::to_string(length) + " bytes");
      StructureInput input;
      input.Bytes = std::span<const uint8_t>(sector).first(length);
      const Structure s = kind.Decode(input);
      for (const Field& field : s.Fields) EXPECT_LE(field.Offset + field.Size, length);
      if (s.CutAt) {
        EXPECT_TRUE(std::all_of(s.Fields.begin(), s.Fields.end(), [&](const Field& f) { return f.Offset != *s.CutAt; }));
      }
    }
  }
  StructureInput input;
  input.Bytes = std::span<const uint8_t>(sector).first(450);
  const Structure mbr = DecodeMbr(input);
  ASSERT_TRUE(mbr.CutAt);
  EXPECT_EQ(*mbr.CutAt, 0x1C2u);  // entry 1's type byte; its boot flag and CHS start fit
  EXPECT_EQ(mbr.Fields.back().Name, "CHS start");
}

TEST_F(StructuresTest, GptHeaderWithHostileSizesMakesNoHugeRead) {
  struct Case {
    uint32_t HeaderSize;
    uint32_t Entries;
    uint32_t EntrySize;
    const char* HeaderCheck;
    const char* ArrayCheck;
  };
  const Case cases[] = {
      {92, 0xFFFFFFFF, 128, "", "not computed: an array of 549755813760 bytes"},
      {92, 0, 128, "", "not computed: an array of 0 bytes"},
      {0xFFFFFFFF, 128, 128, "not computed: header size 4294967295 is not 92 to 512", ""},
      {12, 128, 128, "not computed: header size 12 is not 92 to 512", ""},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> header(512, 0);
    std::copy_n("EFI PART", 8, header.begin());
    Put(header, 12, c.HeaderSize, 4);
    Put(header, 72, 2, 8);
    Put(header, 80, c.Entries, 4);
    Put(header, 84, c.EntrySize, 4);
    size_t largest = 0;
    StructureInput input;
    input.Bytes = header;
    input.Read = [&](uint64_t, std::span<uint8_t> buffer) {
      largest = std::max(largest, buffer.size());
      std::fill(buffer.begin(), buffer.end(), 0);
      return true;
    };
    const Structure s = DecodeGptHeader(input);
    EXPECT_LE(largest, kLargestGptEntryArray);
    const Check* headerCheck = FindCheck(s, "Header CRC32");
    const Check* arrayCheck = FindCheck(s, "Partition entry array CRC32");
    ASSERT_TRUE(headerCheck && arrayCheck);
    EXPECT_FALSE(headerCheck->Holds);  // the CRC field is zero
    if (*c.HeaderCheck != 0) {
      EXPECT_EQ(headerCheck->Computed, c.HeaderCheck);
    }
    if (*c.ArrayCheck != 0) {
      EXPECT_FALSE(arrayCheck->Holds);
      EXPECT_EQ(arrayCheck->Computed, c.ArrayCheck);
    }
  }
}

// A 1024-byte FILE record with its update sequence at 48 (count 3) and one attribute at 56.
std::vector<uint8_t> Record(uint32_t attributeLength) {
  std::vector<uint8_t> record(1024, 0);
  std::copy_n("FILE", 4, record.begin());
  Put(record, 4, 48, 2);
  Put(record, 6, 3, 2);
  Put(record, 20, 56, 2);
  Put(record, 24, 1024, 4);
  Put(record, 48, 0x0007, 2);
  Put(record, 510, 0x0007, 2);
  Put(record, 1022, 0x0007, 2);
  Put(record, 56, 0x80, 4);
  Put(record, 60, attributeLength, 4);
  record[64] = 1;  // non-resident
  Put(record, 56 + 32, 64, 2);
  record[56 + 64] = 0x21;  // a run of 0x10 clusters from cluster 0x0400
  record[56 + 65] = 0x10;
  Put(record, 56 + 66, 0x0400, 2);
  return record;
}

TEST_F(StructuresTest, MftRecordWalkStaysInsideTheRecord) {
  struct Case {
    uint32_t AttributeLength;
    uint32_t UsedSize;
    const char* Note;
  };
  const Case cases[] = {
      {0, 1024, "Attribute 1 at 0x038 has a length of 0; the walk stops there"},
      {0xFFFFFFF0, 1024, "Attribute 1 at 0x038 runs past the record's used size; the walk stops there"},
      {80, 1024, "Attribute 2 at 0x088 has a length of 0; the walk stops there"},
      {80, 136, "The attributes reach the record's used size at 0x088 without an end marker"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.AttributeLength);
    std::vector<uint8_t> record = Record(c.AttributeLength);
    Put(record, 24, c.UsedSize, 4);
    StructureInput input;
    input.Bytes = record;
    const Structure s = DecodeMftRecord(input);
    ASSERT_FALSE(s.Notes.empty());
    EXPECT_EQ(s.Notes.back(), c.Note);
    EXPECT_FALSE(s.CutAt);
    // The run list is read only within the attribute's length.
    const auto run = std::find_if(s.Fields.begin(), s.Fields.end(), [](const Field& f) { return f.Name == "Run 1"; });
    ASSERT_EQ(run != s.Fields.end(), c.AttributeLength != 0);
    if (c.AttributeLength != 0) {
      EXPECT_EQ(run->Value, "21 10 00 04: 16 clusters from cluster 1024 (+1024)");
    }
  }
  // An update sequence of 0xFFFF strides is read as far as the record goes.
  std::vector<uint8_t> record = Record(80);
  Put(record, 6, 0xFFFF, 2);
  StructureInput input;
  input.Bytes = record;
  const Structure s = DecodeMftRecord(input);
  EXPECT_EQ(s.Checks.size(), 3u);  // the signature and the two strides the record has
  EXPECT_FALSE(s.CutAt);
  EXPECT_EQ(s.Notes.front(), "The update sequence size 65535 is more than the record's 2 strides need; only those are checked");
}

TEST_F(StructuresTest, MftRunListFieldsAndWhyTheListEnds) {
  struct Case {
    const char* what;
    std::vector<uint8_t> runs;  // at 56 + 64, in an attribute of 80 bytes
    std::vector<std::pair<std::string, std::string>> fields;  // the run fields after the header's
  };
  const Case cases[] = {
      {"runs around a hole, as the list goes on",
       {0x21, 0x02, 0x00, 0x0A, 0x01, 0x08, 0x11, 0x03, 0x0A, 0x00},
       {{"Run 1", "21 02 00 0A: 2 clusters from cluster 2560 (+2560)"},
        {"Run 2", "01 08: 8 clusters, sparse"},
        {"Run 3", "11 03 0A: 3 clusters from cluster 2570 (+10)"},
        {"End of run list", "0x00"}}},
      {"backwards", {0x11, 0x01, 0x20, 0x11, 0x01, 0xF0, 0x00},
       {{"Run 1", "11 01 20: 1 clusters from cluster 32 (+32)"},
        {"Run 2", "11 01 F0: 1 clusters from cluster 16 (-16)"},
        {"End of run list", "0x00"}}},
      {"a header without a length", {0x11, 0x01, 0x20, 0x20, 0x10, 0x00, 0x00},
       {{"Run 1", "11 01 20: 1 clusters from cluster 32 (+32)"},
        {"Run 2 header", "0x20 (a run without a length, which ends the list)"}}},
      {"an offset of nine bytes", {0x91, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0},
       {{"Run 1 header", "0x91 (an offset wider than 8 bytes, which ends the list)"}}},
      {"a run past the attribute's end", {0x11, 0x01, 0x20, 0x88, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
       {{"Run 1", "11 01 20: 1 clusters from cluster 32 (+32)"},
        {"Run 2 header", "0x88 (a run that does not fit its attribute)"}}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> record = Record(80);
    std::fill(record.begin() + 56 + 64, record.begin() + 56 + 80, 0);
    std::copy(c.runs.begin(), c.runs.end(), record.begin() + 56 + 64);
    Put(record, 56 + 80, 0xFFFFFFFF, 4);
    StructureInput input;
    input.Bytes = record;
    const Structure s = DecodeMftRecord(input);
    std::vector<std::pair<std::string, std::string>> fields;
    for (const Field& f : s.Fields) {
      const bool run = f.Name.starts_with("Run ") && f.Name != "Run list offset";
      if (run || f.Name == "End of run list") fields.emplace_back(f.Name, f.Value);
    }
    EXPECT_EQ(fields, c.fields) << c.what;
  }
}

TEST_F(StructuresTest, EntriesThatRunPastTheSectorAreNotChecked) {
  // A long name whose short entry would be in the next sector.
  std::vector<uint8_t> fat(512, 0x20);
  fat[480] = 0x41;
  fat[480 + 11] = 0x0F;
  StructureInput input;
  input.Bytes = fat;
  const Structure directory = DecodeFatDirectory(input);
  EXPECT_TRUE(directory.Checks.empty());
  EXPECT_EQ(directory.Notes.back(),
            "The long name starting at 0x1E0 runs past the end of the sector; its checksum is not checked");

  // An exFAT file entry claiming 17 secondary entries from the last slot but one.
  std::vector<uint8_t> exfat(512, 0);
  std::fill_n(exfat.begin(), 448, 0x01);  // unused entries of no known type
  exfat[448] = 0x85;
  exfat[449] = 17;
  exfat[480] = 0xC0;
  input.Bytes = exfat;
  const Structure set = DecodeExfatDirectory(input);
  EXPECT_TRUE(set.Checks.empty());
  EXPECT_EQ(set.Notes.front(),
            "The entry set at 0x1C0 (18 entries) runs past the end of the sector; its checksum is not checked");
}

TEST_F(StructuresTest, ChecksumSectorWithoutItsRegionSaysWhy) {
  std::vector<uint8_t> sector(512, 0);
  StructureInput input;
  input.Bytes = sector;
  input.Sector = 5;
  input.Read = [](uint64_t, std::span<uint8_t>) { return true; };
  const Structure before = DecodeExfatChecksumSector(input);
  const Check* check = FindCheck(before, "Boot region checksum");
  ASSERT_TRUE(check);
  EXPECT_FALSE(check->Holds);
  EXPECT_EQ(check->Computed, "not computed: the region would start before sector 0");
  input.Sector = 11;
  input.Read = [](uint64_t, std::span<uint8_t>) { return false; };
  const Structure unreadable = DecodeExfatChecksumSector(input);
  check = FindCheck(unreadable, "Boot region checksum");
  ASSERT_TRUE(check);
  EXPECT_EQ(check->Computed, "not computed: sectors 0-10 cannot be read");
}

TEST_F(StructuresTest, InspectorReadsTimesAndGuidsAsTheToolsShowThem) {
  std::vector<uint8_t> bytes(16, 0);
  const auto value = [&](size_t offset, const std::string& name) {
    for (const InspectedValue& v : InspectBytes(bytes, offset)) {
      if (v.Name == name) return v.Value;
    }
    return std::string("(none)");
  };
  // 2021-06-15 12:34:56 UTC as a FILETIME.
  Put(bytes, 0, 0x01D761E2D8E35800, 8);
  EXPECT_EQ(value(0, "FILETIME"), "2021-06-15 12:34:56");
  EXPECT_EQ(value(0, "u64 LE"), "132682340960000000");
  EXPECT_EQ(value(0, "u8"), "0");
  EXPECT_EQ(value(1, "s8"), "88");
  EXPECT_EQ(value(9, "u64 LE"), "-");
  // A FAT time and date as a directory entry keeps them: 12:34:56, then 2021-06-15.
  Put(bytes, 0, 0x52CF645C, 4);
  EXPECT_EQ(value(0, "DOS time and date"), "2021-06-15 12:34:56");
  EXPECT_EQ(value(0, "exFAT timestamp"), "2021-06-15 12:34:56");
  EXPECT_EQ(value(0, "u16 BE"), "23652");
  EXPECT_EQ(value(0, "s16 LE"), "25692");
  EXPECT_EQ(value(2, "s16 LE"), "21199");
  Put(bytes, 0, 0xFFFF, 2);
  EXPECT_EQ(value(0, "s16 BE"), "-1");
  Put(bytes, 0, 1623760496, 4);
  EXPECT_EQ(value(0, "Unix time"), "2021-06-15 12:34:56 UTC");
  EXPECT_EQ(value(13, "Unix time"), "-");
  // The basic data partition type, as a GPT stores it.
  const uint8_t guid[16] = {0xA2, 0xA0, 0xD0, 0xEB, 0xE5, 0xB9, 0x33, 0x44,
                            0x87, 0xC0, 0x68, 0xB6, 0xB7, 0x26, 0x99, 0xC7};
  std::copy_n(guid, 16, bytes.begin());
  EXPECT_EQ(value(0, "GUID"), "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
  EXPECT_EQ(value(1, "GUID"), "-");
  EXPECT_EQ(UnixTimeText(-1), "1969-12-31 23:59:59 UTC");
}

}  // namespace
}  // namespace korvalane
