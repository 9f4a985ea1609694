#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "core/model/OwnershipIndex.h"
#include "core/ownership/Damage.h"

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

// A volume of 2^20 sectors, a table of records of 512 bytes over all of it; the finder
// names a record for every 512 bytes it is asked about.
OwnershipIndex RecordTable() {
  OwnershipIndex index;
  index.Begin(uint64_t{1} << 20, 512);
  Owner table;
  table.Kind = OwnerKind::Metadata;
  table.Name = "record table";
  index.AddRun(0, uint64_t{1} << 20, index.AddOwner(table));
  index.SetRecordFinder([](const OwnershipIndex&, uint64_t first, uint64_t end, size_t limit, std::vector<HeldRecord>& out) {
    for (uint64_t n = first / 512; n * 512 < end; ++n) {
      if (out.size() >= limit) return false;
      HeldRecord record;
      record.Byte = std::max(first, n * 512);
      record.Record = "record " + std::to_string(n);
      out.push_back(record);
    }
    return true;
  });
  index.Finish();
  return index;
}

// A record two areas hold is told once; past the limit the list is cut, and says so.
TEST(DamageTest, RecordsAreToldOnceAndCutPastTheLimit) {
  const OwnershipIndex index = RecordTable();
  const Damage damage = FindDamage(index, {{256, 1024, '-'}, {1024, 512, '*'}});
  ASSERT_EQ(damage.Owners.size(), 1u);
  std::vector<std::string> told;
  for (const HeldRecord& record : damage.Owners[0].Records) told.push_back(record.Record);
  EXPECT_EQ(told, (std::vector<std::string>{"record 0", "record 1", "record 2"}));
  EXPECT_FALSE(damage.RecordsCut);
  const Damage cut = FindDamage(index, {{0, uint64_t{1} << 29, '-'}});
  EXPECT_EQ(cut.Owners.at(0).Records.size(), kMaxDamagedRecords);
  EXPECT_TRUE(cut.RecordsCut);
}

}  // namespace
}  // namespace korvalane
