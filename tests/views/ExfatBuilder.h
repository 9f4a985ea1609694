#pragma once

// Hand-built exFAT boot sectors and directory entries for the tests over the in-memory
// platform. Offsets are those of the on-disk format; nothing here is taken from the code
// under test.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace korvalane::testing {

inline void PutLe(std::vector<uint8_t>& bytes, size_t offset, uint64_t value, size_t width) {
  for (size_t i = 0; i < width; ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// The main boot sector; the fields not named are those of a 64 MiB volume as mkfs.exfat
// makes it (512-byte sectors, 4 KiB clusters).
struct ExfatBoot {
  uint64_t volumeLength = 131072;
  uint32_t fatOffset = 2048;
  uint32_t fatLength = 128;
  uint32_t heapOffset = 4096;
  uint32_t clusterCount = 15872;
  uint32_t rootCluster = 5;
  uint8_t sectorShift = 9;
  uint8_t clusterShift = 3;
  uint8_t fats = 1;
  const char* name = "EXFAT   ";
  uint16_t signature = 0xAA55;

  // The volume's first `bytes` bytes with this sector at the start.
  std::vector<uint8_t> Volume(size_t bytes = 16 * 4096) const {
    std::vector<uint8_t> v(bytes, 0);
    v[0] = 0xEB;
    v[1] = 0x76;
    v[2] = 0x90;
    std::memcpy(v.data() + 3, name, 8);
    PutLe(v, 72, volumeLength, 8);
    PutLe(v, 80, fatOffset, 4);
    PutLe(v, 84, fatLength, 4);
    PutLe(v, 88, heapOffset, 4);
    PutLe(v, 92, clusterCount, 4);
    PutLe(v, 96, rootCluster, 4);
    PutLe(v, 104, 0x0100, 2);  // revision 1.0
    v[108] = sectorShift;
    v[109] = clusterShift;
    v[110] = fats;
    PutLe(v, 510, signature, 2);
    return v;
  }
};

using Entry = std::vector<uint8_t>;

// An exFAT timestamp: DOS date above DOS time.
constexpr uint32_t Timestamp(unsigned year, unsigned month, unsigned day, unsigned hour, unsigned minute,
                             unsigned second = 0) {
  return (year - 1980) << 25 | month << 21 | day << 16 | hour << 11 | minute << 5 | second / 2;
}

struct FileSet {
  std::u16string name;
  uint64_t dataLength = 1234;
  uint32_t firstCluster = 7;
  uint32_t modified = Timestamp(2021, 6, 15, 12, 34, 56);
  bool deleted = false;
  uint8_t attributes = 0x20;
  int secondaryCount = -1;   // -1: the stream extension and the name entries
  int nameLength = -1;       // -1: the name's length
  uint8_t modified10ms = 0;
  uint8_t modifiedUtcOffset = 0x80;  // valid, UTC

  std::vector<Entry> Entries() const {
    const uint8_t inUse = deleted ? 0x00 : 0x80;
    const size_t nameEntries = (name.size() + 14) / 15;
    Entry file(32, 0);
    file[0] = 0x05 | inUse;
    file[1] = static_cast<uint8_t>(secondaryCount >= 0 ? secondaryCount : static_cast<int>(1 + nameEntries));
    file[4] = attributes;
    PutLe(file, 8, Timestamp(2020, 1, 2, 3, 4), 4);   // created
    PutLe(file, 12, modified, 4);
    PutLe(file, 16, Timestamp(2022, 2, 2, 2, 2), 4);  // accessed
    file[21] = modified10ms;
    file[23] = modifiedUtcOffset;
    Entry stream(32, 0);
    stream[0] = 0x40 | inUse;
    stream[1] = 0x03;  // allocation possible, no FAT chain
    stream[3] = static_cast<uint8_t>(nameLength >= 0 ? nameLength : static_cast<int>(name.size()));
    PutLe(stream, 8, dataLength, 8);
    PutLe(stream, 20, firstCluster, 4);
    PutLe(stream, 24, dataLength, 8);
    std::vector<Entry> set{file, stream};
    for (size_t k = 0; k < nameEntries; ++k) {
      Entry part(32, 0);
      part[0] = 0x41 | inUse;
      for (size_t u = 0; u < 15 && 15 * k + u < name.size(); ++u) PutLe(part, 2 + 2 * u, name[15 * k + u], 2);
      set.push_back(part);
    }
    return set;
  }
};

inline Entry VolumeLabel(const std::u16string& label, int count = -1) {
  Entry e(32, 0);
  e[0] = 0x83;
  e[1] = static_cast<uint8_t>(count >= 0 ? count : static_cast<int>(label.size()));
  for (size_t u = 0; u < label.size() && u < 11; ++u) PutLe(e, 2 + 2 * u, label[u], 2);
  return e;
}

inline Entry Typed(uint8_t type, uint32_t firstCluster = 2, uint64_t length = 4096) {
  Entry e(32, 0);
  e[0] = type;
  PutLe(e, 20, firstCluster, 4);
  PutLe(e, 24, length, 8);
  return e;
}

// The entries of a set one after the other, with `extra` entries around it.
inline std::vector<Entry> Concat(std::initializer_list<std::vector<Entry>> parts) {
  std::vector<Entry> all;
  for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

}  // namespace korvalane::testing
