// The update sequence of an NTFS FILE record put back, as every reader of a record
// shares it.
#include <gtest/gtest.h>

#include <vector>

#include "core/fs/ntfs/FileRecordFormat.h"

namespace korvalane {
namespace {

using ntfs::ApplyFixups;
using ntfs::FixupResult;
using ntfs::FixupStride;

void Put(std::vector<uint8_t>& b, size_t at, uint64_t v, size_t width) {
  for (size_t i = 0; i < width; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// A record of `size` bytes as a volume writes it: array at 48, sequence number 0x0102,
// every stride's last two bytes (0xA0+i, 0xB0+i) saved there.
std::vector<uint8_t> Written(size_t size, size_t count) {
  std::vector<uint8_t> record(size, 0);
  Put(record, 4, 48, 2);
  Put(record, 6, count, 2);
  Put(record, 48, 0x0102, 2);
  for (size_t i = 1; i < count; ++i) {
    if (48 + 2 * i + 2 <= size) Put(record, 48 + 2 * i, 0xB0A0 + 0x0101 * i, 2);
    if (512 * i <= size) Put(record, 512 * i - 2, 0x0102, 2);
  }
  return record;
}

TEST(NtfsRecordFormat, UpdateSequencePutBack) {
  struct Case {
    const char* name;
    std::vector<uint8_t> record;
    FixupResult expected;
    std::vector<size_t> restored;  // strides whose end now holds its saved bytes
  };
  std::vector<uint8_t> torn = Written(1024, 3);
  Put(torn, 1022, 0x0707, 2);
  std::vector<uint8_t> arrayOutside = Written(1024, 3);
  Put(arrayOutside, 4, 1020, 2);  // entries at 1020, 1022 (the second stride's own end) and 1024
  const Case cases[] = {
      {"1024 bytes, two strides", Written(1024, 3), {true, 2, 0}, {1, 2}},
      {"4096 bytes, eight strides", Written(4096, 9), {true, 8, 0}, {1, 2, 3, 4, 5, 6, 7, 8}},
      {"torn in writing: put back all the same", torn, {true, 2, 1}, {1, 2}},
      // The record view reads a record of two sectors that may be one of 4096 bytes.
      {"more entries than the bytes have strides", Written(1024, 9), {true, 2, 0}, {1, 2}},
      {"no entries", Written(1024, 0), {false, 0, 0}, {}},
      {"the number alone", Written(1024, 1), {true, 0, 0}, {}},
      {"array past the record's end", arrayOutside, {false, 1, 1}, {}},
      {"shorter than a stride", Written(300, 3), {true, 0, 0}, {}},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> record = c.record;
    std::vector<size_t> seen;
    const FixupResult result = ApplyFixups(record, [&](const FixupStride& stride) {
      EXPECT_EQ(stride.End, 512 * stride.Index - 2) << c.name;
      EXPECT_EQ(stride.Sequence, ReadLe16(c.record, ReadLe16(c.record, 4))) << c.name;
      seen.push_back(stride.Index);
    });
    EXPECT_EQ(result.ArrayFits, c.expected.ArrayFits) << c.name;
    EXPECT_EQ(result.Strides, c.expected.Strides) << c.name;
    EXPECT_EQ(result.Torn, c.expected.Torn) << c.name;
    EXPECT_EQ(result.Sound(), c.expected.ArrayFits && c.expected.Torn == 0) << c.name;
    EXPECT_EQ(seen.size(), result.Strides) << c.name;
    for (const size_t i : c.restored) EXPECT_EQ(ReadLe16(record, 512 * i - 2), 0xB0A0 + 0x0101 * i) << c.name << " stride " << i;
    // Nothing but the strides' ends changes.
    for (size_t at = 0; at < record.size(); ++at) {
      if (at % 512 < 510) {
        ASSERT_EQ(record[at], c.record[at]) << c.name << " byte " << at;
      }
    }
  }
}

}  // namespace
}  // namespace korvalane
