#include "core/map/VolumeMap.h"

#include <algorithm>
#include <functional>
#include <map>

#include "core/volume/VolumeGeometry.h"

namespace korvalane {

namespace {

struct ClassFacts {
  const char* Name;
  const char* Caption;
  uint32_t Colour;
};

constexpr std::array<ClassFacts, kMapClassCount> kClasses = {{
    {"free", "free space", 0xF2F2F2},
    {"file", "file data", 0x3C78D8},
    {"folder", "folders", 0xF1C232},
    {"boot", "boot and reserved sectors", 0x674EA7},
    {"table", "allocation tables and bitmaps", 0x8E7CC3},
    {"records", "MFT or inode tables", 0xC27BA0},
    {"journal", "journal", 0x45818E},
    {"metadata", "other metadata", 0xB4A7D6},
    {"deleted", "deleted files", 0x6AA84F},
    {"lost", "allocated, no file", 0xE69138},
    {"unreadable", "unreadable", 0xCC0000},
    {"outside", "not in any cluster", 0x999999},
}};

size_t At(MapClass what) { return static_cast<size_t>(what); }

// Which of the owners of a sector its class comes from: what uses it now, then allocated
// sectors no file reaches, then the deleted files that used it, then free.
int Rank(OwnerKind kind) {
  switch (kind) {
    case OwnerKind::Lost:
      return 1;
    case OwnerKind::Deleted:
      return 2;
    case OwnerKind::Free:
      return 3;
    default:
      return 0;
  }
}

// Turns runs of sectors, in rising order, into runs of units: a unit the sectors of several
// classes share takes the class with the most of them.
class UnitCutter {
 public:
  using Emit = std::function<void(uint64_t, uint64_t, MapClass, const Owner*, std::optional<uint64_t>)>;
  UnitCutter(uint64_t unitSectors, uint32_t bytesPerSector, Emit emit)
      : unitSectors_(unitSectors), bytesPerSector_(bytesPerSector), emit_(std::move(emit)) {}

  void Sectors(uint64_t first, uint64_t count, MapClass what, const Owner* of, std::optional<uint64_t> byte) {
    while (count > 0) {
      const uint64_t unit = first / unitSectors_;
      const uint64_t offset = first % unitSectors_;
      uint64_t take = 0;
      if (offset != 0 || count < unitSectors_) {
        if (pending_ && pendingUnit_ != unit) Flush();
        take = std::min(count, unitSectors_ - offset);
        if (!pending_) {
          pending_ = true;
          pendingUnit_ = unit;
          shares_.fill(0);
          owners_.fill(nullptr);
          bytes_.fill(std::nullopt);
        }
        if (shares_[At(what)] == 0) {
          owners_[At(what)] = of;
          bytes_[At(what)] = byte;
        }
        shares_[At(what)] += take;
        if (offset + take == unitSectors_) Flush();
      } else {
        if (pending_) Flush();
        const uint64_t units = count / unitSectors_;
        take = units * unitSectors_;
        emit_(unit, units, what, of, byte);
      }
      first += take;
      count -= take;
      if (byte) *byte += take * bytesPerSector_;
    }
  }

  void Flush() {
    if (!pending_) return;
    pending_ = false;
    size_t best = 0;
    for (size_t i = 1; i < kMapClassCount; ++i) {
      if (shares_[i] > shares_[best]) best = i;
    }
    emit_(pendingUnit_, 1, static_cast<MapClass>(best), owners_[best], bytes_[best]);
  }

