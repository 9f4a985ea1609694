// Decoding NTFS mapping-pairs lists: the runs the views list, and the runs with their
// virtual clusters and their place in the list that the walk and the fields read.
#include <gtest/gtest.h>

#include <ostream>
#include <vector>

#include "core/fs/ntfs/RunList.h"

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
      // A sparse run has no start cluster and is not listed; the start stays where it was
      // and the list goes on after it.
      {"sparse run between", {0x11, 0x05, 0x10, 0x01, 0x05, 0x11, 0x02, 0x03, 0x00}, {{16, 5}, {19, 2}}},
      {"sparse run first", {0x01, 0x05, 0x11, 0x02, 0x03, 0x00}, {{3, 2}}},
      {"sparse runs only", {0x01, 0x05, 0x02, 0x00, 0x01, 0x00}, {}},
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

// A run as the walk reads it: first virtual cluster, count, sparse or its start cluster.
struct WalkRun {
  uint64_t Vcn;
  uint64_t Count;
  bool Sparse;
  uint64_t Lcn;
  bool operator==(const WalkRun&) const = default;
};

std::ostream& operator<<(std::ostream& out, const WalkRun& run) {
  return out << "{vcn " << run.Vcn << ", " << run.Count << (run.Sparse ? " sparse" : " at ") << run.Lcn << "}";
}

TEST(DataRuns, RunsWithTheirVirtualClustersAndWhyTheListEnded) {
  struct Case {
    const char* name;
    std::vector<uint8_t> bytes;
    uint64_t startVcn;
    std::vector<WalkRun> runs;
    RunListEnd end;
    size_t endsAt;  // the header byte that ended the list, or the bytes' end
  };
  constexpr uint64_t kMinusOne = ~uint64_t{0};
  const Case cases[] = {
      {"file with holes, as ntfs-3g writes it",
       {0x21, 0x02, 0x00, 0x0A, 0x01, 0x08, 0x11, 0x03, 0x0A, 0x01, 0x11, 0x11, 0x01, 0x14, 0x00},
       0,
       {{0, 2, false, 2560}, {2, 8, true, 0}, {10, 3, false, 2570}, {13, 17, true, 0}, {30, 1, false, 2590}},
       RunListEnd::Marker,
       14},
      {"an extent that starts at VCN 100", {0x11, 0x04, 0x20, 0x00}, 100, {{100, 4, false, 32}}, RunListEnd::Marker, 3},
      {"no end marker", {0x11, 0x02, 0x10}, 0, {{0, 2, false, 16}}, RunListEnd::BufferEnd, 3},
      {"offset field cut off", {0x11, 0x02, 0x10, 0x41, 0x01, 0x02, 0x03}, 0, {{0, 2, false, 16}}, RunListEnd::Cut, 3},
      {"no length field", {0x11, 0x02, 0x10, 0x20, 0x10, 0x00, 0x11, 0x01, 0x01}, 0, {{0, 2, false, 16}},
       RunListEnd::NoLength, 3},
      {"offset wider than 8 bytes", {0x91, 0x01, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0x00}, 0, {}, RunListEnd::WideOffset, 0},
      {"nine-byte length whose upper byte is not 0", {0x09, 0x05, 0, 0, 0, 0, 0, 0, 0, 1, 0x00}, 0,
       {{0, kMinusOne, true, 0}}, RunListEnd::Marker, 10},
      // The start moves modulo 2^64: below 0 it reads as a value from 2^63 up.
      {"start moved below cluster 0", {0x11, 0x01, 0x05, 0x11, 0x01, 0xF0, 0x00}, 0,
       {{0, 1, false, 5}, {1, 1, false, kMinusOne - 10}}, RunListEnd::Marker, 6},
  };
  for (const Case& c : cases) {
    RunListReader reader(c.bytes, 0, c.startVcn);
    RunListEntry entry;
    std::vector<WalkRun> runs;
    size_t next = 0;
    while (reader.Next(entry)) {
      EXPECT_EQ(entry.Offset, next) << c.name;
      next = entry.Offset + entry.Size;
      runs.push_back(WalkRun{entry.Run.Vcn, entry.Run.Count, entry.Run.Sparse, entry.Run.Lcn});
    }
    EXPECT_EQ(runs, c.runs) << c.name;
    EXPECT_EQ(reader.End(), c.end) << c.name;
    EXPECT_EQ(reader.Position(), c.endsAt) << c.name;
    EXPECT_EQ(DecodeNtfsRuns(c.bytes, 0, c.startVcn).size(), c.runs.size()) << c.name;
  }
}

}  // namespace
}  // namespace korvalane
