#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "core/Bytes.h"

namespace korvalane::ntfs {

// FILE record header.
constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"
constexpr size_t kUpdateSequenceOffset = 4;
constexpr size_t kUpdateSequenceCount = 6;
constexpr size_t kFirstAttributeOffset = 20;
constexpr size_t kRecordFlagsOffset = 22;
constexpr uint16_t kRecordInUse = 0x0001;  // cleared when the file is deleted
constexpr size_t kBaseReferenceOffset = 32;
constexpr size_t kRecordNumberOffset = 44;
// A file reference: the record number in its low 48 bits, the record's sequence number above.
constexpr uint64_t kRecordNumberMask = 0xFFFFFFFFFFFFull;

// Attribute header.
constexpr size_t kAttributeLengthOffset = 4;
constexpr size_t kAttributeHeaderBytes = 6;  // type and the low half of the length
constexpr size_t kNonResidentFlagOffset = 8;
constexpr size_t kAttributeNameLengthOffset = 9;
constexpr size_t kResidentValueLengthOffset = 16;
constexpr size_t kResidentValueOffset = 20;
constexpr size_t kLowestVcnOffset = 16;
constexpr size_t kRunListOffset = 32;
constexpr size_t kDataSizeOffset = 48;
constexpr uint32_t kEndMarker = 0xFFFFFFFF;

// Attribute types, by their low byte.
constexpr uint8_t kStandardInformation = 0x10;
constexpr uint8_t kAttributeList = 0x20;
constexpr uint8_t kFileName = 0x30;
constexpr uint8_t kData = 0x80;
constexpr uint8_t kIndexRoot = 0x90;
constexpr uint8_t kIndexAllocation = 0xA0;

// The update sequence protects the last two bytes of every 512-byte stride of a record,
// whatever the sector size; its array has one entry per stride plus the sequence number.
constexpr size_t kStride = 512;
constexpr uint16_t kFewestSequenceEntries = 2;  // the number and one stride

// FILE records are at most 64 KiB.
constexpr int32_t kLargestRecord = 65536;

// What putting the update sequence back found.
struct FixupResult {
  bool ArrayFits = false;  // the array, with at least the sequence number, lies within the record
  size_t Strides = 0;      // strides whose last two bytes were put back
  size_t Torn = 0;         // of those, the ones that did not end in the sequence number
  // A record written whole: a record torn in writing has a stride that does not end in
  // the number.
  bool Sound() const { return ArrayFits && Torn == 0; }
};

// One stride as ApplyFixups meets it, before its last two bytes are put back.
struct FixupStride {
  size_t Index = 0;    // 1 for the first stride
  size_t End = 0;      // the place of its last two bytes
  size_t Saved = 0;    // the place of their saved copy in the array
  uint16_t Found = 0;  // what its last two bytes held
  uint16_t Sequence = 0;
};

// Puts back the last two bytes of every 512-byte stride of a FILE record from the update
// sequence array (the record's header gives its place and its count of entries, the
// sequence number first), where the volume wrote the sequence number instead. Strides
// past the record's end, and entries past it, are left alone: nothing outside `record`
// is read or written. Each stride is shown to `each` first, when given.
FixupResult ApplyFixups(std::span<uint8_t> record, const std::function<void(const FixupStride&)>& each = nullptr);

// One entry of an $ATTRIBUTE_LIST: an attribute of the file, and the record that holds it.
struct AttributeListEntry {
  uint32_t Type = 0;
  uint8_t NameLength = 0;
  uint64_t LowestVcn = 0;
  uint64_t Reference = 0;  // of the record holding the attribute: number and sequence
  uint64_t Record() const { return Reference & kRecordNumberMask; }
};

// The entries of an attribute list's value, as far as they lie within it.
std::vector<AttributeListEntry> AttributeListEntries(std::span<const uint8_t> list);

struct AttributeHeader {
  size_t Offset = 0;  // of the attribute's first byte in the record
  uint8_t Type = 0;
  uint16_t Length = 0;
};

// Steps through the attributes of a FILE record from the first one. Each step says what
// stands at the walk's place: an attribute, the end marker, or damage (a header past the
// record's end, an attribute length of 0, which would walk on the spot). The end marker's
// four bytes end the walk whatever follows them: ntfs-3g leaves zeros there, where
// Windows leaves a length.
class AttributeWalk {
 public:
  enum class At { Attribute, EndMarker, Damaged };

  explicit AttributeWalk(std::span<const uint8_t> record)
      : bytes_(record), pos_(ReadLe16(record, kFirstAttributeOffset)) {}

  At Here(AttributeHeader& header) const {
    if (Fits(bytes_, pos_, 4) && ReadLe32(bytes_, pos_) == kEndMarker) return At::EndMarker;
    if (!Fits(bytes_, pos_, kAttributeHeaderBytes)) return At::Damaged;
    header = AttributeHeader{pos_, bytes_[pos_], ReadLe16(bytes_, pos_ + kAttributeLengthOffset)};
    return header.Length == 0 ? At::Damaged : At::Attribute;
  }

  // On past the attribute Here gave.
  void Next(const AttributeHeader& header) { pos_ = header.Offset + header.Length; }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_;
};

}  // namespace korvalane::ntfs
