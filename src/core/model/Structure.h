#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvalane {

// An on-disk structure decoded field by field: where each field lies in the structure's
// bytes, what it is called and what it says, and the checks the structure carries
// (signatures, checksums, copies that must agree).

// How a field's value is shown.
enum class Show : uint8_t {
  Number,     // decimal and hex: "2048 (0x800)"
  Signed,     // a two's-complement number: "-10 (0xF6)"
  Hex,        // hex only, as many digits as the field has bytes: "0x0800"
  Code,       // hex and the name the value has in the field's names: "0x80 (active)"
  Flags,      // hex and the names of the bits set: "0x0021 (read-only, archive)"
  Ascii,      // bytes as text, code points 0x20-0x7E, others as '.': "NTFS    "
  Utf16,      // UTF-16LE text, up to the first NUL (or 0xFFFF padding) unit
  Guid,       // mixed-endian GUID, upper case: "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
  FileTime,   // 100 ns since 1601 UTC: the local time as the NTFS report shows it, and as stored
  DosDate,    // FAT date: "2021-06-15 (0x52CF)"
  DosTime,    // FAT time: "12:34:56 (0x6456)"
  ExfatTime,  // exFAT timestamp, a DOS date above a DOS time: "2021-06-15 12:34:56 (0x52CF6456)"
  Bytes,      // the bytes in hex ("EB 52 90"), the first 16 of a longer field and its length
  Chs,        // a cylinder-head-sector address of an MBR entry
  MbrType,    // an MBR type byte and its name
  GptType,    // a GPT type GUID and its name
  FileReference,  // NTFS: record number (48 bits) and sequence number (16 bits)
};

// A value's name, for Code (the whole value) and Flags (one bit each).
struct ValueName {
  uint64_t Value;
  const char* Name;
};

// One row of a structure's table of fields.
struct FieldSpec {
  size_t Offset;
  size_t Size;
  const char* Name;
  Show How;
  std::span<const ValueName> Names = {};
};

struct Field {
  size_t Offset = 0;  // from the structure's first byte
  size_t Size = 0;
  std::string Group;  // "Entry 1", "Attribute 2: $FILE_NAME"; empty at the top level
  std::string Name;
  std::string Value;
  // The field as a little-endian number, where it is one of at most 8 bytes.
  std::optional<uint64_t> Number;
  // For scripts, beside the value as shown. A text field's text without the quotes the
  // view puts around it and without the NUL (or 0xFFFF) padding after it.
  std::optional<std::string> Text;
  // The field's bytes in hex ("eb5290"): every byte of a field of bytes, and those of a
  // text field whose text and padding do not give them back (bytes past its end that are
  // not padding, control characters, malformed UTF-8).
  std::optional<std::string> BytesHex;
  // A field that holds a moment (alone, or with the fields beside it that widen it): the
  // moment in ISO 8601 UTC, or nothing where it holds none (an unset stamp, no calendar
  // day).
  bool IsTime = false;
  std::optional<std::string> Time;
};

struct Check {
  std::string Name;
  bool Holds = false;
  std::string Stored;
  std::string Computed;  // what the bytes should hold; for a signature, the one expected
  // Stored and Computed are texts (a signature's letters), shown in quotes.
  bool Quoted = false;
  // For scripts, where Stored shows bytes that are no letters as dots: the stored text as
  // a text field's is read (see Field::Text).
  std::optional<std::string> StoredText;
};

// A field's value as scripts read it: its Text where it has one, otherwise as shown.
inline const std::string& ScriptValue(const Field& field) { return field.Text ? *field.Text : field.Value; }

// A check as one line: "Signature: holds (stored "EFI PART", computed "EFI PART")".
std::string CheckLine(const Check& check);

struct Structure {
  std::string Id;     // the name --as takes: "mbr", "gpt-header", "mft-record", ...
  std::string Title;  // "Master boot record"
  std::vector<Field> Fields;
  std::vector<Check> Checks;
  // The offset of the first field the bytes did not hold: the structure was cut short
  // there, and no field from it on is shown.
  std::optional<size_t> CutAt;
  // What the walk met that is not a field (an end marker, an entry left unread).
  std::vector<std::string> Notes;
  // How many bytes the structure spans from its first byte.
  size_t Length = 0;
  // Where its first byte lies in the sector it was read at; the field offsets count from
  // there.
  size_t SectorOffset = 0;
};

// Reads whole sectors of the source a structure is read from: `buffer.size()` bytes from
// `sector` on. False when they cannot be read.
using StructureReader = std::function<bool(uint64_t sector, std::span<uint8_t> buffer)>;

// What a decoder is given: the structure's bytes (from its first byte to as far as they
// were read), where they were read, and a way to read the other sectors a check needs.
struct StructureInput {
  std::span<const uint8_t> Bytes;
  uint64_t Sector = 0;
  uint32_t SectorSize = 512;
  StructureReader Read;  // may be empty: checks that need other sectors are then not made
  // GPT entries: the number of the sector's first entry and the size of one entry.
  uint32_t FirstEntryNumber = 1;
  uint32_t EntrySize = 128;
};

// Which structure a sector holds and what decoding it needs besides its bytes.
struct StructureChoice {
  std::string Id;                 // the name --as takes
  // Where the structure begins in the sector: ext's superblock at byte 1024 lies inside
  // sector 0 where sectors are larger than 1024 bytes.
  size_t Offset = 0;
  uint32_t FirstEntryNumber = 1;  // GPT entries
  uint32_t EntrySize = 128;       // GPT entries
};

