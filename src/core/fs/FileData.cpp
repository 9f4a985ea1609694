#include "core/fs/FileData.h"

#include <algorithm>

namespace korvalane {

std::string_view GradeName(DataGrade grade) {
  switch (grade) {
    case DataGrade::Exact: return "exact";
    case DataGrade::ChainIntact: return "chain intact";
    case DataGrade::FromJournal: return "from the journal";
    case DataGrade::Guessed: return "guessed";
    case DataGrade::Partial: return "partial";
  }
  return "partial";
}

std::string LastPathPart(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

std::vector<std::string> PathParts(std::string_view path) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (at <= path.size()) {
    size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    if (end > at) parts.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  return parts;
}

void AddMappedPieces(std::vector<MappedRun> runs, uint64_t size, FileData& data) {
  std::sort(runs.begin(), runs.end(), [](const MappedRun& a, const MappedRun& b) { return a.FileByte < b.FileByte; });
  uint64_t at = 0;
  const auto hole = [&](uint64_t length) {
    if (length == 0) return;
    DataPiece piece;
    piece.Type = DataPiece::Kind::Hole;
    piece.Length = length;
    data.Pieces.push_back(std::move(piece));
    at += length;
  };
  for (const MappedRun& run : runs) {
    if (at >= size) break;
    if (run.FileByte < at) {
      data.Problems.push_back("two runs map file byte " + std::to_string(run.FileByte) + "; the first is taken");
      continue;
    }
    hole(std::min(run.FileByte, size) - at);
    if (at >= size) break;
    const uint64_t length = std::min(run.Length, size - at);
    if (run.Zeros) {
      hole(length);
      continue;
    }
    DataPiece piece;
    piece.Type = DataPiece::Kind::Sectors;
    piece.Sector = run.Sector;
    piece.Length = length;
    data.Pieces.push_back(std::move(piece));
    at += length;
  }
  if (at < size) hole(size - at);
}

}  // namespace korvalane
