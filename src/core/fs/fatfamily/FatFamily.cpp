#include "core/fs/fatfamily/FatFamily.h"

#include "core/fs/FileSystem.h"
#include "core/text/IsoTime.h"
#include "core/text/NumberFormat.h"

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

namespace {

Json ModifiedJson(const ListingEntry& e) {
  const std::optional<std::string> utc = StampIso8601(e);
  return utc ? Json(*utc) : Json();
}

}  // namespace

Json ListingJson(const Listing& listing) {
  Json entries = Json::Array();
  for (const ListingEntry& e : listing.Entries) {
    Json entry = Json::Object().Set("name", e.Name);
    if (!e.ShortNameAsShown.empty()) entry.Set("shortNameAsShown", e.ShortNameAsShown);
    entry.Set("deleted", e.Deleted).Set("volumeLabel", e.VolumeLabel);
    if (!e.Note.empty()) {
      entries.Push(entry.Set("note", e.Note));
      continue;
    }
    entries.Push(entry.Set("year", e.Year)
                     .Set("month", e.Month)
                     .Set("day", e.Day)
                     .Set("hour", e.Hour)
                     .Set("minute", e.Minute)
                     .Set("modified", ModifiedJson(e))
                     .Set("size", e.Size)
                     .Set("cluster", e.Cluster));
  }
  Json json = Json::Object().Set("entries", entries);
  if (listing.DirectoryFirstCluster) {
    json.Set("directoryFirstCluster", *listing.DirectoryFirstCluster)
        .Set("clusterInDirectory", listing.ClusterInDirectory);
  }
  return json;
}

void WriteListing(const std::optional<Listing>& listing, ViewText* view, Json* json,
                  std::vector<size_t>* deletedLines) {
  if (!listing) return;
  if (view) {
    const size_t first = view->size();
    AppendListing(*listing, *view);
    // One line per entry, in order.
    if (deletedLines && listing->IsDirectory) {
      for (size_t i = 0; i < listing->Entries.size(); ++i) {
        if (listing->Entries[i].Deleted) deletedLines->push_back(first + i);
      }
    }
  }
  if (json && listing->IsDirectory) *json = ListingJson(*listing);
}

void UnpackDosDateTime(uint16_t date, uint16_t time, ListingEntry& entry) {
  entry.Year = 1980 + (date >> 9);
  entry.Month = date >> 5 & 0x0Fu;
  entry.Day = date & 0x1Fu;
  entry.Hour = time >> 11;
  entry.Minute = time >> 5 & 0x3Fu;
  entry.Second = 2 * (time & 0x1Fu);
}

FatStamp ExfatStamp(uint32_t packed, std::optional<uint8_t> tenMs, uint8_t utcOffset) {
  return FatStamp{static_cast<uint16_t>(packed >> 16), static_cast<uint16_t>(packed), tenMs, utcOffset};
}

void UnpackStamp(const FatStamp& stamp, ListingEntry& entry) {
  constexpr unsigned kMost10ms = 199;
  constexpr uint8_t kUtcOffsetValid = 0x80;
  UnpackDosDateTime(stamp.Date, stamp.Time, entry);
  if (stamp.TenMs && *stamp.TenMs <= kMost10ms) {
    entry.Second += *stamp.TenMs / 100u;
    entry.Hundredths = *stamp.TenMs % 100u;
  }
  if (stamp.UtcOffset && (*stamp.UtcOffset & kUtcOffsetValid) != 0) {
    // Seven bits, two's complement: 0x40 and up are west of UTC.
    const uint8_t offset = *stamp.UtcOffset;
    const int32_t quarters = (offset & 0x40) != 0 ? static_cast<int32_t>(offset & 0x7F) - 0x80 : offset & 0x3F;
    entry.UtcOffsetMinutes = quarters * 15;
  }
}

std::optional<std::string> StampIso8601(const ListingEntry& e) {
  const CivilTime time{static_cast<int>(e.Year), static_cast<int>(e.Month), static_cast<int>(e.Day),
                       static_cast<int>(e.Hour), static_cast<int>(e.Minute), static_cast<int>(e.Second), 0};
  const SecondFraction fraction = e.Hundredths ? SecondFraction{*e.Hundredths, 2} : SecondFraction{};
  return e.UtcOffsetMinutes ? WallClockIso8601(time, *e.UtcOffsetMinutes, fraction) : LocalTimeIso8601(time, fraction);
}

std::optional<std::string> StampIso8601(const FatStamp& stamp) {
  ListingEntry entry;
  UnpackStamp(stamp, entry);
  return StampIso8601(entry);
}

void WriteFatFamilyGeometry(const VolumeGeometry& g, ViewText* view, Json* json) {
  WriteGeometryLines(g, GeometryLines::ToDataStart, view, json);
}

}  // namespace korvalane
