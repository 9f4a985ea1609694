#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/structures/Structure.h"

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

// Where a structure and its backup copy stand, and the fields in which they differ.
struct FieldDifference {
  size_t Offset = 0;
  size_t Size = 0;
  std::string Group;
  std::string Name;
  std::string Primary;
  std::string Backup;
};
struct BackupComparison {
  std::string Title;  // "NTFS boot sector"
  std::string Id;
  uint64_t PrimarySector = 0;
  uint64_t BackupSector = 0;
  std::string Error;  // why the two could not be compared ("sector 32767 cannot be read")
  std::vector<FieldDifference> Differences;
};

// The structures of CurrentDrive that keep a backup copy, each compared with it field by
// field: a volume's as its file system names them (FileSystem::StructureBackups), a
// disk's primary and backup GPT headers.
std::vector<BackupComparison> CompareBackups();

// The fields in which two decodings of the same kind of structure differ.
std::vector<FieldDifference> DifferingFields(const Structure& primary, const Structure& backup);

// Shared by the file systems' structure choices: one sector of CurrentDrive (zeros where
// it cannot be read), whether its bytes begin with `text`, and the drive's sector count
// as its size gives it.
std::vector<uint8_t> ReadStructureSector(uint64_t sector);
bool BeginsWith(std::span<const uint8_t> bytes, const char* text);
uint64_t DriveSectorCount();

}  // namespace korvalane