 private:
  uint64_t unitSectors_;
  uint32_t bytesPerSector_;
  Emit emit_;
  bool pending_ = false;
  uint64_t pendingUnit_ = 0;
  std::array<uint64_t, kMapClassCount> shares_{};
  std::array<const Owner*, kMapClassCount> owners_{};
  std::array<std::optional<uint64_t>, kMapClassCount> bytes_{};
};

// Unreadable ranges sorted and joined where they touch or overlap.
std::vector<SectorRange> Joined(std::vector<SectorRange> ranges) {
  std::erase_if(ranges, [](const SectorRange& r) { return r.Sectors == 0; });
  std::sort(ranges.begin(), ranges.end(), [](const SectorRange& a, const SectorRange& b) { return a.First < b.First; });
  std::vector<SectorRange> joined;
  for (const SectorRange& r : ranges) {
    const uint64_t end = r.First + std::min(r.Sectors, UINT64_MAX - r.First);
    if (!joined.empty() && r.First <= joined.back().First + joined.back().Sectors) {
      SectorRange& last = joined.back();
      last.Sectors = std::max(last.First + last.Sectors, end) - last.First;
    } else {
      joined.push_back({r.First, end - r.First});
    }
  }
  return joined;
}

}  // namespace

const char* MapClassName(MapClass what) { return At(what) < kMapClassCount ? kClasses[At(what)].Name : ""; }
const char* MapClassCaption(MapClass what) { return At(what) < kMapClassCount ? kClasses[At(what)].Caption : ""; }
uint32_t MapClassColour(MapClass what) { return At(what) < kMapClassCount ? kClasses[At(what)].Colour : 0; }

std::vector<SectorRange> UnfinishedSectors(const std::vector<MapArea>& areas, uint32_t bytesPerSector) {
  std::vector<SectorRange> ranges;
  if (bytesPerSector == 0) return ranges;
  for (const MapArea& area : areas) {
    if (area.Size == 0 || !area.Unfinished()) continue;
    const uint64_t first = area.Position / bytesPerSector;
    const uint64_t last = (area.Position + std::min(area.Size, UINT64_MAX - area.Position) - 1) / bytesPerSector;
    ranges.push_back({first, last - first + 1});
  }
  return ranges;
}

MapClass ClassOfOwner(const Owner& owner) {
  switch (owner.Kind) {
    case OwnerKind::Free:
      return MapClass::Free;
    case OwnerKind::File:
      return MapClass::File;
    case OwnerKind::Directory:
      return MapClass::Folder;
    case OwnerKind::Deleted:
      return MapClass::Deleted;
    case OwnerKind::Lost:
      return MapClass::Lost;
    case OwnerKind::Metadata:
      break;
  }
  switch (owner.Area) {
    case MetadataClass::Boot:
      return MapClass::Boot;
    case MetadataClass::Table:
      return MapClass::Table;
    case MetadataClass::Records:
      return MapClass::Records;
    case MetadataClass::Journal:
      return MapClass::Journal;
    case MetadataClass::Other:
      break;
  }
  return MapClass::Metadata;
}

uint64_t MapUnitSectors() {
  const VolumeGeometry& g = Geometry();
  const bool clustersFromZero = g.FileSystemKind == FileSystemKind::Ntfs || g.FileSystemKind == FileSystemKind::Ext;
  return clustersFromZero && g.SectorsPerCluster > 0 ? static_cast<uint64_t>(g.SectorsPerCluster) : 1;
}

void VolumeMap::Add(uint64_t first, uint64_t count, MapClass what, const Owner* of, std::optional<uint64_t> byte) {
  if (!runs_.empty()) {
    ClassRun& last = runs_.back();
    const bool bytesFollow = last.Byte.has_value() == byte.has_value() &&
                             (!byte || *last.Byte + last.Count * UnitBytes() == *byte);
    if (last.Class == what && last.Of == of && last.First + last.Count == first && bytesFollow) {
      last.Count += count;
      return;
    }
  }
  runs_.push_back(ClassRun{first, count, what, of, byte});
}

VolumeMap VolumeMap::Build(const OwnershipIndex& index, uint64_t unitSectors, std::vector<SectorRange> unreadable) {
  VolumeMap map;
  map.unitSectors_ = std::max<uint64_t>(unitSectors, 1);
  map.bytesPerSector_ = index.BytesPerSector() != 0 ? index.BytesPerSector() : 512;
  const uint64_t sectors = index.VolumeSectors();
  map.units_ = sectors / map.unitSectors_ + (sectors % map.unitSectors_ != 0 ? 1 : 0);

  // Each run's start and end, then a sweep over them: between two of these boundaries the
  // owners of every sector are the same, and the best ranked one gives the class.
  struct Boundary {
    uint64_t Sector;
    bool End;
    size_t Run;
  };
  std::vector<OwnershipIndex::RunView> runs;
  runs.reserve(index.RunCount());
  index.ForEachRunIn(0, sectors, [&](const OwnershipIndex::RunView& run) { runs.push_back(run); });
  std::vector<Boundary> boundaries;
  boundaries.reserve(runs.size() * 2);
  for (size_t i = 0; i < runs.size(); ++i) {
    const uint64_t first = std::min(runs[i].First, sectors);
    const uint64_t end = std::min(runs[i].First + runs[i].Sectors, sectors);
    if (end <= first) continue;
    boundaries.push_back({first, false, i});
    boundaries.push_back({end, true, i});
  }
  std::sort(boundaries.begin(), boundaries.end(), [](const Boundary& a, const Boundary& b) { return a.Sector < b.Sector; });

  UnitCutter cutter(map.unitSectors_, map.bytesPerSector_,
                    [&](uint64_t first, uint64_t count, MapClass what, const Owner* of, std::optional<uint64_t> byte) {
                      map.Add(first, count, what, of, byte);
                    });
  const std::vector<SectorRange> bad = Joined(std::move(unreadable));
  size_t nextBad = 0;
  // A run of sectors of one class, with the unreadable ranges cut out of it.
  const auto emit = [&](uint64_t first, uint64_t count, MapClass what, const Owner* of, std::optional<uint64_t> byte) {
    while (count > 0) {
      while (nextBad < bad.size() && bad[nextBad].First + bad[nextBad].Sectors <= first) ++nextBad;
      uint64_t take = count;
      MapClass shown = what;
      if (nextBad < bad.size() && bad[nextBad].First <= first) {
        take = std::min(count, bad[nextBad].First + bad[nextBad].Sectors - first);
        shown = MapClass::Unreadable;
      } else if (nextBad < bad.size() && bad[nextBad].First < first + count) {
        take = bad[nextBad].First - first;
      }
      cutter.Sectors(first, take, shown, of, byte);
      first += take;
      count -= take;
      if (byte) *byte += take * map.bytesPerSector_;
    }
  };

  std::map<std::pair<int, size_t>, size_t> active;  // (rank, order) -> run
  uint64_t at = 0;
  const auto segment = [&](uint64_t end) {
    if (end <= at) return;
    if (active.empty()) {
      emit(at, end - at, MapClass::Outside, nullptr, std::nullopt);
    } else {
      const OwnershipIndex::RunView& run = runs[active.begin()->second];
      std::optional<uint64_t> byte;
      if (run.Byte) byte = *run.Byte + (at - run.First) * map.bytesPerSector_;
      emit(at, end - at, ClassOfOwner(*run.Of), run.Of, byte);
    }
    at = end;
  };
  for (const Boundary& b : boundaries) {
    segment(b.Sector);
    const std::pair<int, size_t> key{Rank(runs[b.Run].Of->Kind), b.Run};
    if (b.End) {
      active.erase(key);
    } else {
      active.emplace(key, b.Run);
    }
  }
  segment(sectors);
  cutter.Flush();
  map.runs_.shrink_to_fit();
  return map;
}

const ClassRun* VolumeMap::RunAt(uint64_t unit) const {
  auto it = std::upper_bound(runs_.begin(), runs_.end(), unit, [](uint64_t u, const ClassRun& run) { return u < run.First; });
  if (it == runs_.begin()) return nullptr;
  --it;
  return unit - it->First < it->Count ? &*it : nullptr;
}

std::vector<MapCell> VolumeMap::Cells(uint64_t first, uint64_t end, uint64_t cells) const {
  std::vector<MapCell> out;
  end = std::min(end, units_);
  if (first >= end || cells == 0) return out;
  const uint64_t span = end - first;
  cells = std::min(cells, span);
  const uint64_t each = span / cells;
  const uint64_t extra = span % cells;
  out.reserve(static_cast<size_t>(cells));
  auto run = std::upper_bound(runs_.begin(), runs_.end(), first, [](uint64_t u, const ClassRun& r) { return u < r.First; });
  if (run != runs_.begin()) --run;
  uint64_t cellFirst = first;
  for (uint64_t i = 0; i < cells; ++i) {
    MapCell cell;
    cell.First = cellFirst;
    cell.Count = each + (i < extra ? 1 : 0);
    const uint64_t cellEnd = cell.First + cell.Count;
    while (run != runs_.end() && run->First + run->Count <= cell.First) ++run;
    for (auto r = run; r != runs_.end() && r->First < cellEnd; ++r) {
      const uint64_t from = std::max(r->First, cell.First);
      const uint64_t to = std::min(r->First + r->Count, cellEnd);
      if (to > from) cell.Units[At(r->Class)] += to - from;
    }
    size_t best = 0;
    for (size_t c = 1; c < kMapClassCount; ++c) {
      if (cell.Units[c] > cell.Units[best]) best = c;
    }
    cell.Largest = static_cast<MapClass>(best);
    out.push_back(cell);
    cellFirst = cellEnd;
  }
  return out;
}

std::vector<LegendLine> VolumeMap::Legend() const {
  std::vector<LegendLine> legend(kMapClassCount);
  for (size_t c = 0; c < kMapClassCount; ++c) legend[c].Class = static_cast<MapClass>(c);
  for (const ClassRun& run : runs_) legend[At(run.Class)].Units += run.Count;
  for (LegendLine& line : legend) line.Bytes = line.Units * UnitBytes();
  return legend;
}

MapGrid GridFor(const VolumeMap& map, uint64_t cells, uint32_t width) {
  MapGrid grid;
  grid.Cells = std::min<uint64_t>(std::min<uint64_t>(cells, map.Units()), uint64_t{1} << 24);
  if (grid.Cells == 0) return grid;
  uint64_t columns = 1;
  while (columns * columns < grid.Cells) ++columns;
  grid.Columns = static_cast<uint32_t>(columns);
  grid.Rows = static_cast<uint32_t>((grid.Cells + columns - 1) / columns);
  grid.Side = std::max<uint32_t>(1, width / grid.Columns);
  return grid;
}

MapPicture DrawMap(const VolumeMap& map, const MapGrid& grid) {
  MapPicture picture;
  if (grid.Cells == 0 || uint64_t{grid.Columns} * grid.Side > 65536 || uint64_t{grid.Rows} * grid.Side > 65536) return picture;
  picture.Width = grid.Columns * grid.Side;
  picture.Height = grid.Rows * grid.Side;
  picture.Rgb.assign(size_t{picture.Width} * picture.Height * 3, 0xFF);
  const std::vector<MapCell> cells = map.Cells(grid.Cells);
  for (size_t i = 0; i < cells.size(); ++i) {
    const uint32_t colour = MapClassColour(cells[i].Largest);
    const uint32_t x0 = static_cast<uint32_t>(i % grid.Columns) * grid.Side;
    const uint32_t y0 = static_cast<uint32_t>(i / grid.Columns) * grid.Side;
    for (uint32_t y = y0; y < y0 + grid.Side; ++y) {
      uint8_t* p = &picture.Rgb[(size_t{y} * picture.Width + x0) * 3];
      for (uint32_t x = 0; x < grid.Side; ++x, p += 3) {
        p[0] = static_cast<uint8_t>(colour >> 16);
        p[1] = static_cast<uint8_t>(colour >> 8);
        p[2] = static_cast<uint8_t>(colour);
      }
    }
  }
  return picture;
}

namespace {

bool Named(const Owner* owner) { return owner != nullptr && owner->Kind != OwnerKind::Free && owner->Kind != OwnerKind::Lost; }

std::string OwnerAtByte(const OwnershipIndex& index, const Owner& owner, std::optional<uint64_t> byte) {
  std::string text = DescribeOwner(index, owner);
  if (byte && !owner.Part.empty()) text += "  byte " + std::to_string(*byte) + " of the " + owner.Part;
  return text;
}

}  // namespace

std::string DescribeClassRun(const OwnershipIndex& index, const ClassRun& run) {
  std::string line = std::to_string(run.First) + "  " + std::to_string(run.Count) + "  " + MapClassName(run.Class);
  if (Named(run.Of)) line += "  " + OwnerAtByte(index, *run.Of, run.Byte);
  return line;
}

std::vector<std::string> OwnersIn(const OwnershipIndex& index, const VolumeMap& map, uint64_t first, uint64_t end, size_t limit) {
  std::vector<std::string> lines;
  std::vector<const Owner*> seen;
  const std::vector<ClassRun>& runs = map.Runs();
  auto run = std::upper_bound(runs.begin(), runs.end(), first, [](uint64_t u, const ClassRun& r) { return u < r.First; });
  if (run != runs.begin()) --run;
  for (; run != runs.end() && run->First < end && lines.size() < limit; ++run) {
    if (run->First + run->Count <= first || !Named(run->Of)) continue;
    if (std::find(seen.begin(), seen.end(), run->Of) != seen.end()) continue;
    seen.push_back(run->Of);
    std::optional<uint64_t> byte = run->Byte;
    if (byte && run->First < first) *byte += (first - run->First) * map.UnitBytes();
    lines.push_back(OwnerAtByte(index, *run->Of, byte));
  }
  return lines;
}

Fragments FragmentsOf(const VolumeMap& map, const Owner* owner) {
  Fragments fragments;
  if (owner == nullptr) return fragments;
  for (const ClassRun& run : map.Runs()) {
    if (run.Of != owner) continue;
    if (!fragments.Runs.empty()) {
      auto& [first, count] = fragments.Runs.back();
      if (first + count == run.First) {
        count += run.Count;
        continue;
      }
      fragments.BiggestGap = std::max(fragments.BiggestGap, run.First - (first + count));
    }
    fragments.Runs.emplace_back(run.First, run.Count);
  }
  return fragments;
}

Json VolumeMapJson(const OwnershipIndex& index, const VolumeMap& map, uint64_t cells) {
  Json document = Json::Object();
  document.Set("unitBytes", map.UnitBytes());
  document.Set("unitSectors", map.UnitSectors());
  document.Set("units", map.Units());
  Json runs = Json::Array();
  for (const ClassRun& run : map.Runs()) {
    Json item = Json::Object();
    item.Set("start", run.First);
    item.Set("count", run.Count);
    item.Set("class", MapClassName(run.Class));
    if (Named(run.Of)) {
      item.Set("owner", DescribeOwner(index, *run.Of));
      if (run.Byte && !run.Of->Part.empty()) item.Set("byte", *run.Byte);
    }
    runs.Push(std::move(item));
  }
  document.Set("runs", std::move(runs));
  Json legend = Json::Array();
  for (const LegendLine& line : map.Legend()) {
    Json item = Json::Object();
    item.Set("class", MapClassName(line.Class));
    item.Set("caption", MapClassCaption(line.Class));
    item.Set("units", line.Units);
    item.Set("bytes", line.Bytes);
    legend.Push(std::move(item));
  }
  document.Set("legend", std::move(legend));
  if (cells != 0) {
    Json list = Json::Array();
    for (const MapCell& cell : map.Cells(cells)) {
      Json item = Json::Object();
      item.Set("start", cell.First);
      item.Set("count", cell.Count);
      item.Set("class", MapClassName(cell.Largest));
      Json shares = Json::Object();
      for (size_t c = 0; c < kMapClassCount; ++c) {
        if (cell.Units[c] != 0) shares.Set(MapClassName(static_cast<MapClass>(c)), cell.Units[c]);
      }
      item.Set("units", std::move(shares));
      list.Push(std::move(item));
    }
    document.Set("cells", std::move(list));
  }
  return document;
}

}  // namespace korvalane
