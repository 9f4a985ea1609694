#include "core/fs/ntfs/FileRecordFormat.h"

namespace korvalane::ntfs {
namespace {

// An $ATTRIBUTE_LIST entry: type, entry length, name length, name offset, lowest VCN,
// the reference of the record that holds the attribute, the attribute's ID.
constexpr size_t kEntryLengthOffset = 4;
constexpr size_t kEntryNameLengthOffset = 6;
constexpr size_t kEntryLowestVcnOffset = 8;
constexpr size_t kEntryReferenceOffset = 16;
constexpr size_t kSmallestEntry = 26;

}  // namespace

FixupResult ApplyFixups(std::span<uint8_t> record, const std::function<void(const FixupStride&)>& each) {
  FixupResult result;
  const size_t array = ReadLe16(record, kUpdateSequenceOffset);
  const size_t count = ReadLe16(record, kUpdateSequenceCount);
  result.ArrayFits = count > 0 && Fits(record, array, 2 * count);
  if (count == 0 || !Fits(record, array, 2)) return result;
  const uint16_t sequence = ReadLe16(record, array);
  for (size_t i = 1; i < count; ++i) {
    const size_t end = kStride * i - 2;
    const size_t saved = array + 2 * i;
    if (!Fits(record, end, 2) || !Fits(record, saved, 2)) break;
    const uint16_t found = ReadLe16(record, end);
    if (each) each(FixupStride{i, end, saved, found, sequence});
    if (found != sequence) ++result.Torn;
    record[end] = record[saved];
    record[end + 1] = record[saved + 1];
    ++result.Strides;
  }
  return result;
}

std::vector<AttributeListEntry> AttributeListEntries(std::span<const uint8_t> list) {
  std::vector<AttributeListEntry> entries;
  size_t at = 0;
  while (Fits(list, at, kSmallestEntry)) {
    const uint16_t length = ReadLe16(list, at + kEntryLengthOffset);
    if (length < kSmallestEntry) break;
    AttributeListEntry entry;
    entry.Type = ReadLe32(list, at);
    entry.NameLength = ReadU8(list, at + kEntryNameLengthOffset);
    entry.LowestVcn = ReadLe64(list, at + kEntryLowestVcnOffset);
    entry.Reference = ReadLe64(list, at + kEntryReferenceOffset);
    entries.push_back(entry);
    at += length;
  }
  return entries;
}

}  // namespace korvalane::ntfs
