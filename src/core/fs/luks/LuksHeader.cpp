#include "core/fs/luks/LuksHeader.h"

#include <algorithm>

#include "core/hash/Digest.h"

namespace korvalane::luks {
namespace {

// LUKS1 header fields.
constexpr size_t kVersionOffset = 6;
constexpr size_t kCipherOffset = 8;
constexpr size_t kModeOffset = 40;
constexpr size_t kHashOffset = 72;
constexpr size_t kNameBytes = 32;
constexpr size_t kPayloadOffset = 104;
constexpr size_t kKeyBytesOffset = 108;
constexpr size_t kDigestOffset = 112;
constexpr size_t kDigestSaltOffset = 132;
constexpr size_t kDigestIterationsOffset = 164;
constexpr size_t kUuidOffset = 168;
constexpr size_t kUuidBytes = 40;

// LUKS2 binary header fields.
constexpr size_t kHeaderSizeOffset = 8;
constexpr size_t kSequenceOffset = 16;
constexpr size_t kLabelOffset = 24;
constexpr size_t kLabelBytes = 48;
constexpr size_t kAlgorithmOffset = 72;
constexpr size_t kSaltOffset = 104;
constexpr size_t kUuid2Offset = 168;
constexpr size_t kSubsystemOffset = 208;
constexpr size_t kHeaderOffsetOffset = 256;
constexpr size_t kBinaryFieldsEnd = 512;

template <size_t N>
std::array<uint8_t, N> CopyOf(std::span<const uint8_t> bytes, size_t offset) {
  std::array<uint8_t, N> out{};
  if (offset <= bytes.size()) std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), std::min(N, bytes.size() - offset), out.begin());
  return out;
}

}  // namespace

uint64_t ReadBe(std::span<const uint8_t> bytes, size_t offset, size_t width) {
  if (width > 8 || offset > bytes.size() || width > bytes.size() - offset) return 0;
  uint64_t value = 0;
  for (size_t i = 0; i < width; ++i) value = (value << 8) | bytes[offset + i];
  return value;
}

std::string FieldText(std::span<const uint8_t> bytes, size_t offset, size_t size) {
  std::string text;
  for (size_t i = 0; i < size && offset + i < bytes.size() && bytes[offset + i] != 0; ++i) {
    text += static_cast<char>(bytes[offset + i]);
  }
  return text;
}

std::string SpacedHex(std::span<const uint8_t> bytes) {
  std::string text;
  for (const uint8_t b : bytes) {
    if (!text.empty()) text += ' ';
    text += HexBytes(std::span<const uint8_t>(&b, 1));
  }
  return text;
}

bool HasMagic(std::span<const uint8_t> bytes, const uint8_t (&magic)[kMagicBytes]) {
  return bytes.size() >= kMagicBytes && std::equal(magic, magic + kMagicBytes, bytes.begin());
}

const char* SlotStateName(uint32_t active) {
  if (active == kSlotEnabled) return "enabled";
  if (active == kSlotDisabled) return "disabled";
  return "neither enabled nor disabled";
}

std::optional<Luks1Header> ParseLuks1(std::span<const uint8_t> bytes) {
  if (bytes.size() < kLuks1HeaderBytes || !HasMagic(bytes, kMagic) || ReadBe(bytes, kVersionOffset, 2) != 1) return std::nullopt;
  Luks1Header h;
  h.Version = 1;
  h.Cipher = FieldText(bytes, kCipherOffset, kNameBytes);
  h.Mode = FieldText(bytes, kModeOffset, kNameBytes);
  h.Hash = FieldText(bytes, kHashOffset, kNameBytes);
  h.PayloadOffset = static_cast<uint32_t>(ReadBe(bytes, kPayloadOffset, 4));
  h.KeyBytes = static_cast<uint32_t>(ReadBe(bytes, kKeyBytesOffset, 4));
  h.MasterKeyDigest = CopyOf<20>(bytes, kDigestOffset);
  h.MasterKeySalt = CopyOf<32>(bytes, kDigestSaltOffset);
  h.MasterKeyIterations = static_cast<uint32_t>(ReadBe(bytes, kDigestIterationsOffset, 4));
  h.Uuid = FieldText(bytes, kUuidOffset, kUuidBytes);
  for (size_t i = 0; i < kLuks1Slots; ++i) {
    const size_t at = kLuks1SlotsOffset + i * kLuks1SlotBytes;
    Luks1KeySlot& slot = h.Slots[i];
    slot.Active = static_cast<uint32_t>(ReadBe(bytes, at, 4));
    slot.Iterations = static_cast<uint32_t>(ReadBe(bytes, at + 4, 4));
    slot.Salt = CopyOf<32>(bytes, at + 8);
    slot.KeyMaterialOffset = static_cast<uint32_t>(ReadBe(bytes, at + 40, 4));
    slot.Stripes = static_cast<uint32_t>(ReadBe(bytes, at + 44, 4));
  }
  return h;
}

