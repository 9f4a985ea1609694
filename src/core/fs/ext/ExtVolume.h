#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/ext/Inode.h"
#include "core/fs/ext/Superblock.h"

namespace korvalane::ext {

// What parsing an ext volume found: its superblock, or why it has none that can be used.
// The opened volume holds it.
struct VolumeState {
  std::optional<Superblock> Sb;
  std::string Problem;
  std::u16string Label = u"ext";  // VersionLabel(), kept for the drive list and the label
};

// Whether sector 0 onwards of CurrentDrive carries the ext magic number at byte 1080.
bool HasExtMagic();

// Reads the superblock of CurrentDrive (the sector size probed first) into `state` and,
// when it passes its checks, VolumeGeometry: blocks as clusters (BytesPerCluster the
// block size, SectorsPerCluster the sectors a block, Clusters the block count) and
// TotalSectors the sectors of all blocks. False when there is no usable superblock.
bool ReadExtGeometry(VolumeState& state);

// "ext2", "ext3", "ext4" (as libblkid names them) for the parsed volume, "ext" otherwise.
std::u16string VersionLabel(const VolumeState& state);

// Reads whole blocks of the current volume.
bool ReadBlocks(const Superblock& sb, uint64_t block, std::span<uint8_t> out);
BlockReader CurrentBlockReader(const Superblock& sb);

// The group descriptors of the current volume, read now.
DescriptorTable ReadCurrentDescriptors(const Superblock& sb);

// Where inode `number` is stored: its byte on the volume, or why it has no place (a number
// out of range, a table outside the volume).
struct InodePlace {
  std::optional<uint64_t> Byte;
  std::string Problem;
};
InodePlace LocateInodeByte(const Superblock& sb, const std::vector<GroupDescriptor>& groups, uint64_t number);

// Reads and decodes inode `number`.
std::optional<Inode> ReadInode(const Superblock& sb, const std::vector<GroupDescriptor>& groups, uint32_t number);

// A time in seconds since 1970 as the NTFS report shows times: the user's date and time
// formats, local time; with ", N ns" where nanoseconds are stored. "?" when the system
// cannot show it.
std::u16string LocalTime(int64_t seconds, std::optional<uint32_t> nanoseconds = std::nullopt);

}  // namespace korvalane::ext
