#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace korvalane {

// One line of a directory listing ("File record" on FAT and exFAT): the entry's name, its
// last-write date and time as stored, its size and its first cluster.
struct ListingEntry {
  std::u16string Name;
  unsigned Year = 0;  // the full year (1980 and on)
  unsigned Month = 0;
  unsigned Day = 0;
  unsigned Hour = 0;
  unsigned Minute = 0;
  uint64_t Size = 0;
  uint64_t Cluster = 0;
  // Only for lines that are not files: the volume label of exFAT is "<label>  volume label".
  std::u16string Note;
};

// A directory cluster as read: whether it is the start of a directory, and its entries.
struct Listing {
  bool IsDirectory = false;
  std::vector<ListingEntry> Entries;
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

}  // namespace korvalane
