// NTFS mapping-pairs decoding over hostile bytes, as the views list the runs and as the
// walk reads them. The first input byte is the position of the first header in the rest
// (so lists that start inside a buffer are covered too).
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
  // The runs as the walk reads them: one after another from the first header, within the
  // list, each virtual cluster where the counts before it end; the views' runs are the
  // ones that are not sparse.
  RunListReader reader(list, data[0], 7);
  RunListEntry entry;
  size_t next = data[0];
  uint64_t vcn = 7;
  size_t placed = 0;
  while (reader.Next(entry)) {
    if (entry.Offset != next || entry.Size < 2 || entry.Offset + entry.Size > list.size() || entry.Run.Vcn != vcn) {
      __builtin_trap();
    }
    next = entry.Offset + entry.Size;
    vcn += entry.Run.Count;
    if (!entry.Run.Sparse) ++placed;
  }
  if (reader.Position() != next || placed != runs.size()) __builtin_trap();
  return 0;
}
