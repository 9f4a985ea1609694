#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace korvalane::md {

// The md RAID superblock, the record each member of a Linux software RAID array carries:
// version 0.90 in the last 64 KiB-aligned 64 KiB of the member (in the machine's byte
// order, little-endian on x86), version 1.x little-endian at the end (1.0), the start
// (1.1) or 4 KiB in (1.2).

inline constexpr uint32_t kMagic = 0xA92B4EFC;
inline constexpr size_t kSuperblock090Bytes = 4096;
inline constexpr size_t kSuperblock1HeadBytes = 256;  // before the role table
inline constexpr size_t kSuperblock1Bytes = 4096;     // what is read of a 1.x superblock
// A 1.x role table is cut short here: one 4 KiB superblock has room for 1920 roles.
inline constexpr uint32_t kLargestRoleTable = (kSuperblock1Bytes - kSuperblock1HeadBytes) / 2;

enum class Version { V090, V10, V11, V12 };

// A member's role: its slot in the array, or what it is when it has none.
inline constexpr uint32_t kRoleSpare = 0xFFFF;
inline constexpr uint32_t kRoleFaulty = 0xFFFE;
inline constexpr uint32_t kRoleJournal = 0xFFFD;

struct Superblock {
  Version Format = Version::V12;
  uint64_t Offset = 0;  // in bytes from the member's start
  uint32_t MajorVersion = 0;
  uint32_t MinorVersion = 0;
  std::array<uint8_t, 16> ArrayUuid{};
  std::string Name;          // 1.x: "host:name"; 0.90 has none
  uint64_t CreationTime = 0;  // seconds since 1970
  int32_t Level = 0;
  uint32_t Layout = 0;
  uint64_t DeviceSectors = 0;  // the sectors of each member the array uses
  uint32_t ChunkBytes = 0;
  uint32_t RaidDisks = 0;
  uint64_t DataOffset = 0;     // sectors from the member's start to its data
  uint64_t DataSectors = 0;    // the member's data area
  uint32_t DeviceNumber = 0;
  uint32_t Role = kRoleSpare;  // this member's slot, or spare/faulty
  uint64_t Events = 0;
  uint32_t MdMinor = 0;        // 0.90: the md device's minor number
  uint32_t StoredChecksum = 0;
  uint32_t ComputedChecksum = 0;
  std::vector<uint32_t> Roles;  // 1.x: by device number; 0.90: the descriptors' raid slots
  uint32_t MaxDevices = 0;      // 1.x: the role table's length as stored
  // What is odd about it, one sentence each (a role past the array, a chunk size of 0).
  std::vector<std::string> Problems;

  bool ChecksumHolds() const { return StoredChecksum == ComputedChecksum; }
};

// Decodes the superblock of the given version from its bytes (4096 for 0.90, at least
// 256 for 1.x); nothing when the magic number or the version is not there.
std::optional<Superblock> ParseSuperblock(std::span<const uint8_t> bytes, Version version, uint64_t offset);

// Reads `buffer.size()` bytes of a member at byte `position`.
using MemberReader = std::function<bool(uint64_t position, std::span<uint8_t> buffer)>;

// Where a member of `bytes` bytes keeps each version's superblock.
std::optional<uint64_t> SuperblockOffset(Version version, uint64_t bytes);

// The superblock of a member of `bytes` bytes: 1.2, 1.1, 1.0 and 0.90 are looked for in
// that order; nothing when none is there.
std::optional<Superblock> FindSuperblock(const MemberReader& read, uint64_t bytes);

// "1.2", "0.90".
std::string VersionName(const Superblock& sb);
// "raid5", "raid1", "linear", ...
std::string LevelName(int32_t level);
// "left-symmetric", "near=2", ... as mdadm names the level's layout; empty where the level has none.
std::string LayoutName(int32_t level, uint32_t layout);
// "01234567:89abcdef:01234567:89abcdef", as mdadm shows the array UUID.
std::string UuidText(const std::array<uint8_t, 16>& uuid);
// "0", "spare", "faulty", "journal".
std::string RoleName(uint32_t role);

}  // namespace korvalane::md
