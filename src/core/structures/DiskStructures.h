#pragma once

#include "core/model/Structure.h"

namespace korvalane {

// The DOS partition table of sector 0: boot code, disk signature, four entries and the
// boot signature. A table holding type 0xEE is the protective MBR in front of a GPT.
Structure DecodeMbr(const StructureInput& input);

// An extended boot record of the chain of logical partitions: the logical partition
// (relative to this record) and the link to the next record (relative to the extended
// partition's start).
Structure DecodeEbr(const StructureInput& input);

// A GPT header with its own CRC32 and, where the input can read the entry array, the
// array's CRC32.
Structure DecodeGptHeader(const StructureInput& input);

// GPT partition entries, as many as the bytes hold (numbered from input.FirstEntryNumber).
Structure DecodeGptEntries(const StructureInput& input);

// The largest entry array whose CRC32 is computed: 4 MiB (32768 entries of 128 bytes),
// far past the 128 entries every tool writes.
inline constexpr uint64_t kLargestGptEntryArray = uint64_t{4} << 20;

}  // namespace korvalane
