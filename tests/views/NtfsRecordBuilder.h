#pragma once

// Builds NTFS FILE records by hand for the view tests: attributes in order, an end marker,
// and the update sequence protection a volume applies before writing a record.

#include <cstdint>
#include <string>
#include <vector>

namespace korvalane::testing {

inline void Put(std::vector<uint8_t>& b, size_t at, uint64_t v, size_t width) {
  for (size_t i = 0; i < width; ++i) b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

// One attribute: the type, a length, and whatever the test sets in it. A length below 16
// (a corrupt one) still gets 16 bytes in the record.
struct Attribute {
  std::vector<uint8_t> Bytes;
  explicit Attribute(uint32_t type, size_t length) : Bytes(length < 16 ? 16 : length, 0) {
    Put(Bytes, 0, type, 4);
    Put(Bytes, 4, length, 4);
  }
};

inline Attribute StandardInformation(uint64_t creationTime) {
  Attribute a(0x10, 96);
  Put(a.Bytes, 16, 72, 4);  // value length
  Put(a.Bytes, 20, 24, 2);  // value offset
  Put(a.Bytes, 24, creationTime, 8);
  return a;
}

inline Attribute FileName(const std::u16string& name, uint64_t parent) {
  const size_t length = (90 + 2 * name.size() + 7) / 8 * 8;
  Attribute a(0x30, length);
  Put(a.Bytes, 16, 66 + 2 * name.size(), 4);
  Put(a.Bytes, 20, 24, 2);
  Put(a.Bytes, 24, parent | uint64_t{1} << 48, 8);  // reference: record and sequence number
  a.Bytes[88] = static_cast<uint8_t>(name.size());
  a.Bytes[89] = 1;  // Win32 namespace
  for (size_t i = 0; i < name.size(); ++i) Put(a.Bytes, 90 + 2 * i, name[i], 2);
  return a;
}

inline Attribute ResidentData(uint16_t valueLength) {
  Attribute a(0x80, (24 + valueLength + 7u) / 8 * 8);
  Put(a.Bytes, 16, valueLength, 4);
  Put(a.Bytes, 20, 24, 2);
  return a;
}

inline Attribute NonResidentData(int64_t size, const std::vector<uint8_t>& runs) {
  Attribute a(0x80, (64 + runs.size() + 7) / 8 * 8);
  a.Bytes[8] = 1;
  Put(a.Bytes, 32, 64, 2);
  Put(a.Bytes, 48, static_cast<uint64_t>(size), 8);
  for (size_t i = 0; i < runs.size(); ++i) a.Bytes[64 + i] = runs[i];
  return a;
}

inline Attribute IndexRoot() { return Attribute(0x90, 56); }

struct RecordBuilder {
  std::vector<uint8_t> Bytes;
  size_t Position;  // where the next attribute goes

  // The first attribute follows the update sequence array, 8-byte aligned: at 56 in a
  // 1024-byte record, at 72 in a 4096-byte one.
  explicit RecordBuilder(uint32_t recordNumber, size_t size = 1024)
      : Bytes(size, 0), Position((48 + 2 * (size / 512 + 1) + 7) / 8 * 8) {
    Bytes[0] = 'F';
    Bytes[1] = 'I';
    Bytes[2] = 'L';
    Bytes[3] = 'E';
    Put(Bytes, 4, 48, 2);                // update sequence array offset
    Put(Bytes, 6, size / 512 + 1, 2);    // one entry per 512 bytes and the sequence number
    Put(Bytes, 20, Position, 2);
    Put(Bytes, 22, 1, 2);                // in use
    Put(Bytes, 44, recordNumber, 4);
  }

  RecordBuilder& Add(const Attribute& a) {
    std::copy(a.Bytes.begin(), a.Bytes.end(), Bytes.begin() + static_cast<std::ptrdiff_t>(Position));
    Position += a.Bytes.size();
    return *this;
  }

  // The end marker; Windows leaves a length after it, ntfs-3g zeros.
  RecordBuilder& End(uint32_t after = 0) {
    Put(Bytes, Position, 0xFFFFFFFF, 4);
    Put(Bytes, Position + 4, after, 4);
    Position += 8;
    return *this;
  }

  // The record as written to disk: the last two bytes of every 512-byte stride moved into
  // the update sequence array and replaced by the sequence number.
  std::vector<uint8_t> Protected(uint16_t sequenceNumber = 0x0007) const {
    std::vector<uint8_t> disk = Bytes;
    Put(disk, 48, sequenceNumber, 2);
    for (size_t i = 1; i <= disk.size() / 512; ++i) {
      disk[48 + 2 * i] = Bytes[512 * i - 2];
      disk[48 + 2 * i + 1] = Bytes[512 * i - 1];
      Put(disk, 512 * i - 2, sequenceNumber, 2);
    }
    return disk;
  }
};

}  // namespace korvalane::testing
