#pragma once

#include <optional>
#include <vector>

#include "core/model/Structure.h"

namespace korvalane {

// The exFAT boot sector (main at sector 0, backup at 12).
Structure DecodeExfatBootSector(const StructureInput& input);

// The boot region's checksum sector (sector 11, backup 23): the one checksum repeated
// through the sector, checked against the checksum of the region's sectors 0-10, which
// it reads through input.Read.
Structure DecodeExfatChecksumSector(const StructureInput& input);

// A sector of exFAT directory entries: the file, stream extension and file name entries
// of each set, with the set's checksum checked, and the volume's own entries (allocation
// bitmap, up-case table, volume label).
Structure DecodeExfatDirectory(const StructureInput& input);

// Which structure sector `sector` of the current exFAT volume holds: the boot sector and
// the checksum sector of both boot regions, the root directory's first cluster, and a
// sector of the cluster heap that opens with a file's entry set.
std::optional<StructureChoice> ExfatStructureAt(uint64_t sector);

// The main boot region's boot and checksum sectors and their backups at 12 and 23.
std::vector<StructureBackup> ExfatStructureBackups();

// The checksum of a boot region's sectors 0-10 (the volume flags and percent-in-use bytes
// of sector 0 left out), `region` holding those 11 sectors.
uint32_t ExfatBootChecksum(std::span<const uint8_t> region, uint32_t sectorSize);

// The checksum of an entry set (its bytes 2-3, the checksum itself, left out).
uint16_t ExfatSetChecksum(std::span<const uint8_t> set);

}  // namespace korvalane
