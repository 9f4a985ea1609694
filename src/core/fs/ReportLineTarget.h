#pragma once

#include <cstddef>
#include <optional>

#include "core/model/Location.h"
#include "core/model/ViewText.h"

namespace korvalane {

// Where a line of the views of FAT, exFAT and NTFS points, if anywhere:
// - a FAT directory listing line ("NAME  2024/01/31 12:00, size 10 b, cluster 5") points
//   to the entry's first cluster; cluster 0 (an empty file, a ".." that names the root)
//   is no place on the volume and gives nothing;
// - a data-run line ("START - COUNT") below "Start cluster - clusters count:" of an NTFS
//   record, or below "MFT cluster - clusters count:" of the details report, points to
//   the run's first cluster;
// - an NTFS record's "Parent MFT record N" points to MFT record N.
std::optional<JumpTarget> ReportLineTarget(const ViewText& view, size_t line);

}  // namespace korvalane