// The two copies of a structure as they were read and decoded: what the relations of the
// fields that differ by design are checked on.
struct BackupCopies {
  const Structure& Primary;
  const Structure& Backup;
  std::span<const uint8_t> PrimaryBytes;  // from the structure's first byte
  std::span<const uint8_t> BackupBytes;
  uint64_t PrimarySector = 0;
  uint64_t BackupSector = 0;
};

// A field that a sound backup holds otherwise than its primary, and what the two copies
// keep instead of equal bytes.
struct ExpectedDifference {
  size_t Offset;  // the field's, from the structure's first byte
  std::string Relation;  // "the backup's Current LBA is the primary's Backup LBA"
  // Whether the relation holds, checked whether or not the bytes differ; empty where there
  // is nothing to check (a count only the primary keeps current).
  std::function<bool(const BackupCopies&)> Holds = {};
};

// A structure kept twice: the sectors of the structure and of its backup copy.
struct StructureBackup {
  const char* Id;
  uint64_t Primary;
  uint64_t Backup;
  // The fields a sound backup holds otherwise (a GPT header's own place, exFAT's stale
  // flags, ext's group number and the counts only the primary follows).
  std::vector<ExpectedDifference> Expected = {};
  // The bytes of each copy from its first byte, where that is not what its kind reads from
  // the sector: a GPT entry array of many sectors, ext's 1024-byte superblock inside a
  // larger block. 0: as the kind reads them.
  uint64_t Length = 0;
  uint32_t EntrySize = 128;  // GPT entries
};

// Adds fields to a structure, each read within the bytes. The first field that does not
// fit cuts the structure short there, and every field added after it is left out.
class FieldWriter {
 public:
  FieldWriter(Structure& structure, std::span<const uint8_t> bytes) : structure_(structure), bytes_(bytes) {}

  std::span<const uint8_t> Bytes() const { return bytes_; }
  bool Cut() const { return structure_.CutAt.has_value(); }
  Structure& Target() { return structure_; }

  // True when the field lies within the bytes; otherwise cuts the structure at `offset`.
  bool Fits(size_t offset, size_t size);

  // One field shown the way `how` says; false when it did not fit.
  bool Add(std::string group, size_t offset, size_t size, const char* name, Show how,
           std::span<const ValueName> names = {});
  // One field with a value made by the caller.
  bool AddText(std::string group, size_t offset, size_t size, std::string name, std::string value,
               std::optional<uint64_t> number = std::nullopt);
  // Every row of a table, at `base` + its offset; false when one did not fit.
  bool AddTable(const std::string& group, size_t base, std::span<const FieldSpec> table);

  void AddCheck(std::string name, bool holds, std::string stored, std::string computed);
  // A signature's check: the stored letters against the expected ones, both texts.
  void AddSignatureCheck(std::string name, size_t offset, const char* expected);
  // Reads the last field added at `offset` for scripts as a text field of bytes (its
  // Text and, where needed, BytesHex), whatever its shown value.
  void SetTextFromBytes(size_t offset);
  // Marks the last field added at `offset` as a time field holding `moment`.
  void SetTime(size_t offset, std::optional<std::string> moment);
  void Note(std::string note) { structure_.Notes.push_back(std::move(note)); }

 private:
  Structure& structure_;
  std::span<const uint8_t> bytes_;
};

// The value of `size` bytes at `offset` shown as `how` says. The bytes must hold them.
std::string ShowValue(std::span<const uint8_t> bytes, size_t offset, size_t size, Show how,
                      std::span<const ValueName> names = {});

// Number formats used by the values.
std::string HexText(uint64_t value, int digits);        // "0x0800"
std::string NumberText(uint64_t value);                  // "2048 (0x800)"
std::string GuidText(std::span<const uint8_t> bytes, size_t offset);  // 16 bytes, mixed-endian
std::string DosDateText(uint16_t date);                  // "2021-06-15"
std::string DosTimeText(uint16_t time);                  // "12:34:56"
std::string FileTimeText(uint64_t fileTime);             // local, as the NTFS report shows it
std::string Utf16Text(std::span<const uint8_t> bytes, size_t offset, size_t size);
std::string AsciiText(std::span<const uint8_t> bytes, size_t offset, size_t size);

// The signature check every boot sector and MBR carries: 0x55 0xAA at bytes 510-511.
void AddBootSignature(FieldWriter& writer);

// A boot sector as FAT, exFAT and NTFS lay one out: the fields of `head`, those `middle`
// adds (values no table row shows; false from it ends the structure there), the fields
// of `tail`, then the boot signature.
Structure DecodeBootSector(const StructureInput& input, const char* id, const char* title,
                           std::span<const FieldSpec> head, std::span<const FieldSpec> tail,
                           const std::function<bool(FieldWriter&)>& middle = {});

// Expected differences the file systems share: a checksum each copy carries of itself,
// which must hold in both (or be checked in neither); and a field only the primary keeps
// current, with the reason.
ExpectedDifference OwnCheckHolds(size_t offset, const std::string& check);
ExpectedDifference KeptByThePrimary(size_t offset, std::string why);

// Shared by the file systems' structure choices: one sector of CurrentDrive (zeros where
// it cannot be read), whether its bytes begin with `text`, and the drive's sector count
// as its size gives it.
std::vector<uint8_t> ReadStructureSector(uint64_t sector);
bool BeginsWith(std::span<const uint8_t> bytes, const char* text);
uint64_t DriveSectorCount();

}  // namespace korvalane
