#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/fs/luks/LuksJson.h"

namespace korvalane::luks {

// LUKS keeps its numbers big-endian. Zero for a field past the buffer's end.
uint64_t ReadBe(std::span<const uint8_t> bytes, size_t offset, size_t width);

// A NUL-padded text field, up to its first NUL.
std::string FieldText(std::span<const uint8_t> bytes, size_t offset, size_t size);

// Bytes as lowercase hex pairs separated by blanks ("bf 77 d9"), as luksDump shows them.
std::string SpacedHex(std::span<const uint8_t> bytes);

// The magic both versions open with, and the one LUKS2's secondary header opens with.
inline constexpr uint8_t kMagic[] = {'L', 'U', 'K', 'S', 0xBA, 0xBE};
inline constexpr uint8_t kSecondaryMagic[] = {'S', 'K', 'U', 'L', 0xBA, 0xBE};
inline constexpr size_t kMagicBytes = 6;
bool HasMagic(std::span<const uint8_t> bytes, const uint8_t (&magic)[kMagicBytes]);

// --- LUKS1: one 592-byte header at byte 0, eight key slots in it. ---
inline constexpr size_t kLuks1HeaderBytes = 592;
inline constexpr size_t kLuks1SlotsOffset = 208;
inline constexpr size_t kLuks1SlotBytes = 48;
inline constexpr size_t kLuks1Slots = 8;
inline constexpr uint32_t kSlotEnabled = 0x00AC71F3;
inline constexpr uint32_t kSlotDisabled = 0x0000DEAD;

struct Luks1KeySlot {
  uint32_t Active = 0;
  uint32_t Iterations = 0;
  std::array<uint8_t, 32> Salt{};
  uint32_t KeyMaterialOffset = 0;  // in 512-byte sectors
  uint32_t Stripes = 0;
};
// "enabled", "disabled", or the word for a state that is neither.
const char* SlotStateName(uint32_t active);

struct Luks1Header {
  uint16_t Version = 0;
  std::string Cipher;
  std::string Mode;
  std::string Hash;
  uint32_t PayloadOffset = 0;  // in 512-byte sectors
  uint32_t KeyBytes = 0;
  std::array<uint8_t, 20> MasterKeyDigest{};
  std::array<uint8_t, 32> MasterKeySalt{};
  uint32_t MasterKeyIterations = 0;
  std::string Uuid;
  std::array<Luks1KeySlot, kLuks1Slots> Slots{};
};
// The header from its bytes (the magic and version 1 checked); nothing when they are
// fewer than the header's 592 or are no LUKS1 header.
std::optional<Luks1Header> ParseLuks1(std::span<const uint8_t> bytes);

// --- LUKS2: a 4096-byte binary header, then its JSON area, twice: the primary at byte 0,
// the secondary right after it, at the primary's header size. ---
inline constexpr size_t kBinaryHeaderBytes = 4096;
inline constexpr size_t kChecksumOffset = 448;
inline constexpr size_t kChecksumBytes = 64;
inline constexpr uint64_t kSmallestHeader = 16384;
inline constexpr uint64_t kLargestHeader = 4194304;

// A header size LUKS2 allows: a power of two from 16 KiB to 4 MiB.
bool IsHeaderSize(uint64_t size);

struct BinaryHeader {
  bool Secondary = false;  // its magic is the secondary's
  uint16_t Version = 0;
  uint64_t HeaderSize = 0;  // binary header and JSON area
  uint64_t SequenceId = 0;
  std::string Label;
  std::string ChecksumAlgorithm;
  std::array<uint8_t, 64> Salt{};
  std::string Uuid;
  std::string Subsystem;
  uint64_t HeaderOffset = 0;  // the header's own place on the volume
  std::array<uint8_t, kChecksumBytes> Checksum{};
};
// The binary header from its first 512 bytes (either magic, version 2); nothing otherwise.
std::optional<BinaryHeader> ParseBinaryHeader(std::span<const uint8_t> bytes);

// A header's checksum over its binary header and JSON area with the checksum field as
// zeros; Computed is false where the bytes are fewer than the header size or the
// algorithm is not one Korvalane computes (Why says which).
struct HeaderChecksum {
  bool Computed = false;
  bool Holds = false;
  std::string Stored;    // lowercase hex of the algorithm's length
  std::string Expected;  // what the bytes give
  std::string Why;
};
HeaderChecksum CheckHeaderChecksum(const BinaryHeader& header, std::span<const uint8_t> wholeHeader);

// One of LUKS2's two headers as read from the volume.
struct HeaderCopy {
  uint64_t Byte = 0;  // where it was read
  bool Read = false;  // its bytes could be read
  std::optional<BinaryHeader> Header;
  HeaderChecksum Checksum;
  JsonParse Json;
  // Magic, version, size and place sound, checksum holding, JSON read.
  bool Sound() const;
  // What is wrong with it ("the checksum fails"), empty for a sound copy.
  std::string Fault() const;
};

// Reads and checks the LUKS2 header copy at `byte` through `read` (bytes at a byte offset).
using ByteReader = std::function<bool(uint64_t byte, std::span<uint8_t> out)>;
HeaderCopy ReadHeaderCopy(const ByteReader& read, uint64_t byte);

// What parsing a LUKS volume found.
struct VolumeState {
  int Version = 0;  // 1 or 2; 0 before a parse that found a header
  std::optional<Luks1Header> V1;
  HeaderCopy Primary;
  HeaderCopy Secondary;
  bool SecondaryServes = false;  // the secondary's header is the one in use
  std::string Problem;
  std::u16string Label = u"LUKS";

  // LUKS2: the copy in use, or null where neither is sound.
  const HeaderCopy* InUse() const;
};

// Reads a LUKS1 header or both LUKS2 headers through `read`: the header in use is the
// sound one, of two sound ones the higher sequence id. The secondary is looked for at the
// primary's header size or, where the primary is broken, at each size LUKS2 allows.
VolumeState ReadLuks(const ByteReader& read);

}  // namespace korvalane::luks
