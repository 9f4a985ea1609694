#include <gtest/gtest.h>

#include "core/export/ExportRange.h"
#include "core/text/Utf.h"

namespace korvalane {
namespace {

std::string Text(std::u16string_view text) { return ToUtf8(text); }

TEST(ExportRange, ChecksTheFieldsInOrderWithTheirMessages) {
  struct Case {
    const char16_t* start;
    const char16_t* end;
    std::u16string_view message;  // empty: accepted
    uint32_t expectedStart = 0;
    uint32_t expectedEnd = 0;
  };
  constexpr uint32_t kTotal = 32768;
  const Case cases[] = {
      // Only the exact text "0" is sector 0; any other start must be at least 1.
      {u"0", u"2048", {}, 0, 2048},
      {u"00", u"2048", kInvalidStartSector},
      {u"-0", u"2048", kInvalidStartSector},
      {u"0x0", u"2048", kInvalidStartSector},
      {u"12abc", u"2048", kInvalidStartSector},
      {u"", u"2048", kInvalidStartSector},
      {u"-5", u"2048", kInvalidStartSector},
      {u"1", u"2048", {}, 1, 2048},
      {u"$10", u"x20", {}, 16, 32},
      {u"0X10", u"0x20", {}, 16, 32},
      // The start is checked before the end.
      {u"abc", u"abc", kInvalidStartSector},
      // The end is a number from 1 to the sector count.
      {u"0", u"0", kInvalidEndSector},
      {u"0", u"", kInvalidEndSector},
      {u"0", u"-1", kInvalidEndSector},
      {u"0", u"1x", kInvalidEndSector},
      {u"0", u"32768", {}, 0, 32768},  // the end may equal the sector count
      {u"0", u"32769", kInvalidEndSector},
      {u"0", u"4294967296", kInvalidEndSector},
      {u"0", u"18446744073709551616", kInvalidEndSector},
      // The range may be empty, never reversed.
      {u"5", u"5", {}, 5, 5},
      {u"6", u"5", kInvalidSectorsRange},
      {u"32768", u"32768", {}, 32768, 32768},
      {u"4294967295", u"32768", kInvalidSectorsRange},
      {u"4294967296", u"32768", kInvalidSectorsRange},
      {u"18446744073709551616", u"32768", kInvalidStartSector},
      {u"-1", u"32768", kInvalidStartSector},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Text(c.start) + " .. " + Text(c.end));
    const RangeCheck check = CheckSectorRange(c.start, c.end, kTotal);
    EXPECT_EQ(Text(check.Message), Text(c.message));
    ASSERT_EQ(check.Range.has_value(), c.message.empty());
    if (check.Range) {
      EXPECT_EQ(check.Range->Start, c.expectedStart);
      EXPECT_EQ(check.Range->End, c.expectedEnd);
    }
  }
}

TEST(ExportRange, AcceptsTheFullUnsignedSectorCount) {
  // A volume of more than 2^31 sectors can still be exported to its last sector.
  const RangeCheck check = CheckSectorRange(u"4294967000", u"4294967295", 4294967295u);
  ASSERT_TRUE(check.Range);
  EXPECT_EQ(check.Range->Count(), 295u);
  EXPECT_EQ(RangeBytes(*check.Range, 4096), uint64_t{295} * 4096);
  EXPECT_EQ(RangeBytes(SectorRange{0, 4294967295u}, 4096), uint64_t{4294967295u} * 4096);
  // Past 2^32 sectors, and a count that no byte count in 64 bits can hold.
  const RangeCheck large = CheckSectorRange(u"4294967296", u"7814037168", 7814037168u);
  ASSERT_TRUE(large.Range);
  EXPECT_EQ(RangeBytes(*large.Range, 512), (7814037168u - 4294967296u) * 512);
  EXPECT_EQ(RangeBytes(SectorRange{0, UINT64_MAX}, 512), UINT64_MAX);
  EXPECT_EQ(Text(SectorCountLabel(UINT64_MAX)), "Sectors - 18446744073709551615");
}

TEST(ExportRange, TrimsControlCharactersAndBlanksAtBothEnds) {
  EXPECT_EQ(TrimBlanks(u" \t 5 \r\n"), u"5");
  EXPECT_EQ(TrimBlanks(u" 1 2 "), u"1 2");
  EXPECT_EQ(TrimBlanks(u"\x01\x20"), u"");
  EXPECT_EQ(ReadRangeField(u"  5  "), 5);
  EXPECT_EQ(ReadRangeField(u" 1 2 "), std::nullopt);
  // A trimmed " 0 " is the exact "0" of sector 0; untrimmed it reads as the number 0.
  EXPECT_TRUE(CheckSectorRange(TrimBlanks(u" 0 "), u"10", 100).Range);
  EXPECT_FALSE(CheckSectorRange(u" 0 ", u"10", 100).Range);
}

TEST(ExportRange, ScalesTheFileSizeWithHalvesToEven) {
  struct Case {
    uint64_t bytes;
    const char16_t* expected;
  };
  const Case cases[] = {
      {0, u"File size - 0 b"},
      {512, u"File size - 512 b"},
      {1024, u"File size - 1024 b"},  // 1024 itself stays in bytes
      {1025, u"File size - 1 Kb"},
      {1536, u"File size - 2 Kb"},     // 1.5 -> 2
      {2560, u"File size - 2 Kb"},     // 2.5 -> 2
      {3584, u"File size - 4 Kb"},     // 3.5 -> 4
      {1048575, u"File size - 1024 Kb"},
      {1048576, u"File size - 1 Mb"},
      {1572864, u"File size - 2 Mb"},  // 1.5 -> 2
      {2621440, u"File size - 2 Mb"},  // 2.5 -> 2
      {1073741823, u"File size - 1024 Mb"},
      {1073741824, u"File size - 1 Gb"},
      {uint64_t{3145728} * 512, u"File size - 2 Gb"},
      {uint64_t{8388608} * 512, u"File size - 4 Gb"},
      {uint64_t{4294967295u} * 4096, u"File size - 16384 Gb"},
  };
  for (const Case& c : cases) EXPECT_EQ(Text(FileSizeText(c.bytes)), Text(c.expected)) << c.bytes;
}

TEST(ExportRange, SizeLabelFollowsTheFields) {
  struct Case {
    const char16_t* start;
    const char16_t* end;
    const char16_t* expected;
  };
  const Case cases[] = {
      {u"0", u"", u"Sectors - 8388608"},
      {u"0", u"0", u"File size - 0 b"},
      {u"", u"", u"File size - 0 b"},
      {u"0", u"1", u"File size - 512 b"},
      {u"0", u"2", u"File size - 1024 b"},
      {u"0", u"3", u"File size - 2 Kb"},
      {u"0", u"5", u"File size - 2 Kb"},
      {u"0", u"7", u"File size - 4 Kb"},
      {u"0", u"2048", u"File size - 1 Mb"},
      {u"0", u"3072", u"File size - 2 Mb"},
      {u"0", u"3145728", u"File size - 2 Gb"},
      {u"0", u"8388608", u"File size - 4 Gb"},
      {u"0", u"8388609", u"File size - 0 b"},  // beyond the volume
      {u"10", u"5", u"File size - 0 b"},       // reversed
      {u"00", u"5", u"File size - 0 b"},
      {u"1", u"", u"File size - 0 b"},
      {u" 2 ", u" 4 ", u"File size - 1024 b"},  // blanks around a number are ignored
      {u"$10", u"$12", u"File size - 1024 b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Text(ExportSizeLabel(c.start, c.end, 8388608, 512)), Text(c.expected))
        << Text(c.start) << " .. " << Text(c.end);
  }
  EXPECT_EQ(Text(ExportSizeLabel(u"0", u"3", 100, 4096)), "File size - 12 Kb");
  EXPECT_EQ(Text(ExportSizeLabel(u"0", u"3", 100, 0)), "File size - 0 b");
}

TEST(ExportRange, ProposesAFileNameFromDriveAndRange) {
  EXPECT_EQ(Text(ProposeExportFileName("D:", SectorRange{0, 2048})), "Drive D sectors 0-2048.bin");
  EXPECT_EQ(Text(ProposeExportFileName("C:", SectorRange{16, 4294967295u})), "Drive C sectors 16-4294967295.bin");
  EXPECT_EQ(Text(SectorCountLabel(4294967295u)), "Sectors - 4294967295");
}

}  // namespace
}  // namespace korvalane
