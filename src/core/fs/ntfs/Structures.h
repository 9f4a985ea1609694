#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/model/Structure.h"

namespace korvalane {

// The NTFS boot sector (sector 0, backup at the volume's last sector).
Structure DecodeNtfsBootSector(const StructureInput& input);

// An MFT FILE record (input.Bytes: the whole record): the header with its update sequence
// checked against the last two bytes of every 512-byte stride, then each attribute's header,
// the contents of $STANDARD_INFORMATION and $FILE_NAME, and the run list of a non-resident
// attribute run by run. The contents are read with the update sequence applied.
Structure DecodeMftRecord(const StructureInput& input);

// Which structure sector `sector` of the current NTFS volume holds: the boot sector and
// its backup at the volume's last sector, and a sector that starts a FILE record.
std::optional<StructureChoice> NtfsStructureAt(uint64_t sector);

// The boot sector and its backup.
std::vector<StructureBackup> NtfsStructureBackups();

// The bytes of an MFT record on the current volume, from its boot sector's clusters per
// file record; 1024 where that gives no size a record can have.
uint64_t NtfsRecordBytes();

// The whole sectors an MFT record is read in: its bytes, at least one sector.
uint64_t MftRecordSpan(std::string_view id, uint32_t sectorSize, size_t offset);

}  // namespace korvalane
