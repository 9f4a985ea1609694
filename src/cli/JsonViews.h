#pragma once

#include <string>

#include "core/model/ViewText.h"
#include "core/text/Json.h"

namespace korvalane::cli {

// The machine-readable forms of the views. Each file system writes its JSON from the same
// entries and records as the view's lines; these only choose what to ask for.

// One drive of `drives`, after SelectDriveAndLabel chose it.
Json DriveJson(const std::string& drive);

// The "File record" view of a sector that could be read (see FileRecordJson).
Json RecordJson(uint64_t sector);

}  // namespace korvalane::cli
