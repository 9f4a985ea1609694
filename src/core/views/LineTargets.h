#pragma once

#include <cstddef>
#include <optional>

#include "core/fs/ReportLineTarget.h"
#include "core/model/Location.h"
#include "core/model/ViewText.h"

namespace korvalane {

// Where a line of the view text points, if anywhere, as the current volume's file system
// reads its views' lines (FileSystem::TargetOfLine); without a file system, as
// ReportLineTarget reads them.
std::optional<JumpTarget> TargetOfLine(const ViewText& view, size_t line);

}  // namespace korvalane
