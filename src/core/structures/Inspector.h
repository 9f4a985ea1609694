#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace korvalane {

// The bytes from one offset on read as each kind of value a disk keeps: unsigned and
// signed integers of 8, 16, 32 and 64 bits, little- and big-endian; a FILETIME (shown as
// the NTFS report shows times); a DOS time and date (the time's two bytes first, as FAT
// stores them); a Unix time (32-bit seconds since 1970, UTC); an exFAT timestamp; a GUID.
// A value the bytes do not hold from the offset on is shown as "-".
struct InspectedValue {
  std::string Name;   // "u32 LE"
  std::string Value;  // "4096"
};
std::vector<InspectedValue> InspectBytes(std::span<const uint8_t> bytes, size_t offset);

// A Unix time (seconds since 1970-01-01 UTC) as "2021-06-15 12:34:56 UTC".
std::string UnixTimeText(int64_t seconds);

}  // namespace korvalane
