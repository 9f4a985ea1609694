// NTFS mapping-pairs decoding over hostile bytes. The first input byte is the position of
// the first header in the rest (so lists that start inside a buffer are covered too).
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/fs/ntfs/RunList.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace korvalane;
  if (size < 1) return 0;
  const std::span<const uint8_t> list(data + 1, size - 1);
  const std::vector<DataRun> runs = DecodeDataRuns(list, data[0], NoPump);
  // Every reported run takes at least two bytes of the list (header and one length byte),
  // and a count never reaches 2^32.
  if (runs.size() * 2 > list.size()) __builtin_trap();
  for (const DataRun& run : runs) {
    if (run.ClusterCount < 0 || run.ClusterCount > 0xFFFFFFFFll) __builtin_trap();
  }
  return 0;
}
