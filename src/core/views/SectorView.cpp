#include "core/views/SectorView.h"

#include <vector>

#include "core/fs/FileSystem.h"
#include "core/text/NumberFormat.h"
#include "core/text/SectorField.h"
#include "core/views/Dumps.h"
#include "core/volume/SectorReader.h"
#include "core/volume/VolumeGeometry.h"

namespace korvalane {
namespace {

// The sector the text names, when it is one of 0 ... TotalSectors. The number equal to
// TotalSectors is accepted: the field's range is inclusive.
std::optional<uint64_t> ValidSector(std::u16string_view text) {
  const std::optional<uint64_t> sector = ParseSectorIndex(text);
  if (!sector || *sector > Geometry().TotalSectors) return std::nullopt;
  return sector;
}

}  // namespace

SectorViewResult ShowSector(std::u16string_view sectorText, ViewKind kind, ViewText& view,
                            const MessagePump& pump, const RecordOptions& record) {
  const std::optional<uint64_t> sector = ValidSector(sectorText);
  if (!sector) return SectorViewResult::NotANumber;

  const VolumeGeometry& g = Geometry();
  std::vector<uint8_t> buffer(g.BytesPerSector > 0 ? static_cast<size_t>(g.BytesPerSector) : 0);
  if (!ReadSectors(*sector, buffer)) {
    view.emplace_back(u"Reading error");
    return SectorViewResult::ReadingError;
  }

  switch (kind) {
    case ViewKind::Text:
      RenderTextView(buffer, view, pump);
      break;
    case ViewKind::Hex:
      RenderHexView(buffer, view, pump);
      break;
    case ViewKind::FileRecord:
      // An unknown volume has no file records: the view stays empty.
      if (const OpenedFileSystem* fs = CurrentFileSystem()) fs->Record(*sector, &view, nullptr, record, pump);
      break;
  }
  return SectorViewResult::Shown;
}

Json FileRecordJson(uint64_t sector, const MessagePump& pump, const RecordOptions& record) {
  Json fields = Json::Object();
  if (const OpenedFileSystem* fs = CurrentFileSystem()) fs->Record(sector, nullptr, &fields, record, pump);
  // Every kind of volume answers in one shape: found or not, then what was found.
  return Json::Object().Set("found", !fields.Empty()).Update(fields);
}

std::optional<std::u16string> StepSector(std::u16string_view sectorText, int direction) {
  const std::optional<uint64_t> sector = ValidSector(sectorText);
  if (!sector) return std::nullopt;
  if (direction < 0) {
    if (*sector == 0) return std::nullopt;
    return Decimal(*sector - 1);
  }
  if (*sector >= Geometry().TotalSectors) return std::nullopt;
  return Decimal(*sector + 1);
}

std::u16string SavedTextFileName(const ViewText& view, std::string_view drive, std::u16string_view sectorText) {
  const std::u16string letter = drive.empty() ? std::u16string() : std::u16string(1, static_cast<char16_t>(static_cast<unsigned char>(drive[0])));
  if (!view.empty() && view.front().starts_with(u"Drive")) return u"Info Drive " + letter + u".txt";
  return u"Drive " + letter + u" Sector " + std::u16string(sectorText) + u".txt";
}

}  // namespace korvalane
