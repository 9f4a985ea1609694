#include "core/views/Listing.h"

#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

constexpr char16_t kNotADirectory[] = u"This sector does not contain information about a file records";

void AppendDecimal(std::u16string& out, uint64_t value, size_t width) {
  char16_t digits[20];
  size_t count = 0;
  do {
    digits[count++] = static_cast<char16_t>(u'0' + value % 10);
    value /= 10;
  } while (value != 0);
  for (size_t i = count; i < width; ++i) out += u'0';
  while (count > 0) out += digits[--count];
}

}  // namespace

std::optional<std::vector<uint8_t>> ReadDirectoryCluster(uint64_t sector, uint64_t largestCluster) {
  const VolumeGeometry& g = Geometry();
  if (g.SectorsPerCluster <= 0 || g.BytesPerSector <= 0) return std::nullopt;
  const uint64_t clusterBytes = uint64_t{static_cast<uint32_t>(g.SectorsPerCluster)} *
                                static_cast<uint32_t>(g.BytesPerSector);
  if (clusterBytes > largestCluster) return std::nullopt;
  std::vector<uint8_t> cluster(static_cast<size_t>(clusterBytes));
  if (!ReadSectors(sector, cluster)) return std::nullopt;
  return cluster;
}

std::u16string ListingLine(const ListingEntry& entry) {
  std::u16string line;
  line.reserve(entry.Name.size() + 64);
  line += entry.Name;
  line += u"  ";
  if (!entry.Note.empty()) return line + entry.Note;
  AppendDecimal(line, entry.Year, 4);
  line += u'/';
  AppendDecimal(line, entry.Month, 2);
  line += u'/';
  AppendDecimal(line, entry.Day, 2);
  line += u' ';
  AppendDecimal(line, entry.Hour, 2);
  line += u':';
  AppendDecimal(line, entry.Minute, 2);
  line += u", size ";
  AppendDecimal(line, entry.Size, 0);
  line += u" b, cluster ";
  AppendDecimal(line, entry.Cluster, 0);
  return line;
}

void AppendListing(const Listing& listing, std::vector<std::u16string>& view) {
  if (!listing.IsDirectory) {
    view.emplace_back(kNotADirectory);
    return;
  }
  view.reserve(view.size() + listing.Entries.size());
  for (const ListingEntry& entry : listing.Entries) view.push_back(ListingLine(entry));
}

}  // namespace korvalane
