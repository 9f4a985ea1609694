#include "core/ownership/Damage.h"

#include <algorithm>
#include <map>
#include <set>

namespace korvalane {

namespace {

// A piece of one area that one owner's run holds.
struct Piece {
  uint64_t From;
  uint64_t To;
  size_t Place;  // in Damage::Owners
  OwnerKind Kind;
};

// The owner a record is told under: the one whose run holds its first bad byte, a
// metadata area or a directory (which hold records) before any other.
const Piece* PieceOf(const std::vector<Piece>& pieces, uint64_t byte) {
  const Piece* found = nullptr;
  for (const Piece& piece : pieces) {
    if (byte < piece.From || byte >= piece.To) continue;
    if (piece.Kind == OwnerKind::Metadata || piece.Kind == OwnerKind::Directory) return &piece;
    if (found == nullptr) found = &piece;
  }
  return found;
}

}  // namespace

Damage FindDamage(const OwnershipIndex& index, const std::vector<MapArea>& areas) {
  Damage damage;
  const uint64_t sectorBytes = index.BytesPerSector();
  if (sectorBytes == 0) return damage;
  const uint64_t volumeBytes =
      index.VolumeSectors() > UINT64_MAX / sectorBytes ? UINT64_MAX : index.VolumeSectors() * sectorBytes;
  std::map<const Owner*, size_t> place;  // where each owner stands in damage.Owners
  std::map<size_t, std::set<std::string>> told;  // the records listed under each owner
  size_t records = 0;
  std::vector<Piece> pieces;
  std::vector<HeldRecord> found;
  for (const MapArea& area : areas) {
    const uint64_t from = std::min(area.Position, volumeBytes);
    const uint64_t to = std::min(area.Size > volumeBytes - from ? volumeBytes : from + area.Size, volumeBytes);
    if (from >= to) continue;
    damage.BadBytes += to - from;
    // The bytes of the area some run holds, as a union, to tell what no run holds.
    uint64_t coveredTo = from;
    uint64_t covered = 0;
    pieces.clear();
    index.ForEachRunIn(from / sectorBytes, (to + sectorBytes - 1) / sectorBytes, [&](const OwnershipIndex::RunView& run) {
      const uint64_t runFrom = run.First * sectorBytes;
      const uint64_t runTo = (run.First + run.Sectors) * sectorBytes;
      uint64_t x = std::max(from, runFrom);
      uint64_t y = std::min(to, runTo);
      if (x >= y) return;
      if (y > coveredTo) {
        covered += y - std::max(x, coveredTo);
        coveredTo = y;
      }
      const Owner& owner = *run.Of;
      uint64_t bad = y - x;
      if (run.Byte && owner.HasSize) {
        // In the file's own bytes; what lies past its size is slack, not the file.
        const uint64_t fileX = *run.Byte + (x - runFrom);
        const uint64_t fileY = *run.Byte + (y - runFrom);
        bad = fileX >= owner.Size ? 0 : std::min(fileY, owner.Size) - fileX;
      }
      if (bad == 0) return;
      const auto [it, added] = place.emplace(run.Of, damage.Owners.size());
      if (added) damage.Owners.push_back({run.Of, 0, {}});
      damage.Owners[it->second].BadBytes += bad;
      if (owner.Kind != OwnerKind::Free && owner.Kind != OwnerKind::Lost) pieces.push_back({x, y, it->second, owner.Kind});
    });
    damage.UnownedBytes += (to - from) - covered;
    if (pieces.empty() || damage.RecordsCut) continue;
    // The files whose records stand in the area, under the owner whose bytes hold them.
    found.clear();
    if (!index.RecordsIn(from, to, kMaxDamagedRecords - records, found)) damage.RecordsCut = true;
    for (HeldRecord& record : found) {
      const Piece* piece = PieceOf(pieces, std::max(record.Byte, from));
      if (piece == nullptr || !told[piece->Place].insert(record.Record).second) continue;
      damage.Owners[piece->Place].Records.push_back(std::move(record));
      if (++records == kMaxDamagedRecords) damage.RecordsCut = true;
    }
  }
  return damage;
}

std::string DescribeHeldRecord(const HeldRecord& record) {
  std::string text = record.Record + ": ";
  if (record.Kind == OwnerKind::Lost) return text + "in use, but nothing that can be read names its file";
  if (record.Kind == OwnerKind::Deleted) text += "deleted ";
  text += record.Name;
  if (record.Kind == OwnerKind::Directory) text += "  directory";
  if (record.Size) text += "  size " + std::to_string(*record.Size);
  if (record.NameOnly) return text + "  (its name lost; its inode and data are not)";
  switch (record.Data) {
    case RecordData::Elsewhere:
      text += "  (metadata lost; the data lies elsewhere";
      break;
    case RecordData::InRecord:
      text += "  (metadata lost, with the data it holds";
      break;
    case RecordData::None:
      text += "  (metadata lost; it has no data";
      break;
    case RecordData::Unknown:
      text += "  (metadata lost, and with it where the data lies";
      break;
  }
  if (!record.Note.empty()) text += "; " + record.Note;
  return text + ")";
}

Json HeldRecordJson(const HeldRecord& record) {
  Json item = Json::Object();
  item.Set("record", record.Record);
  if (record.NumberKey != nullptr) item.Set(record.NumberKey, record.Number);
  item.Set("kind", OwnerKindName(record.Kind));
  if (record.Kind != OwnerKind::Lost) item.Set("name", record.Name);
  if (record.Size) item.Set("size", *record.Size);
  if (record.NameOnly) {
    item.Set("nameOnly", true);
  } else if (record.Kind != OwnerKind::Lost) {
    static constexpr const char* kData[] = {"elsewhere", "inRecord", "none", "unknown"};
    item.Set("data", kData[static_cast<size_t>(record.Data)]);
  }
  if (!record.Note.empty()) item.Set("note", record.Note);
  item.Set("text", DescribeHeldRecord(record));
  return item;
}

}  // namespace korvalane
