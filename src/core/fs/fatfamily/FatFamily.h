#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/model/ViewText.h"
#include "core/text/Json.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {

// What FAT and exFAT share: the listing of a directory cluster, the DOS date and time
// stamp, and the geometry lines of their details reports.

// One line of a directory listing ("File record" on FAT and exFAT): the entry's name, its
// last-write date and time as stored, its size and its first cluster.
struct ListingEntry {
  std::u16string Name;
  unsigned Year = 0;  // the full year (1980 and on)
  unsigned Month = 0;
  unsigned Day = 0;
  unsigned Hour = 0;
  unsigned Minute = 0;
  unsigned Second = 0;  // not shown in the line; in the JSON's time
  // The hundredths of a second past Second, where the stamp keeps them (exFAT's, FAT's
  // creation time).
  std::optional<uint32_t> Hundredths;
  uint64_t Size = 0;
  uint64_t Cluster = 0;
  // Only for lines that are not files: the volume label of exFAT is "<label>  volume label".
  std::u16string Note;
  // For scripts, not shown in the line: whether the entry is deleted, whether it is the
  // volume label, the 8.3 name as Windows shows it (FAT's lower-case flags applied; FAT
  // only), and the offset from UTC stored beside the stamp (exFAT, when marked valid).
  bool Deleted = false;
  bool VolumeLabel = false;
  std::u16string ShortNameAsShown;
  std::optional<int32_t> UtcOffsetMinutes;
};

// A directory cluster as read: whether it is a directory's (its first cluster, or a later
// one found through the FAT chain), and its entries.
struct Listing {
  bool IsDirectory = false;
  std::vector<ListingEntry> Entries;
  // For a later cluster: the directory's first cluster, and this one's place in the chain
  // (1 for the second cluster).
  std::optional<uint64_t> DirectoryFirstCluster;
  uint64_t ClusterInDirectory = 0;
};

// One cluster of CurrentDrive from `sector` on, at SectorsPerCluster x BytesPerSector
// bytes; nothing when the geometry gives no cluster, one above `largestCluster` bytes (a
// record that no volume of the kind can hold), or the read fails.
std::optional<std::vector<uint8_t>> ReadDirectoryCluster(uint64_t sector, uint64_t largestCluster);

// "README.TXT  2009/03/07 14:05, size 1234 b, cluster 5": the name, two blanks, the
// year in four digits, month, day, hour and minute in two (zero-filled), the size and the
// first cluster in decimal. An entry with a Note is its name, two blanks and the note.
std::u16string ListingLine(const ListingEntry& entry);

// The lines of a listing: one per entry, or for a cluster that is not the start of a
// directory the line "This sector does not contain information about a file records".
void AppendListing(const Listing& listing, std::vector<std::u16string>& view);

// The same listing for scripts: {"entries"}, each entry with its name, its flags and
// either its note or its stamp ("modified" in ISO 8601, null when it is no calendar
// time), size and first cluster; for a directory's later cluster also
// "directoryFirstCluster" and "clusterInDirectory". Nothing for a cluster that is no
// directory's.
Json ListingJson(const Listing& listing);

// The "File record" view of a FAT or exFAT volume from a listing as read (nothing when it
// could not be read or was superseded): its lines, its JSON, the indices of the lines of
// deleted entries, each when asked for.
void WriteListing(const std::optional<Listing>& listing, ViewText* view, Json* json,
                  std::vector<size_t>* deletedLines = nullptr);

// A DOS date (year since 1980 in bits 15-9, month 8-5, day 4-0) and time (hour 15-11,
// minute 10-5, two-second count 4-0) into the entry's stamp, as stored.
void UnpackDosDateTime(uint16_t date, uint16_t time, ListingEntry& entry);

// A stamp of the FAT family: a DOS date and time, the 10 ms units (0-199) that FAT's
// creation time and exFAT's stamps keep past the two-second count, and exFAT's offset
// byte (bit 7: valid; bits 6-0: quarters of an hour east of UTC, signed).
struct FatStamp {
  uint16_t Date = 0;
  uint16_t Time = 0;
  std::optional<uint8_t> TenMs;
  std::optional<uint8_t> UtcOffset;
};

// exFAT's stamps pack a DOS date (bits 31-16) above a DOS time (bits 15-0).
FatStamp ExfatStamp(uint32_t packed, std::optional<uint8_t> tenMs, uint8_t utcOffset);

// The stamp into the entry: its date and time, the whole seconds and hundredths the 10 ms
// units add, and the offset where it is marked valid.
void UnpackStamp(const FatStamp& stamp, ListingEntry& entry);

// The entry's stamp as the moment in UTC, with its hundredths where it keeps them: by the
// offset stored beside it where there is one, otherwise by this machine's offset at that
// wall-clock time (FAT keeps local time and no zone). Nothing for no calendar time.
std::optional<std::string> StampIso8601(const ListingEntry& entry);
std::optional<std::string> StampIso8601(const FatStamp& stamp);

// The details lines FAT and exFAT share, from "Bytes per sector" to "Start data sector",
// and the same values as JSON fields.
void WriteFatFamilyGeometry(const VolumeGeometry& g, ViewText* view, Json* json);

}  // namespace korvalane
