#pragma once

#include <string>

#include "core/text/Json.h"
#include "core/views/ViewText.h"

namespace korvalane::cli {

// The machine-readable forms of the views. Each takes what the view just did (the
// geometry it left, its lines) so that its numbers are the view's numbers.

// One drive of `drives`, after SelectDriveAndLabel chose it.
Json DriveJson(const std::string& drive);

// The details report whose lines are `report`: {} when it shows nothing.
Json DetailsJson(const ViewText& report);

// The "File record" view of a sector that could be read: {"directory", "entries"} on FAT
// and exFAT, the record's fields on NTFS; {} where the view shows nothing.
Json RecordJson(uint64_t sector);

}  // namespace korvalane::cli
