#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/ownership/Damage.h"
#include "core/ownership/OwnershipIndex.h"

namespace korvalane {
namespace {

// An index of eight sectors: a lazy file over 0-3 and 6, free space over 4-7.
OwnershipIndex Volume(int* made) {
  OwnershipIndex index;
  index.Begin(8, 512);
  index.SetOwnerMaker([made](uint32_t number) {
    ++*made;
    Owner owner;
    owner.Kind = OwnerKind::File;
    owner.Name = "/file " + std::to_string(number);
    owner.Part = "file";
    return owner;
  });
  const uint32_t first = index.AddLazyOwner();
  const uint32_t second = index.AddLazyOwner();
  index.AddRun(0, 2, first, 0);
  index.AddRun(2, 2, first, 1024);  // continues the run before: one run
  index.AddRun(6, 1, second, 4096);
  Owner free;
  free.Kind = OwnerKind::Free;
  index.AddRun(4, 4, index.AddOwner(free));
  index.AddRun(9, 1, 12345);  // an owner there is not: nothing
  index.Finish();
  return index;
}

TEST(OwnershipIndexTest, LazyOwnersAreMadeOnceWhenAnAnswerNamesThem) {
  int made = 0;
  const OwnershipIndex index = Volume(&made);
  EXPECT_EQ(made, 0);
  EXPECT_EQ(index.OwnerCount(), 3u);
  EXPECT_EQ(index.RunCount(), 3u);
  EXPECT_EQ(DescribeSector(index, 3), "/file 0  (byte 1536 of the file)");
  EXPECT_EQ(DescribeSector(index, 1), "/file 0  (byte 512 of the file)");
  EXPECT_EQ(made, 1);
  // Files before free space, whatever the order of their runs.
  EXPECT_EQ(DescribeSector(index, 6), "/file 1  (byte 4096 of the file) | free");
  EXPECT_EQ(DescribeSector(index, 5), "free");
  EXPECT_EQ(DescribeSector(index, 8), "beyond the volume");
  EXPECT_EQ(made, 2);
  // The owner an answer points at stays where it is.
  EXPECT_EQ(index.Lookup(0)[0].Of, index.Lookup(3)[0].Of);
}

TEST(OwnershipIndexTest, TwoThreadsAskingTogetherGetTheSameOwner) {
  int made = 0;
  const OwnershipIndex index = Volume(&made);
  std::vector<const Owner*> seen(2);
  std::thread a([&] { seen[0] = index.Lookup(6)[0].Of; });
  std::thread b([&] { seen[1] = index.Lookup(6)[0].Of; });
  a.join();
  b.join();
  EXPECT_EQ(seen[0], seen[1]);
  EXPECT_EQ(made, 1);
}

// A volume of 64 sectors: a table of records of 512 bytes over sectors 0-7 (record n at
// byte 512 n), a file over 8-15 whose size ends in sector 9, free space after. The finder
// names a record for every 512 bytes of the table it is asked about.
OwnershipIndex RecordVolume(size_t* asked) {
  OwnershipIndex index;
  index.Begin(64, 512);
  Owner table;
  table.Kind = OwnerKind::Metadata;
  table.Name = "record table";
  index.AddRun(0, 8, index.AddOwner(table));
  Owner file;
  file.Kind = OwnerKind::File;
  file.Name = "/file";
  file.Part = "file";
  file.Size = 1000;
  file.HasSize = true;
  index.AddRun(8, 8, index.AddOwner(file), 0);
  Owner free;
  free.Kind = OwnerKind::Free;
  index.AddRun(16, 48, index.AddOwner(free));
  index.SetRecordFinder([asked](const OwnershipIndex&, uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out) {
    ++*asked;
    for (uint64_t n = first / 512; n * 512 < std::min<uint64_t>(end, 4096); ++n) {
      if (out.size() >= limit) return false;
      HeldRecord record;
      record.Byte = std::max(first, n * 512);
      record.Record = "record " + std::to_string(n);
      record.Name = "/file " + std::to_string(n);
      out.push_back(record);
    }
    return true;
  });
  index.Finish();
  return index;
}

// The records in the bad bytes are told under the area that holds them, each once however
// many areas hold it; an area of no metadata asks for none; past the limit the list is cut
// and says so.
TEST(DamageTest, RecordsInTheBadBytesAreToldOnceUnderTheirArea) {
  size_t asked = 0;
  const OwnershipIndex index = RecordVolume(&asked);
  const std::vector<MapArea> areas = {{256, 1024, '-'}, {1024, 512, '*'}, {8 * 512, 2048, '-'}, {20 * 512, 512, '?'}};
  const Damage damage = FindDamage(index, areas);
  ASSERT_EQ(damage.Owners.size(), 3u);
  EXPECT_EQ(damage.Owners[0].Of->Name, "record table");
  EXPECT_EQ(damage.Owners[0].BadBytes, 1024u + 512u);
  std::vector<std::string> told;
  for (const HeldRecord& record : damage.Owners[0].Records) told.push_back(record.Record);
  EXPECT_EQ(told, (std::vector<std::string>{"record 0", "record 1", "record 2"}));
  EXPECT_EQ(damage.Owners[1].Of->Name, "/file");
  EXPECT_EQ(damage.Owners[1].BadBytes, 1000u);
  EXPECT_TRUE(damage.Owners[1].Records.empty());
  EXPECT_EQ(damage.Owners[2].Of->Kind, OwnerKind::Free);
  EXPECT_FALSE(damage.RecordsCut);
  // The file's area and free space are in no table: the finder is asked only for the
  // areas a table's or a file's run holds, and tells nothing there.
  EXPECT_EQ(asked, 3u);
  EXPECT_EQ(DescribeHeldRecord(damage.Owners[0].Records[0]), "record 0: /file 0  (metadata lost; the data lies elsewhere)");

  // More records than are ever listed: one bad area over a table of a million.
  OwnershipIndex big;
  big.Begin(uint64_t{1} << 20, 512);
  Owner table;
  table.Kind = OwnerKind::Metadata;
  table.Name = "record table";
  big.AddRun(0, uint64_t{1} << 20, big.AddOwner(table));
  big.SetRecordFinder([](const OwnershipIndex&, uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out) {
    for (uint64_t n = first / 512; n * 512 < end; ++n) {
      if (out.size() >= limit) return false;
      HeldRecord record;
      record.Byte = n * 512;
      record.Record = "record " + std::to_string(n);
      out.push_back(record);
    }
    return true;
  });
  big.Finish();
  const Damage cut = FindDamage(big, {{0, uint64_t{1} << 29, '-'}});
  ASSERT_EQ(cut.Owners.size(), 1u);
  EXPECT_EQ(cut.Owners[0].Records.size(), kMaxDamagedRecords);
  EXPECT_TRUE(cut.RecordsCut);
}

}  // namespace
}  // namespace korvalane
