#include "core/fs/fat/FatDirectory.h"

#include <algorithm>
#include <vector>

#include "core/Bytes.h"
#include "core/fs/fat/FatDirectoryChain.h"
#include "core/fs/fat/FatFileSystem.h"
#include "core/text/CodePage.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

// DOS code page 866 keeps А..п at 0x80-0xAF and р..я at 0xE0-0xEF, Ё and ё at 0xF0 and
// 0xF1; Windows-1251 has them at 0xC0-0xFF, 0xA8 and 0xB8. The box-drawing range between
// is left as it is, apart from 0xC4 (a horizontal line, shown as a dash) and 0xFF.
const std::array<uint8_t, 128> ShortNameCharTable = [] {
  std::array<uint8_t, 128> table{};
  for (unsigned b = 0x80; b <= 0xFF; ++b) {
    unsigned value = b;
    if (b <= 0xAF) {
      value = b + 0x40;
    } else if (b >= 0xE0 && b <= 0xEF) {
      value = b + 0x10;
    }
    table[b - 0x80] = static_cast<uint8_t>(value);
  }
  table[0xC4 - 0x80] = 0x97;
  table[0xF0 - 0x80] = 0xA8;
  table[0xF1 - 0x80] = 0xB8;
  table[0xFF - 0x80] = 0xA9;
  return table;
}();

namespace {

constexpr size_t kEntrySize = 32;

// Short directory entry.
constexpr size_t kNameOffset = 0;
constexpr size_t kNameLength = 8;
constexpr size_t kExtensionOffset = 8;
constexpr size_t kExtensionLength = 3;
constexpr size_t kAttributesOffset = 11;
// Windows NT keeps an all-lower-case base name or extension as upper case in the entry
// and marks it here, instead of writing a long name.
constexpr size_t kCaseFlagsOffset = 12;
constexpr uint8_t kLowerCaseBase = 0x08;
constexpr uint8_t kLowerCaseExtension = 0x10;
constexpr size_t kFirstClusterHighOffset = 20;
constexpr size_t kWriteTimeOffset = 22;
constexpr size_t kWriteDateOffset = 24;
constexpr size_t kFirstClusterLowOffset = 26;
constexpr size_t kFileSizeOffset = 28;

// A long-name entry carries 13 UTF-16 units in three pieces.
constexpr uint8_t kLongNameAttributes = 0x0F;
struct NamePiece {
  size_t Offset;
  size_t Units;
};
constexpr NamePiece kLongNamePieces[] = {{1, 5}, {14, 6}, {28, 2}};
constexpr char16_t kNamePadding = 0xFFFF;

constexpr uint8_t kVolumeLabelAttribute = 0x08;
constexpr uint8_t kDeleted = 0xE5;
// A name whose first byte really is 0xE5 stores 0x05 there, as 0xE5 marks a deleted entry.
constexpr uint8_t kStoredE5 = 0x05;

constexpr uint8_t kEndOfDirectory = 0x00;

// Plausibility bounds of the last-write stamp. The year field (0 to 127, 1980 to 2107) is
// never out of bounds, so entries written in any year are listed.
constexpr unsigned kLatestMonth = 12;
constexpr unsigned kLatestHour = 24;
constexpr unsigned kLatestMinute = 60;

// No FAT geometry gives a cluster above 255 sectors of 4608 bytes; more is a corrupt
// record and is not read.
constexpr uint64_t kLargestCluster = 255u * 4608u;

std::u16string Trimmed(const std::u16string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && text[begin] <= u' ') ++begin;
  while (end > begin && text[end - 1] <= u' ') --end;
  return text.substr(begin, end - begin);
}

// A short name's byte as shown: ASCII as it is, the rest through ShortNameCharTable.
char16_t ShortNameChar(uint8_t byte) {
  return byte < 0x80 ? static_cast<char16_t>(byte) : Windows1251ToUtf16(ShortNameCharTable[byte - 0x80u]);
}

// The name of the short entry at `p`, or empty when it is not listed by name.
std::u16string EntryName(std::span<const uint8_t> entry, const std::vector<char16_t>& reversedLongName) {
  std::u16string name;
  if (!reversedLongName.empty()) {
    name.reserve(reversedLongName.size());
    for (auto it = reversedLongName.rbegin(); it != reversedLongName.rend(); ++it) {
      if (*it != 0) name += *it;
    }
    return Trimmed(name);
  }
  for (size_t i = 0; i < kNameLength; ++i) {
    const uint8_t byte = entry[kNameOffset + i];
    name += ShortNameChar(byte);
  }
  name = Trimmed(name);
  if (name.empty()) return name;
  std::u16string extension;
  for (size_t i = 0; i < kExtensionLength; ++i) extension += static_cast<char16_t>(entry[kExtensionOffset + i]);
  extension = Trimmed(extension);
  if (!extension.empty()) name += u'.' + extension;
  return name;
}

