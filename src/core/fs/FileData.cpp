#include "core/fs/FileData.h"

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

}  // namespace korvalane
