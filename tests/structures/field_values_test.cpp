// The values of fields as scripts read them, beside the values the view shows: texts
// without the view's quotes and their padding, the bytes where the text does not give them
// back, the moment a time field holds in UTC (with what the fields beside it add), and a
// signature check's stored letters.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "core/fs/ext/ExtStructures.h"
#include "core/fs/fat/Structures.h"
#include "core/model/Structure.h"
#include "core/structures/DiskStructures.h"
#include "platform/memory/MemoryPlatform.h"

namespace korvalane {
namespace {

void Put(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

std::vector<uint8_t> Bytes(const std::string& text, size_t size) {
  std::vector<uint8_t> bytes(text.begin(), text.end());
  bytes.resize(size, 0);
  return bytes;
}

std::vector<uint8_t> Utf16(const std::vector<uint16_t>& units) {
  std::vector<uint8_t> bytes;
  for (const uint16_t unit : units) {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

const Field& Named(const Structure& s, const std::string& group, const std::string& name) {
  for (const Field& field : s.Fields) {
    if (field.Group == group && field.Name == name) return field;
  }
  ADD_FAILURE() << "no field " << group << "/" << name;
  static const Field none;
  return none;
}

class FieldValuesTest : public ::testing::Test {
 protected:
  void SetUp() override { SetPlatform(&platform_); }
  MemoryPlatform platform_;  // local time is UTC
};

TEST_F(FieldValuesTest, TextFieldsWithoutQuotesOrPaddingAndTheirBytesWhereNeeded) {
  struct Case {
    const char* what;
    Show how;
    std::vector<uint8_t> bytes;
    std::string shown;
    std::string text;
    std::optional<std::string> bytesHex;
  };
  const Case cases[] = {
      {"NUL padding", Show::Ascii, Bytes("KORVALANE", 16), "\"KORVALANE.......\"", "KORVALANE", std::nullopt},
      {"blanks are text", Show::Ascii, Bytes("NO NAME    ", 11), "\"NO NAME    \"", "NO NAME    ", std::nullopt},
      {"all NUL", Show::Ascii, Bytes("", 8), "\"........\"", "", std::nullopt},
      {"a NUL inside", Show::Ascii, Bytes(std::string("AB\0C", 4), 6), "\"AB.C..\"", "AB\xEF\xBF\xBD" "C",
       "414200430000"},
      {"a deleted 8.3 name", Show::Ascii, Bytes("\xE5ONE", 4), "\".ONE\"", "\xEF\xBF\xBDONE", "e54f4e45"},
      {"UTF-8 names are text", Show::Ascii, Bytes("\xC3\x9C" "ber", 8), "\"..ber...\"", "\xC3\x9C" "ber", std::nullopt},
      {"UTF-16 and NUL padding", Show::Utf16, Utf16({'d', 'a', 't', 'a', 0, 0, 0}), "\"data\"", "data", std::nullopt},
      {"a long name's 0xFFFF padding", Show::Utf16, Utf16({'x', 0, 0xFFFF, 0xFFFF}), "\"x\"", "x", std::nullopt},
      {"text after the end", Show::Utf16, Utf16({'a', 0, 'b'}), "\"a\"", "a", "61000000" "6200"},
      {"a surrogate pair", Show::Utf16, Utf16({0xD83D, 0xDE00}), "\"\xF0\x9F\x98\x80\"", "\xF0\x9F\x98\x80", std::nullopt},
      {"an unpaired surrogate", Show::Utf16, Utf16({'a', 0xD800}), "\"a\xEF\xBF\xBD\"", "a\xEF\xBF\xBD", "610000d8"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Structure s;
    FieldWriter writer(s, c.bytes);
    ASSERT_TRUE(writer.Add({}, 0, c.bytes.size(), "Name", c.how));
    const Field& field = s.Fields.at(0);
    EXPECT_EQ(field.Value, c.shown);
    EXPECT_EQ(ScriptValue(field), c.text);
    EXPECT_EQ(field.BytesHex, c.bytesHex);
    EXPECT_FALSE(field.IsTime);
  }
}

TEST_F(FieldValuesTest, ByteFieldsCarryEveryByteAndFileTimesTheirMoment) {
  std::vector<uint8_t> bytes(40, 0xAB);
  Put(bytes, 20, 0x01D761E2D8E35807, 8);  // 2021-06-15 12:34:56 UTC and 7 ticks
  Put(bytes, 28, 0, 8);
  Structure s;
  FieldWriter writer(s, bytes);
  writer.Add({}, 0, 20, "Boot code", Show::Bytes);
  writer.Add({}, 20, 8, "Created", Show::FileTime);
  writer.Add({}, 28, 8, "Modified", Show::FileTime);
  EXPECT_EQ(s.Fields[0].Value, "AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB AB ... (20 bytes)");
  std::string every;
  for (int i = 0; i < 20; ++i) every += "ab";
  EXPECT_EQ(s.Fields[0].BytesHex, every);  // all 20, where the value shows 16
  EXPECT_TRUE(s.Fields[1].IsTime);
  EXPECT_EQ(s.Fields[1].Time, "2021-06-15T12:34:56.0000007Z");
  EXPECT_TRUE(s.Fields[2].IsTime);
  EXPECT_EQ(s.Fields[2].Time, std::nullopt);  // 0: not set
}

TEST_F(FieldValuesTest, ASignatureCheckKeepsItsQuotesInTheLineOnly) {
  std::vector<uint8_t> header(512, 0);
  StructureInput input;
  input.Bytes = header;
  const Structure zeroed = DecodeGptHeader(input);
  ASSERT_FALSE(zeroed.Checks.empty());
  const Check& failed = zeroed.Checks[0];
  EXPECT_EQ(CheckLine(failed), "Signature: fails (stored \"........\", computed \"EFI PART\")");
  EXPECT_EQ(failed.StoredText, "");
  EXPECT_EQ(failed.Computed, "EFI PART");

  std::copy_n("EFI PART", 8, header.begin());
  const Structure signed_ = DecodeGptHeader(input);
  EXPECT_EQ(CheckLine(signed_.Checks[0]), "Signature: holds (stored \"EFI PART\", computed \"EFI PART\")");
  EXPECT_EQ(signed_.Checks[0].StoredText, std::nullopt);
  EXPECT_EQ(ScriptValue(signed_.Fields[0]), "EFI PART");
}

TEST_F(FieldValuesTest, ExtTimesAreWidenedByTheFieldsThatKeepTheirHighBits) {
  // The superblock's 32 bits are unsigned (2046 is no 1910), its high byte adds 2^32.
  std::vector<uint8_t> superblock(1024, 0);
  Put(superblock, 0x38, 0xEF53, 2);
  Put(superblock, 0x30, 0x90000000, 4);  // write time
  Put(superblock, 0x2C, 0x90000000, 4);  // mount time, with its high byte
  superblock[0x275] = 1;
  StructureInput input;
  input.Bytes = superblock;
  const Structure sb = DecodeExtSuperblock(input);
  EXPECT_EQ(Named(sb, {}, "Write time").Time, "2046-07-23T00:38:24Z");
  EXPECT_EQ(Named(sb, {}, "Mount time").Time, "2182-08-29T07:06:40Z");
  EXPECT_TRUE(Named(sb, {}, "Last check time").IsTime);
  EXPECT_EQ(Named(sb, {}, "Last check time").Time, std::nullopt);

  // An inode's 32 bits are signed; the extra field past its first 128 bytes (where its
  // extra size reaches) adds two epoch bits and the nanoseconds.
  std::vector<uint8_t> inodes(512, 0);
  Put(inodes, 0x08, 0x60C89E70, 4);  // access time
  Put(inodes, 0x10, 0xFFFFFFF0, 4);  // modification time: 16 s before 1970
  Put(inodes, 0x80, 32, 2);          // extra inode size: to 0xA0
  Put(inodes, 0x8C, 5u << 2 | 1, 4);  // access time, extra
  Put(inodes, 0x90, 0x60C89E70, 4);  // creation time
  Put(inodes, 0x94, 7u << 2, 4);     // creation time, extra
  Put(inodes, 256 + 0x08, 0x60C89E70, 4);  // the second inode: no extra size, no extra field
  Put(inodes, 256 + 0x8C, 5u << 2 | 1, 4);
  input.Bytes = inodes;
  input.EntrySize = 256;
  const Structure table = DecodeExtInode(input);
  EXPECT_EQ(Named(table, "Inode 1", "Access time").Time, "2157-07-22T19:03:12.000000005Z");
  EXPECT_EQ(Named(table, "Inode 1", "Modification time").Time, "1969-12-31T23:59:44.000000000Z");
  EXPECT_EQ(Named(table, "Inode 1", "Change time").Time, std::nullopt);
  EXPECT_EQ(Named(table, "Inode 1", "Creation time").Time, "2021-06-15T12:34:56.000000007Z");
  EXPECT_EQ(Named(table, "Inode 2", "Access time").Time, "2021-06-15T12:34:56Z");
}

TEST_F(FieldValuesTest, FatEntriesGiveEachStampOnBothFieldsOfItsPair) {
  std::vector<uint8_t> directory(512, 0);
  std::copy_n("README  TXT", 11, directory.begin());
  directory[11] = 0x20;
  directory[13] = 150;                     // 1.50 s past the creation time's two seconds
  Put(directory, 14, 14u << 11 | 5u << 5, 2);  // 14:05:00
  Put(directory, 16, 29u << 9 | 3u << 5 | 7u, 2);  // 2009-03-07
  Put(directory, 22, 12u << 11 | 34u << 5 | 28u, 2);  // 12:34:56
  Put(directory, 24, 41u << 9 | 6u << 5 | 15u, 2);    // 2021-06-15
  Put(directory, 18, 41u << 9 | 6u << 5 | 31u, 2);    // last access: 2021-06-31, no day
  StructureInput input;
  input.Bytes = directory;
  const Structure s = DecodeFatDirectory(input);
  EXPECT_EQ(ScriptValue(Named(s, "Entry 1", "Name")), "README  TXT");
  EXPECT_EQ(Named(s, "Entry 1", "Creation time").Time, "2009-03-07T14:05:01.50Z");
  EXPECT_EQ(Named(s, "Entry 1", "Creation date").Time, "2009-03-07T14:05:01.50Z");
  EXPECT_EQ(Named(s, "Entry 1", "Write time").Time, "2021-06-15T12:34:56Z");
  EXPECT_EQ(Named(s, "Entry 1", "Write date").Time, "2021-06-15T12:34:56Z");
  EXPECT_FALSE(Named(s, "Entry 1", "Last access date").IsTime);  // a day alone is no moment
}

}  // namespace
}  // namespace korvalane
