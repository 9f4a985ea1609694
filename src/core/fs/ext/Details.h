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

// The report of the volume ReadExtGeometry has just read, once for both outputs: the
// lines from `heading` + "ext4" on into `view`, the fields after "fileSystem" into `json`
// (either may be null).
void WriteDetails(const std::u16string& heading, ViewText* view, Json* json, const MessagePump& pump);

// "Superblock not usable - " and why: the one line of a volume whose superblock failed.
std::u16string NotUsableLine();

}  // namespace korvalane::ext
