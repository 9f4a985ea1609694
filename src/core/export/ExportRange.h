#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace korvalane {

// The export's messages and questions, as the user reads them. A lone "\r" separates the
// lines of a two-line message; the file name follows the first line.
inline constexpr std::u16string_view kDriveNotFound = u"Drive not found!";
inline constexpr std::u16string_view kInvalidStartSector = u"Invalid start sector value!";
inline constexpr std::u16string_view kInvalidEndSector = u"Invalid end sector value!";
inline constexpr std::u16string_view kInvalidSectorsRange = u"Invalid sectors range!";
inline constexpr std::u16string_view kInvalidFileName = u"Invalid file name!";
inline constexpr std::u16string_view kOverwriteQuestion = u"This file already exists. Overwrite?";
inline constexpr std::u16string_view kStopQuestion = u"Are you sure you want to cancel operation?";
inline constexpr std::u16string_view kPleaseWait = u"Please wait...";
inline constexpr std::u16string_view kDataSaved = u"Data saved to file\r";
inline constexpr std::u16string_view kErrorWriting = u"Error writing file\r";

// The sectors Start, Start + 1, ..., End - 1 (End itself is not copied; Start == End is an
// empty range).
struct SectorRange {
  uint64_t Start = 0;
  uint64_t End = 0;

  uint64_t Count() const { return End - Start; }
};

// The text of a range field without the characters U+0000 to U+0020 at either end.
std::u16string TrimBlanks(std::u16string_view text);

// A range field read as a sector: blanks around it ignored, then the sector-field rule.
// Nothing when it is not a number or is negative.
std::optional<uint64_t> ReadRangeField(std::u16string_view text);

// The outcome of checking the two range fields: the range, or the message to show.
struct RangeCheck {
  std::optional<SectorRange> Range;
  std::u16string_view Message;
};

// Checks the start and end fields against a volume of `totalSectors` sectors. The start
// is 0 only when its text is exactly "0" (so "00" is refused), otherwise a number of at
// least 1; the end is a number from 1 to totalSectors (the end may equal the sector count,
// the last sector copied then being the volume's last); the end may not lie before the
// start. The texts are taken as they are: the caller trims them first where it should.
RangeCheck CheckSectorRange(std::u16string_view startText, std::u16string_view endText, uint64_t totalSectors);

// The number of bytes a range makes with sectors of `bytesPerSector` bytes (0 for a
// sector size that is not positive; 2^64 - 1 for a range that 64 bits cannot count in
// bytes, which no disk holds).
uint64_t RangeBytes(SectorRange range, int32_t bytesPerSector);

// "File size - " + the size scaled to b, Kb, Mb or Gb: above 1024 bytes (1024 itself stays
// in bytes) in Kb, from 1 MiB in Mb, from 1 GiB in Gb, each rounded to the nearest whole
// number with halves to the even neighbour ("File size - 2 Kb" for 2560 bytes).
std::u16string FileSizeText(uint64_t bytes);

// The label under the range fields while the user types: "Sectors - " + totalSectors while
// the start is exactly "0" and the end is empty; otherwise the file size the range would
// make, or "File size - 0 b" while the fields do not form a valid range.
std::u16string ExportSizeLabel(std::u16string_view startText, std::u16string_view endText, uint64_t totalSectors,
                               int32_t bytesPerSector);

// "Sectors - " + the sector count, the label shown when a drive is chosen.
std::u16string SectorCountLabel(uint64_t totalSectors);

// The file name offered in the save dialog: "Drive D sectors 0-2048.bin" for drive D:,
// start 0 and end 2048.
std::u16string ProposeExportFileName(std::string_view drive, SectorRange range);

}  // namespace korvalane
