#include "core/fs/bitlocker/BitlockerHeader.h"

#include <algorithm>
#include <cstring>

#include "core/Bytes.h"

namespace korvalane::bitlocker {
namespace {

constexpr uint8_t kVistaJump[] = {0xEB, 0x52, 0x90};

template <size_t N>
std::array<uint8_t, N> CopyOf(std::span<const uint8_t> bytes, size_t offset) {
  std::array<uint8_t, N> out{};
  if (offset <= bytes.size()) std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), std::min(N, bytes.size() - offset), out.begin());
  return out;
}

// A Unicode string entry's value: UTF-16LE up to its terminating NUL.
std::u16string EntryText(std::span<const uint8_t> value) {
  std::u16string text;
  for (size_t i = 0; i + 1 < value.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(ReadLe16(value, i));
    if (unit == 0) break;
    text += unit;
  }
  return text;
}

constexpr uint16_t kUnicodeString = 0x0002;

}  // namespace

bool HasVolumeSignature(std::span<const uint8_t> sector) {
  return sector.size() >= kSignatureOffset + kSignatureBytes &&
         std::memcmp(sector.data() + kSignatureOffset, kSignature, kSignatureBytes) == 0;
}

std::optional<VolumeHeader> ParseVolumeHeader(std::span<const uint8_t> sector) {
  if (!HasVolumeSignature(sector) || sector.size() < 512) return std::nullopt;
  VolumeHeader h;
  h.Kind = std::equal(std::begin(kVistaJump), std::end(kVistaJump), sector.begin()) ? Layout::Vista : Layout::Windows7;
  h.BytesPerSector = ReadLe16(sector, 11);
  h.SectorsPerCluster = ReadU8(sector, 13);
  if (h.Kind == Layout::Vista) {
    const uint64_t cluster = ReadLe64(sector, kVistaBlockCluster);
    const uint64_t clusterBytes = uint64_t{h.BytesPerSector} * h.SectorsPerCluster;
    h.BlockOffsets[0] = clusterBytes > 0 && cluster <= UINT64_MAX / clusterBytes ? cluster * clusterBytes : 0;
    return h;
  }
  h.Identifier = CopyOf<16>(sector, kIdentifierOffset);
  h.Serial = ReadLe32(sector, 67);
  for (size_t i = 0; i < 3; ++i) h.BlockOffsets[i] = ReadLe64(sector, kBlockOffsets + 8 * i);
  return h;
}

MetadataBlock ParseMetadataBlock(std::span<const uint8_t> bytes, uint64_t byte) {
  MetadataBlock b;
  b.Byte = byte;
  b.Read = true;
  b.Signed = bytes.size() >= kSignatureBytes && std::memcmp(bytes.data(), kSignature, kSignatureBytes) == 0;
  b.Size = ReadLe16(bytes, 8);
  b.Version = ReadLe16(bytes, 10);
  b.EncryptedSize = ReadLe64(bytes, 16);
  b.VolumeHeaderSectors = ReadLe32(bytes, 28);
  for (size_t i = 0; i < 3; ++i) b.BlockOffsets[i] = ReadLe64(bytes, 32 + 8 * i);
  b.VolumeHeaderOffset = ReadLe64(bytes, 56);
  const size_t m = kBlockHeaderBytes;
  b.MetadataSize = ReadLe32(bytes, m);
  b.MetadataVersion = ReadLe32(bytes, m + 4);
  b.MetadataHeaderSize = ReadLe32(bytes, m + 8);
  b.MetadataSizeCopy = ReadLe32(bytes, m + 12);
  b.VolumeIdentifier = CopyOf<16>(bytes, m + 16);
  b.NextNonce = ReadLe32(bytes, m + 32);
  b.EncryptionMethod = ReadLe32(bytes, m + 36);
  b.CreationTime = ReadLe64(bytes, m + 40);
  if (!b.Signed || b.MetadataSize < kMetadataHeaderBytes) return b;
  // The entries follow the metadata header, up to the metadata's size (which counts the
  // metadata header); each one's size includes its own 8-byte header.
  const size_t end = std::min<size_t>(bytes.size(), kBlockHeaderBytes + size_t{b.MetadataSize});
  size_t at = kEntriesOffset;
  while (at + 8 <= end) {
    MetadataEntry entry;
    entry.Offset = at;
    entry.Size = ReadLe16(bytes, at);
    entry.Type = ReadLe16(bytes, at + 2);
    entry.ValueType = ReadLe16(bytes, at + 4);
    entry.Version = ReadLe16(bytes, at + 6);
    if (entry.Size == 0 && entry.Type == 0) break;  // zeros pad the block after the last entry
    if (entry.Size < 8 || entry.Size > end - at) {
      b.EntriesProblem = "the entry at " + HexText(at, 4) + " has a size of " + std::to_string(entry.Size) +
                         " that does not hold it in the metadata";
      break;
    }
    if (entry.ValueType == kUnicodeString) entry.Text = EntryText(bytes.subspan(at + 8, entry.Size - 8));
    b.Entries.push_back(std::move(entry));
    at += b.Entries.back().Size;
  }
  return b;
}

