// Decoding NTFS mapping-pairs lists.
#include <gtest/gtest.h>

#include <vector>

#include "core/views/DataRuns.h"

namespace korvalane {
namespace {

using Runs = std::vector<std::pair<int64_t, int64_t>>;

Runs Decode(const std::vector<uint8_t>& bytes, size_t first = 0, const MessagePump& pump = NoPump) {
  Runs runs;
  for (const DataRun& run : DecodeDataRuns(bytes, first, pump)) runs.emplace_back(run.StartCluster, run.ClusterCount);
  return runs;
}

TEST(DataRuns, WorkedLists) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    Runs expected;
  };
  const Case cases[] = {
      {"one run", {0x33, 0x20, 0xC8, 0x00, 0x00, 0x00, 0x0C, 0x00}, {{786432, 51232}}},
      {"backwards by -128", {0x31, 0x40, 0x00, 0x00, 0x0C, 0x11, 0x10, 0x80, 0x00}, {{786432, 64}, {786304, 16}}},
      {"two-byte length", {0x21, 0x18, 0x34, 0x56, 0x00}, {{22068, 24}}},
      {"backwards by -256", {0x31, 0x08, 0x00, 0x00, 0x01, 0x21, 0x04, 0x00, 0xFF, 0x00}, {{65536, 8}, {65280, 4}}},
      {"empty list", {0x00, 0x21, 0x18, 0x34, 0x56}, {}},
      {"sparse run ends the list", {0x11, 0x05, 0x10, 0x01, 0x05, 0x11, 0x02, 0x03, 0x00}, {{16, 5}}},
      {"sparse run first", {0x01, 0x05, 0x11, 0x02, 0x03, 0x00}, {}},
      {"no length field: not reported, ends the list", {0x20, 0x10, 0x00, 0x11, 0x02, 0x03, 0x00}, {}},
      // A count of 2^32 or more does not fit; the run is kept with a count of 0.
      {"length of 2^32", {0x15, 0x00, 0x00, 0x00, 0x00, 0x01, 0x07, 0x00}, {{7, 0}}},
      {"nine-byte length", {0x19, 0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0x07, 0x00}, {{7, 5}}},
      // 64-bit values: beyond 2^31 they print as they are.
      {"count above 2^31", {0x14, 0xFF, 0xFF, 0xFF, 0xFF, 0x07, 0x00}, {{7, 4294967295}}},
      {"start above 2^31", {0x51, 0x01, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00}, {{2147483648, 1}}},
      {"start above 2^32", {0x61, 0x01, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}, {{4294967296, 1}}},
      {"eight-byte negative offset", {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, {{-1, 1}}},
      // Offsets wider than 8 bytes are outside the format.
      {"nine-byte offset ends the list",
       {0x11, 0x02, 0x10, 0x91, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00},
       {{16, 2}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.bytes), c.expected) << c.name;
}

TEST(DataRuns, NeverReadsPastTheBuffer) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    size_t first;
    Runs expected;
  };
  const Case cases[] = {
      {"no end marker", {0x11, 0x02, 0x10}, 0, {{16, 2}}},
      {"offset field cut off", {0x11, 0x02, 0x10, 0x41, 0x01, 0x02, 0x03, 0x04}, 0, {{16, 2}}},
      {"length field cut off", {0x11, 0x02, 0x10, 0x18, 0x01}, 0, {{16, 2}}},
      {"first header at the end", {0x11, 0x02, 0x10}, 3, {}},
      {"first header far beyond", {0x11, 0x02, 0x10}, 100000, {}},
      {"empty buffer", {}, 0, {}},
      {"starts inside", {0xAA, 0xBB, 0x11, 0x02, 0x10, 0x00}, 2, {{16, 2}}},
  };
  for (const Case& c : cases) EXPECT_EQ(Decode(c.bytes, c.first), c.expected) << c.name;
}

TEST(DataRuns, PumpRunsOncePerRunAndASupersededDecodeStops) {
  const std::vector<uint8_t> list{0x11, 0x01, 0x10, 0x11, 0x01, 0x10, 0x11, 0x01, 0x10, 0x00};
  int calls = 0;
  EXPECT_EQ(Decode(list, 0, [&] { return ++calls > 0; }).size(), 3u);
  EXPECT_EQ(calls, 4);  // three runs and the end marker

  calls = 0;
  EXPECT_EQ(Decode(list, 0, [&] { return ++calls <= 2; }), (Runs{{16, 1}, {32, 1}}));
  EXPECT_EQ(calls, 3);
}

}  // namespace
}  // namespace korvalane
