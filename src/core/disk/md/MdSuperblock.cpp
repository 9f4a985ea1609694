#include "core/disk/md/MdSuperblock.h"

#include <cstdio>

#include "core/Bytes.h"

namespace korvalane::md {
namespace {

// Both versions sum their 32-bit words, the checksum's own read as 0, and fold the carries
// of the 64-bit sum back into 32 bits.
uint32_t Fold(uint64_t sum) { return static_cast<uint32_t>((sum & 0xFFFFFFFF) + (sum >> 32)); }

uint32_t Checksum090(std::span<const uint8_t> bytes) {
  uint64_t sum = 0;
  for (size_t at = 0; at + 4 <= kSuperblock090Bytes; at += 4) {
    if (at != 38 * 4) sum += ReadLe32(bytes, at);
  }
  return Fold(sum);
}

uint32_t Checksum1(std::span<const uint8_t> bytes, size_t length) {
  uint64_t sum = 0;
  size_t at = 0;
  for (; at + 4 <= length; at += 4) {
    if (at != 216) sum += ReadLe32(bytes, at);
  }
  if (length - at == 2) sum += ReadLe16(bytes, at);
  return Fold(sum);
}

// 0.90 keeps its fields as 32-bit words.
uint32_t Word(std::span<const uint8_t> bytes, size_t word) { return ReadLe32(bytes, word * 4); }

void CheckGeometry(Superblock& sb) {
  const bool striped = sb.Level == 0 || sb.Level == 4 || sb.Level == 5 || sb.Level == 6 || sb.Level == 10;
  if (striped && sb.ChunkBytes == 0) sb.Problems.push_back("Its chunk size is 0, so its stripes cannot be found");
  if (sb.RaidDisks == 0) sb.Problems.push_back("It counts no members in its array");
  if (sb.RaidDisks > kLargestRoleTable) {
    sb.Problems.push_back("It claims " + std::to_string(sb.RaidDisks) + " members, more than a superblock can name");
  }
  if (sb.Role != kRoleSpare && sb.Role != kRoleFaulty && sb.Role != kRoleJournal && sb.Role >= sb.RaidDisks) {
    sb.Problems.push_back("Its role " + std::to_string(sb.Role) + " lies past the array's " +
                          std::to_string(sb.RaidDisks) + " members");
  }
  if (!sb.ChecksumHolds()) sb.Problems.push_back("Its checksum does not hold");
}

std::optional<Superblock> Parse090(std::span<const uint8_t> b, uint64_t offset) {
  if (b.size() < kSuperblock090Bytes || Word(b, 0) != kMagic || Word(b, 1) != 0) return std::nullopt;
  Superblock sb;
  sb.Format = Version::V090;
  sb.Offset = offset;
  sb.MajorVersion = 0;
  sb.MinorVersion = Word(b, 2);
  // The four UUID words, each shown as its number: kept here in that order of digits.
  const uint32_t words[4] = {Word(b, 5), Word(b, 13), Word(b, 14), Word(b, 15)};
  for (size_t i = 0; i < 4; ++i) {
    for (size_t k = 0; k < 4; ++k) sb.ArrayUuid[i * 4 + k] = static_cast<uint8_t>(words[i] >> (24 - 8 * k));
  }
  sb.CreationTime = Word(b, 6);
  sb.Level = static_cast<int32_t>(Word(b, 7));
  sb.DeviceSectors = uint64_t{Word(b, 8)} * 2;  // stored in KiB
  sb.RaidDisks = Word(b, 10);
  sb.MdMinor = Word(b, 11);
  sb.StoredChecksum = Word(b, 38);
  sb.Events = (uint64_t{Word(b, 40)} << 32) | Word(b, 39);
  sb.Layout = Word(b, 64);
  sb.ChunkBytes = Word(b, 65);
  sb.DataOffset = 0;
  sb.DataSectors = offset / 512;
  // 27 descriptors from word 128, this member's own at word 992: number, major, minor,
  // raid slot, state (bit 0 faulty, bit 2 in sync).
  const auto role = [&](size_t word) {
    const uint32_t state = Word(b, word + 4);
    if ((state & 1) != 0) return kRoleFaulty;
    return (state & 4) != 0 ? Word(b, word + 3) : kRoleSpare;
  };
  sb.DeviceNumber = Word(b, 992);
  sb.Role = role(992);
  for (size_t i = 0; i < 27; ++i) sb.Roles.push_back(role(128 + 32 * i));
  sb.MaxDevices = 27;
  sb.ComputedChecksum = Checksum090(b);
  CheckGeometry(sb);
  return sb;
}

std::optional<Superblock> Parse1(std::span<const uint8_t> b, Version version, uint64_t offset) {
  if (b.size() < kSuperblock1HeadBytes || ReadLe32(b, 0) != kMagic || ReadLe32(b, 4) != 1) return std::nullopt;
  Superblock sb;
  sb.Format = version;
  sb.Offset = offset;
  sb.MajorVersion = 1;
  sb.MinorVersion = version == Version::V10 ? 0 : version == Version::V11 ? 1 : 2;
  for (size_t i = 0; i < 16; ++i) sb.ArrayUuid[i] = b[16 + i];
  for (size_t i = 0; i < 32 && b[32 + i] != 0; ++i) {
    const char c = static_cast<char>(b[32 + i]);
    sb.Name += (c >= 0x20 && c < 0x7F) ? c : '?';
  }
  sb.CreationTime = ReadLe64(b, 64) & 0xFFFFFFFFFF;  // the high 24 bits count microseconds
  sb.Level = static_cast<int32_t>(ReadLe32(b, 72));
  sb.Layout = ReadLe32(b, 76);
  sb.DeviceSectors = ReadLe64(b, 80);
  const uint64_t chunkSectors = ReadLe32(b, 88);
  sb.ChunkBytes = chunkSectors <= 0x7FFFFF ? static_cast<uint32_t>(chunkSectors * 512) : 0;
  if (chunkSectors > 0x7FFFFF) sb.Problems.push_back("Its chunk size of " + std::to_string(chunkSectors) + " sectors is too large to read");
  sb.RaidDisks = ReadLe32(b, 92);
  sb.DataOffset = ReadLe64(b, 128);
  sb.DataSectors = ReadLe64(b, 136);
  sb.DeviceNumber = ReadLe32(b, 160);
  sb.Events = ReadLe64(b, 200);
  sb.StoredChecksum = ReadLe32(b, 216);
  sb.MaxDevices = ReadLe32(b, 220);
  const size_t room = (b.size() - kSuperblock1HeadBytes) / 2;
  const size_t roles = std::min<size_t>(sb.MaxDevices, room);
  if (roles < sb.MaxDevices) {
    sb.Problems.push_back("Its role table of " + std::to_string(sb.MaxDevices) + " entries reaches past the " +
                          std::to_string(b.size()) + " bytes read; " + std::to_string(roles) + " are read");
  }
  for (size_t i = 0; i < roles; ++i) sb.Roles.push_back(ReadLe16(b, kSuperblock1HeadBytes + 2 * i));
  sb.Role = sb.DeviceNumber < sb.Roles.size() ? sb.Roles[sb.DeviceNumber] : kRoleSpare;
  if (sb.DeviceNumber >= sb.Roles.size()) {
    sb.Problems.push_back("Its device number " + std::to_string(sb.DeviceNumber) + " has no entry in its role table");
  }
  // The checksum covers the role table as stored; one that reaches past what was read
  // cannot hold.
  sb.ComputedChecksum = roles == sb.MaxDevices ? Checksum1(b, kSuperblock1HeadBytes + 2 * roles) : ~sb.StoredChecksum;
  if (sb.Offset / 512 != ReadLe64(b, 144)) {
    sb.Problems.push_back("It says it lies at sector " + std::to_string(ReadLe64(b, 144)) + ", not at sector " +
                          std::to_string(sb.Offset / 512) + " where it was read");
  }
  CheckGeometry(sb);
  return sb;
}

}  // namespace

std::optional<Superblock> ParseSuperblock(std::span<const uint8_t> bytes, Version version, uint64_t offset) {
  return version == Version::V090 ? Parse090(bytes, offset) : Parse1(bytes, version, offset);
}

std::optional<uint64_t> SuperblockOffset(Version version, uint64_t bytes) {
  switch (version) {
    case Version::V12:
      return bytes >= 4096 + kSuperblock1HeadBytes ? std::optional<uint64_t>(4096) : std::nullopt;
    case Version::V11:
      return bytes >= kSuperblock1HeadBytes ? std::optional<uint64_t>(0) : std::nullopt;
    case Version::V10:
      // 8 KiB from the end, on a 4 KiB boundary.
      return bytes >= 8192 ? std::optional<uint64_t>((bytes - 8192) & ~uint64_t{4095}) : std::nullopt;
    case Version::V090:
      // The last 64 KiB block that starts on a 64 KiB boundary and lies wholly inside.
      return bytes >= 65536 ? std::optional<uint64_t>((bytes & ~uint64_t{65535}) - 65536) : std::nullopt;
  }
  return std::nullopt;
}

std::optional<Superblock> FindSuperblock(const MemberReader& read, uint64_t bytes) {
  std::vector<uint8_t> buffer(kSuperblock1Bytes);
  for (const Version version : {Version::V12, Version::V11, Version::V10, Version::V090}) {
    const std::optional<uint64_t> offset = SuperblockOffset(version, bytes);
    if (!offset) continue;
    const size_t length = static_cast<size_t>(std::min<uint64_t>(buffer.size(), bytes - *offset));
    std::span<uint8_t> window(buffer.data(), length);
    if (!read(*offset, window)) continue;
    if (std::optional<Superblock> sb = ParseSuperblock(window, version, *offset)) return sb;
  }
  return std::nullopt;
}

std::string VersionName(const Superblock& sb) {
  switch (sb.Format) {
    case Version::V090: return "0.90";
    case Version::V10: return "1.0";
    case Version::V11: return "1.1";
    case Version::V12: return "1.2";
  }
  return {};
}

std::string LevelName(int32_t level) {
  switch (level) {
    case -4: return "multipath";
    case -1: return "linear";
    case 0: return "raid0";
    case 1: return "raid1";
    case 4: return "raid4";
    case 5: return "raid5";
    case 6: return "raid6";
    case 10: return "raid10";
    default: return "level " + std::to_string(level);
  }
}

std::string LayoutName(int32_t level, uint32_t layout) {
  if (level == 5 || level == 6) {
    static const char* const names[] = {"left-asymmetric", "right-asymmetric", "left-symmetric", "right-symmetric"};
    if (layout < 4) return names[layout];
    return "layout " + std::to_string(layout);
  }
  if (level == 10) {
    const uint32_t near = layout & 0xFF;
    const uint32_t far = (layout >> 8) & 0xFF;
    std::string text;
    if (near > 1) text = "near=" + std::to_string(near);
    if (far > 1) text += std::string(text.empty() ? "" : ", ") + ((layout & 0x10000) ? "offset=" : "far=") + std::to_string(far);
    return text.empty() ? "layout " + std::to_string(layout) : text;
  }
  return {};
}

std::string UuidText(const std::array<uint8_t, 16>& uuid) {
  std::string text;
  char digits[3];
  for (size_t i = 0; i < 16; ++i) {
    if (i > 0 && i % 4 == 0) text += ':';
    std::snprintf(digits, sizeof digits, "%02x", uuid[i]);
    text += digits;
  }
  return text;
}

std::string RoleName(uint32_t role) {
  if (role == kRoleSpare) return "spare";
  if (role == kRoleFaulty) return "faulty";
  if (role == kRoleJournal) return "journal";
  return std::to_string(role);
}

}  // namespace korvalane::md
