#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/model/Structure.h"

namespace korvalane {

// Every structure Korvalane decodes, by the name --as takes.
struct StructureKind {
  const char* Id;     // "mbr"
  const char* Title;  // "Master boot record"
  Structure (*Decode)(const StructureInput& input);
  // The bytes to read from the structure's sector on, in whole sectors of `sectorSize`,
  // where it spans more than that sector (an MFT record, an ext block) or begins at
  // `offset` inside it; null for one sector.
  uint64_t (*Span)(std::string_view id, uint32_t sectorSize, size_t offset) = nullptr;
};
std::span<const StructureKind> StructureKinds();
const StructureKind* FindStructureKind(std::string_view id);

// What Korvalane knows of the sector from the drive's partition table or its volume's
// file system (VolumeGeometry must describe CurrentDrive): a whole disk's sector 0 is its
// MBR (protective before a GPT), the chain of EBRs, both GPT headers and their entry
// arrays; on a volume, what its file system says (FileSystem::StructureAt). Without such knowledge a sector
// that starts with "FILE" or "EFI PART" is taken for what it says. Nothing otherwise.
std::optional<StructureChoice> KnownStructureAt(uint64_t sector);

// The structure of the choice decoded from `sector` of CurrentDrive on: as many bytes as
// it spans (an MFT record's MftRecordBytes, otherwise one sector), with the other sectors
// its checks need read as well. Nothing when the sector cannot be read.
std::optional<Structure> ReadStructureAt(uint64_t sector, const StructureChoice& choice);

// A run of bytes in which two copies differ: where it starts (from the structure's first
// byte), how long it is, and its bytes in each copy in hex ("00 00 11", the first few of
// a longer run and "...").
struct ByteRun {
  size_t Offset = 0;
  size_t Size = 0;
  std::string Primary;  // the first bytes in hex, as the comparison line shows them
  std::string Backup;
  std::string PrimaryBytes;  // every byte of the run, as a field's "bytes" gives them
  std::string BackupBytes;
};

// A field whose bytes differ between a structure and its backup copy.
struct FieldDifference {
  size_t Offset = 0;
  size_t Size = 0;
  std::string Group;
  std::string Name;
  std::string Primary;  // the values as the field shows them
  std::string Backup;
  // The two values as scripts read them (ScriptValue); nothing for a field one copy lacks.
  std::optional<std::string> PrimaryText;
  std::optional<std::string> BackupText;
  // Where the bytes differ: the first runs (kRunsKept at most), how many runs there are,
  // and how many bytes they hold.
  std::vector<ByteRun> Runs;
  size_t RunCount = 0;
  size_t DifferingBytes = 0;
  // A field that differs by design, and what it keeps instead.
  bool Expected = false;
  std::string Relation;
  bool RelationHolds = true;

  // Sound: it differs by design, and keeps its relation.
  bool AsDesigned() const { return Expected && RelationHolds; }
};
inline constexpr size_t kRunsKept = 64;

// Where a structure and its backup copy stand, and the fields in which they differ.
struct BackupComparison {
  std::string Title;  // "NTFS boot sector"
  std::string Id;
  uint64_t PrimarySector = 0;
  uint64_t BackupSector = 0;
  uint64_t Sectors = 1;  // of each copy
  std::string Error;  // why the two could not be compared ("sector 32767 cannot be read")
  std::vector<FieldDifference> Differences;
  // The relations of fields that differ by design which fail where the field's bytes are
  // equal (a backup GPT header that names the primary's place as its own).
  std::vector<std::string> FailedRelations;

  // The backup holds what the primary holds: compared, and every difference by design.
  bool Agrees() const;
};

// The structures of CurrentDrive that keep a backup copy, each compared with it byte by
// byte and field by field: a volume's as its file system names them
// (FileSystem::StructureBackups), a disk's primary and backup GPT headers and entry arrays.
std::vector<BackupComparison> CompareBackups();

// The fields of two decodings of the same kind of structure whose bytes differ, each with
// its runs of differing bytes; bytes no field of either decoding covers are one more
// entry, "Bytes outside the fields", when they differ.
std::vector<FieldDifference> DifferingFields(const Structure& primary, std::span<const uint8_t> primaryBytes,
                                             const Structure& backup, std::span<const uint8_t> backupBytes);

}  // namespace korvalane
