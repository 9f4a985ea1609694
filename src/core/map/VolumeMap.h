#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/model/OwnershipIndex.h"
#include "core/rescue/Mapfile.h"

namespace korvalane {

// What a unit of the volume is used for, as the map colours it.
enum class MapClass : uint8_t {
  Free,
  File,
  Folder,
  Boot,        // boot sectors, reserved sectors, superblocks, group descriptors
  Table,       // a FAT, an allocation bitmap
  Records,     // the MFT, inode tables
  Journal,
  Metadata,    // any other metadata
  Deleted,     // free, but a deleted file's data may still be there
  Lost,        // allocated, but no file or folder reaches it
  Unreadable,  // a read failed or a rescue did not finish it
  Outside,     // not in any cluster (the sectors past the last one)
};
inline constexpr size_t kMapClassCount = 12;

// "free", "file", ..., the names in JSON and in the text's lines.
const char* MapClassName(MapClass what);
// "free space", "file data", ...: the legend's captions.
const char* MapClassCaption(MapClass what);
// The colour of a class, 0xRRGGBB: the window and the picture draw with it.
uint32_t MapClassColour(MapClass what);

// A range of sectors of the volume: unreadable ones.
struct SectorRange {
  uint64_t First = 0;
  uint64_t Sectors = 0;
};

// The sectors of a rescue map's unfinished areas (in the drive's bytes): a sector with any
// byte unfinished is unreadable.
std::vector<SectorRange> UnfinishedSectors(const std::vector<MapArea>& areas, uint32_t bytesPerSector);

// One run of units of a class: the owner of its first unit where it has one, and where in
// the owner's bytes the run begins.
struct ClassRun {
  uint64_t First = 0;  // unit
  uint64_t Count = 0;
  MapClass Class = MapClass::Free;
  const Owner* Of = nullptr;
  std::optional<uint64_t> Byte;
};

// A part of the volume seen at once: a cell of the grid.
struct MapCell {
  uint64_t First = 0;  // unit
  uint64_t Count = 0;
  std::array<uint64_t, kMapClassCount> Units{};  // how many of its units each class holds
  MapClass Largest = MapClass::Free;
};

struct LegendLine {
  MapClass Class = MapClass::Free;
  uint64_t Units = 0;
  uint64_t Bytes = 0;
};

// The volume cut into units (its clusters or blocks, or sectors where clusters do not start
// at the volume's first sector) and each unit's class. It is made of class runs, as many as
// the index has runs at most (and twice the unreadable areas), never one entry per unit.
class VolumeMap {
 public:
  uint64_t UnitSectors() const { return unitSectors_; }
  uint64_t UnitBytes() const { return unitSectors_ * bytesPerSector_; }
  uint64_t Units() const { return units_; }
  uint32_t BytesPerSector() const { return bytesPerSector_; }
  const std::vector<ClassRun>& Runs() const { return runs_; }

  // The run that holds a unit; null past the end.
  const ClassRun* RunAt(uint64_t unit) const;
  // Units [first, end) cut into `cells` cells of equal share (at least one unit each).
  std::vector<MapCell> Cells(uint64_t first, uint64_t end, uint64_t cells) const;
  std::vector<MapCell> Cells(uint64_t cells) const { return Cells(0, units_, cells); }
  // Each class with its units and bytes, in the order of MapClass; classes with none too.
  std::vector<LegendLine> Legend() const;
  // The first sector of a unit.
  uint64_t SectorOf(uint64_t unit) const { return unit * unitSectors_; }

  // The map of an index. `unitSectors`: the sectors of a unit (1 or more); `unreadable`:
  // the sectors a read failed on or a rescue did not finish, in any order.
  static VolumeMap Build(const OwnershipIndex& index, uint64_t unitSectors, std::vector<SectorRange> unreadable = {});

 private:
  void Add(uint64_t first, uint64_t count, MapClass what, const Owner* of, std::optional<uint64_t> byte);
  uint64_t unitSectors_ = 1;
  uint64_t units_ = 0;
  uint32_t bytesPerSector_ = 512;
  std::vector<ClassRun> runs_;
};

// The class of an owner, as it stands alone.
MapClass ClassOfOwner(const Owner& owner);

// The map's unit for the current volume: its cluster where clusters start at its first
// sector (NTFS, ext), else its sector (FAT and exFAT, whose clusters start at the data
// area).
uint64_t MapUnitSectors();

// The grid of a map's cells: `Columns` cells a row, each a square of `Side` pixels.
struct MapGrid {
  uint64_t Cells = 0;
  uint32_t Columns = 1;
  uint32_t Rows = 0;
  uint32_t Side = 1;
};
// `cells` cells (at most the map's units) in a picture about `width` pixels wide: as many
// columns as rows, as near as may be.
MapGrid GridFor(const VolumeMap& map, uint64_t cells, uint32_t width);

// A picture of the cells, each in its largest class's colour, row after row (RGB, three
// bytes a pixel); what is past the last cell is white.
struct MapPicture {
  uint32_t Width = 0;
  uint32_t Height = 0;
  std::vector<uint8_t> Rgb;
};
MapPicture DrawMap(const VolumeMap& map, const MapGrid& grid);

// The owners of units [first, end), in order, each once, at most `limit` (free space and
// lost units have none): "/a.txt  (first cluster 5)  byte 4096 of the file", the byte
// where the range begins in it.
std::vector<std::string> OwnersIn(const OwnershipIndex& index, const VolumeMap& map, uint64_t first, uint64_t end, size_t limit);

// Where one owner's units lie on the map: its fragments (runs of units, joined where they
// touch), in order, and the largest gap between two of them.
struct Fragments {
  std::vector<std::pair<uint64_t, uint64_t>> Runs;  // first unit, count
  uint64_t BiggestGap = 0;                          // in units
};
Fragments FragmentsOf(const VolumeMap& map, const Owner* owner);

// The class runs and the legend as JSON: {"unitBytes", "units", "runs", "legend", "cells"}.
// `cells` 0: no cells.
Json VolumeMapJson(const OwnershipIndex& index, const VolumeMap& map, uint64_t cells);
// One run's line: "START  COUNT  CLASS  OWNER".
std::string DescribeClassRun(const OwnershipIndex& index, const ClassRun& run);

}  // namespace korvalane
