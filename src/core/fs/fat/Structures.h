#pragma once

#include <optional>
#include <vector>

#include "core/model/Structure.h"

namespace korvalane {

// The boot sector of a FAT12 or FAT16 volume: the BIOS parameter block and the extended
// one of FAT12/16 (drive number, serial number, label, type at offsets 36-61).
Structure DecodeFatBootSector(const StructureInput& input);

// The boot sector of a FAT32 volume: the BPB and FAT32's extended BPB (sectors per FAT,
// root cluster, FSInfo and backup boot sector at offsets 36-89).
Structure DecodeFat32BootSector(const StructureInput& input);

// FAT32's FSInfo sector: its three signatures, the free cluster count and the next free
// cluster.
Structure DecodeFsInfo(const StructureInput& input);

// A sector of raw FAT directory entries, 32 bytes each, short and long-name entries alike;
// each run of long-name entries has its checksum checked against the short name after it.
Structure DecodeFatDirectory(const StructureInput& input);

// Which structure sector `sector` of the current FAT volume holds: the boot sector, and on
// FAT32 its backup and both FSInfo sectors; the root directory; the sectors of a
// directory's first cluster (which opens with its "." entry) and of the later clusters
// its FAT chain leads to.
std::optional<StructureChoice> FatStructureAt(uint64_t sector);

// FAT32's boot sector and the backup the BPB names.
std::vector<StructureBackup> FatStructureBackups();

// The checksum a long-name entry carries of the 11 bytes of its short name.
uint8_t ShortNameChecksum(std::span<const uint8_t> name11);

}  // namespace korvalane