bool IsHeaderSize(uint64_t size) {
  return size >= kSmallestHeader && size <= kLargestHeader && (size & (size - 1)) == 0;
}

std::optional<BinaryHeader> ParseBinaryHeader(std::span<const uint8_t> bytes) {
  if (bytes.size() < kBinaryFieldsEnd) return std::nullopt;
  const bool primary = HasMagic(bytes, kMagic);
  if (!primary && !HasMagic(bytes, kSecondaryMagic)) return std::nullopt;
  BinaryHeader h;
  h.Secondary = !primary;
  h.Version = static_cast<uint16_t>(ReadBe(bytes, kVersionOffset, 2));
  if (h.Version != 2) return std::nullopt;
  h.HeaderSize = ReadBe(bytes, kHeaderSizeOffset, 8);
  h.SequenceId = ReadBe(bytes, kSequenceOffset, 8);
  h.Label = FieldText(bytes, kLabelOffset, kLabelBytes);
  h.ChecksumAlgorithm = FieldText(bytes, kAlgorithmOffset, kNameBytes);
  h.Salt = CopyOf<64>(bytes, kSaltOffset);
  h.Uuid = FieldText(bytes, kUuid2Offset, kUuidBytes);
  h.Subsystem = FieldText(bytes, kSubsystemOffset, kLabelBytes);
  h.HeaderOffset = ReadBe(bytes, kHeaderOffsetOffset, 8);
  h.Checksum = CopyOf<kChecksumBytes>(bytes, kChecksumOffset);
  return h;
}

HeaderChecksum CheckHeaderChecksum(const BinaryHeader& header, std::span<const uint8_t> wholeHeader) {
  HeaderChecksum result;
  size_t length = 0;
  DigestKind kind = DigestKind::Sha256;
  if (header.ChecksumAlgorithm == "sha256") {
    length = 32;
  } else if (header.ChecksumAlgorithm == "sha1") {
    kind = DigestKind::Sha1;
    length = 20;
  }
  result.Stored = HexBytes(std::span<const uint8_t>(header.Checksum).first(length > 0 ? length : 32));
  if (length == 0) {
    result.Why = "a checksum of '" + header.ChecksumAlgorithm + "' is not one Korvalane computes";
    return result;
  }
  if (!DigestsAvailable()) {
    result.Why = "this build computes no digests";
    return result;
  }
  if (!IsHeaderSize(header.HeaderSize) || wholeHeader.size() < header.HeaderSize) {
    result.Why = "the header's " + std::to_string(header.HeaderSize) + " bytes cannot be read";
    return result;
  }
  // The checksum covers the binary header and the JSON area with its own field as zeros.
  std::vector<uint8_t> zeroed(wholeHeader.begin(), wholeHeader.begin() + static_cast<std::ptrdiff_t>(header.HeaderSize));
  std::fill_n(zeroed.begin() + kChecksumOffset, kChecksumBytes, 0);
  Digest digest(kind);
  digest.Update(zeroed);
  result.Expected = digest.Hex();
  result.Computed = true;
  result.Holds = result.Expected == result.Stored;
  return result;
}

bool HeaderCopy::Sound() const { return Fault().empty(); }