size_t BlockLength(const MetadataBlock& block) {
  return std::min<size_t>(kLargestBlock, kBlockHeaderBytes + std::max<size_t>(block.MetadataSize, kMetadataHeaderBytes));
}

namespace {

constexpr ValueName kMethods[] = {{0x0000, "not encrypted"},
                                  {0x8000, "AES-128-CBC with Elephant diffuser"},
                                  {0x8001, "AES-256-CBC with Elephant diffuser"},
                                  {0x8002, "AES-128-CBC"},
                                  {0x8003, "AES-256-CBC"},
                                  {0x8004, "AES-128-XTS"},
                                  {0x8005, "AES-256-XTS"}};
constexpr ValueName kEntryTypes[] = {{0x0000, "property"},
                                     {0x0002, "volume master key"},
                                     {0x0003, "full volume encryption key"},
                                     {0x0004, "validation"},
                                     {0x0006, "startup key"},
                                     {0x0007, "description"},
                                     {0x000B, "full volume encryption key backup"},
                                     {0x000F, "volume header block"}};
constexpr ValueName kValueTypes[] = {{0x0000, "erased"},        {0x0001, "key"},
                                     {0x0002, "Unicode string"}, {0x0003, "stretch key"},
                                     {0x0004, "use key"},        {0x0005, "AES-CCM encrypted key"},
                                     {0x0006, "TPM encoded key"}, {0x0007, "validation"},
                                     {0x0008, "volume master key"}, {0x0009, "external key"},
                                     {0x000A, "update"},         {0x000B, "error"},
                                     {0x000F, "offset and size"}};

}  // namespace

std::span<const ValueName> EncryptionMethods() { return kMethods; }
std::span<const ValueName> EntryTypes() { return kEntryTypes; }
std::span<const ValueName> ValueTypes() { return kValueTypes; }

const char* NameIn(std::span<const ValueName> names, uint64_t value) {
  for (const ValueName& name : names) {
    if (name.Value == value) return name.Name;
  }
  return nullptr;
}

std::string VolumeState::OffsetDisagreement(size_t index) const {
  if (!Header || index >= Blocks.size()) return "no volume header";
  const MetadataBlock& block = Blocks[index];
  if (!block.Read) return "the block cannot be read";
  if (!block.Signed) return "the block has no -FVE-FS- signature";
  // Vista's header names the first block only; the first block then stands for it.
  const std::array<uint64_t, 3>& named = Header->Kind == Layout::Vista ? Blocks[0].BlockOffsets : Header->BlockOffsets;
  std::string differences;
  for (size_t i = 0; i < 3; ++i) {
    if (block.BlockOffsets[i] == named[i]) continue;
    if (!differences.empty()) differences += ", ";
    differences += "block " + std::to_string(i + 1) + " at " + std::to_string(block.BlockOffsets[i]) + " where the " +
                   (Header->Kind == Layout::Vista ? "first block" : "volume header") + " says " + std::to_string(named[i]);
  }
  if (block.BlockOffsets[index] != block.Byte && differences.empty()) {
    differences = "its own offset is " + std::to_string(block.BlockOffsets[index]) + ", not " + std::to_string(block.Byte);
  }
  return differences;
}

const MetadataBlock* VolumeState::FirstSound() const {
  for (const MetadataBlock& block : Blocks) {
    if (block.Signed && block.MetadataHeaderSize == kMetadataHeaderBytes) return &block;
  }
  return nullptr;
}

bool ReadBitlocker(const ByteReader& read, VolumeState& state) {
  state = VolumeState{};
  std::vector<uint8_t> sector(512);
  if (!read(0, sector)) {
    state.Problem = "the volume cannot be read";
    return false;
  }
  state.Header = ParseVolumeHeader(sector);
  if (!state.Header) {
    state.Problem = "the volume header has no -FVE-FS- signature";
    return false;
  }
  std::array<uint64_t, 3> offsets = state.Header->BlockOffsets;
  for (size_t i = 0; i < 3; ++i) {
    // Vista finds the second and third blocks through the first.
    if (i > 0 && state.Header->Kind == Layout::Vista) offsets[i] = state.Blocks[0].BlockOffsets[i];
    std::vector<uint8_t> head(kEntriesOffset);
    if (offsets[i] == 0 || !read(offsets[i], head)) {
      state.Blocks[i].Byte = offsets[i];
      continue;
    }
    MetadataBlock first = ParseMetadataBlock(head, offsets[i]);
    std::vector<uint8_t> whole(std::max(BlockLength(first), kEntriesOffset));
    state.Blocks[i] = read(offsets[i], whole) ? ParseMetadataBlock(whole, offsets[i]) : std::move(first);
  }
  return true;
}

std::string GuidOf(const std::array<uint8_t, 16>& bytes) { return GuidText(bytes, 0); }

}  // namespace korvalane::bitlocker
