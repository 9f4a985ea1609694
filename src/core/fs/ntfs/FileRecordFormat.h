#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "core/Bytes.h"

namespace korvalane::ntfs {

// FILE record header.
constexpr uint32_t kFileSignature = 0x454C4946;  // "FILE"
constexpr size_t kUpdateSequenceOffset = 4;
constexpr size_t kUpdateSequenceCount = 6;
constexpr size_t kFirstAttributeOffset = 20;
constexpr size_t kRecordFlagsOffset = 22;
constexpr uint16_t kRecordInUse = 0x0001;  // cleared when the file is deleted
constexpr size_t kRecordNumberOffset = 44;

// Attribute header.
constexpr size_t kAttributeLengthOffset = 4;
constexpr size_t kAttributeHeaderBytes = 6;  // type and the low half of the length
constexpr size_t kNonResidentFlagOffset = 8;
constexpr size_t kResidentValueLengthOffset = 16;
constexpr size_t kRunListOffset = 32;
constexpr size_t kDataSizeOffset = 48;
constexpr uint32_t kEndMarker = 0xFFFFFFFF;

// Attribute types, by their low byte.
constexpr uint8_t kStandardInformation = 0x10;
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