// The 8.3 name as Windows shows it: the case flags applied, the blanks that pad each
// part dropped, a dot between them (a volume label is its eleven characters as they are).
std::u16string ShortNameAsShown(std::span<const uint8_t> entry, bool volumeLabel) {
  const uint8_t flags = entry[kCaseFlagsOffset];
  const auto part = [&](size_t offset, size_t length, bool lower) {
    std::u16string text;
    for (size_t i = 0; i < length; ++i) {
      uint8_t byte = entry[offset + i];
      if (offset + i == kNameOffset && byte == kStoredE5) byte = kDeleted;
      if (lower && byte >= 'A' && byte <= 'Z') byte = static_cast<uint8_t>(byte - 'A' + 'a');
      text += ShortNameChar(byte);
    }
    while (!text.empty() && text.back() == u' ') text.pop_back();
    return text;
  };
  if (volumeLabel) return part(kNameOffset, kNameLength + kExtensionLength, false);
  std::u16string name = part(kNameOffset, kNameLength, (flags & kLowerCaseBase) != 0);
  const std::u16string extension = part(kExtensionOffset, kExtensionLength, (flags & kLowerCaseExtension) != 0);
  if (!extension.empty()) name += u'.' + extension;
  return name;
}

// A long-name entry's units, added in front of those gathered so far (kept reversed).
void GatherLongName(std::span<const uint8_t> entry, std::vector<char16_t>& reversedLongName) {
  for (auto piece = std::rbegin(kLongNamePieces); piece != std::rend(kLongNamePieces); ++piece) {
    for (size_t u = piece->Units; u-- > 0;) {
      const char16_t unit = ReadLe16(entry, piece->Offset + 2 * u);
      if (unit != kNamePadding) reversedLongName.push_back(unit);
    }
  }
}

}  // namespace

std::optional<Listing> ReadFatDirectory(uint64_t sector, const MessagePump& pump, bool followChain) {
  const VolumeGeometry& g = Geometry();
  const std::optional<std::vector<uint8_t>> cluster = ReadDirectoryCluster(sector, kLargestCluster);
  if (!cluster) return std::nullopt;
  const std::span<const uint8_t> bytes(*cluster);
  Listing listing;
  // Long-name entries stand in reverse order before their short entry; their units are
  // gathered back to front so that each entry costs only its own units.
  std::vector<char16_t> reversedLongName;

  // A directory is either the root (where the data area starts) or begins with "." and "..".
  const bool atDataStart = sector == uint64_t{static_cast<uint32_t>(g.StartDataSector)};
  if (!atDataStart && !OpensFatDirectory(bytes)) {
    if (!followChain) return listing;
    const std::optional<uint64_t> number = ClusterStartingAt(sector);
    const std::optional<DirectoryChainPlace> place = number ? FindInDirectoryChain(*number) : std::nullopt;
    if (!place) return listing;
    listing.DirectoryFirstCluster = place->FirstCluster;
    listing.ClusterInDirectory = place->Index;
    // The long-name entries that end the cluster before belong to the first short entry
    // here.
    const Location previous = LocateFatCluster(place->Previous);
    const std::optional<std::vector<uint8_t>> before =
        previous.Sector ? ReadDirectoryCluster(*previous.Sector, kLargestCluster) : std::nullopt;
    if (before) {
      // Not where an end-of-directory mark stands there: the directory ended before.
      const std::span<const uint8_t> last(*before);
      const size_t end = last.size() / kEntrySize * kEntrySize;
      bool ended = false;
      for (size_t p = kEntrySize; p < end && !ended; p += kEntrySize) ended = last[p] == kEndOfDirectory;
      size_t p = end;
      while (!ended && p >= kEntrySize && last[p - kEntrySize + kAttributesOffset] == kLongNameAttributes) p -= kEntrySize;
      for (; !ended && p < end; p += kEntrySize) GatherLongName(last.subspan(p, kEntrySize), reversedLongName);
    }
  }
  listing.IsDirectory = true;

  const bool fat32 = g.FileSystemKind != FileSystemKind::Fat;
  for (size_t p = 0; p + kEntrySize <= bytes.size(); p += kEntrySize) {
    if (p != 0 && bytes[p] == kEndOfDirectory) break;
    if (!pump()) return std::nullopt;
    const std::span<const uint8_t> entry = bytes.subspan(p, kEntrySize);

    if (entry[kAttributesOffset] == kLongNameAttributes) {
      GatherLongName(entry, reversedLongName);
      continue;
    }

    const std::u16string name = EntryName(entry, reversedLongName);
    reversedLongName.clear();
    if (name.empty()) continue;

    ListingEntry listed;
    UnpackDosDateTime(ReadLe16(entry, kWriteDateOffset), ReadLe16(entry, kWriteTimeOffset), listed);
    if (listed.Month > kLatestMonth || listed.Hour > kLatestHour || listed.Minute > kLatestMinute) continue;

    const uint32_t low = ReadLe16(entry, kFirstClusterLowOffset);
    const uint32_t high = fat32 ? ReadLe16(entry, kFirstClusterHighOffset) : 0;
    listed.Name = name;
    listed.Deleted = entry[kNameOffset] == kDeleted;
    listed.VolumeLabel = (entry[kAttributesOffset] & kVolumeLabelAttribute) != 0;
    listed.ShortNameAsShown = ShortNameAsShown(entry, listed.VolumeLabel);
    listed.Size = ReadLe32(entry, kFileSizeOffset);
    listed.Cluster = high << 16 | low;
    listing.Entries.push_back(std::move(listed));
  }
  return listing;
}

void ListFatDirectory(uint64_t sector, ViewText& view, const MessagePump& pump) {
  WriteListing(ReadFatDirectory(sector, pump), &view, nullptr);
}

}  // namespace korvalane
