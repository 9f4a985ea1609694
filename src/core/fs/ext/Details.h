#pragma once

#include <string>

#include "core/text/Json.h"
#include "core/views/ViewText.h"

namespace korvalane::ext {

// The "Details" report of an ext volume: the superblock parsed again, its geometry,
// names, state, times, features and checksum, then one line per block group. A
// superblock that fails its checks gives one line saying why.
void ReportDetails(const std::u16string& drive, ViewText& view, const MessagePump& pump);

// The same fields for `details --json`, read again as the report reads them.
Json DetailsJson(const std::string& drive);

}  // namespace korvalane::ext