std::string HeaderCopy::Fault() const {
  if (!Read) return "it cannot be read";
  if (!Header) return "it has no LUKS2 magic and version";
  if (!IsHeaderSize(Header->HeaderSize)) return "its header size " + std::to_string(Header->HeaderSize) + " is none LUKS2 allows";
  if (Header->HeaderOffset != Byte) {
    return "it names byte " + std::to_string(Header->HeaderOffset) + " as its place, not " + std::to_string(Byte);
  }
  if (!Checksum.Computed) return "its checksum is not verified: " + Checksum.Why;
  if (!Checksum.Holds) return "its checksum fails";
  if (!Json.Value) return "its JSON area cannot be read: " + Json.Problem + " at byte " + std::to_string(Json.ProblemAt);
  return {};
}

HeaderCopy ReadHeaderCopy(const ByteReader& read, uint64_t byte) {
  HeaderCopy copy;
  copy.Byte = byte;
  std::vector<uint8_t> binary(kBinaryHeaderBytes);
  if (!read(byte, binary)) return copy;
  copy.Read = true;
  copy.Header = ParseBinaryHeader(binary);
  if (!copy.Header || !IsHeaderSize(copy.Header->HeaderSize)) return copy;
  std::vector<uint8_t> whole(copy.Header->HeaderSize);
  if (!read(byte, whole)) {
    copy.Checksum.Why = "the header's " + std::to_string(copy.Header->HeaderSize) + " bytes cannot be read";
    return copy;
  }
  copy.Checksum = CheckHeaderChecksum(*copy.Header, whole);
  const std::span<const uint8_t> area = std::span<const uint8_t>(whole).subspan(kBinaryHeaderBytes);
  copy.Json = ParseJson(JsonAreaText(area.data(), area.size()));
  return copy;
}

const HeaderCopy* VolumeState::InUse() const {
  if (Version != 2) return nullptr;
  const HeaderCopy& copy = SecondaryServes ? Secondary : Primary;
  return copy.Header && copy.Json.Value ? &copy : nullptr;
}

VolumeState ReadLuks(const ByteReader& read) {
  VolumeState state;
  std::vector<uint8_t> first(kBinaryHeaderBytes);
  if (!read(0, first)) {
    state.Problem = "the volume cannot be read";
    return state;
  }
  if (HasMagic(first, kMagic) && ReadBe(first, kVersionOffset, 2) == 1) {
    state.V1 = ParseLuks1(first);
    state.Version = 1;
    state.Label = u"LUKS1";
    return state;
  }
  state.Primary = ReadHeaderCopy(read, 0);
  // The secondary follows the primary; where the primary's size cannot be trusted, it is
  // looked for at each size a header may have.
  std::vector<uint64_t> places;
  if (state.Primary.Header && IsHeaderSize(state.Primary.Header->HeaderSize)) places.push_back(state.Primary.Header->HeaderSize);
  for (uint64_t size = kSmallestHeader; size <= kLargestHeader; size *= 2) {
    if (places.empty() || places.front() != size) places.push_back(size);
  }
  for (const uint64_t place : places) {
    HeaderCopy copy = ReadHeaderCopy(read, place);
    if (copy.Header && copy.Header->Secondary) {
      state.Secondary = std::move(copy);
      break;
    }
    if (place == places.front() && state.Primary.Sound()) {
      state.Secondary = std::move(copy);  // the primary says where; what is there is named
      break;
    }
  }
  const bool primary = state.Primary.Sound();
  const bool secondary = state.Secondary.Sound();
  if (!primary && !secondary && !state.Primary.Header && !state.Secondary.Header) {
    state.Problem = "no LUKS header was found";
    return state;
  }
  state.Version = 2;
  state.Label = u"LUKS2";
  // Of two sound copies the one with the higher sequence id is the newer: an update
  // interrupted between the two writes leaves the other one behind.
  state.SecondaryServes = secondary && (!primary || state.Secondary.Header->SequenceId > state.Primary.Header->SequenceId);
  if (!primary && !secondary) {
    state.SecondaryServes = !state.Primary.Json.Value && state.Secondary.Json.Value;
    state.Problem = "neither header is sound: the primary: " + state.Primary.Fault() + "; the secondary: " + state.Secondary.Fault();
  }
  return state;
}

}  // namespace korvalane::luks
