#include "core/views/LineTargets.h"

#include "core/fs/FileSystem.h"

namespace korvalane {

std::optional<JumpTarget> TargetOfLine(const ViewText& view, size_t line) {
  if (line >= view.size()) return std::nullopt;
  if (const OpenedFileSystem* fileSystem = CurrentFileSystem()) return fileSystem->TargetOfLine(view, line);
  return ReportLineTarget(view, line);
}

}  // namespace korvalane
