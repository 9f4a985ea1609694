#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/AllocationScan.h"

namespace korvalane {

// The layout a FAT12, FAT16 or FAT32 boot sector gives, as the walk and extraction read it.
struct FatLayout {
  uint32_t BytesPerSector = 0;
  uint32_t SectorsPerCluster = 0;
  uint32_t ReservedSectors = 0;
  uint32_t FatCopies = 0;
  uint64_t FatSectors = 0;
  uint64_t RootStart = 0;    // FAT12/16: the fixed root directory
  uint64_t RootSectors = 0;
  uint64_t DataStart = 0;    // cluster 2
  uint64_t Clusters = 0;
  uint32_t RootCluster = 0;  // FAT32
  int EntryBits = 16;
  uint64_t ClusterBytes() const { return uint64_t{BytesPerSector} * SectorsPerCluster; }
  uint64_t ClusterSector(uint64_t cluster) const { return DataStart + (cluster - 2) * SectorsPerCluster; }
};

// The layout of the boot sector `boot` on a volume of `volumeSectors` sectors, or why it
// is not one that can be walked.
std::optional<FatLayout> ReadFatLayout(std::span<const uint8_t> boot, uint64_t volumeSectors, std::string* why);

// One entry set of a directory: its long name (or short name), its short entry's fields.
struct FatEntry {
  uint64_t First = 0;  // the set's first byte in the directory: its first long-name slot
  uint64_t End = 0;    // one past its short entry
  std::string Name;    // a deleted entry's first character from its long name, else "_"
  std::string Path;
  uint64_t Cluster = 0;
  uint64_t Size = 0;
  bool Directory = false;
  bool Deleted = false;
  uint8_t Attributes = 0;
  uint8_t CreateTenths = 0;  // 10 ms units past CreateTime's even second (0 to 199)
  uint16_t CreateTime = 0;   // DOS time and date: hours, minutes, seconds / 2; years from 1980, month, day
  uint16_t CreateDate = 0;
  uint16_t AccessDate = 0;
  uint16_t WriteTime = 0;
  uint16_t WriteDate = 0;
};

// A short entry's bytes.
inline constexpr size_t kFatEntryBytes = 32;

// What a short entry (kFatEntryBytes of them) says of its data: the first cluster (its
// high half on FAT32 only), the size, the attributes, and whether it is deleted.
struct FatShortEntry {
  uint64_t Cluster = 0;
  uint64_t Size = 0;
  uint8_t Attributes = 0;
  bool Directory = false;
  bool Deleted = false;
};
FatShortEntry DecodeFatShortEntry(const FatLayout& l, std::span<const uint8_t> entry);

// The entry sets of a directory's bytes, up to its end mark: files, directories and
// deleted entries, without the volume label, "." and "..".
std::vector<FatEntry> ListFatEntries(const FatLayout& l, std::span<const uint8_t> bytes, const std::string& parent);

// A directory's bytes through its cluster runs (none: the fixed root of FAT12/16), up to
// the most a directory can hold; unreadable sectors read as zeros.
std::vector<uint8_t> ReadFatDirectoryBytes(const FatLayout& l, const std::vector<ClusterRun>& runs);

}  // namespace korvalane
