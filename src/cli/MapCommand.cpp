// korvalane-cli map: the volume's units by class (free, file data, folders, metadata,
// deleted, lost, unreadable), their totals, and a picture of them.
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "core/map/Png.h"
#include "core/map/VolumeMap.h"
#include "core/text/Json.h"
#include "core/text/Utf.h"

namespace korvalane::cli {

namespace {

// The cells of the text and the picture when --cells is not given.
constexpr uint64_t kDefaultCells = 4096;

}  // namespace

int RunMap(const Arguments& arguments) {
  if (arguments.Positional.size() != 1) return UsageError("map needs SOURCE (try --help)");
  const std::string& source = arguments.Positional[0];
  const std::unique_ptr<Platform> platform = UsePlatform({source}, arguments);

  int status = kOk;
  std::optional<Mapfile> rescue;
  if (!arguments.MapFile.empty()) {
    rescue = ReadMapfile(arguments.MapFile, &status);
    if (!rescue) return status;
  }
  const std::optional<OwnershipIndex> index = IndexOfSource(source, &status);
  if (!index) return status;
  std::vector<SectorRange> unreadable;
  if (rescue) {
    std::vector<std::string> problems = rescue->Problems;
    unreadable = UnfinishedSectors(UnfinishedOfDrive(*rescue, *index, problems), index->BytesPerSector());
    for (const std::string& problem : problems) std::cerr << "korvalane-cli: map: " << problem << '\n';
  }
  const VolumeMap map = VolumeMap::Build(*index, MapUnitSectors(), std::move(unreadable));

  if (!arguments.Png.empty()) {
    const MapGrid grid = GridFor(map, arguments.Cells.value_or(kDefaultCells), arguments.Width);
    const MapPicture picture = DrawMap(map, grid);
    const std::vector<uint8_t> png = EncodePng(picture.Width, picture.Height, picture.Rgb);
    std::ofstream out(PathFromUtf8(arguments.Png), std::ios::binary | std::ios::trunc);
    if (png.empty() || !out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size())) ||
        !out.flush()) {
      std::cerr << "korvalane-cli: cannot write the picture '" << arguments.Png << "'\n";
      return kFailure;
    }
  }
  if (arguments.Json) {
    PrintJson(VolumeMapJson(*index, map, arguments.Cells.value_or(0)).Dump());
    return kOk;
  }
  ViewText lines;
  lines.push_back(FromUtf8("unit " + std::to_string(map.UnitBytes()) + " bytes, " + std::to_string(map.Units()) + " units"));
  for (const ClassRun& run : map.Runs()) lines.push_back(FromUtf8(DescribeClassRun(*index, run)));
  if (arguments.Cells) {
    for (const MapCell& cell : map.Cells(*arguments.Cells)) {
      std::string line = "cell " + std::to_string(cell.First) + "  " + std::to_string(cell.Count) + "  " + MapClassName(cell.Largest);
      for (size_t c = 0; c < kMapClassCount; ++c) {
        if (cell.Units[c] != 0) line += "  " + std::string(MapClassName(static_cast<MapClass>(c))) + " " + std::to_string(cell.Units[c]);
      }
      lines.push_back(FromUtf8(line));
    }
  }
  for (const LegendLine& line : map.Legend()) {
    lines.push_back(FromUtf8(std::string(MapClassName(line.Class)) + "  " + std::to_string(line.Units) + " units  " +
                             std::to_string(line.Bytes) + " bytes  (" + MapClassCaption(line.Class) + ")"));
  }
  PrintLines(lines);
  return kOk;
}

}  // namespace korvalane::cli
