#include "core/export/ExportRange.h"

#include "core/text/NumberFormat.h"
#include "core/text/SectorField.h"

namespace korvalane {
namespace {

constexpr uint64_t kKiB = 1024;
constexpr uint64_t kMiB = 1048576;
constexpr uint64_t kGiB = 1073741824;

bool IsBlank(char16_t c) { return c <= u' '; }

// The start field: exactly "0" is sector 0; any other text must read as a number of at
// least 1 (so "00", "-0" and "0x0" do not name sector 0).
std::optional<uint64_t> StartValue(std::u16string_view text) {
  if (text == u"0") return 0;
  const std::optional<uint64_t> value = ReadRangeField(text);
  if (!value || *value < 1) return std::nullopt;
  return value;
}

// The end field: a number from 1 to the volume's sector count.
std::optional<uint64_t> EndValue(std::u16string_view text, uint64_t totalSectors) {
  const std::optional<uint64_t> value = ReadRangeField(text);
  if (!value || *value < 1 || *value > totalSectors) return std::nullopt;
  return value;
}

}  // namespace

std::u16string TrimBlanks(std::u16string_view text) {
  size_t first = 0;
  size_t last = text.size();
  while (first < last && IsBlank(text[first])) ++first;
  while (last > first && IsBlank(text[last - 1])) --last;
  return std::u16string(text.substr(first, last - first));
}

std::optional<uint64_t> ReadRangeField(std::u16string_view text) { return ParseSectorIndex(TrimBlanks(text)); }

RangeCheck CheckSectorRange(std::u16string_view startText, std::u16string_view endText, uint64_t totalSectors) {
  const std::optional<uint64_t> start = StartValue(startText);
  if (!start) return {std::nullopt, kInvalidStartSector};
  const std::optional<uint64_t> end = EndValue(endText, totalSectors);
  if (!end) return {std::nullopt, kInvalidEndSector};
  if (*end < *start) return {std::nullopt, kInvalidSectorsRange};
  return {SectorRange{*start, *end}, {}};
}

uint64_t RangeBytes(SectorRange range, int32_t bytesPerSector) {
  if (bytesPerSector <= 0 || range.End < range.Start) return 0;
  const uint64_t sectorBytes = static_cast<uint32_t>(bytesPerSector);
  if (range.Count() > UINT64_MAX / sectorBytes) return UINT64_MAX;
  return range.Count() * sectorBytes;
}

std::u16string FileSizeText(uint64_t bytes) {
  // The three tests run in order on the current size, so at most one of them scales it.
  uint64_t size = bytes;
  std::u16string_view unit = u"b";
  if (size > kKiB && size < kMiB) {
    size = static_cast<uint64_t>(RoundHalfEven(static_cast<double>(size) / static_cast<double>(kKiB)));
    unit = u"Kb";
  }
  if (size >= kMiB && size < kGiB) {
    size = static_cast<uint64_t>(RoundHalfEven(static_cast<double>(size) / static_cast<double>(kMiB)));
    unit = u"Mb";
  }
  if (size >= kGiB) {
    size = static_cast<uint64_t>(RoundHalfEven(static_cast<double>(size) / static_cast<double>(kGiB)));
    unit = u"Gb";
  }
  return u"File size - " + Decimal(size) + u" " + std::u16string(unit);
}

std::u16string ExportSizeLabel(std::u16string_view startText, std::u16string_view endText, uint64_t totalSectors,
                               int32_t bytesPerSector) {
  if (startText == u"0" && endText.empty()) return SectorCountLabel(totalSectors);
  const std::optional<uint64_t> start = StartValue(startText);
  if (!start) return FileSizeText(0);
  const std::optional<uint64_t> end = EndValue(endText, totalSectors);
  if (!end || *end < *start) return FileSizeText(0);
  return FileSizeText(RangeBytes(SectorRange{*start, *end}, bytesPerSector));
}

std::u16string SectorCountLabel(uint64_t totalSectors) { return u"Sectors - " + Decimal(totalSectors); }

std::u16string ProposeExportFileName(std::string_view drive, SectorRange range) {
  std::u16string name = u"Drive ";
  if (!drive.empty()) name += static_cast<char16_t>(static_cast<unsigned char>(drive[0]));
  return name + u" sectors " + Decimal(range.Start) + u"-" + Decimal(range.End) + u".bin";
}

}  // namespace korvalane
