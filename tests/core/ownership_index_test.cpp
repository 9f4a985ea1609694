#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

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

}  // namespace
}  // namespace korvalane
