// md RAID arrays read from their members' bytes: member images striped from a known FAT
// volume (and a partitioned disk) by scripts/make-samples-md as the kernel lays out RAID0,
// RAID1, RAID10 near 2, RAID4, RAID5 and RAID6 in their four layouts, with superblocks 1.2,
// 1.0 and 0.90 written from the format. The assembled array equals the volume byte for
// byte, with every member or with any one left out where parity allows, and RAID6 with
// any two left out; mdadm --examine
// on each member file is the oracle for the superblock; hostile superblocks are named,
// never read past.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "core/disk/md/MdArray.h"
#include "core/disk/md/MdAssembly.h"
#include "core/disk/md/MdSuperblock.h"
#include "fixtures/Samples.h"

namespace korvalane::md {
namespace {

using korvalane::testing::CommandResult;
using testing::RunCli;
using testing::SamplePath;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

struct SampleArray {
  std::string Name;
  std::string Source;  // the image striped over the members
  std::vector<std::string> Members;
};

std::vector<SampleArray> SampleArrays() {
  std::vector<SampleArray> arrays;
  std::ifstream in(SamplePath("md/arrays.txt"));
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    SampleArray array;
    words >> array.Name >> array.Source;
    for (std::string member; words >> member;) array.Members.push_back(member);
    if (!array.Name.empty()) arrays.push_back(array);
  }
  return arrays;
}

struct Loaded {
  std::vector<std::vector<uint8_t>> Bytes;  // by member, in the order given
  std::vector<FoundMember> Found;
};

Loaded Load(const SampleArray& array, const std::vector<size_t>& order) {
  Loaded loaded;
  for (const size_t i : order) {
    loaded.Bytes.push_back(ReadFile(SamplePath("md/" + array.Members[i])));
    const std::vector<uint8_t>& bytes = loaded.Bytes.back();
    const auto read = [&](uint64_t at, std::span<uint8_t> into) {
      if (at > bytes.size() || into.size() > bytes.size() - at) return false;
      std::memcpy(into.data(), bytes.data() + at, into.size());
      return true;
    };
    std::optional<Superblock> sb = FindSuperblock(read, bytes.size());
    EXPECT_TRUE(sb) << array.Members[i];
    if (sb) loaded.Found.push_back({loaded.Bytes.size() - 1, array.Members[i], *sb});
  }
  return loaded;
}

// The whole array read through its layout, in reads of `step` bytes.
std::vector<uint8_t> ReadArray(const Loaded& loaded, const Assembly& assembly, size_t step, int* reads = nullptr) {
  const auto readSlot = [&](uint32_t slot, uint64_t at, std::span<uint8_t> into) {
    if (reads) ++*reads;
    const size_t member = *assembly.Slots.at(slot);
    const std::vector<uint8_t>& bytes = loaded.Bytes[member];
    const uint64_t first = loaded.Found[member].Sb.DataOffset * 512 + at;
    if (first > bytes.size() || into.size() > bytes.size() - first) return false;
    std::memcpy(into.data(), bytes.data() + first, into.size());
    return true;
  };
  std::vector<uint8_t> out(static_cast<size_t>(assembly.Layout->Bytes()));
  for (size_t at = 0; at < out.size(); at += step) {
    const size_t length = std::min(step, out.size() - at);
    EXPECT_TRUE(assembly.Layout->Read(readSlot, at, std::span(out).subspan(at, length))) << at;
  }
  return out;
}

std::vector<size_t> Reversed(size_t count) {
  std::vector<size_t> order;
  for (size_t i = count; i-- > 0;) order.push_back(i);
  return order;
}

TEST(MdArray, EveryLayoutAssembledFromItsMembersInAnyOrderEqualsTheVolume) {
  const std::vector<SampleArray> arrays = SampleArrays();
  ASSERT_GE(arrays.size(), 14u);
  for (const SampleArray& array : arrays) {
    SCOPED_TRACE(array.Name);
    const std::vector<uint8_t> expected = ReadFile(SamplePath("md/" + array.Source));
    const Loaded loaded = Load(array, Reversed(array.Members.size()));
    const std::vector<Assembly> assembled = Assemble(loaded.Found);
    ASSERT_EQ(assembled.size(), 1u);
    ASSERT_TRUE(assembled[0].Layout) << assembled[0].Why;
    EXPECT_EQ(assembled[0].Layout->Bytes(), expected.size());
    // Whole reads and reads that cut chunks anywhere give the same bytes.
    EXPECT_TRUE(ReadArray(loaded, assembled[0], expected.size()) == expected);
    EXPECT_TRUE(ReadArray(loaded, assembled[0], 3 * 512 + 7 * 4096) == expected);
  }
}

TEST(MdArray, ParityArraysMissingAnyOneMemberReadThroughParity) {
  for (const SampleArray& array : SampleArrays()) {
    if (array.Name.rfind("r4", 0) != 0 && array.Name.rfind("r5", 0) != 0 && array.Name.rfind("r6", 0) != 0) continue;
    const std::vector<uint8_t> expected = ReadFile(SamplePath("md/" + array.Source));
    for (size_t left = 0; left < array.Members.size(); ++left) {
      SCOPED_TRACE(array.Name + " without member " + std::to_string(left));
      std::vector<size_t> order;
      for (size_t i = 0; i < array.Members.size(); ++i) {
        if (i != left) order.push_back(i);
      }
      const Loaded loaded = Load(array, order);
      const std::vector<Assembly> assembled = Assemble(loaded.Found);
      ASSERT_EQ(assembled.size(), 1u);
      ASSERT_TRUE(assembled[0].Layout) << assembled[0].Why;
      EXPECT_TRUE(assembled[0].Layout->Degraded());
      EXPECT_NE(assembled[0].Description().find("degraded: member " + std::to_string(left) + " missing"),
                std::string::npos)
          << assembled[0].Description();
      EXPECT_TRUE(ReadArray(loaded, assembled[0], 5 * 4096 + 512) == expected);
    }
  }
}

// Every pair of a RAID6's members left out: two data chunks of a row, a data chunk and P,
// a data chunk and Q, or P and Q, as the rows turn; all four layouts, 1.2 and 0.90.
TEST(MdArray, Raid6MissingAnyTwoMembersReadsThroughPAndQ) {
  size_t sets = 0;
  for (const SampleArray& array : SampleArrays()) {
    if (array.Name.rfind("r6", 0) != 0) continue;
    ++sets;
    const std::vector<uint8_t> expected = ReadFile(SamplePath("md/" + array.Source));
    const size_t n = array.Members.size();
    for (size_t a = 0; a < n; ++a) {
      for (size_t b = a + 1; b < n; ++b) {
        SCOPED_TRACE(array.Name + " without members " + std::to_string(a) + " and " + std::to_string(b));
        std::vector<size_t> order;
        for (size_t i = n; i-- > 0;) {
          if (i != a && i != b) order.push_back(i);
        }
        const Loaded loaded = Load(array, order);
        const std::vector<Assembly> assembled = Assemble(loaded.Found);
        ASSERT_EQ(assembled.size(), 1u);
        ASSERT_TRUE(assembled[0].Layout) << assembled[0].Why;
        EXPECT_NE(assembled[0].Description().find("degraded: members " + std::to_string(a) + ", " +
                                                  std::to_string(b) + " missing, read through P and Q"),
                  std::string::npos)
            << assembled[0].Description();
        int reads = 0;
        EXPECT_TRUE(ReadArray(loaded, assembled[0], expected.size(), &reads) == expected);
        // The data chunks of the members there are, each read once, and one read of each
        // member for all the rows it helps rebuild.
        const ArrayLayout& layout = *assembled[0].Layout;
        int direct = 0;
        for (uint64_t chunk = 0; chunk < layout.Bytes() / layout.ChunkBytes(); ++chunk) {
          const uint32_t slot = layout.Locate(chunk).Slot;
          direct += slot != a && slot != b ? 1 : 0;
        }
        EXPECT_EQ(reads, direct + static_cast<int>(n - 2));
        // Reads that cut chunks anywhere.
        EXPECT_TRUE(ReadArray(loaded, assembled[0], 3 * 512 + 5 * 4096 + 7) == expected);
      }
    }
  }
  EXPECT_EQ(sets, 4u);
}

TEST(MdArray, ReadsAChunkAtOnceNeverASectorAtATime) {
  for (const SampleArray& array : SampleArrays()) {
    if (array.Name != "r5-ls") continue;
    const Loaded loaded = Load(array, {0, 1, 2, 3});
    const std::vector<Assembly> assembled = Assemble(loaded.Found);
    int reads = 0;
    ReadArray(loaded, assembled[0], 3u << 20, &reads);
    EXPECT_EQ(reads, 48);  // one per 64 KiB chunk of the 3 MiB: per member per row
    // Without member 1: its 16 chunks rebuilt from one read of each other member.
    const Loaded degraded = Load(array, {0, 2, 3});
    const std::vector<Assembly> missing = Assemble(degraded.Found);
    reads = 0;
    ReadArray(degraded, missing[0], 3u << 20, &reads);
    EXPECT_EQ(reads, 48 - 12 + 3);  // the 36 chunks of members there are, and 3 for the 12 rebuilt
    return;
  }
  FAIL() << "no r5-ls sample";
}

TEST(MdArray, TwoMissingOrOutOfDateMembersAreNamed) {
  for (const SampleArray& array : SampleArrays()) {
    if (array.Name == "r5-la") {
      const Loaded loaded = Load(array, {0});
      const std::vector<Assembly> assembled = Assemble(loaded.Found);
      EXPECT_FALSE(assembled[0].Layout);
      EXPECT_EQ(assembled[0].Why, "more than one of its members is missing");
    }
    if (array.Name == "r6-ls") {
      const Loaded loaded = Load(array, {2});
      const Assembly assembly = Assemble(loaded.Found)[0];
      EXPECT_FALSE(assembly.Layout);
      EXPECT_EQ(assembly.Why, "more than two of its members are missing");
    }
    if (array.Name == "r1-stale") {
      const Loaded loaded = Load(array, {0, 1, 2});
      const Assembly assembly = Assemble(loaded.Found)[0];
      ASSERT_TRUE(assembly.Layout);
      ASSERT_FALSE(assembly.Notes.empty());
      EXPECT_EQ(assembly.Notes[0], "r1-stale-2.img is out of date (events 7, the array's 20) and is not read");
      EXPECT_FALSE(assembly.Slots[2]);
    }
  }
}

// mdadm --examine on a member file: the fields it prints as "Name : value".
std::map<std::string, std::string> Examine(const std::string& path) {
  std::map<std::string, std::string> fields;
  const CommandResult result = korvalane::testing::Run({"mdadm", "--examine", path});
  static const std::regex line(R"(^\s*([A-Za-z ]+?) : (.*)$)");
  std::smatch match;
  std::istringstream in(result.Out);
  for (std::string text; std::getline(in, text);) {
    if (std::regex_match(text, match, line)) fields[match[1]] = match[2];
  }
  return fields;
}

TEST(MdSuperblock, MatchesMdadmExamineOnEveryMember) {
  if (korvalane::testing::Run({"mdadm", "--version"}).Status != 0) GTEST_FAIL() << "mdadm is missing (scripts/install-deps lists it)";
  for (const SampleArray& array : SampleArrays()) {
    for (const std::string& member : array.Members) {
      SCOPED_TRACE(member);
      const std::map<std::string, std::string> oracle = Examine(SamplePath("md/" + member));
      ASSERT_FALSE(oracle.empty());
      const auto field = [&](const std::string& key) {
        const auto found = oracle.find(key);
        EXPECT_NE(found, oracle.end()) << "mdadm --examine shows no " << key;
        return found == oracle.end() ? std::string() : found->second;
      };
      const std::vector<uint8_t> bytes = ReadFile(SamplePath("md/" + member));
      const std::optional<Superblock> sb = FindSuperblock(
          [&](uint64_t at, std::span<uint8_t> into) {
            if (at > bytes.size() || into.size() > bytes.size() - at) return false;
            std::memcpy(into.data(), bytes.data() + at, into.size());
            return true;
          },
          bytes.size());
      ASSERT_TRUE(sb);
      EXPECT_TRUE(sb->ChecksumHolds());
      EXPECT_TRUE(sb->Problems.empty());
      EXPECT_NE(field("Checksum").find("correct"), std::string::npos);
      EXPECT_EQ(field("Raid Level"), LevelName(sb->Level));
      EXPECT_EQ(field("Raid Devices"), std::to_string(sb->RaidDisks));
      EXPECT_EQ(field("Events"), std::to_string(sb->Events));
      if (const std::string layout = LayoutName(sb->Level, sb->Layout); !layout.empty() && sb->Level != 4) {
        EXPECT_EQ(field("Layout"), layout);
      }
      if (sb->Level != 1) EXPECT_EQ(field("Chunk Size"), std::to_string(sb->ChunkBytes / 1024) + "K");
      if (sb->Format == Version::V090) {
        EXPECT_EQ(field("Version"), "0.90.00");
        EXPECT_EQ(field("UUID"), UuidText(sb->ArrayUuid));
      } else {
        EXPECT_EQ(field("Version"), VersionName(*sb));
        EXPECT_EQ(field("Array UUID"), UuidText(sb->ArrayUuid));
        EXPECT_EQ(field("Name"), sb->Name);
        if (sb->DataOffset != 0) EXPECT_EQ(field("Data Offset"), std::to_string(sb->DataOffset) + " sectors");
        EXPECT_EQ(field("Super Offset"), std::to_string(sb->Offset / 512) + " sectors");
        EXPECT_EQ(field("Device Role"), "Active device " + std::to_string(sb->Role));
      }
    }
  }
}

// A 1.2 superblock of the sample, changed by `edit` and its checksum made anew.
std::vector<uint8_t> EditedSuperblock(const std::function<void(std::vector<uint8_t>&)>& edit) {
  std::vector<uint8_t> member = ReadFile(SamplePath("md/r5-la-0.img"));
  std::vector<uint8_t> sb(member.begin() + 4096, member.begin() + 8192);
  edit(sb);
  return sb;
}

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t value) {
  for (size_t i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

TEST(MdSuperblock, HostileFieldsAreNamedAndNeverReadPast) {
  // 2^32 - 1 members, a role table longer than the superblock, chunk size 0, a role past
  // the array.
  const std::optional<Superblock> many = ParseSuperblock(
      EditedSuperblock([](std::vector<uint8_t>& b) { Put32(b, 92, 0xFFFFFFFF); Put32(b, 220, 0xFFFFFFFF); }),
      Version::V12, 4096);
  ASSERT_TRUE(many);
  EXPECT_EQ(many->Roles.size(), kLargestRoleTable);
  EXPECT_FALSE(many->ChecksumHolds());
  std::string why;
  EXPECT_FALSE(ArrayLayout::Make(*many, {true, true, true}, why));
  EXPECT_EQ(why, "it claims 4294967295 members");

  // RAID6 of 300 members: its Q cannot tell 298 data chunks apart.
  Superblock wide = *many;
  wide.Level = 6;
  wide.Layout = 2;
  wide.RaidDisks = 300;
  wide.ChunkBytes = 65536;
  EXPECT_FALSE(ArrayLayout::Make(wide, std::vector<bool>(300, true), why));
  EXPECT_EQ(why, "its 298 data members are more than its Q syndrome can tell apart");

  const std::optional<Superblock> flat =
      ParseSuperblock(EditedSuperblock([](std::vector<uint8_t>& b) { Put32(b, 88, 0); }), Version::V12, 4096);
  ASSERT_TRUE(flat);
  EXPECT_EQ(flat->Problems.front(), "Its chunk size is 0, so its stripes cannot be found");
  EXPECT_FALSE(ArrayLayout::Make(*flat, {true, true, true}, why));
  EXPECT_EQ(why, "its chunk size is 0");

  const std::optional<Superblock> past = ParseSuperblock(
      EditedSuperblock([](std::vector<uint8_t>& b) { b[256] = 9; }), Version::V12, 4096);
  ASSERT_TRUE(past);
  EXPECT_EQ(past->Role, 9u);
  EXPECT_EQ(past->Problems.front(), "Its role 9 lies past the array's 3 members");
  FoundMember member{0, "m", *past};
  const Assembly assembly = Assemble({member})[0];
  EXPECT_EQ(assembly.Notes.front(), "m has role 9 and is not read");

  // Cut short: only the head, its role table out of reach.
  const std::vector<uint8_t> whole = EditedSuperblock([](std::vector<uint8_t>&) {});
  const std::optional<Superblock> cut = ParseSuperblock(std::span(whole).first(257), Version::V12, 4096);
  ASSERT_TRUE(cut);
  EXPECT_FALSE(cut->ChecksumHolds());
  EXPECT_FALSE(ParseSuperblock(std::span(whole).first(255), Version::V12, 4096));
}

TEST(MdDrives, TheArrayIsADriveAfterItsMembersAndItsPartitionsFollow) {
  const std::string dir = SamplePath("md/");
  const testing::CommandResult result =
      RunCli({"drives", dir + "r5-ls-2.img", dir + "r5-ls-0.img", dir + "r5-ls-3.img", dir + "r5-ls-1.img"});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const std::vector<std::string> lines = testing::Lines(result.Out);
  ASSERT_EQ(lines.size(), 6u) << result.Out;
  EXPECT_NE(lines[4].find("G: "), std::string::npos);
  EXPECT_NE(lines[4].find("md/r5-ls (md RAID5, left-symmetric, 4 members, chunk 64 KiB, name \"korvalane:r5-ls\")"),
            std::string::npos)
      << lines[4];
  EXPECT_NE(lines[5].find("md/r5-ls (md RAID5"), std::string::npos) << lines[5];
  EXPECT_NE(lines[5].find("partition 1"), std::string::npos) << lines[5];
  EXPECT_NE(lines[5].find("FAT16, 2 Mb,2048 sectors"), std::string::npos) << lines[5];

  // A RAID1 member alone shows the array's volume.
  const testing::CommandResult mirror = RunCli({"drives", dir + "r1-0.img"});
  const std::vector<std::string> two = testing::Lines(mirror.Out);
  ASSERT_EQ(two.size(), 2u) << mirror.Out;
  EXPECT_NE(two[1].find("D: FAT16, 1 Mb,3072 sectors  md/r1 (md RAID1, 2 members, name \"korvalane:r1\", degraded: member 1 missing)"),
            std::string::npos)
      << two[1];

  // An out-of-date member is named in the array's line.
  const testing::CommandResult stale =
      RunCli({"drives", dir + "r1-stale-0.img", dir + "r1-stale-1.img", dir + "r1-stale-2.img"});
  const std::vector<std::string> four = testing::Lines(stale.Out);
  ASSERT_EQ(four.size(), 4u) << stale.Out;
  EXPECT_NE(four[3].find("out of date: " + dir + "r1-stale-2.img (events 7, the array's 20)"), std::string::npos)
      << four[3];
}

TEST(MdDrives, VolumePicksTheArrayByItsNameFromMembersJoinedByPlus) {
  const std::string dir = SamplePath("md/");
  const std::vector<uint8_t> expected = ReadFile(dir + "volume.img");
  ASSERT_GE(expected.size(), 1024u * 512);
  const std::string out = ::testing::TempDir() + "korvalane-md-volume-" + std::to_string(getpid()) + ".bin";
  std::remove(out.c_str());
  const testing::CommandResult result = RunCli(
      {"export", "--volume", "md/r5-la", dir + "r5-la-2.img+" + dir + "r5-la-0.img+" + dir + "r5-la-1.img", "0", "1023", out});
  ASSERT_EQ(result.Status, 0) << result.Err;
  const std::vector<uint8_t> written = ReadFile(out);
  std::remove(out.c_str());
  ASSERT_GE(written.size(), 1023u * 512);
  EXPECT_TRUE(std::equal(written.begin(), written.end(), expected.begin()));

  const testing::CommandResult missing = RunCli({"text", "--volume", "md9", dir + "r1-0.img", "0"});
  EXPECT_EQ(missing.Status, 2);
  EXPECT_EQ(missing.Err, "korvalane-cli: no md array md9 in the sources\n");
}

}  // namespace
}  // namespace korvalane::md
