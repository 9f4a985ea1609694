#include "core/fs/exfat/ExfatDirectory.h"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/exfat/ExfatGeometry.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr size_t kEntrySize = 32;

// The first byte of an entry is its type; bit 7 says whether it is in use. A deleted
// entry keeps the other seven bits, so a deleted file's set reads 0x05, 0x40, 0x41 ...
constexpr uint8_t kInUseBit = 0x80;
constexpr uint8_t kEndOfDirectory = 0x00;
constexpr uint8_t kFileType = 0x05;       // File (0x85 in use): the primary entry of a set
constexpr uint8_t kStreamType = 0x40;     // Stream Extension (0xC0): first secondary
constexpr uint8_t kFileNameType = 0x41;   // File Name (0xC1): 15 units of the name each
constexpr uint8_t kVolumeLabelType = 0x83;

// File entry.
constexpr size_t kSecondaryCountOffset = 1;
constexpr size_t kLastModifiedOffset = 12;
constexpr size_t kLastModified10msOffset = 21;  // 0 to 199: what the two-second count drops
constexpr size_t kLastModifiedUtcOffset = 23;
// A file's set holds at least its stream extension and one file name entry.
constexpr uint8_t kFewestSecondaries = 2;

// Stream Extension entry.
constexpr size_t kNameLengthOffset = 3;
constexpr size_t kFirstClusterOffset = 20;
constexpr size_t kDataLengthOffset = 24;

// File Name entry.
constexpr size_t kNameUnitsOffset = 2;
constexpr size_t kUnitsPerNameEntry = 15;

// Volume Label entry: a count of UTF-16 units, then at most 11 units.
constexpr size_t kLabelLengthOffset = 1;
constexpr size_t kLabelUnitsOffset = 2;
constexpr size_t kMostLabelUnits = 11;

// exFAT clusters are at most 32 MiB; a larger one is a record left by something else.
constexpr uint64_t kLargestCluster = uint64_t{32} << 20;

bool IsType(uint8_t type, uint8_t withoutInUseBit) {
  return (type & static_cast<uint8_t>(~kInUseBit)) == withoutInUseBit;
}

// UTF-16 units of a name as stored, without the NUL units that no name may hold (a
// damaged entry would otherwise put control characters into the line).
void AppendUnit(std::u16string& name, char16_t unit) {
  if (unit != 0) name += unit;
}

// Whether the entry at `p` opens a file's entry set: a File entry with room for a stream
// extension and a name, followed by the stream extension.
bool OpensFileSet(std::span<const uint8_t> bytes, size_t p) {
  return Fits(bytes, p, 2 * kEntrySize) && IsType(bytes[p], kFileType) &&
         bytes[p + kSecondaryCountOffset] >= kFewestSecondaries && IsType(bytes[p + kEntrySize], kStreamType);
}

// The entry of the file whose set begins at `p`, or nothing when the set is not whole
// inside the cluster.
std::optional<ListingEntry> FileEntry(std::span<const uint8_t> bytes, size_t p) {
  if (!OpensFileSet(bytes, p)) return std::nullopt;
  const size_t entries = size_t{1} + bytes[p + kSecondaryCountOffset];
  if (!Fits(bytes, p, entries * kEntrySize)) return std::nullopt;
  const size_t setEnd = p + entries * kEntrySize;

  const std::span<const uint8_t> file = bytes.subspan(p, kEntrySize);
  const std::span<const uint8_t> stream = bytes.subspan(p + kEntrySize, kEntrySize);
  const size_t nameLength = stream[kNameLengthOffset];

  // The name entries follow the stream extension, 15 units each, until NameLength units.
  std::u16string name;
  size_t units = 0;
  for (size_t q = p + 2 * kEntrySize; q < setEnd && units < nameLength && IsType(bytes[q], kFileNameType);
       q += kEntrySize) {
    for (size_t u = 0; u < kUnitsPerNameEntry && units < nameLength; ++u, ++units) {
      AppendUnit(name, ReadLe16(bytes, q + kNameUnitsOffset + 2 * u));
    }
  }

  ListingEntry entry;
  entry.Name = std::move(name);
  entry.Deleted = (bytes[p] & kInUseBit) == 0;
  // Shown as stored in the line: the 10 ms units and the UTC offset kept beside the stamp
  // go only into the JSON's time.
  UnpackStamp(ExfatStamp(ReadLe32(file, kLastModifiedOffset), file[kLastModified10msOffset], file[kLastModifiedUtcOffset]),
              entry);
  entry.Size = ReadLe64(stream, kDataLengthOffset);
  entry.Cluster = ReadLe32(stream, kFirstClusterOffset);
  return entry;
}

ListingEntry LabelEntry(std::span<const uint8_t> bytes) {
  ListingEntry entry;
  const size_t units = std::min<size_t>(bytes[kLabelLengthOffset], kMostLabelUnits);
  for (size_t u = 0; u < units; ++u) AppendUnit(entry.Name, ReadLe16(bytes, kLabelUnitsOffset + 2 * u));
  entry.Note = u"volume label";
  entry.VolumeLabel = true;
  return entry;
}

}  // namespace

std::optional<Listing> ReadExfatDirectory(uint64_t sector, const MessagePump& pump) {
  const std::optional<std::vector<uint8_t>> cluster = ReadDirectoryCluster(sector, kLargestCluster);
  if (!cluster) return std::nullopt;
  const std::span<const uint8_t> bytes(*cluster);
  Listing listing;

  // The root directory holds no entry that names it, so it is known by where it is; any
  // other directory is known by its first entry set.
  const std::optional<int64_t> root = ExfatRootDirectorySector();
  const bool atRoot = root && *root >= 0 && static_cast<uint64_t>(*root) == sector;
  if (!atRoot && !OpensFileSet(bytes, 0)) return listing;
  listing.IsDirectory = true;

  // Entry by entry: the secondary entries of a set are passed over one at a time, so a
  // damaged secondary count cannot hide the sets that follow it.
  for (size_t p = 0; p + kEntrySize <= bytes.size(); p += kEntrySize) {
    const uint8_t type = bytes[p];
    if (type == kEndOfDirectory) break;
    if (!pump()) return std::nullopt;
    if (type == kVolumeLabelType) {
      listing.Entries.push_back(LabelEntry(bytes.subspan(p, kEntrySize)));
    } else if (IsType(type, kFileType)) {
      if (std::optional<ListingEntry> entry = FileEntry(bytes, p)) listing.Entries.push_back(std::move(*entry));
    }
  }
  return listing;
}

void ListExfatDirectory(uint64_t sector, ViewText& view, const MessagePump& pump) {
  WriteListing(ReadExfatDirectory(sector, pump), &view, nullptr);
}

}  // namespace korvalane
