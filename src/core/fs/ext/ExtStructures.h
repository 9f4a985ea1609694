#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/fs/ext/ExtVolume.h"
#include "core/model/Structure.h"

namespace korvalane {

// The superblock (1024 bytes, at byte 1024 of the volume and at the start of the backup
// groups): every field, the magic number and, with metadata_csum, its crc32c.
Structure DecodeExtSuperblock(const StructureInput& input);

// A sector of group descriptors (32 bytes each, or the superblock's size with 64bit), the
// first of group FirstEntryNumber - 1; each descriptor's checksum checked where the volume
// keeps one (crc32c with metadata_csum, CRC-16 with uninit_bg).
Structure DecodeExtGroupDescriptors(const StructureInput& input);

// A sector of an inode table: each inode (EntrySize bytes, the first numbered
// FirstEntryNumber) field by field, its crc32c checked where it is in use.
Structure DecodeExtInode(const StructureInput& input);

// A directory block: each record (inode, length, name length, type, name) and the
// checksum tail, checked against the directory's inode where the block names it (".").
Structure DecodeExtDirectory(const StructureInput& input);

// Which structure sector `sector` of the current ext volume holds: the superblock and its
// backups, the group descriptor tables after them, the inode tables, and blocks that read
// as directory blocks (at their first sector).
std::optional<StructureChoice> ExtStructureAt(const ext::VolumeState& state, uint64_t sector);

// The primary superblock and its first backup, with the fields a backup may lawfully hold
// otherwise (its group number, the counts and times only the primary follows).
std::vector<StructureBackup> ExtStructureBackups(const ext::VolumeState& state);

// The whole sectors a structure of `id` is read in from its sector: from `offset`, where it
// begins in the sector, the bytes it spans on the current volume (the superblock's 1024,
// a directory's block), at least one sector.
uint64_t ExtStructureSpan(std::string_view id, uint32_t sectorSize, size_t offset);

}  // namespace korvalane
