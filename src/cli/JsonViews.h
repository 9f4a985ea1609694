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

}  // namespace korvalane::cli
